#include "process/ProcessExitWatch.h"

#include <vorn/UniqueFd.h>

#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <limits>
#include <poll.h>
#include <string>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace {

// pidfd_open(2): a descriptor that polls readable once the process has terminated (ended,
// reaped or not). -1 with errno set when it fails; ENOSYS where the system lacks it.
int openPidFd(std::int64_t processId) {
#ifdef SYS_pidfd_open
    return static_cast<int>(::syscall(SYS_pidfd_open, static_cast<pid_t>(processId), 0));
#else
    (void)processId;
    errno = ENOSYS;
    return -1;
#endif
}

bool validProcessId(std::int64_t processId) {
    return processId > 0 && processId <= std::numeric_limits<pid_t>::max();
}

} // namespace

// A thread asleep in poll() on the pidfd and on an eventfd that the watch signals to stop it.
struct ProcessExitWatch::Notifier {
    vorn::UniqueFd process;
    vorn::UniqueFd stop;
    std::thread thread;
};

bool ProcessExitWatch::attachNotifier(bool& alreadyEnded) {
    alreadyEnded = false;
    if (!validProcessId(m_processId)) {
        alreadyEnded = true;
        return false;
    }
    vorn::UniqueFd process(openPidFd(m_processId));
    if (!process.valid()) {
        alreadyEnded = errno == ESRCH;
        return false;
    }
    vorn::UniqueFd stop(::eventfd(0, EFD_CLOEXEC));
    if (!stop.valid())
        return false;
    auto* notifier = new Notifier{std::move(process), std::move(stop), {}};
    try {
        notifier->thread =
            std::thread([this, processFd = notifier->process.get(), stopFd = notifier->stop.get()] {
                pollfd fds[2] = {{processFd, POLLIN, 0}, {stopFd, POLLIN, 0}};
                int ready;
                do {
                    ready = ::poll(fds, 2, -1);
                } while (ready < 0 && errno == EINTR);
                if (ready < 0)
                    postToWatch(&ProcessExitWatch::startPolling);
                else if (!(fds[1].revents & POLLIN) && fds[0].revents)
                    postToWatch(&ProcessExitWatch::markExited);
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
    const std::uint64_t one = 1;
    while (::write(m_notifier->stop.get(), &one, sizeof one) < 0 && errno == EINTR) {
    }
    m_notifier->thread.join();
    delete m_notifier;
    m_notifier = nullptr;
}

bool ProcessExitWatch::processHasEnded(std::int64_t processId) {
    if (!validProcessId(processId))
        return true;
    const std::string path = "/proc/" + std::to_string(processId) + "/stat";
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT || errno == ESRCH;
    char buffer[512];
    ssize_t got;
    do {
        got = ::read(fd, buffer, sizeof buffer);
    } while (got < 0 && errno == EINTR);
    ::close(fd);
    if (got <= 0)
        return false;
    // The state letter follows the last ')' of "pid (comm) S ...".
    const std::string_view stat(buffer, static_cast<std::size_t>(got));
    const std::size_t close = stat.rfind(')');
    if (close == std::string_view::npos || close + 2 >= stat.size())
        return false;
    const char state = stat[close + 2];
    return state == 'Z' || state == 'X' || state == 'x';
}
