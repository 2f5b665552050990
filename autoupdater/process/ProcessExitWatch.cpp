#include "process/ProcessExitWatch.h"

#include <utility>

ProcessExitWatch::ProcessExitWatch(EventLoop& loop, std::int64_t processId, Method method,
                                   std::function<void()> exited)
    : exited(std::move(exited)), m_loop(loop), m_processId(processId),
      m_link(std::make_shared<Link>(Link{this})) {
    bool alreadyEnded = false;
    if (method == Method::Best && attachNotifier(alreadyEnded)) {
        // The safety tick only wakes the waiting loop; its turn is all it needs.
        m_safetyTimer = m_loop.startTimer(std::chrono::milliseconds(SafetyIntervalMs), true, [] {});
        return;
    }
    if (alreadyEnded) {
        // Report from the event loop, so that a caller can set exited first.
        m_endedTimer =
            m_loop.startTimer(std::chrono::milliseconds(0), false, [this] { markExited(); });
        return;
    }
    startPolling();
}

ProcessExitWatch::~ProcessExitWatch() {
    detachNotifier();
    m_link->watch = nullptr;
}

void ProcessExitWatch::postToWatch(void (ProcessExitWatch::*step)()) {
    m_loop.post([link = m_link, step] {
        if (link->watch)
            (link->watch->*step)();
    });
}

void ProcessExitWatch::startPolling() {
    if (m_exited || m_pollTimer)
        return;
    detachNotifier();
    m_safetyTimer.reset();
    m_pollTimer = m_loop.startTimer(std::chrono::milliseconds(PollIntervalMs), true,
                                    [this] { onPollTick(); });
}

void ProcessExitWatch::onPollTick() {
    if (processHasEnded(m_processId))
        markExited();
}

void ProcessExitWatch::markExited() {
    if (m_exited)
        return;
    m_exited = true;
    m_pollTimer.reset();
    m_safetyTimer.reset();
    m_endedTimer.reset();
    detachNotifier();
    if (exited)
        exited();
}
