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

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

class EventLoop;
class cUnzip;
class UpdateVerifier;

class UpdatePreparer {
public:
    // The archive object's folder is the program folder; the verifier is loaded. `loop` is the
    // run's thread's, where `changed` is called.
    UpdatePreparer(cUnzip& archive, UpdateVerifier& verifier, std::string programFolder,
                   EventLoop& loop);
    // Stops and discards, waiting as long as the engine call in progress takes.
    ~UpdatePreparer();
    UpdatePreparer(const UpdatePreparer&) = delete;
    UpdatePreparer& operator=(const UpdatePreparer&) = delete;

    // Hands over a package that has arrived in updates/.
    void add(const std::string& package);
    // True when every package handed over is prepared, or the preparing failed or was stopped.
    bool idle() const;
    // The status line of the failure that ended the preparing ("ERROR: ...").
    std::optional<std::string> failure() const;
    // Bytes of the entries staged so far, and of the entries of every package listed so far.
    std::int64_t preparedBytes() const { return m_prepared; }
    std::int64_t totalBytes() const { return m_total; }

    // Asks the engine call in progress to stop at its next entry, takes no more packages, and
    // waits up to `limit` for the thread to be idle. True when it is (discard() may follow).
    bool stop(std::chrono::milliseconds limit);
    // Removes everything prepared (after stop(), or instead of a commit).
    void discard();

    // Called on the run's thread, posted from the preparing thread: the progress moved (at most
    // every few milliseconds), a package is prepared, or the preparing failed.
    std::function<void()> changed;

private:
    void work();
    void prepare(const std::string& package);
    std::int64_t listSize(const std::string& package);
    void fail(const std::string& line);
    void notify(bool always);

    cUnzip& m_archive;
    UpdateVerifier& m_verifier;
    const std::string m_programFolder;
    EventLoop& m_loop;
    // Shared with the notices posted to the run's thread: false once the object is gone.
    const std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);

    mutable std::mutex m_mutex;
    std::condition_variable m_wake;      // work arrived, or stop
    std::condition_variable m_idleState; // the thread became idle
    std::deque<std::string> m_queue;
    bool m_working = false; // a package is being prepared
    bool m_begun = false;   // the engine's update is open (preparing thread only)
    std::optional<std::string> m_failure;
    std::atomic<bool> m_stopping = false;
    std::atomic<std::int64_t> m_prepared = 0;
    std::atomic<std::int64_t> m_total = 0;
    std::atomic<std::int64_t> m_lastNotice = 0; // ms since the epoch of the steady clock
    std::int64_t m_preparedBefore =
        0; // staged bytes of the packages before (preparing thread only)
    std::thread m_thread;
};
