// The device-change monitor on Windows: a hidden top-level window on the monitor's own thread.
// Every top-level window receives the WM_DEVICECHANGE broadcast, so the window only passes the
// port events and DBT_DEVNODES_CHANGED on to the handler.
#include "lxdevicemonitor.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <dbt.h>

#include <future>
#include <thread>
#include <utility>

namespace lx {

namespace {

constexpr wchar_t ClassName[] = L"lxDeviceChangeMonitor";

struct TCreated {
    HWND Window;
    DWORD Error;
};

LRESULT CALLBACK WindowProc(HWND Window, UINT Message, WPARAM wParam, LPARAM lParam) {
    switch (Message) {
    case WM_DEVICECHANGE: {
        const auto* Handler =
            reinterpret_cast<const TDeviceChangeHandler*>(GetWindowLongPtrW(Window, GWLP_USERDATA));
        const auto* Header = reinterpret_cast<const winapi::DEV_BROADCAST_HDR*>(lParam);
        const bool PortEvent =
            (wParam == DBT_DEVICEARRIVAL || wParam == DBT_DEVICEREMOVECOMPLETE) &&
            Header != nullptr && Header->dbch_devicetype == DBT_DEVTYP_PORT;
        if (Handler != nullptr && (PortEvent || wParam == DBT_DEVNODES_CHANGED)) {
            (*Handler)(wParam, PortEvent ? Header : nullptr);
        }
        return TRUE;
    }
    case WM_CLOSE:
        DestroyWindow(Window);
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcW(Window, Message, wParam, lParam);
    }
}

} // namespace

class TDeviceChangeMonitor::TImpl {
public:
    explicit TImpl(TDeviceChangeHandler Handler) : fHandler(std::move(Handler)) {}
    ~TImpl() { Stop(); }
    TImpl(const TImpl&) = delete;
    TImpl& operator=(const TImpl&) = delete;

    bool Start() {
        if (fThread.joinable()) {
            return true;
        }
        std::promise<TCreated> Created;
        std::future<TCreated> Window = Created.get_future();
        fThread = std::thread([this, &Created] { Run(Created); });
        const TCreated Result = Window.get();
        if (Result.Window == nullptr) {
            fThread.join();
            winapi::Api().SetLastError(Result.Error);
            return false;
        }
        fWindow = Result.Window;
        return true;
    }

    void Stop() {
        if (!fThread.joinable()) {
            return;
        }
        PostMessageW(fWindow, WM_CLOSE, 0, 0);
        fThread.join();
        fWindow = nullptr;
    }

    bool Active() const { return fThread.joinable(); }

private:
    void Run(std::promise<TCreated>& Created) {
        const HINSTANCE Instance = GetModuleHandleW(nullptr);
        WNDCLASSW Class{};
        Class.lpfnWndProc = WindowProc;
        Class.hInstance = Instance;
        Class.lpszClassName = ClassName;
        // A second monitor finds the class registered already, which is fine.
        RegisterClassW(&Class);
        const HWND Window = CreateWindowExW(0, ClassName, L"", WS_OVERLAPPED, 0, 0, 0, 0, nullptr,
                                            nullptr, Instance, nullptr);
        if (Window == nullptr) {
            Created.set_value({nullptr, GetLastError()});
            return;
        }
        SetWindowLongPtrW(Window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&fHandler));
        Created.set_value({Window, 0});
        MSG Message;
        while (GetMessageW(&Message, nullptr, 0, 0) > 0) {
            DispatchMessageW(&Message);
        }
    }

    const TDeviceChangeHandler fHandler;
    HWND fWindow = nullptr;
    std::thread fThread;
};

TDeviceChangeMonitor::TDeviceChangeMonitor(TDeviceChangeHandler Handler)
    : fImpl(std::make_unique<TImpl>(std::move(Handler))) {}

TDeviceChangeMonitor::~TDeviceChangeMonitor() = default;

bool TDeviceChangeMonitor::Start() {
    return fImpl->Start();
}

void TDeviceChangeMonitor::Stop() {
    fImpl->Stop();
}

bool TDeviceChangeMonitor::Active() const {
    return fImpl->Active();
}

} // namespace lx
