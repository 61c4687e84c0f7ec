// A small concrete I/O component for the framework's tests: its medium is an event handle that
// CreateHandle makes (or, when told to, fails to make), its device list is loaded from a list of
// port numbers, and what it sends is kept. The base's protected steps are opened up for the tests.
#pragma once

#include "lxclasses.h"

#include <QByteArray>
#include <atomic>
#include <functional>
#include <vector>

namespace lxtest {

class TTestIO : public TlxBaseIO {
    Q_OBJECT
public:
    explicit TTestIO(QObject* AOwner = nullptr) : TlxBaseIO(AOwner) {}
    ~TTestIO() override {
        // As a real component does: the medium is closed before the base goes.
        DoClose();
    }

    // What CreateHandle does: open, or fail as a missing device would.
    bool OpenSucceeds = true;
    // A failed open is reported as the serial component does: DoFatalError(1, 0, ..., false).
    bool ReportOpenFailure = false;
    // The Data of the devices DeviceListLoad inserts, in that order.
    std::vector<int> PortsToLoad;
    // The body of the I/O thread; none returns at once.
    std::function<void(TTestIO& Self, TlxThreadIO& Thread)> Body;
    // Called on each keep-connection tick, before the base's step (which runs unless cleared).
    std::function<void()> OnKeepConnection;
    bool KeepConnectionBase = true;

    std::atomic<int> CreateCount = 0;
    std::atomic<int> ReleaseCount = 0;
    int LoadCount = 0;
    int UpdateCount = 0;
    std::vector<char16_t> SentChars;
    QByteArray Sent;

    using TlxBaseIO::DoClose;
    using TlxBaseIO::DoFatalError;
    using TlxBaseIO::DoNotify;
    using TlxBaseIO::DoOpen;

    void SetThreaded(bool Value) { isThreaded = Value; }
    void SetClearWithFree(bool Value) { flClearDeviceListWithFree = Value; }
    void SetLogPrefix(const QString& Value) { sLogPrefix = Value; }
    // Ends the loading state as the loader would, without applying anything.
    void CallLoaded() { Loaded(); }

    int GetDeviceIndex() const override { return -1; }
    void Update() override {
        ++UpdateCount;
        TlxBaseIO::Update();
    }
    void SendChar(char16_t Ch) override { SentChars.push_back(Ch); }
    void SendString(const QByteArray& S) override { Sent += S; }
    void SendData(const char* Buff, quint32 N) override { Sent.append(Buff, N); }
    void ClearDeviceInput() override {}
    void ClearDeviceOutput() override {}
    void ClearDeviceBuffers() override {}
    void ThreadIOExecute(TlxThreadIO* Thread) override {
        if (Body) {
            Body(*this, *Thread);
        }
    }

protected:
    winapi::HANDLE CreateHandle() override {
        ++CreateCount;
        if (!OpenSucceeds) {
            return winapi::INVALID_HANDLE_VALUE;
        }
        return winapi::Api().CreateEventW(nullptr, winapi::TRUE, winapi::FALSE, nullptr);
    }
    void ReleaseHandle(winapi::HANDLE Handle) override {
        ++ReleaseCount;
        TlxBaseIO::ReleaseHandle(Handle);
    }
    void DoOpen() override {
        TlxBaseIO::DoOpen();
        if (!IsOpen() && ReportOpenFailure) {
            DoFatalError(1, 0, QStringLiteral("The port cannot be opened"), false);
        }
    }
    void DeviceListLoad() override {
        ++LoadCount;
        for (const int Port : PortsToLoad) {
            auto* Device = new TlxDevice;
            Device->Data = Port;
            Device->NameFriendly = QStringLiteral("COM%1").arg(Port);
            if (InsertDevice(Device) < 0) {
                delete Device;
            }
        }
    }
    void DoKeepConnection(QObject* Sender) override {
        if (OnKeepConnection) {
            OnKeepConnection();
        }
        if (KeepConnectionBase) {
            TlxBaseIO::DoKeepConnection(Sender);
        }
    }
};

} // namespace lxtest
