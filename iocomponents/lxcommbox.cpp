#include "lxcommbox.h"

#include "lxerror.h"
#include "lxui.h"

#include <QVariant>

TlxDeviceBox::TlxDeviceBox(QWidget* AOwner) : QComboBox(AOwner) {
    setEditable(false);
    // activated fires on the user's picks only, not on the box's own refills. A pick whose port
    // fails to open raises the open error; it is shown here, where the pick began, and never
    // unwinds through the combo box's own frames, which are built without exception support.
    connect(this, &QComboBox::activated, this, [this] {
        try {
            Change();
        } catch (const ElxError& Error) {
            LxShowException(Error.Message());
        }
    });
}

TlxDeviceBox::~TlxDeviceBox() {
    Unregister();
}

void TlxDeviceBox::SetlxComm(TlxBaseIO* Value) {
    clear();
    setCurrentIndex(-1);
    if (Value != fComm) {
        // Binding the same component again keeps its registration: the refill may run inside the
        // component's own notify call, which must not see its list change under it.
        Unregister();
        fComm = nullptr;
    }
    if (Value != nullptr) {
        TlxDeviceEntries Entries;
        Value->GetDeviceList(&Entries);
        for (const TlxDeviceEntry& Entry : Entries) {
            addItem(Entry.Text, QVariant::fromValue(Entry.Device));
        }
        setCurrentIndex(Value->DeviceIndex());
        Value->NotifyAdd(TlxNotifyEvent::Bind<&TlxDeviceBox::DeviceNotify>(this));
        if (!fCommDestroyed) {
            fCommDestroyed = connect(Value, &QObject::destroyed, this,
                                     [this, Value] { Notification(Value, opRemove); });
        }
    }
    fComm = Value;
}

TlxDevice* TlxDeviceBox::ItemDevice(int Index) const {
    return itemData(Index).value<TlxDevice*>();
}

void TlxDeviceBox::Notification(QObject* AComponent, TOperation Operation) {
    if (Operation != opRemove || fComm == nullptr || AComponent != fComm) {
        return;
    }
    disconnect(fCommDestroyed);
    fCommDestroyed = {};
    fComm = nullptr;
    setCurrentIndex(-1);
    // The texts stay for the eye; the records went with their component.
    for (int Index = 0; Index < count(); ++Index) {
        setItemData(Index, QVariant());
    }
}

void TlxDeviceBox::Change() {
    if (fComm == nullptr) {
        return;
    }
    fComm->SetDeviceIndex(currentIndex());
    if (fOnChange) {
        fOnChange(this);
    }
}

void TlxDeviceBox::WMDeviceChange(const winapi::MSG& Msg) {
    if (fComm != nullptr) {
        fComm->WMDeviceChange(Msg);
    }
}

void TlxDeviceBox::Reload() {
    SetlxComm(fComm);
}

void TlxDeviceBox::DeviceNotify(QObject*, int Code) {
    if (Code == 3) {
        Reload();
    }
}

void TlxDeviceBox::Unregister() {
    if (fComm == nullptr) {
        return;
    }
    fComm->NotifyDelete(TlxNotifyEvent::Bind<&TlxDeviceBox::DeviceNotify>(this));
    disconnect(fCommDestroyed);
    fCommDestroyed = {};
}
