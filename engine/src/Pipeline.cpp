#include "Pipeline.h"

#include "vbuzip10.h"

#include <algorithm>
#include <memory>
#include <system_error>

namespace vbuzip {

namespace {
constexpr size_t MaxWorkers = 4;
} // namespace

Pipeline::Pipeline(Archive& archive, std::vector<size_t> items, Work work)
    : m_items(std::move(items)), m_state(m_items.size(), State::Pending),
      m_failures(m_items.size()), m_work(std::move(work)) {
    if (m_items.empty())
        return;
    size_t count = std::clamp<size_t>(std::thread::hardware_concurrency(), 1, MaxWorkers);
    count = std::min(count, m_items.size());
    for (size_t t = 0; t < count; ++t) {
        try {
            m_threads.emplace_back([this, &archive, t] { runWorker(archive, t); });
        } catch (const std::system_error&) {
            if (m_threads.empty())
                throw Failure(UZ_ERR_MEMORY, "cannot start a thread");
            break; // the threads already running share the work
        }
    }
}

void Pipeline::stop() {
    m_cancel.store(true);
    for (std::thread& thread : m_threads)
        thread.join();
    m_threads.clear();
}

void Pipeline::wait(size_t k, const std::function<void()>& tick) {
    std::unique_lock lock(m_mutex);
    const auto ended = [&] { return m_state[k] != State::Pending; };
    if (!tick) {
        m_done.wait(lock, ended);
    } else {
        while (!m_done.wait_for(lock, Tick, ended)) {
            lock.unlock();
            tick();
            lock.lock();
        }
    }
    if (m_state[k] == State::Failed)
        throw m_failures[k].value();
}

void Pipeline::runWorker(Archive& shared, size_t index) {
    std::unique_ptr<Archive> own;
    Archive* archive = &shared;
    if (index > 0) {
        // A handle of its own; without one this thread leaves the work to the others.
        try {
            own = shared.reopen();
            archive = own.get();
        } catch (...) {
            return;
        }
    }
    for (;;) {
        size_t k = m_next.fetch_add(1);
        if (k >= m_items.size())
            return;
        std::optional<Failure> failure;
        if (m_cancel.load())
            failure = Failure(UZ_ERR_STOPPED, "stopped");
        else {
            try {
                m_work(*archive, m_items[k], m_cancel);
            } catch (const Failure& f) {
                failure = f;
            } catch (const std::bad_alloc&) {
                failure = Failure(UZ_ERR_MEMORY, "out of memory");
            } catch (const std::exception& e) {
                failure = Failure(UZ_ERR_ARCHIVE, e.what());
            }
        }
        {
            std::lock_guard lock(m_mutex);
            m_state[k] = failure ? State::Failed : State::Done;
            m_failures[k] = std::move(failure);
        }
        m_done.notify_all();
    }
}

} // namespace vbuzip
