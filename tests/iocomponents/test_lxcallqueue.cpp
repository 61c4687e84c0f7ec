// Calls handed across threads: every call runs once, on the queue's thread, in each poster's
// order; a queue that goes first takes its calls with it.
#include "eventloop.h"
#include "lxcallqueue.h"

#include <QCoreApplication>
#include <atomic>
#include <gtest/gtest.h>
#include <memory>
#include <thread>
#include <vector>

namespace {

using lxtest::RunFor;
using lxtest::RunUntil;

TEST(LxCallQueue, CallsFromManyThreadsRunOnceEachOnTheQueueThreadInPostingOrder) {
    constexpr int Posters = 4;
    constexpr int PerPoster = 500;
    TlxCallQueue Queue;
    const std::thread::id Own = std::this_thread::get_id();
    // Touched only on the queue's thread: a call that ran elsewhere is counted as foreign.
    std::vector<std::vector<int>> Seen(Posters);
    int Foreign = 0;
    std::vector<std::thread> Threads;
    for (int P = 0; P < Posters; ++P) {
        Threads.emplace_back([&, P] {
            for (int I = 0; I < PerPoster; ++I) {
                Queue.Post([&, P, I] {
                    if (std::this_thread::get_id() != Own) {
                        ++Foreign;
                    }
                    Seen[P].push_back(I);
                });
            }
        });
    }
    for (std::thread& Thread : Threads) {
        Thread.join();
    }
    const auto Total = [&] {
        std::size_t Sum = 0;
        for (const auto& List : Seen) {
            Sum += List.size();
        }
        return Sum;
    };
    ASSERT_TRUE(RunUntil([&] { return Total() == Posters * PerPoster; }, 5000));
    RunFor(20);
    EXPECT_EQ(Total(), static_cast<std::size_t>(Posters * PerPoster)) << "a call ran twice";
    EXPECT_EQ(Foreign, 0);
    for (const auto& List : Seen) {
        for (int I = 0; I < PerPoster; ++I) {
            ASSERT_EQ(List[I], I);
        }
    }
}

TEST(LxCallQueue, ACallPostedOnTheQueueThreadWaitsForTheEventLoop) {
    TlxCallQueue Queue;
    int Ran = 0;
    Queue.Post([&] {
        ++Ran;
        Queue.Post([&] { ++Ran; });
        EXPECT_EQ(Ran, 1) << "a call posted from a call ran inside it";
    });
    EXPECT_EQ(Ran, 0);
    ASSERT_TRUE(RunUntil([&] { return Ran == 2; }, 2000));
}

TEST(LxCallQueue, CallsStillQueuedWhenTheQueueGoesAreDroppedWithTheirCaptures) {
    auto Witness = std::make_shared<int>(0);
    std::atomic<int> Ran = 0;
    {
        TlxCallQueue Queue;
        std::thread Poster([&] {
            for (int I = 0; I < 10; ++I) {
                Queue.Post([&Ran, Witness] { ++Ran; });
            }
        });
        Poster.join();
        EXPECT_EQ(Witness.use_count(), 11);
    }
    RunFor(20);
    EXPECT_EQ(Ran, 0);
    EXPECT_EQ(Witness.use_count(), 1) << "a dropped call kept what it captured";
}

TEST(LxCallQueue, TheMainThreadQueueServesAnyThread) {
    const std::thread::id Main = std::this_thread::get_id();
    std::atomic<bool> OnMain = false;
    std::thread Poster(
        [&] { LxPostToMainThread([&] { OnMain = std::this_thread::get_id() == Main; }); });
    Poster.join();
    EXPECT_TRUE(RunUntil([&] { return OnMain.load(); }, 2000));
}

} // namespace
