// Device-change notification: what the WM_DEVICECHANGE broadcast tells a window when ports come
// and go, delivered to a handler. On Windows it is the broadcast itself, received by a hidden
// window of the monitor's own; on Linux the monitor watches the port map's sources (see
// posix/README.md) and sends the same messages: DBT_DEVICEARRIVAL and DBT_DEVICEREMOVECOMPLETE
// with a DEV_BROADCAST_PORT_W naming the port ("COM3"), and DBT_DEVNODES_CHANGED when the set of
// devices changed.
#pragma once

#include "winapi.h"

#include <functional>
#include <memory>

namespace lx {

// Event is WM_DEVICECHANGE's wParam; Header is what its lParam points to (a DEV_BROADCAST_PORT_W
// for the port events, null for DBT_DEVNODES_CHANGED), valid only during the call. Runs on the
// monitor's thread: a handler that touches a window must pass the message on to its thread.
using TDeviceChangeHandler =
    std::function<void(winapi::WPARAM Event, const winapi::DEV_BROADCAST_HDR* Header)>;

class TDeviceChangeMonitor {
public:
    explicit TDeviceChangeMonitor(TDeviceChangeHandler Handler);
    // Stops the monitor.
    ~TDeviceChangeMonitor();
    TDeviceChangeMonitor(const TDeviceChangeMonitor&) = delete;
    TDeviceChangeMonitor& operator=(const TDeviceChangeMonitor&) = delete;

    // Starts the monitor's thread; the ports there now are the starting point, so only later
    // changes are reported. False, with the reason for GetLastErrorText, when the system cannot be
    // watched. Starting a running monitor does nothing.
    bool Start();
    // Ends the thread and waits for it: no handler call runs or follows once it returns. Not to
    // be called from the handler.
    void Stop();
    bool Active() const;

private:
    class TImpl; // the backend's: posix/devicemonitor.cpp, win32/devicemonitor.cpp
    std::unique_ptr<TImpl> fImpl;
};

} // namespace lx
