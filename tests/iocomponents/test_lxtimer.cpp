// TlxTimer on the real Qt event loop of the test's main thread.
#include "eventloop.h"
#include "lxclasses.h"

#include <QElapsedTimer>
#include <functional>
#include <gtest/gtest.h>
#include <ostream>
#include <vector>

namespace {

using lxtest::RunFor;
using lxtest::RunUntil;

// Counts every tick that reaches the timer, with or without a handler.
class TCountingTimer : public TlxTimer {
public:
    int Arrived = 0;

protected:
    void DoTimer() override {
        ++Arrived;
        TlxTimer::DoTimer();
    }
};

// The handler: records when each tick came, and can act on the timer.
struct TTicks {
    QElapsedTimer Clock;
    std::vector<qint64> At;
    std::function<void()> Then;

    TTicks() { Clock.start(); }
    int Count() const { return static_cast<int>(At.size()); }
    void OnTimer(QObject*) {
        At.push_back(Clock.elapsed());
        if (Then) {
            Then();
        }
    }
    TNotifyEvent Handler() { return TNotifyEvent::Bind<&TTicks::OnTimer>(this); }
};

TEST(LxTimer, DefaultsTickEvery1000Ms) {
    TlxTimer Timer;
    EXPECT_TRUE(Timer.Enabled());
    EXPECT_EQ(Timer.Interval(), 1000u);
    TTicks Ticks;
    Timer.SetOnTimer(Ticks.Handler());
    ASSERT_TRUE(RunUntil([&] { return Ticks.Count() >= 2; }, 4000));
    // A tick is never early; late only by what the machine's load adds.
    EXPECT_GE(Ticks.At[0], 990);
    EXPECT_LE(Ticks.At[0], 1400);
    EXPECT_GE(Ticks.At[1] - Ticks.At[0], 900);
    EXPECT_LE(Ticks.At[1] - Ticks.At[0], 1400);
}

TEST(LxTimer, IntervalZeroStopsWhileEnabledAndANewIntervalRestarts) {
    TlxTimer Timer;
    TTicks Ticks;
    Timer.SetInterval(10);
    Timer.SetOnTimer(Ticks.Handler());
    ASSERT_TRUE(RunUntil([&] { return Ticks.Count() >= 3; }, 2000));

    Timer.SetInterval(0);
    EXPECT_TRUE(Timer.Enabled());
    const int Stopped = Ticks.Count();
    RunFor(100);
    EXPECT_EQ(Ticks.Count(), Stopped);

    Timer.SetInterval(10);
    EXPECT_TRUE(RunUntil([&] { return Ticks.Count() >= Stopped + 3; }, 2000));
}

TEST(LxTimer, WithoutAHandlerNothingIsArmed) {
    TCountingTimer Timer;
    Timer.SetInterval(5);
    Timer.SetEnabled(false);
    Timer.SetEnabled(true);
    Timer.SetOnTimer(TNotifyEvent{});
    RunFor(60);
    EXPECT_EQ(Timer.Arrived, 0);

    // The same timer ticks once it has a handler.
    TTicks Ticks;
    Timer.SetOnTimer(Ticks.Handler());
    EXPECT_TRUE(RunUntil([&] { return Ticks.Count() >= 2; }, 2000));
    EXPECT_EQ(Timer.Arrived, Ticks.Count());
}

TEST(LxTimer, AHandlerThatRaisesDoesNotStopTheTimer) {
    TlxTimer Timer;
    TTicks Ticks;
    Ticks.Then = [] { throw ElxError("tick failed"); };
    Timer.SetInterval(5);
    Timer.SetOnTimer(Ticks.Handler());
    EXPECT_TRUE(RunUntil([&] { return Ticks.Count() >= 4; }, 2000));
}

TEST(LxTimer, DisableSetIntervalEnableGivesAOneShotDelay) {
    TlxTimer Timer;
    TTicks Ticks;
    // The handler ends its own timer: exactly one tick, a new period's length after the enable.
    Ticks.Then = [&] { Timer.SetEnabled(false); };
    Timer.SetOnTimer(Ticks.Handler());
    RunFor(50);
    Timer.SetEnabled(false);
    Timer.SetInterval(150);
    Ticks.Clock.restart();
    Timer.SetEnabled(true);
    ASSERT_TRUE(RunUntil([&] { return Ticks.Count() >= 1; }, 2000));
    EXPECT_GE(Ticks.At[0], 145);
    EXPECT_LE(Ticks.At[0], 900); // far below the 950 ms left of the old period
    RunFor(400);
    EXPECT_EQ(Ticks.Count(), 1);
}

// Each write happens 250 ms into a 500 ms period: a write that re-arms moves the first tick to
// 750 ms, one that changes nothing leaves it at 500 ms.
struct TRestartCase {
    const char* Name;
    std::function<void(TlxTimer&, TTicks&)> Write;
    bool Restarts;
};

void PrintTo(const TRestartCase& Case, std::ostream* Out) {
    *Out << Case.Name;
}

class LxTimerRestart : public ::testing::TestWithParam<TRestartCase> {};

TEST_P(LxTimerRestart, OnlyRealChangesAndHandlerWritesRestartThePeriod) {
    TlxTimer Timer;
    TTicks Ticks;
    Timer.SetInterval(500);
    Timer.SetOnTimer(Ticks.Handler());
    Ticks.Clock.restart();
    RunFor(250);
    ASSERT_EQ(Ticks.Count(), 0) << "the machine is too slow for this test";
    GetParam().Write(Timer, Ticks);
    ASSERT_TRUE(RunUntil([&] { return Ticks.Count() >= 1; }, 3000));
    if (GetParam().Restarts) {
        EXPECT_GE(Ticks.At[0], 740);
    } else {
        EXPECT_LT(Ticks.At[0], 625);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Writes, LxTimerRestart,
    ::testing::Values(TRestartCase{"same_values",
                                   [](TlxTimer& Timer, TTicks&) {
                                       Timer.SetEnabled(true);
                                       Timer.SetInterval(500);
                                   },
                                   false},
                      TRestartCase{
                          "same_handler",
                          [](TlxTimer& Timer, TTicks& Ticks) { Timer.SetOnTimer(Ticks.Handler()); },
                          true},
                      TRestartCase{"new_interval",
                                   [](TlxTimer& Timer, TTicks&) { Timer.SetInterval(499); }, true}),
    [](const auto& Info) { return std::string(Info.param.Name); });

} // namespace
