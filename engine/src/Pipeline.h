// Runs work on the entries of a call on worker threads, in entry order, while the calling thread
// waits for each result in turn. Only the calling thread calls the program back.
#pragma once

#include "Archive.h"
#include "Failure.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace vbuzip {

class Pipeline {
public:
    // Work on one item; throws Failure. Each thread reads with an archive handle of its own;
    // cancel turns true when the call ends early.
    using Work = std::function<void(Archive&, size_t item, const std::atomic<bool>& cancel)>;

    // Starts the workers on the items (values the work understands); fails with UZ_ERR_MEMORY
    // when no thread can be started.
    Pipeline(Archive& archive, std::vector<size_t> items, Work work);
    ~Pipeline() { stop(); }
    Pipeline(const Pipeline&) = delete;
    Pipeline& operator=(const Pipeline&) = delete;

    // Stops the workers and waits until they have ended.
    void stop();

    // Waits for the k-th item of the list; throws its failure. While it waits, tick (when given)
    // is called every Tick on the calling thread; what it throws ends the wait.
    static constexpr std::chrono::milliseconds Tick{100};
    void wait(size_t k, const std::function<void()>& tick = {});

private:
    enum class State { Pending, Done, Failed };

    void runWorker(Archive& shared, size_t index);

    std::vector<size_t> m_items;
    std::vector<State> m_state;
    std::vector<std::optional<Failure>> m_failures;
    Work m_work;
    std::atomic<size_t> m_next{0};
    std::atomic<bool> m_cancel{false};
    std::mutex m_mutex;
    std::condition_variable m_done;
    std::vector<std::thread> m_threads;
};

} // namespace vbuzip
