#include "frontend/Win32EventLoop_windows.h"

#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <system_error>

#include "windows/WindowMessages_windows.h"

namespace {
const wchar_t kClassName[] = L"VornEventLoop";
// The wake-up of posted work, to the message-only window.
constexpr UINT kWake = WM_APP + 1;
} // namespace

struct Win32EventLoop::State {
    HWND window = nullptr; // on the loop's thread only

    struct Tick {
        bool repeat = false;
        std::function<void()> tick;
    };
    std::map<UINT_PTR, Tick> ticks; // by timer id; on the loop's thread only
    UINT_PTR lastId = 0;

    std::mutex mutex; // guards what follows, which other threads reach through post()
    HWND wakeTarget = nullptr;
    std::deque<std::function<void()>> posted;
    bool wakePending = false; // a wake-up message is on its way

    void runPosted() {
        std::deque<std::function<void()>> work;
        {
            const std::lock_guard<std::mutex> guard(mutex);
            work.swap(posted);
            wakePending = false;
        }
        for (auto& item : work)
            item();
    }

    void timerFired(UINT_PTR id) {
        const auto found = ticks.find(id);
        if (found == ticks.end())
            return; // stopped; the message was already on its way
        const std::function<void()> tick = found->second.tick;
        if (!found->second.repeat) {
            KillTimer(window, id);
            ticks.erase(found);
        }
        tick();
    }

    static LRESULT CALLBACK Procedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
        auto* state = reinterpret_cast<State*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
        if (state && message == kWake) {
            state->runPosted();
            return 0;
        }
        if (state && message == WM_TIMER) {
            state->timerFired(static_cast<UINT_PTR>(wParam));
            return 0;
        }
        return DefWindowProcW(hwnd, message, wParam, lParam);
    }
};

class Win32EventLoop::Win32Timer : public EventLoop::Timer {
public:
    Win32Timer(std::shared_ptr<State> state, UINT_PTR id) : m_state(std::move(state)), m_id(id) {}
    ~Win32Timer() override {
        if (m_state->ticks.erase(m_id) && m_state->window)
            KillTimer(m_state->window, m_id);
    }

private:
    std::shared_ptr<State> m_state;
    UINT_PTR m_id;
};

Win32EventLoop::Win32EventLoop() : m_state(std::make_shared<State>()) {
    static const bool registered = [] {
        WNDCLASSEXW windowClass{};
        windowClass.cbSize = sizeof windowClass;
        windowClass.lpfnWndProc = &State::Procedure;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = kClassName;
        return RegisterClassExW(&windowClass) != 0;
    }();
    (void)registered;
    m_state->window = CreateWindowExW(0, kClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                      GetModuleHandleW(nullptr), nullptr);
    if (!m_state->window)
        throw std::system_error(static_cast<int>(GetLastError()), std::system_category(),
                                "the event loop's window");
    SetWindowLongPtrW(m_state->window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(m_state.get()));
    const std::lock_guard<std::mutex> guard(m_state->mutex);
    m_state->wakeTarget = m_state->window;
}

Win32EventLoop::~Win32EventLoop() {
    {
        const std::lock_guard<std::mutex> guard(m_state->mutex);
        m_state->wakeTarget = nullptr;
        m_state->posted.clear();
    }
    for (const auto& [id, tick] : m_state->ticks)
        KillTimer(m_state->window, id);
    m_state->ticks.clear();
    DestroyWindow(m_state->window);
    m_state->window = nullptr;
}

HWND Win32EventLoop::messageWindow() const {
    return m_state->window;
}

bool Win32EventLoop::turn() {
    bool handled = false;
    bool ranPosted = false;
    std::set<UINT_PTR> ticked;
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE)) {
        if (message.hwnd == m_state->window) {
            if (message.message == kWake && ranPosted)
                break;
            if (message.message == WM_TIMER && ticked.count(message.wParam))
                break;
        }
        if (!PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE))
            break;
        handled = true;
        if (message.message == WM_QUIT)
            continue; // nothing here asks to quit: the close action ends the process

        if (message.hwnd == m_state->window) {
            if (message.message == kWake)
                ranPosted = true;
            else if (message.message == WM_TIMER)
                ticked.insert(message.wParam);
        }
        DispatchWindowMessage(message);
    }
    return handled;
}

void Win32EventLoop::processPending() {
    turn();
}

void Win32EventLoop::waitForNext() {
    if (turn())
        return;
    // Asleep until a message arrives (also one that was already in the queue when the turn above
    // looked, which MWMO_INPUTAVAILABLE reports at once).
    MsgWaitForMultipleObjectsEx(0, nullptr, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    turn();
}

void Win32EventLoop::post(std::function<void()> work) {
    const std::lock_guard<std::mutex> guard(m_state->mutex);
    if (!m_state->wakeTarget)
        return;
    m_state->posted.push_back(std::move(work));
    if (m_state->wakePending)
        return;
    // One wake-up for all the work posted until it is handled. Should the queue refuse it, the
    // next post tries again.
    m_state->wakePending = PostMessageW(m_state->wakeTarget, kWake, 0, 0) != FALSE;
}

std::unique_ptr<EventLoop::Timer> Win32EventLoop::startTimer(std::chrono::milliseconds interval,
                                                             bool repeat,
                                                             std::function<void()> tick) {
    const auto count = interval.count();
    const UINT milliseconds = count <= 0                    ? 0
                              : count >= USER_TIMER_MAXIMUM ? USER_TIMER_MAXIMUM
                                                            : static_cast<UINT>(count);
    const UINT_PTR id = ++m_state->lastId;
    if (!SetTimer(m_state->window, id, milliseconds, nullptr))
        throw std::system_error(static_cast<int>(GetLastError()), std::system_category(),
                                "a timer of the event loop");
    m_state->ticks[id] = {repeat, std::move(tick)};
    return std::make_unique<Win32Timer>(m_state, id);
}
