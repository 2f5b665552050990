// The event loop of the Linux front-end: Qt's, so that the window is served while the run waits.
#pragma once

#include <QObject>
#include <QPointer>
#include <map>

#include "core/EventLoop.h"

class QtEventLoop : public QObject, public EventLoop {
    Q_OBJECT
public:
    QtEventLoop() = default;

    void processPending() override;
    void waitForNext() override;
    void post(std::function<void()> work) override;
    std::unique_ptr<Timer> startTimer(std::chrono::milliseconds interval, bool repeat,
                                      std::function<void()> tick) override;

protected:
    void timerEvent(QTimerEvent* event) override;

private:
    class QtTimer;
    struct Tick {
        bool repeat = false;
        std::function<void()> tick;
    };
    void stopTimer(int id);

    std::map<int, Tick> m_ticks; // by Qt's timer id
};
