// Many open/close cycles of the serial component on a pseudo-terminal whose other end keeps
// talking: closes land while events are being posted, processed, or waiting for the main thread.
// Nothing may deadlock, leak or race (this binary is meant for the sanitizer builds too).
#include "eventloop.h"
#include "pty.h"
#include "testcomm.h"

#include <atomic>
#include <cerrno>
#include <dirent.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <thread>
#include <unistd.h>

namespace {

using lxtest::TPortFolder;
using lxtest::TPtyPair;
using lxtest::TTestComm;

constexpr int Cycles = 500;

int ThreadCount() {
    int Count = 0;
    if (DIR* Tasks = ::opendir("/proc/self/task")) {
        while (const dirent* Entry = ::readdir(Tasks)) {
            Count += Entry->d_name[0] != '.';
        }
        ::closedir(Tasks);
    }
    return Count;
}

// The other end of the line: sends a short burst every millisecond and swallows what comes back.
class TChattyPeer {
public:
    explicit TChattyPeer(int MasterFd) : fFd(MasterFd), fThread([this] { Run(); }) {}
    ~TChattyPeer() {
        fStop = true;
        fThread.join();
    }
    std::size_t Swallowed() const { return fSwallowed; }

private:
    void Run() {
        static constexpr char Burst[] = "0123456789abcdef";
        char Sink[4096];
        while (!fStop) {
            // The line may be full while the port is closed: the burst is then dropped.
            [[maybe_unused]] const ssize_t Written = ::write(fFd, Burst, sizeof(Burst) - 1);
            pollfd Poll{fFd, POLLIN, 0};
            if (::poll(&Poll, 1, 1) > 0 && (Poll.revents & POLLIN) != 0) {
                const ssize_t Got = ::read(fFd, Sink, sizeof(Sink));
                if (Got > 0) {
                    fSwallowed += std::size_t(Got);
                }
            }
        }
    }

    int fFd;
    std::atomic<bool> fStop = false;
    std::atomic<std::size_t> fSwallowed = 0;
    std::thread fThread;
};

class TCycleCounter : public QObject {
public:
    void Received(QObject*, const void*, quint32 Len) { Bytes += Len; }
    std::atomic<std::size_t> Bytes = 0;
};

class CommCycles : public ::testing::TestWithParam<bool> {};

TEST_P(CommCycles, OpenAndCloseUnderTrafficNeverHangsNorLeaks) {
    TPortFolder Folder;
    TPtyPair Pty;
    Folder.Link("COM9", Pty.SlavePath());
    TCycleCounter Counter;
    auto Comm = std::make_unique<TTestComm>(nullptr, QStringLiteral("COM9"));
    Comm->SetUseMainThread(GetParam());
    Comm->SetOnAfterReceive(TOnReceived::Bind<&TCycleCounter::Received>(&Counter));
    Comm->SetTraceStates({tsTxEmpty});
    Comm->SetActive(true);
    Comm->SetActive(false);
    const int ThreadsBefore = ThreadCount();
    quint32 Sent = 0;
    {
        TChattyPeer Peer(Pty.MasterFd());
        static constexpr char Request[] = "\x01\x04\x00\x14\x00\x1B\xB1\xC5";
        for (int Cycle = 0; Cycle < Cycles; ++Cycle) {
            Comm->SetActive(true);
            ASSERT_TRUE(Comm->Active()) << "cycle " << Cycle;
            Comm->SendData(Request, 8);
            Sent += Comm->TotalSent();
            // Every other cycle lets the main thread serve the message thread once; otherwise the
            // close finds the message thread waiting for the main thread.
            if (Cycle % 2 == 0) {
                lxtest::RunFor(1);
            }
            Comm->SetActive(false);
            ASSERT_FALSE(Comm->Active()) << "cycle " << Cycle;
        }
    }
    EXPECT_EQ(Sent, 8u * Cycles);
    EXPECT_GT(Counter.Bytes, 0u) << "traffic came in";
    Comm.reset();
    EXPECT_EQ(ThreadCount(), ThreadsBefore);
}

INSTANTIATE_TEST_SUITE_P(UseMainThread, CommCycles, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& Info) {
                             return Info.param ? "MainThread" : "MessageThread";
                         });

} // namespace
