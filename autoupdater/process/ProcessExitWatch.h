// Wakes an event loop when a process ends, so that a wait for it needs no busy polling:
//
//     ProcessExitWatch watch(pid);
//     while (Process_Running("Vorn.exe", pid))
//         QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
//
// Where the system can notify the end of a process (a Linux pidfd), the watch sleeps until that
// notification, with one slow safety tick per second (the process may also stop matching without
// ending, e.g. by running another program). Otherwise it polls the process every 50 ms. Either
// way, every tick posts an event and so ends the loop's wait; exited() is emitted once, when the
// watch sees that the process has ended.
#pragma once

#include <QObject>
#include <QTimer>

class QSocketNotifier;

class ProcessExitWatch : public QObject {
    Q_OBJECT
public:
    enum class Method {
        Best,    // the system's notification when it is available, else polling
        Polling, // polling only
    };

    static constexpr int SafetyIntervalMs = 1000;
    static constexpr int PollIntervalMs = 50;

    explicit ProcessExitWatch(qint64 processId, QObject* parent = nullptr);
    ProcessExitWatch(qint64 processId, Method method, QObject* parent = nullptr);
    ~ProcessExitWatch() override;

    qint64 processId() const { return m_processId; }
    // True while the watch polls instead of waiting for a notification from the system.
    bool isPolling() const { return m_pollTimer.isActive(); }
    // True once exited() has been emitted.
    bool hasExited() const { return m_exited; }

signals:
    void exited();

private:
    // Platform part: sets up the system's notification of the process's end. Returns false when
    // there is none; sets alreadyEnded when the process was found to have ended already.
    bool attachNotifier(bool& alreadyEnded);
    void detachNotifier();
    // Platform part: true when the process has ended (or never existed).
    static bool processHasEnded(qint64 processId);

    void onPollTick();
    void markExited();

    qint64 m_processId;
    bool m_exited = false;
    QTimer m_safetyTimer;
    QTimer m_pollTimer;
    QSocketNotifier* m_notifier = nullptr;
    int m_handle = -1;
};
