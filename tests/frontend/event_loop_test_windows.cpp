// The Windows front-end's event loop: asleep until posted work, a timer or a message arrives, and
// its work and timers also served by any other message loop of the thread (a modal window's).
#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "Child.h"
#include "frontend/Win32EventLoop_windows.h"
#include "process/ProcessExitWatch.h"

namespace {

using namespace std::chrono_literals;

// Time the calling thread has spent on the processor, in milliseconds.
double ThreadCpuMs() {
    FILETIME created, ended, kernel, user;
    GetThreadTimes(GetCurrentThread(), &created, &ended, &kernel, &user);
    const auto ms = [](const FILETIME& time) {
        return ((static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime) / 1e4;
    };
    return ms(kernel) + ms(user);
}

// Waits on `loop` until `done`, with a limit so that a loop that never wakes fails the test.
bool WaitFor(Win32EventLoop& loop, const std::function<bool()>& done) {
    bool timedOut = false;
    auto limit = loop.startTimer(30s, false, [&timedOut] { timedOut = true; });
    loop.waitUntil([&] { return done() || timedOut; });
    return done();
}

TEST(Win32EventLoop, WorkPostedFromAnotherThreadWakesTheWaitAndRunsInOrder) {
    Win32EventLoop loop;
    std::vector<int> ran;
    std::promise<void> waiting;
    std::thread poster([&] {
        // Once the loop's thread is on its way to sleep in its wait.
        waiting.get_future().wait();
        for (int i = 0; i < 200; ++i)
            loop.post([&ran, i] { ran.push_back(i); });
    });
    loop.post([&waiting] { waiting.set_value(); });
    ASSERT_TRUE(WaitFor(loop, [&] { return ran.size() == 200; }));
    poster.join();
    for (int i = 0; i < 200; ++i)
        ASSERT_EQ(ran[static_cast<std::size_t>(i)], i);
}

TEST(Win32EventLoop, TimersTickOnceOrRepeatedlyAndStopWhenDestroyed) {
    Win32EventLoop loop;
    int once = 0, repeated = 0;
    std::unique_ptr<EventLoop::Timer> single = loop.startTimer(10ms, false, [&once] { ++once; });
    std::unique_ptr<EventLoop::Timer> repeating;
    repeating = loop.startTimer(10ms, true, [&] {
        // Destroyed from within its own tick, on the fifth.
        if (++repeated == 5)
            repeating.reset();
    });
    ASSERT_TRUE(WaitFor(loop, [&] { return repeated == 5; }));
    // Long enough for several more ticks of a timer that did not stop.
    int later = 0;
    auto after = loop.startTimer(150ms, false, [&later] { ++later; });
    ASSERT_TRUE(WaitFor(loop, [&] { return later == 1; }));
    EXPECT_EQ(once, 1);
    EXPECT_EQ(repeated, 5);
}

TEST(Win32EventLoop, WorkThatPostsWorkWaitsForTheNextTurn) {
    Win32EventLoop loop;
    int runs = 0;
    std::function<void()> again = [&] {
        ++runs;
        loop.post(again);
    };
    loop.post(again);
    loop.processPending();
    EXPECT_EQ(runs, 1);
    loop.processPending();
    EXPECT_EQ(runs, 2);
}

TEST(Win32EventLoop, SleepsWithoutSpendingTheProcessorUntilATimer) {
    Win32EventLoop loop;
    loop.processPending();
    bool ticked = false;
    auto timer = loop.startTimer(400ms, false, [&ticked] { ticked = true; });
    const double before = ThreadCpuMs();
    ASSERT_TRUE(WaitFor(loop, [&] { return ticked; }));
    EXPECT_LT(ThreadCpuMs() - before, 100.0) << "the wait spins";
}

TEST(Win32EventLoop, AnotherMessageLoopOfTheThreadRunsPostsAndTimers) {
    Win32EventLoop loop;
    bool posted = false, ticked = false, nestedDone = false;
    std::thread poster;
    loop.post([&] {
        // A modal window's own loop, as the version-notes window or a message box runs one.
        poster = std::thread([&] { loop.post([&posted] { posted = true; }); });
        auto timer = loop.startTimer(20ms, false, [&ticked] { ticked = true; });
        MSG message;
        while (!(posted && ticked) && GetMessageW(&message, nullptr, 0, 0) > 0)
            DispatchMessageW(&message);
        nestedDone = true;
    });
    const bool done = WaitFor(loop, [&] { return nestedDone; });
    if (poster.joinable())
        poster.join();
    ASSERT_TRUE(done);
    EXPECT_TRUE(posted);
    EXPECT_TRUE(ticked);
}

TEST(Win32EventLoop, WakesWhenAWatchedProcessEnds) {
    Win32EventLoop loop;
    Child child(kSleepProgram, SleepArgs("sleeper", "60"));
    ASSERT_GT(child.pid(), 0);
    ProcessExitWatch watch(loop, child.pid());
    ASSERT_FALSE(watch.isPolling());
    loop.processPending();
    EXPECT_FALSE(watch.hasExited());
    std::thread([&child] { child.killAndLeaveZombie(); }).join();
    ASSERT_TRUE(WaitFor(loop, [&] { return watch.hasExited(); }));
}

} // namespace
