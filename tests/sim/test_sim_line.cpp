// The simulator of the library on a real pseudo-terminal, seen from the master's end: the
// catalogue's replies, silence where a bus slave keeps quiet, the timing of a 9600-baud line,
// and every fault mode.
#include "SimPeer.h"
#include "SimResponder.h"
#include "UnitTypesPX4610.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sys/stat.h>
#include <thread>

using namespace simtest;
using sim::TBenchSettings;

namespace {

std::vector<std::uint8_t> Frame(TCommandType Command) {
    const TCommandRequest r = *CommandRequest(Command);
    const TRequestFrame frame =
        BuildRequestFrame(r.Slave, r.Function, r.FirstRegister, r.RegisterCount);
    return {frame.begin(), frame.end()};
}

TBenchSettings Frozen() {
    TBenchSettings settings;
    settings.Frozen = true;
    return settings;
}

double Milliseconds(TClock::duration Duration) {
    return std::chrono::duration<double, std::milli>(Duration).count();
}

double Median(std::vector<double> Values) {
    std::sort(Values.begin(), Values.end());
    return Values[Values.size() / 2];
}

// A 9600-baud 8N1 character: start bit, eight data bits, stop bit.
constexpr double CharacterMs = 10.0 * 1000 / 9600;

} // namespace

TEST(SimLine, TheSixCatalogueRequestsGetTheirRepliesAndOthersNothing) {
    TRunningSimulator bench(TBenchSettings{}, FastLine());
    TPeer peer(bench.Path());
    const std::pair<TCommandType, std::size_t> catalogue[] = {
        {TCommandType::ctU3AC_PTCT, 9}, {TCommandType::ctI3AC_PTCT, 9}, {TCommandType::ctU3AC, 59},
        {TCommandType::ctI3AC, 59},     {TCommandType::ct1AC, 33},      {TCommandType::ctUDC, 9}};
    for (const auto& [command, length] : catalogue) {
        peer.Send(Frame(command));
        const TReceived reply = peer.Receive();
        ASSERT_EQ(reply.Bytes.size(), length) << int(command);
        EXPECT_TRUE(CRCValid(reply.Bytes));
        const TCommandRequest r = *CommandRequest(command);
        EXPECT_EQ(reply.Bytes, sim::ReadReply(r.Slave, r.Function,
                                              bench.Simulator().Held(r.Slave, r.FirstRegister,
                                                                     r.RegisterCount)));
    }

    const TRequestFrame toSlave7 = BuildRequestFrame(7, 4, 20, 27);
    auto brokenCRC = Frame(TCommandType::ctU3AC);
    brokenCRC[6] ^= 0x55;
    for (const auto& frame :
         {std::vector<std::uint8_t>(toSlave7.begin(), toSlave7.end()), brokenCRC}) {
        peer.Send(frame);
        EXPECT_TRUE(peer.Receive(150ms).Bytes.empty());
    }
    // The line is still in step afterwards: the next request is framed and answered.
    peer.Send(Frame(TCommandType::ctUDC));
    EXPECT_EQ(peer.Receive().Bytes.size(), 9u);
}

// A frame ends with 3.5 characters of silence, not with a read: a request written in two parts
// without a pause is one frame, and the same parts with a longer pause are two broken ones.
TEST(SimLine, FramesAreDelimitedBySilence) {
    TRunningSimulator bench(TBenchSettings{}, FastLine());
    TPeer peer(bench.Path());
    const auto frame = Frame(TCommandType::ctUDC);
    const std::span<const std::uint8_t> head(frame.data(), 3), tail(frame.data() + 3, 5);
    peer.Send(head);
    peer.Send(tail);
    EXPECT_EQ(peer.Receive().Bytes.size(), 9u);
    peer.Send(head);
    std::this_thread::sleep_for(30ms); // eight character times at 9600 baud
    peer.Send(tail);
    EXPECT_TRUE(peer.Receive(150ms).Bytes.empty());
    peer.Send(frame);
    EXPECT_EQ(peer.Receive().Bytes.size(), 9u);
}

// Each byte arrives when a 9600-baud line would have delivered it: the 59-byte reply spans
// 59 character times from the start of its transmission, and it does not start before the
// turnaround has passed.
TEST(SimLine, RepliesTakeTheirTimeOnTheWire) {
    sim::TLineSettings line; // 9600 baud, 5 ms turnaround, paced
    TRunningSimulator bench(TBenchSettings{}, line);
    TPeer peer(bench.Path());
    std::vector<double> spans, waits;
    for (int exchange = 0; exchange < 5; ++exchange) {
        const auto sent = peer.Send(Frame(TCommandType::ctU3AC));
        const TReceived reply = peer.Receive();
        ASSERT_EQ(reply.Bytes.size(), 59u);
        spans.push_back(Milliseconds(reply.Last - reply.First));
        waits.push_back(Milliseconds(reply.First - sent));
    }
    const double expected = 59 * CharacterMs;
    EXPECT_NEAR(Median(spans), expected, expected * 0.10);
    EXPECT_GE(*std::min_element(waits.begin(), waits.end()), 5.0 + CharacterMs - 0.5);

    sim::TLineSettings unpaced = line;
    unpaced.Pacing = false;
    TRunningSimulator fast(TBenchSettings{}, unpaced);
    TPeer fastPeer(fast.Path());
    fastPeer.Send(Frame(TCommandType::ctU3AC));
    const TReceived reply = fastPeer.Receive();
    ASSERT_EQ(reply.Bytes.size(), 59u);
    EXPECT_LT(Milliseconds(reply.Last - reply.First), 10.0);
}

// The faults that reshape a reply, each on slave 1 while slave 2 stays healthy.
struct TShapeCase {
    const char* Fault;
    std::size_t Length;
    void (*Check)(const std::vector<std::uint8_t>& Reply, const std::vector<std::uint8_t>& Good);
};

void PrintTo(const TShapeCase& Case, std::ostream* Stream) {
    *Stream << Case.Fault;
}

class SimLineFaults : public testing::TestWithParam<TShapeCase> {};

TEST_P(SimLineFaults, ReshapeTheReplyOfTheirSlaveOnly) {
    const TShapeCase c = GetParam();
    TRunningSimulator bench(Frozen(), FastLine(), PlanOf({c.Fault}));
    TPeer peer(bench.Path());
    peer.Send(Frame(TCommandType::ctU3AC));
    const TReceived reply = peer.Receive();
    EXPECT_FALSE(reply.Hangup);
    const auto good = sim::ReadReply(1, 4, bench.Simulator().Held(1, 20, 27));
    ASSERT_EQ(reply.Bytes.size(), c.Length);
    c.Check(reply.Bytes, good);
    peer.Send(Frame(TCommandType::ctI3AC));
    const TReceived healthy = peer.Receive();
    EXPECT_EQ(healthy.Bytes.size(), 59u);
    EXPECT_TRUE(CRCValid(healthy.Bytes));
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, SimLineFaults,
    testing::Values(
        TShapeCase{"1:bad-crc", 59,
                   [](auto& Reply, auto& Good) {
                       EXPECT_FALSE(CRCValid(Reply));
                       EXPECT_TRUE(std::equal(Good.begin(), Good.end() - 2, Reply.begin()));
                   }},
        TShapeCase{"1:short", 29,
                   [](auto& Reply, auto& Good) {
                       EXPECT_TRUE(std::equal(Reply.begin(), Reply.end(), Good.begin()));
                   }},
        TShapeCase{"1:garbage", 63,
                   [](auto& Reply, auto& Good) {
                       EXPECT_TRUE(std::equal(Good.begin(), Good.end(), Reply.begin()));
                       EXPECT_EQ(std::vector<std::uint8_t>(Reply.begin() + 59, Reply.end()),
                                 (std::vector<std::uint8_t>{0xA5, 0x5A, 0xFF, 0x00}));
                   }},
        TShapeCase{"1:wrong-address", 59,
                   [](auto& Reply, auto& Good) {
                       EXPECT_EQ(Reply[0], 2);
                       EXPECT_TRUE(CRCValid(Reply));
                       EXPECT_TRUE(std::equal(Good.begin() + 1, Good.end() - 2, Reply.begin() + 1));
                   }}),
    [](const auto& Info) {
        std::string name = std::string(Info.param.Fault).substr(2);
        std::erase(name, '-');
        return name;
    });

TEST(SimLine, ASilentSlaveAnswersNothingWhileTheOthersDo) {
    TRunningSimulator bench(Frozen(), FastLine(), PlanOf({"3:silent"}));
    TPeer peer(bench.Path());
    peer.Send(Frame(TCommandType::ct1AC));
    EXPECT_TRUE(peer.Receive(200ms).Bytes.empty());
    peer.Send(Frame(TCommandType::ctUDC));
    EXPECT_EQ(peer.Receive().Bytes.size(), 9u);
}

TEST(SimLine, ASlowSlaveAnswersAfterItsDelay) {
    TRunningSimulator bench(Frozen(), FastLine(), PlanOf({"4:slow:150"}));
    TPeer peer(bench.Path());
    const auto sent = peer.Send(Frame(TCommandType::ctUDC));
    const TReceived reply = peer.Receive(1000ms);
    ASSERT_EQ(reply.Bytes.size(), 9u);
    EXPECT_GE(Milliseconds(reply.First - sent), 149.0);
}

// The panel re-reads the current source's ratios while CT is 0: the first N replies carry 0,
// the next one the real ratio; the voltage source's ratios are untouched.
TEST(SimLine, CTReadsAsZeroForTheFirstRatioReplies) {
    TRunningSimulator bench(Frozen(), FastLine(), PlanOf({"2:ct-zero:2"}));
    TPeer peer(bench.Path());
    const auto ct = [&](TCommandType Command) {
        peer.Send(Frame(Command));
        const TReceived reply = peer.Receive();
        EXPECT_TRUE(CRCValid(reply.Bytes));
        EXPECT_EQ(reply.Bytes.size(), 9u);
        return reply.Bytes.size() == 9 ? (reply.Bytes[5] << 8) | reply.Bytes[6] : -1;
    };
    EXPECT_EQ(ct(TCommandType::ctU3AC_PTCT), 1);
    peer.Send(Frame(TCommandType::ctI3AC)); // a measurement read does not count
    EXPECT_EQ(peer.Receive().Bytes.size(), 59u);
    EXPECT_EQ(ct(TCommandType::ctI3AC_PTCT), 0);
    EXPECT_EQ(ct(TCommandType::ctI3AC_PTCT), 0);
    EXPECT_EQ(ct(TCommandType::ctI3AC_PTCT), 10);
}

// Like an unplugged adapter: after the planned replies the device node is gone and the open
// port reads end of file; the simulator's Run reports the hang-up.
TEST(SimLine, HangingUpMakesTheDeviceDisappear) {
    for (const unsigned answered : {0u, 2u}) {
        SCOPED_TRACE(answered);
        TRunningSimulator bench(Frozen(), FastLine(),
                                PlanOf({answered == 0 ? "1:hangup:0" : "1:hangup:2"}));
        const std::string path = bench.Path();
        TPeer peer(path);
        peer.Send(Frame(TCommandType::ctUDC)); // other slaves do not count
        EXPECT_EQ(peer.Receive().Bytes.size(), 9u);
        for (unsigned k = 0; k < answered; ++k) {
            peer.Send(Frame(TCommandType::ctU3AC_PTCT));
            const TReceived reply = peer.Receive();
            EXPECT_EQ(reply.Bytes.size(), 9u);
        }
        if (answered == 0)
            peer.Send(Frame(TCommandType::ctU3AC_PTCT));
        sim::TRunEnd end{};
        ASSERT_TRUE(bench.EndsWithin(2000ms, end));
        EXPECT_EQ(end, sim::TRunEnd::reHungUp);
        const TReceived after = peer.Receive(500ms);
        EXPECT_TRUE(after.Hangup);
        EXPECT_TRUE(after.Bytes.empty());
        struct stat info {};
        EXPECT_NE(stat(path.c_str(), &info), 0);
    }
}

// Stop ends a Run that is waiting in the middle of a slow reply, without sending it.
TEST(SimLine, StopEndsAWaitingRun) {
    TRunningSimulator bench(Frozen(), FastLine(), PlanOf({"1:slow:10000"}));
    TPeer peer(bench.Path());
    peer.Send(Frame(TCommandType::ctU3AC));
    std::this_thread::sleep_for(50ms);
    const auto asked = TClock::now();
    bench.Simulator().Stop();
    sim::TRunEnd end{};
    ASSERT_TRUE(bench.EndsWithin(1000ms, end));
    EXPECT_EQ(end, sim::TRunEnd::reStopped);
    EXPECT_LT(Milliseconds(TClock::now() - asked), 500.0);
    EXPECT_TRUE(peer.Receive(50ms).Bytes.empty());
}
