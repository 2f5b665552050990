// The event loop of the Windows front-end: the thread's Win32 message queue, so that the windows
// are served while the run waits. It sleeps in MsgWaitForMultipleObjectsEx until a message
// arrives; its timers (SetTimer) and the wake-up for posted work (PostMessage) are messages to a
// message-only window of its own, so that every message loop of the thread, a modal one (a message
// box, the version-notes window) included, runs them as well. Messages are handed on with the
// dialog keys for dialog windows (WindowMessages_windows.h).
//
// To be made, run and destroyed on one thread; post() may be called from any thread.
#pragma once

#include <windows.h>

#include <memory>

#include "core/EventLoop.h"

class Win32EventLoop : public EventLoop {
public:
    Win32EventLoop();
    ~Win32EventLoop() override;
    Win32EventLoop(const Win32EventLoop&) = delete;
    Win32EventLoop& operator=(const Win32EventLoop&) = delete;

    void processPending() override;
    void waitForNext() override;
    void post(std::function<void()> work) override;
    std::unique_ptr<Timer> startTimer(std::chrono::milliseconds interval, bool repeat,
                                      std::function<void()> tick) override;

    // The message-only window that receives the timers and the wake-ups.
    HWND messageWindow() const;

private:
    struct State;
    class Win32Timer;

    // Handles the messages in the queue: each timer ticks, and the posted work runs, at most once
    // per turn (work that posts work, a timer shorter than its tick, wait for the next turn).
    // True when a message was handled.
    bool turn();

    std::shared_ptr<State> m_state;
};
