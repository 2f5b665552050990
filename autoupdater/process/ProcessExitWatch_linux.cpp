#include "process/ProcessExitWatch.h"

#include <QByteArray>
#include <QSocketNotifier>

#include <cerrno>
#include <fcntl.h>
#include <limits>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// pidfd_open(2): a descriptor that polls readable once the process has terminated (ended,
// reaped or not). -1 with errno set when it fails; ENOSYS where the system lacks it.
int openPidFd(qint64 processId) {
#ifdef SYS_pidfd_open
    return static_cast<int>(::syscall(SYS_pidfd_open, static_cast<pid_t>(processId), 0));
#else
    (void)processId;
    errno = ENOSYS;
    return -1;
#endif
}

bool validProcessId(qint64 processId) {
    return processId > 0 && processId <= std::numeric_limits<pid_t>::max();
}

} // namespace

bool ProcessExitWatch::attachNotifier(bool& alreadyEnded) {
    alreadyEnded = false;
    if (!validProcessId(m_processId)) {
        alreadyEnded = true;
        return false;
    }
    const int fd = openPidFd(m_processId);
    if (fd < 0) {
        alreadyEnded = errno == ESRCH;
        return false;
    }
    m_handle = fd;
    m_notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &ProcessExitWatch::markExited);
    return true;
}

void ProcessExitWatch::detachNotifier() {
    if (m_notifier) {
        // This may run inside the notifier's own signal: let the event loop delete it.
        m_notifier->setEnabled(false);
        m_notifier->deleteLater();
        m_notifier = nullptr;
    }
    if (m_handle >= 0) {
        ::close(m_handle);
        m_handle = -1;
    }
}

bool ProcessExitWatch::processHasEnded(qint64 processId) {
    if (!validProcessId(processId))
        return true;
    const QByteArray path = "/proc/" + QByteArray::number(processId) + "/stat";
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
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
    const QByteArray stat(buffer, got);
    const qsizetype close = stat.lastIndexOf(')');
    if (close < 0 || close + 2 >= stat.size())
        return false;
    const char state = stat.at(close + 2);
    return state == 'Z' || state == 'X' || state == 'x';
}
