// Many open/close cycles of the serial component on a pseudo-terminal whose other end keeps
// talking: closes land while events are being posted, processed, or waiting for the main thread.
// Nothing may deadlock, leak or race (this binary is meant for the sanitizer builds too).
#include "eventloop.h"
#include "pty.h"
#include "testcomm.h"

#include <atomic>
#include <cerrno>
#include <gtest/gtest.h>
#include <poll.h>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

using lxtest::ThreadCount;
using lxtest::TPortFolder;
using lxtest::TPtyPair;
using lxtest::TTestComm;

constexpr int Cycles = 500;

// The other end of the line: answers every request it reads with a 59-byte reply, as the bench
// does. (Bytes already waiting when a port opens raise no event, so the talk has to go on while
// the port is open.)
class TAnsweringPeer {
public:
    explicit TAnsweringPeer(int MasterFd) : fFd(MasterFd), fThread([this] { Run(); }) {}
    ~TAnsweringPeer() {
        fStop = true;
        fThread.join();
    }

private:
    void Run() {
        const std::string Reply(59, '\x5A');
        char Request[4096];
        while (!fStop) {
            pollfd Poll{fFd, POLLIN, 0};
            if (::poll(&Poll, 1, 5) <= 0 || (Poll.revents & POLLIN) == 0) {
                continue;
            }
            if (::read(fFd, Request, sizeof(Request)) > 0) {
                // A full line drops the reply; the next request brings another.
                [[maybe_unused]] const ssize_t Written = ::write(fFd, Reply.data(), Reply.size());
            }
        }
    }

    int fFd;
    std::atomic<bool> fStop = false;
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
        TAnsweringPeer Peer(Pty.MasterFd());
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
