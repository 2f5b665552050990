// Wakes an event loop when a process ends, so that a wait for it needs no busy polling:
//
//     ProcessExitWatch watch(loop, pid);
//     while (Process_Running("Vorn.exe", pid))
//         loop.waitForNext();
//
// Where the system can notify the end of a process (a Linux pidfd, a Windows process handle), a
// small thread of the watch sleeps until that notification and then posts to the loop, which
// meanwhile gets one slow safety tick per second (the process may also stop matching without
// ending, e.g. by running another program). Otherwise the watch polls the process every 50 ms
// with a timer of the loop. Either way, every tick or post ends the loop's wait; exited is called
// once, on the loop's thread, when the watch sees that the process has ended.
#pragma once

#include "core/EventLoop.h"

#include <cstdint>
#include <functional>
#include <memory>

class ProcessExitWatch {
public:
    enum class Method {
        Best,    // the system's notification when it is available, else polling
        Polling, // polling only
    };

    static constexpr int SafetyIntervalMs = 1000;
    static constexpr int PollIntervalMs = 50;

    // Watches processId on loop, which must outlive the watch. exited may also be set afterwards:
    // it is called from a later turn of the loop at the earliest, also when the process has
    // already ended (or never existed).
    ProcessExitWatch(EventLoop& loop, std::int64_t processId, Method method = Method::Best,
                     std::function<void()> exited = {});
    ~ProcessExitWatch();
    ProcessExitWatch(const ProcessExitWatch&) = delete;
    ProcessExitWatch& operator=(const ProcessExitWatch&) = delete;

    std::int64_t processId() const { return m_processId; }
    // True while the watch polls instead of waiting for a notification from the system.
    bool isPolling() const { return m_pollTimer != nullptr; }
    // True once exited has been called (or would have been, when it is empty).
    bool hasExited() const { return m_exited; }

    // Called once when the process has ended.
    std::function<void()> exited;

private:
    // The system's notification (platform part). Its thread reaches the watch through a Link,
    // which the watch cuts when it goes away; posted work that finds it cut does nothing.
    struct Notifier;
    struct Link {
        ProcessExitWatch* watch; // touched on the loop's thread only
    };

    // Platform part: sets up the system's notification of the process's end, whose thread posts
    // notifyEnded() (or startPolling() should its wait fail) to the loop. Returns false when there
    // is none; sets alreadyEnded when the process was found to have ended already.
    bool attachNotifier(bool& alreadyEnded);
    // Platform part: stops and joins the notification's thread, releases what it holds.
    void detachNotifier();
    // Platform part: true when the process has ended (or never existed).
    static bool processHasEnded(std::int64_t processId);

    // For the platform parts' threads: posts work to the loop that runs `step` on the watch if it
    // is still there.
    void postToWatch(void (ProcessExitWatch::*step)());

    void startPolling();
    void onPollTick();
    void markExited();

    EventLoop& m_loop;
    std::int64_t m_processId;
    bool m_exited = false;
    std::shared_ptr<Link> m_link;
    std::unique_ptr<EventLoop::Timer> m_safetyTimer;
    std::unique_ptr<EventLoop::Timer> m_pollTimer;
    std::unique_ptr<EventLoop::Timer> m_endedTimer; // the already-ended case's report
    Notifier* m_notifier = nullptr;
};
