// Prepares the update of a run on a thread of its own, so that the next package can download and
// the window stays served while the packages already here are prepared: each package handed over
// is checked against the publisher's keys (when signatures are required), listed, and staged into
// the program folder's update, in the order handed over (a file of a later package wins).
//
// The preparing thread is the only one that calls the engine or the verifier while packages are
// being prepared; the run's own thread hands packages over, reads the progress, and once idle()
// may use the archive object again (to commit). The first failure ends the preparing: later
// packages are not looked at, and failure() holds the status line that ends the run.
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

class cUnzip;
class UpdateVerifier;

class UpdatePreparer : public QObject {
    Q_OBJECT
public:
    // The archive object's folder is the program folder; the verifier is loaded.
    UpdatePreparer(cUnzip& archive, UpdateVerifier& verifier, QString programFolder);
    // Stops and discards, waiting as long as the engine call in progress takes.
    ~UpdatePreparer() override;

    // Hands over a package that has arrived in updates/.
    void add(const QString& package);
    // True when every package handed over is prepared, or the preparing failed or was stopped.
    bool idle() const;
    // The status line of the failure that ended the preparing ("ERROR: ...").
    std::optional<QString> failure() const;
    // Bytes of the entries staged so far, and of the entries of every package listed so far.
    qint64 preparedBytes() const { return m_prepared; }
    qint64 totalBytes() const { return m_total; }

    // Asks the engine call in progress to stop at its next entry, takes no more packages, and
    // waits up to `limit` for the thread to be idle. True when it is (discard() may follow).
    bool stop(std::chrono::milliseconds limit);
    // Removes everything prepared (after stop(), or instead of a commit).
    void discard();

signals:
    // From the preparing thread, delivered on the object's own: the progress moved (at most every
    // few milliseconds), a package is prepared, or the preparing failed.
    void changed();

private:
    void work();
    void prepare(const QString& package);
    qint64 listSize(const QString& package);
    void fail(const QString& line);
    void notify(bool always);

    cUnzip& m_archive;
    UpdateVerifier& m_verifier;
    const QString m_programFolder;

    mutable std::mutex m_mutex;
    std::condition_variable m_wake;      // work arrived, or stop
    std::condition_variable m_idleState; // the thread became idle
    QStringList m_queue;
    bool m_working = false; // a package is being prepared
    bool m_begun = false;   // the engine's update is open (preparing thread only)
    std::optional<QString> m_failure;
    std::atomic<bool> m_stopping = false;
    std::atomic<qint64> m_prepared = 0;
    std::atomic<qint64> m_total = 0;
    std::atomic<qint64> m_lastNotice = 0; // ms since the epoch of the steady clock
    qint64 m_preparedBefore = 0; // staged bytes of the packages before (preparing thread only)
    std::thread m_thread;
};
