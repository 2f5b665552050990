// An event loop for tests, on every platform and without a window system: posted work and timers
// on the thread that runs the loop, asleep between them. It stands in for the front-end's message
// pump wherever the core waits.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "core/EventLoop.h"

class TestLoop : public EventLoop {
public:
    void processPending() override { runDue(false); }
    void waitForNext() override { runDue(true); }

    void post(std::function<void()> work) override {
        {
            const std::lock_guard<std::mutex> guard(m_state->mutex);
            m_state->posted.push_back(std::move(work));
        }
        m_state->wake.notify_all();
    }

    std::unique_ptr<Timer> startTimer(std::chrono::milliseconds interval, bool repeat,
                                      std::function<void()> tick) override {
        const std::lock_guard<std::mutex> guard(m_state->mutex);
        const int id = ++m_state->lastId;
        m_state->timers[id] = {Clock::now() + interval, interval, repeat, std::move(tick)};
        return std::make_unique<Handle>(m_state, id);
    }

    // Handles events until `done` answers true or `limit` has passed; true when done.
    bool runUntil(const std::function<bool()>& done,
                  std::chrono::milliseconds limit = std::chrono::seconds(60)) {
        const auto deadline = Clock::now() + limit;
        auto guard = startTimer(limit, false, [] {});
        while (!done()) {
            if (Clock::now() >= deadline)
                return false;
            waitForNext();
        }
        return true;
    }

private:
    using Clock = std::chrono::steady_clock;
    struct TimerState {
        Clock::time_point due;
        std::chrono::milliseconds interval;
        bool repeat = false;
        std::function<void()> tick;
    };
    struct State {
        std::mutex mutex;
        std::condition_variable wake;
        std::deque<std::function<void()>> posted;
        std::map<int, TimerState> timers;
        int lastId = 0;
    };
    class Handle : public Timer {
    public:
        Handle(std::shared_ptr<State> state, int id) : m_state(std::move(state)), m_id(id) {}
        ~Handle() override {
            const std::lock_guard<std::mutex> guard(m_state->mutex);
            m_state->timers.erase(m_id);
        }

    private:
        std::shared_ptr<State> m_state;
        int m_id;
    };

    // Runs the posted work and the timers due; with `sleep`, first waits for one when none is.
    void runDue(bool sleep) {
        std::unique_lock<std::mutex> lock(m_state->mutex);
        if (sleep) {
            for (;;) {
                if (!m_state->posted.empty())
                    break;
                auto next = Clock::time_point::max();
                for (const auto& [id, timer] : m_state->timers)
                    next = std::min(next, timer.due);
                if (next <= Clock::now())
                    break;
                if (next == Clock::time_point::max())
                    m_state->wake.wait(lock);
                else
                    m_state->wake.wait_until(lock, next);
            }
        }
        std::deque<std::function<void()>> work;
        work.swap(m_state->posted);
        lock.unlock();
        for (auto& item : work)
            item();
        lock.lock();
        const auto now = Clock::now();
        std::vector<int> due;
        for (const auto& [id, timer] : m_state->timers) {
            if (timer.due <= now)
                due.push_back(id);
        }
        for (const int id : due) {
            const auto found = m_state->timers.find(id);
            if (found == m_state->timers.end())
                continue; // stopped by an earlier tick
            std::function<void()> tick = found->second.tick;
            if (found->second.repeat)
                found->second.due = now + found->second.interval;
            else
                m_state->timers.erase(found);
            lock.unlock();
            tick();
            lock.lock();
        }
    }

    std::shared_ptr<State> m_state = std::make_shared<State>();
};
