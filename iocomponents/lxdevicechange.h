// The system's device-change broadcast on the Qt side: WM_DEVICECHANGE messages, as the OS
// boundary's monitor reports them from its own thread, delivered on the thread that owns the
// notifier (the main thread) to the receivers registered there: I/O components (WMDeviceChange),
// the window, the device box.
#pragma once

#include "lxcallqueue.h"
#include "lxclasses.h"
#include "lxdevicemonitor.h"
#include "winapi.h"

#include <QObject>
#include <QPointer>
#include <functional>
#include <mutex>
#include <vector>

// Receives one message. Msg.lParam points to the broadcast record (a DEV_BROADCAST_PORT_W for a
// port arriving or leaving, none for DBT_DEVNODES_CHANGED), valid only during the call.
using TlxDeviceChangeReceiver = std::function<void(const winapi::MSG& Msg)>;

class TlxDeviceChangeNotifier : public QObject {
    Q_OBJECT
public:
    // Create it on the thread whose receivers it serves; its event loop delivers the messages.
    explicit TlxDeviceChangeNotifier(QObject* AOwner = nullptr);
    // Stops the monitor; messages not yet delivered are dropped.
    ~TlxDeviceChangeNotifier() override;

    // Starts watching: the devices there now are the starting point. False, with the reason for
    // GetLastErrorText, when the system cannot be watched. Starting a running notifier does
    // nothing.
    bool Start();
    // Stops watching; no message is delivered afterwards.
    void Stop();
    bool Active() const { return fMonitor.Active(); }

    // Receiver gets every message while Context exists, in the order of registration.
    void AddReceiver(QObject* Context, TlxDeviceChangeReceiver Receiver);
    // Component->WMDeviceChange gets every message while the component exists.
    void AddReceiver(TlxBaseIO* Component);
    // Forgets every receiver registered with Context.
    void RemoveReceiver(QObject* Context);

private:
    struct TReceiver {
        QPointer<QObject> Context;
        TlxDeviceChangeReceiver Receiver;
    };

    // A message as the monitor reported it, with a copy of its record (empty: none).
    struct TPending {
        winapi::WPARAM Event;
        std::vector<std::uint32_t> Record;
    };

    // On the monitor's thread: queues the message and wakes the notifier's thread.
    void Post(winapi::WPARAM Event, const winapi::DEV_BROADCAST_HDR* Header);
    // On the notifier's thread: every queued message, in order.
    void DeliverPending();
    // The message with Record (empty: none) to each live receiver.
    void Deliver(winapi::WPARAM Event, const std::vector<std::uint32_t>& Record);

    std::vector<TReceiver> fReceivers;
    // The hand-over from the monitor's thread; fWakeUps runs DeliverPending on this thread.
    std::mutex fPendingLock;
    std::vector<TPending> fPending;
    TlxCallQueue fWakeUps;
    lx::TDeviceChangeMonitor fMonitor;
};
