// The device selector box: a drop-down list of one I/O component's devices. The user's pick
// selects the component's device; whenever the component announces that its devices or its
// selection changed (notify code 3), the box refills itself and shows the current selection.
//
// Binding. The box registers one notify handler with the bound component. The notify list knows
// a handler by its method alone, so of several boxes bound to one component only the first is
// registered (and refilled on notifications), and unbinding any of them removes that one
// registration. The box is a plain QObject to the component model, so it hears of the
// component's destruction through the component's QObject::destroyed.
//
// Binding the bound component again (Reload) keeps the registration as it is: a refill runs inside
// the component's own call of its notify list, and taking the handler out and appending it again
// there would shift the handlers behind it, so that one of them missed the notice.
//
// OnChange is a handler bound to an object, like every event of the library, so that a form
// binds it as it binds the components' events; QComboBox's own signals stay as Qt has them.
//
// Items. Each item is the text the component lists a device under, with the component's
// TlxDevice record as its data (ItemDevice). The records stay the component's: they are valid
// until the component rebuilds its list, which a registered box follows at once. When the bound
// component goes, the texts stay and the records are dropped from the items, as they are gone.
//
// Main thread only, like every widget.
#pragma once

#include "lxclasses.h"

#include <QComboBox>
#include <QMetaObject>

class TlxDeviceBox : public QComboBox {
    Q_OBJECT
    Q_PROPERTY(TlxBaseIO* lxComm READ lxComm WRITE SetlxComm)
    Q_PROPERTY(bool ResetOnChanged READ ResetOnChanged WRITE SetResetOnChanged)
    Q_PROPERTY(TNotifyEvent OnChange READ OnChange WRITE SetOnChange)
public:
    // A drop-down list: the user can only pick an item, not type a text.
    explicit TlxDeviceBox(QWidget* AOwner = nullptr);
    // Unregisters from the bound component.
    ~TlxDeviceBox() override;
    TlxDeviceBox(const TlxDeviceBox&) = delete;
    TlxDeviceBox& operator=(const TlxDeviceBox&) = delete;

    TlxBaseIO* lxComm() const { return fComm; }
    // Binds Value (none unbinds): refills from its device list, loading the list if it is empty,
    // and selects its current device (none when it has none).
    void SetlxComm(TlxBaseIO* Value);
    // Stored with the form; the box does not act on it.
    bool ResetOnChanged() const { return fReset; }
    void SetResetOnChanged(bool Value) { fReset = Value; }
    // Raised after a user's pick has been passed to the bound component; never without one.
    TNotifyEvent OnChange() const { return fOnChange; }
    void SetOnChange(const TNotifyEvent& Value) { fOnChange = Value; }
    // The device record of item Index, or none (out of range, or the component is gone).
    TlxDevice* ItemDevice(int Index) const;

protected:
    // The bound component is being removed: the box forgets it and shows no selection.
    virtual void Notification(QObject* AComponent, TOperation Operation);
    // The user picked an item: the bound component selects that device, then OnChange.
    virtual void Change();

public:
    // Hands a WM_DEVICECHANGE message to the bound component, which rebuilds its list for a
    // port arriving or leaving (and so refills a registered box). The owner routes it here.
    virtual void WMDeviceChange(const winapi::MSG& Msg);
    // Refills from the bound component and selects its current device.
    void Reload();

private:
    // The handler registered with the bound component: code 3 reloads, others are ignored.
    void DeviceNotify(QObject* Sender, int Code);
    void Unregister();

    TlxBaseIO* fComm = nullptr;
    bool fReset = false;
    TNotifyEvent fOnChange;
    // The bound component's QObject::destroyed, which stands for its removal notice.
    QMetaObject::Connection fCommDestroyed;
};
