#include "lxcommdialog.h"

#include "lxthread.h"

#include <QApplication>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QIntValidator>
#include <QVBoxLayout>
#include <QWidget>
#include <algorithm>
#include <limits>

using namespace winapi;

namespace {

// The mode bits the serial component writes for each flow control (binary mode, DTR enabled, and
// RTS and the handshakes as the protocol needs them).
constexpr DWORD FlowBitsXonXoff = 0x1311;
constexpr DWORD FlowBitsHardware = 0x2015;
constexpr DWORD FlowBitsNone = 0x1011;
// What a change of flow control replaces; DTR's handshake bit and the DSR flags are kept, as the
// component keeps them.
constexpr DWORD FlowBitsReplaced = DCB_fOutxCtsFlow | DCB_fOutX | DCB_fInX | DCB_fRtsControlMask;

constexpr int BaudRates[] = {110,   300,   600,    1200,   2400,   4800,   9600,   14400, 19200,
                             38400, 57600, 115200, 128000, 230400, 256000, 460800, 921600};

bool HasAll(DWORD Flags, DWORD Bits) {
    return (Flags & Bits) == Bits;
}

DWORD FlowBits(TlxCommFlowControl Flow) {
    switch (Flow) {
    case fcXonXoff:
        return FlowBitsXonXoff;
    case fcHardware:
        return FlowBitsHardware;
    case fcNone:
        break;
    }
    return FlowBitsNone;
}

int Selected(const QComboBox& Box) {
    return Box.currentData().toInt();
}

QWidget* DialogParent(HWND Owner) {
    QWidget* Parent = nullptr;
    if (Owner != nullptr) {
        Parent = QWidget::find(reinterpret_cast<WId>(Owner));
    }
    return Parent != nullptr ? Parent : QApplication::activeWindow();
}

} // namespace

TlxCommConfigDialog::TlxCommConfigDialog(const QString& PortName, const DCB& Dcb, QWidget* Parent)
    : QDialog(Parent), fDcb(Dcb) {
    setWindowTitle(QStringLiteral("%1 Properties").arg(PortName));
    auto* Form = new QFormLayout;
    cbBaudRate = new QComboBox(this);
    cbDataBits = new QComboBox(this);
    cbParity = new QComboBox(this);
    cbStopBits = new QComboBox(this);
    cbFlowControl = new QComboBox(this);
    Form->addRow(QStringLiteral("Bits per second:"), cbBaudRate);
    Form->addRow(QStringLiteral("Data bits:"), cbDataBits);
    Form->addRow(QStringLiteral("Parity:"), cbParity);
    Form->addRow(QStringLiteral("Stop bits:"), cbStopBits);
    Form->addRow(QStringLiteral("Flow control:"), cbFlowControl);
    AddBaudRates();
    AddDataBits();
    AddParities();
    AddStopBits();
    AddFlowControls();

    auto* Buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    Buttons->setObjectName(QStringLiteral("Buttons"));
    connect(Buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(Buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* Layout = new QVBoxLayout(this);
    Layout->addLayout(Form);
    Layout->addWidget(Buttons);
}

void TlxCommConfigDialog::AddBaudRates() {
    cbBaudRate->setObjectName(QStringLiteral("BaudRate"));
    // Editable: a driver may take rates that are not in the list.
    cbBaudRate->setEditable(true);
    cbBaudRate->setInsertPolicy(QComboBox::NoInsert);
    cbBaudRate->setValidator(new QIntValidator(1, std::numeric_limits<int>::max(), cbBaudRate));
    for (const int Rate : BaudRates) {
        cbBaudRate->addItem(QString::number(Rate), Rate);
    }
    const int Current = int(std::min<DWORD>(fDcb.BaudRate, std::numeric_limits<int>::max()));
    SelectData(*cbBaudRate, Current, QString::number(Current));
}

void TlxCommConfigDialog::AddDataBits() {
    cbDataBits->setObjectName(QStringLiteral("DataBits"));
    for (int Bits = 5; Bits <= 8; ++Bits) {
        cbDataBits->addItem(QString::number(Bits), Bits);
    }
    SelectData(*cbDataBits, fDcb.ByteSize, QString::number(fDcb.ByteSize));
}

void TlxCommConfigDialog::AddParities() {
    cbParity->setObjectName(QStringLiteral("Parity"));
    cbParity->addItem(QStringLiteral("None"), int(NOPARITY));
    cbParity->addItem(QStringLiteral("Odd"), int(ODDPARITY));
    cbParity->addItem(QStringLiteral("Even"), int(EVENPARITY));
    cbParity->addItem(QStringLiteral("Mark"), int(MARKPARITY));
    cbParity->addItem(QStringLiteral("Space"), int(SPACEPARITY));
    SelectData(*cbParity, fDcb.Parity, QString::number(fDcb.Parity));
}

void TlxCommConfigDialog::AddStopBits() {
    cbStopBits->setObjectName(QStringLiteral("StopBits"));
    cbStopBits->addItem(QStringLiteral("1"), int(ONESTOPBIT));
    cbStopBits->addItem(QStringLiteral("1.5"), int(ONE5STOPBITS));
    cbStopBits->addItem(QStringLiteral("2"), int(TWOSTOPBITS));
    SelectData(*cbStopBits, fDcb.StopBits, QString::number(fDcb.StopBits));
}

void TlxCommConfigDialog::AddFlowControls() {
    cbFlowControl->setObjectName(QStringLiteral("FlowControl"));
    cbFlowControl->addItem(QStringLiteral("Xon / Xoff"), int(fcXonXoff));
    cbFlowControl->addItem(QStringLiteral("Hardware"), int(fcHardware));
    cbFlowControl->addItem(QStringLiteral("None"), int(fcNone));
    SelectData(*cbFlowControl, FlowControlOf(fDcb), QString());
}

void TlxCommConfigDialog::SelectData(QComboBox& Box, int Value, const QString& Text) {
    int Index = Box.findData(Value);
    if (Index < 0) {
        Box.addItem(Text, Value);
        Index = Box.count() - 1;
    }
    Box.setCurrentIndex(Index);
}

DCB TlxCommConfigDialog::Dcb() const {
    DCB Result = fDcb;
    // The edit text, not the item: the user may have typed a rate of the driver's own.
    bool Valid = false;
    const uint Rate = cbBaudRate->currentText().toUInt(&Valid);
    if (Valid && Rate > 0) {
        Result.BaudRate = Rate;
    }
    Result.ByteSize = BYTE(Selected(*cbDataBits));
    const BYTE Parity = BYTE(Selected(*cbParity));
    if (Parity != fDcb.Parity) {
        Result.Parity = Parity;
        // Parity checking follows the parity, as the component's Parity property sets it.
        Result.Flags =
            Parity == NOPARITY ? Result.Flags & ~DCB_fParity : Result.Flags | DCB_fParity;
    }
    Result.StopBits = BYTE(Selected(*cbStopBits));
    const auto Flow = TlxCommFlowControl(Selected(*cbFlowControl));
    if (Flow != FlowControlOf(fDcb)) {
        Result.Flags = (Result.Flags & ~FlowBitsReplaced) | FlowBits(Flow);
    }
    return Result;
}

TlxCommFlowControl TlxCommConfigDialog::FlowControlOf(const DCB& Dcb) {
    if (HasAll(Dcb.Flags, FlowBitsXonXoff)) {
        return fcXonXoff;
    }
    if (HasAll(Dcb.Flags, FlowBitsHardware)) {
        return fcHardware;
    }
    return fcNone;
}

BOOL LxCommConfigDialog(LPCWSTR lpszName, HWND hWnd, COMMCONFIG* lpCC) {
    if (lpCC == nullptr) {
        Api().SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr) {
        Api().SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
        return FALSE;
    }
    const QString Name = lpszName != nullptr ? QString::fromUtf16(lpszName) : QString();
    bool Confirmed = false;
    // Widgets live on the GUI thread; a caller elsewhere waits, as for a message box.
    TThread::Synchronize([&] {
        TlxCommConfigDialog Dialog(Name, lpCC->dcb, DialogParent(hWnd));
        Confirmed = Dialog.exec() == QDialog::Accepted;
        if (Confirmed) {
            lpCC->dcb = Dialog.Dcb();
        }
    });
    return Confirmed ? TRUE : FALSE;
}

PFN_CommConfigDialog LxInstallCommConfigDialog() {
    return SetCommConfigDialogProvider(&LxCommConfigDialog);
}
