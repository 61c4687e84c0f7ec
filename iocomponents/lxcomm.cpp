// TlxCustomComm: creation, destruction and the line settings.
#include "lxcomm.h"

#include <QPlainTextEdit>
#include <algorithm>

namespace {

using winapi::DWORD;

// The DCB flag bits that no property controls and that ApplyDCB keeps: fParity, fOutxDsrFlow,
// the upper bit of fDtrControl, fDsrSensitivity, fTXContinueOnXoff, fErrorChar, fNull and
// fAbortOnError.
constexpr DWORD KeptDcbFlags = 0x4CEA;
// The mode bits per flow control.
constexpr DWORD RS485Flags = 0x3011;    // binary, DTR enabled, RTS toggle
constexpr DWORD NoFlowFlags = 0x1011;   // binary, DTR enabled, RTS enabled
constexpr DWORD XonXoffFlags = 0x1311;  // binary, DTR and RTS enabled, XON/XOFF both ways
constexpr DWORD HardwareFlags = 0x2015; // binary, CTS output flow, DTR enabled, RTS handshake

constexpr quint16 DefaultQueueSize = 8192;
constexpr quint32 MinReceiveBuffer = 8192;

bool HasAll(DWORD Flags, DWORD Bits) {
    return (Flags & Bits) == Bits;
}

// Only the NT family from version 5 on switches RTS for RS-485 by itself.
bool SystemCannotToggleRts() {
    winapi::OSVERSIONINFOW Version{};
    Version.dwOSVersionInfoSize = sizeof(Version);
    if (!winapi::Api().GetVersionExW(&Version)) {
        return true;
    }
    return Version.dwPlatformId != winapi::VER_PLATFORM_WIN32_NT || Version.dwMajorVersion < 5;
}

winapi::UINT RegisterMessage(const char16_t* Name) {
    return winapi::Api().RegisterWindowMessageW(Name);
}

} // namespace

winapi::UINT CommMsgComEvent() {
    static const winapi::UINT Message = RegisterMessage(u"lxCommMsgComEvent");
    return Message;
}

winapi::UINT CommMsgQuitComEvent() {
    static const winapi::UINT Message = RegisterMessage(u"lxCommMsgQuitComEvent");
    return Message;
}

// ---------------------------------------------------------------------------------------------
// Creation and destruction

TlxCustomComm::TlxCustomComm(QObject* AOwner) : TlxBaseIO(AOwner) {
    sLogPrefix = QStringLiteral("lxComm: ");
    Stat = new winapi::COMSTAT{};
    fSystemNotSupportRS485 = SystemCannotToggleRts();
    fIsNotSupportRS485 = fSystemNotSupportRS485;
    SetUseMainThread(true);
    SetTraceStates({});
    CommCfg.dwSize = sizeof(winapi::COMMCONFIG);
    CommCfg.dcb.DCBlength = sizeof(winapi::DCB);
    SetBufferInSize(DefaultQueueSize);
    SetBufferOutSize(DefaultQueueSize);
    // The message numbers are fixed before any thread of the component needs them.
    CommMsgComEvent();
    CommMsgQuitComEvent();
}

TlxCustomComm::~TlxCustomComm() {
    DestroyComm();
    delete Stat;
    Stat = nullptr;
}

void TlxCustomComm::DestroyComm() {
    EndEventProcessing();
    if (Terminal() != nullptr) {
        SetTerminal(nullptr);
    }
    if (DataProcessor() != nullptr) {
        SetDataProcessor(nullptr);
    }
    // The close below raises no trace event to the owner.
    fOnTraceState = {};
    DoClose();
    StopThreadIO();
    WaitForLeftThreads();
    FreeReceiveBuffer();
}

// ---------------------------------------------------------------------------------------------
// Properties

void TlxCustomComm::SetBaudRate(quint32 Value) {
    CommCfg.dcb.BaudRate = Value;
    ApplyDCB();
}

void TlxCustomComm::SetParity(TParity Value) {
    CommCfg.dcb.Parity = static_cast<winapi::BYTE>(Value);
    if (Value == pNone) {
        CommCfg.dcb.Flags &= ~winapi::DCB_fParity;
    } else {
        CommCfg.dcb.Flags |= winapi::DCB_fParity;
    }
    ApplyDCB();
}

void TlxCustomComm::SetStopBits(TStopBits Value) {
    CommCfg.dcb.StopBits = static_cast<winapi::BYTE>(Value);
    ApplyDCB();
}

void TlxCustomComm::SetByteSize(quint8 Value) {
    CommCfg.dcb.ByteSize = (Value < 4 || Value > 8) ? 8 : Value;
    ApplyDCB();
}

void TlxCustomComm::SetStreamProtocol(TStreamProtocol Value) {
    fProtocol = Value;
    ApplyDCB();
}

void TlxCustomComm::SetBufferInSize(quint16 Value) {
    if (IsOpen()) {
        winapi::Api().SetupComm(fHandle, Value, fBufferOutSize);
    }
    fBufferInSize = Value;
}

void TlxCustomComm::SetBufferOutSize(quint16 Value) {
    if (IsOpen()) {
        winapi::Api().SetupComm(fHandle, fBufferInSize, Value);
    }
    fBufferOutSize = Value;
}

void TlxCustomComm::SetTimeoutRead(quint32 Value) {
    fCommTimeouts.ReadIntervalTimeout = Value;
    ApplyTimeouts(fCommTimeouts);
}

void TlxCustomComm::SetTimeoutWrite(quint32 Value) {
    fCommTimeouts.WriteTotalTimeoutConstant = Value;
    ApplyTimeouts(fCommTimeouts);
}

void TlxCustomComm::SetRS485Mode(bool Value) {
    fRS485Mode = Value;
    ApplyDCB();
    if (IsOpen()) {
        // Software RS-485 needs the transmit-empty event in the mask to lower RTS again.
        SetTraceStates(TraceStates());
    }
}

void TlxCustomComm::SetEventChar(char16_t Value) {
    CommCfg.dcb.EvtChar = static_cast<char>(Value & 0xFF);
    ApplyDCB();
}

char16_t TlxCustomComm::GetEventChar() const {
    return static_cast<unsigned char>(CommCfg.dcb.EvtChar);
}

QString TlxCustomComm::GetComName() const {
    return QStringLiteral("Unknown");
}

// ---------------------------------------------------------------------------------------------
// Applying the settings

void TlxCustomComm::ApplyPortSettings() {
    winapi::Api().ClearCommError(fHandle, nullptr, nullptr);
    winapi::Api().SetupComm(fHandle, fBufferInSize, fBufferOutSize);
    ApplyTimeouts(fCommTimeouts);
    ApplyDCB();
}

void TlxCustomComm::ApplyDCB() {
    winapi::DCB& Dcb = CommCfg.dcb;
    Dcb.DCBlength = sizeof(winapi::DCB);
    Dcb.Flags &= KeptDcbFlags;
    if (fRS485Mode) {
        Dcb.Flags |= RS485Flags;
    } else if (fProtocol == spXonXoff) {
        Dcb.Flags |= XonXoffFlags;
    } else if (fProtocol == spHardware) {
        Dcb.Flags |= HardwareFlags;
    } else {
        Dcb.Flags |= NoFlowFlags;
    }
    Dcb.XonLim = 80;
    Dcb.XoffLim = 200;
    Dcb.XonChar = 17;
    Dcb.XoffChar = 19;
    if (!Active()) {
        return;
    }
    winapi::DCB Applied = Dcb;
    const bool Taken = winapi::Api().SetCommState(fHandle, &Applied);
    if (fRS485Mode) {
        // A driver without an RS-485 mode of its own refuses the RTS toggle (it applies the rest
        // and leaves RTS low); the component then switches RTS itself, as on a system that
        // cannot toggle at all.
        const bool DriverRefused =
            !Taken && winapi::Api().GetLastError() == winapi::ERROR_NOT_SUPPORTED;
        fIsNotSupportRS485 = fSystemNotSupportRS485 || DriverRefused;
    }
}

void TlxCustomComm::ReadPortConfig() {
    CommCfg.dwSize = sizeof(winapi::COMMCONFIG);
    CommCfg.dcb.DCBlength = sizeof(winapi::DCB);
    if (Active()) {
        DWORD Size = sizeof(winapi::COMMCONFIG);
        winapi::Api().GetCommConfig(fHandle, &CommCfg, &Size);
        winapi::Api().GetCommState(fHandle, &CommCfg.dcb);
    }
    const DWORD Flags = CommCfg.dcb.Flags;
    if (HasAll(Flags, XonXoffFlags)) {
        fProtocol = spXonXoff;
    } else if (HasAll(Flags, HardwareFlags)) {
        fProtocol = spHardware;
    } else {
        fProtocol = spNone;
    }
    fRS485Mode = HasAll(Flags, RS485Flags);
}

void TlxCustomComm::ApplyTimeouts(const winapi::COMMTIMEOUTS& Timeouts) {
    fCommTimeouts = Timeouts;
    if (IsOpen()) {
        winapi::COMMTIMEOUTS Applied = fCommTimeouts;
        winapi::Api().SetCommTimeouts(fHandle, &Applied);
    }
}

void TlxCustomComm::AllocReceiveBuffer() {
    FreeReceiveBuffer();
    const quint32 Size = std::max<quint32>(fBufferInSize, MinReceiveBuffer);
    glBuffer = new char[Size]();
    fReceiveBufferSize = Size;
}

void TlxCustomComm::FreeReceiveBuffer() {
    delete[] glBuffer;
    glBuffer = nullptr;
    fReceiveBufferSize = 0;
}
