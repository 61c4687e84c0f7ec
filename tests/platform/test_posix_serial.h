// What the tests of the serial operations of the native backend share: a pseudo-terminal made
// the port COM9, handles that close themselves, and overlapped calls that are waited for.
#pragma once

#include "posix/posixapi.h"
#include "pty.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

namespace lxtest {

inline winapi::TWinApi& Os() {
    return winapi::NativeApi();
}

// A handle that is closed whatever the test's outcome.
class TOwned {
public:
    explicit TOwned(winapi::HANDLE Handle = winapi::INVALID_HANDLE_VALUE) : fHandle(Handle) {}
    ~TOwned() { Close(); }
    TOwned(const TOwned&) = delete;
    TOwned& operator=(const TOwned&) = delete;
    winapi::HANDLE Get() const { return fHandle; }
    bool IsValid() const { return fHandle != winapi::INVALID_HANDLE_VALUE && fHandle != nullptr; }
    winapi::BOOL Close() {
        const winapi::BOOL Closed = IsValid() ? Os().CloseHandle(fHandle) : winapi::TRUE;
        fHandle = winapi::INVALID_HANDLE_VALUE;
        return Closed;
    }

private:
    winapi::HANDLE fHandle;
};

// An overlapped record with its own manual-reset event.
struct TOverlapped {
    TOverlapped() { Record.hEvent = Event.Get(); }
    TOwned Event{Os().CreateEventW(nullptr, winapi::TRUE, winapi::FALSE, nullptr)};
    winapi::OVERLAPPED Record{};
    bool Signalled(winapi::DWORD Milliseconds = 0) {
        return Os().WaitForSingleObject(Event.Get(), Milliseconds) == winapi::WAIT_OBJECT_0;
    }
};

using TClock = std::chrono::steady_clock;

inline long long MillisecondsSince(TClock::time_point Start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(TClock::now() - Start).count();
}

class SerialPort : public ::testing::Test {
protected:
    void SetUp() override {
        Folder.Link("COM9", Pty.SlavePath());
        Port =
            Os().CreateFileW(u"\\\\?\\COM9", winapi::GENERIC_READ | winapi::GENERIC_WRITE, 0,
                             nullptr, winapi::OPEN_EXISTING, winapi::FILE_FLAG_OVERLAPPED, nullptr);
        ASSERT_NE(Port, winapi::INVALID_HANDLE_VALUE);
    }
    void TearDown() override {
        if (Port != winapi::INVALID_HANDLE_VALUE) {
            Os().CloseHandle(Port);
        }
    }
    void ClosePort() {
        ASSERT_EQ(Os().CloseHandle(Port), winapi::TRUE);
        Port = winapi::INVALID_HANDLE_VALUE;
    }

    void SetTimeouts(winapi::DWORD Interval, winapi::DWORD Multiplier, winapi::DWORD Constant,
                     winapi::DWORD WriteMultiplier = 0, winapi::DWORD WriteConstant = 0) {
        winapi::COMMTIMEOUTS Timeouts{Interval, Multiplier, Constant, WriteMultiplier,
                                      WriteConstant};
        ASSERT_EQ(Os().SetCommTimeouts(Port, &Timeouts), winapi::TRUE);
    }

    // A ReadFile that the test waits for; the bytes read.
    std::string ReadWaited(winapi::DWORD Count) {
        std::string Buffer(Count, '\0');
        winapi::OVERLAPPED Overlapped{};
        winapi::DWORD Done = 0;
        if (Os().ReadFile(Port, Buffer.data(), Count, &Done, &Overlapped) == winapi::FALSE) {
            EXPECT_EQ(Os().GetLastError(), winapi::ERROR_IO_PENDING);
            EXPECT_EQ(Os().GetOverlappedResult(Port, &Overlapped, &Done, winapi::TRUE),
                      winapi::TRUE);
        }
        Buffer.resize(Done);
        return Buffer;
    }

    winapi::COMSTAT Status() {
        winapi::COMSTAT Stat{};
        winapi::DWORD Errors = 99;
        EXPECT_EQ(Os().ClearCommError(Port, &Errors, &Stat), winapi::TRUE);
        EXPECT_EQ(Errors, 0u) << "a pseudo-terminal has no line errors";
        return Stat;
    }

    // Bytes the peer wrote reach the port's input queue in the background.
    void WaitForInput(winapi::DWORD Count) {
        const auto Start = TClock::now();
        while (Status().cbInQue < Count && MillisecondsSince(Start) < 5000) {
            Os().Sleep(1);
        }
    }

    TPortFolder Folder;
    TPtyPair Pty;
    winapi::HANDLE Port = winapi::INVALID_HANDLE_VALUE;
};

} // namespace lxtest
