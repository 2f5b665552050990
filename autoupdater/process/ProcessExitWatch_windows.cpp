#include "process/ProcessExitWatch.h"

#include <windows.h>

#include <system_error>
#include <thread>

namespace {

bool validProcessId(std::int64_t processId) {
    return processId > 0 && processId <= static_cast<std::int64_t>(MAXDWORD);
}

// A handle to wait on for the process's end; null when it cannot be opened, with GetLastError()
// telling why (ERROR_INVALID_PARAMETER: no process has the id).
HANDLE openProcess(std::int64_t processId) {
    return OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(processId));
}

} // namespace

// A thread asleep in WaitForMultipleObjects on the process and on an event that the watch sets to
// stop it.
struct ProcessExitWatch::Notifier {
    HANDLE process = nullptr;
    HANDLE stop = nullptr;
    std::thread thread;

    ~Notifier() {
        if (stop)
            CloseHandle(stop);
        if (process)
            CloseHandle(process);
    }
};

bool ProcessExitWatch::attachNotifier(bool& alreadyEnded) {
    alreadyEnded = false;
    if (!validProcessId(m_processId)) {
        alreadyEnded = true;
        return false;
    }
    auto* notifier = new Notifier;
    notifier->process = openProcess(m_processId);
    if (!notifier->process) {
        alreadyEnded = GetLastError() == ERROR_INVALID_PARAMETER;
        delete notifier;
        return false;
    }
    notifier->stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!notifier->stop) {
        delete notifier;
        return false;
    }
    try {
        notifier->thread = std::thread([this, process = notifier->process, stop = notifier->stop] {
            const HANDLE handles[2] = {stop, process};
            const DWORD woken = WaitForMultipleObjects(2, handles, FALSE, INFINITE);
            if (woken == WAIT_OBJECT_0 + 1)
                postToWatch(&ProcessExitWatch::markExited);
            else if (woken != WAIT_OBJECT_0)
                postToWatch(&ProcessExitWatch::startPolling);
        });
    } catch (const std::system_error&) {
        delete notifier;
        return false;
    }
    m_notifier = notifier;
    return true;
}

void ProcessExitWatch::detachNotifier() {
    if (!m_notifier)
        return;
    SetEvent(m_notifier->stop);
    m_notifier->thread.join();
    delete m_notifier;
    m_notifier = nullptr;
}

bool ProcessExitWatch::processHasEnded(std::int64_t processId) {
    if (!validProcessId(processId))
        return true;
    HANDLE process = openProcess(processId);
    if (!process)
        return GetLastError() == ERROR_INVALID_PARAMETER;
    const bool ended = WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
    CloseHandle(process);
    return ended;
}
