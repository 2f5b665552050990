#include "frontend/QtEventLoop_linux.h"

#include <QCoreApplication>
#include <QTimerEvent>

class QtEventLoop::QtTimer : public EventLoop::Timer {
public:
    QtTimer(QtEventLoop* loop, int id) : m_loop(loop), m_id(id) {}
    ~QtTimer() override {
        if (m_loop)
            m_loop->stopTimer(m_id);
    }

private:
    QPointer<QtEventLoop> m_loop;
    int m_id;
};

void QtEventLoop::processPending() {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void QtEventLoop::waitForNext() {
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

void QtEventLoop::post(std::function<void()> work) {
    // A queued call is an event in this object's thread's queue, posted safely from any thread.
    QMetaObject::invokeMethod(this, std::move(work), Qt::QueuedConnection);
}

std::unique_ptr<EventLoop::Timer> QtEventLoop::startTimer(std::chrono::milliseconds interval,
                                                          bool repeat, std::function<void()> tick) {
    // The coarse kind, as QTimer's default: within 5 % of the interval.
    const int id = QObject::startTimer(interval, Qt::CoarseTimer);
    m_ticks[id] = {repeat, std::move(tick)};
    return std::make_unique<QtTimer>(this, id);
}

void QtEventLoop::stopTimer(int id) {
    if (m_ticks.erase(id))
        killTimer(id);
}

void QtEventLoop::timerEvent(QTimerEvent* event) {
    const auto found = m_ticks.find(event->timerId());
    if (found == m_ticks.end())
        return;
    const std::function<void()> tick = found->second.tick;
    if (!found->second.repeat)
        stopTimer(event->timerId());
    tick();
}
