// The run's event loop, as the core sees it: the front-end's message pump (Qt's on Linux, the
// Win32 one on Windows). The update run waits on it, asleep between events, while the window stays
// served; other threads hand work back to the run's thread through post().
#pragma once

#include <chrono>
#include <functional>
#include <memory>

class EventLoop {
public:
    // A running timer; destroying it stops it (also from within its own tick).
    class Timer {
    public:
        virtual ~Timer() = default;
    };

    virtual ~EventLoop() = default;

    // Handles every pending event, then returns.
    virtual void processPending() = 0;
    // Handles every pending event; when there was none, sleeps until the next one arrives.
    virtual void waitForNext() = 0;
    // From any thread: runs `work` on the loop's thread, on a later turn of the loop, and wakes a
    // waitForNext() there. Work posted from one thread runs in the order posted.
    virtual void post(std::function<void()> work) = 0;
    // Calls `tick` on the loop's thread after `interval`, and again every `interval` when
    // `repeat`, until the returned timer is destroyed.
    virtual std::unique_ptr<Timer> startTimer(std::chrono::milliseconds interval, bool repeat,
                                              std::function<void()> tick) = 0;

    // Handles events, asleep between them, until `done` answers true (checked first).
    void waitUntil(const std::function<bool()>& done) {
        while (!done())
            waitForNext();
    }
};
