#include "process/ProcessExitWatch.h"

ProcessExitWatch::ProcessExitWatch(qint64 processId, QObject* parent)
    : ProcessExitWatch(processId, Method::Best, parent) {}

ProcessExitWatch::ProcessExitWatch(qint64 processId, Method method, QObject* parent)
    : QObject(parent), m_processId(processId) {
    bool alreadyEnded = false;
    if (method == Method::Best && attachNotifier(alreadyEnded)) {
        // The safety tick only wakes the waiting loop; its event is all it needs to post.
        m_safetyTimer.setInterval(SafetyIntervalMs);
        m_safetyTimer.start();
        return;
    }
    if (alreadyEnded) {
        // Report from the event loop, so that a caller can connect to exited() first.
        QTimer::singleShot(0, this, &ProcessExitWatch::markExited);
        return;
    }
    m_pollTimer.setInterval(PollIntervalMs);
    connect(&m_pollTimer, &QTimer::timeout, this, &ProcessExitWatch::onPollTick);
    m_pollTimer.start();
}

ProcessExitWatch::~ProcessExitWatch() {
    detachNotifier();
}

void ProcessExitWatch::onPollTick() {
    if (processHasEnded(m_processId))
        markExited();
}

void ProcessExitWatch::markExited() {
    if (m_exited)
        return;
    m_exited = true;
    m_pollTimer.stop();
    m_safetyTimer.stop();
    detachNotifier();
    emit exited();
}
