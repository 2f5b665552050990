#include "driver/RunLogFile.h"

#include <QFile>
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vorn/SystemError.h>

namespace {
QString errorText(int error) {
    return QString::fromStdString(vorn::systemErrorText(error));
}

int lock(int fd, int operation) {
    int result = 0;
    while ((result = ::flock(fd, operation)) != 0 && errno == EINTR) {
    }
    return result;
}

// Whether fd is (still) the file found at path.
bool isFileAt(int fd, const QByteArray& path) {
    struct stat held = {}, named = {};
    return ::fstat(fd, &held) == 0 && ::stat(path.constData(), &named) == 0 &&
           held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}
} // namespace

// Every updater holds a shared lock on the log while it has it open; the one that rewrites it
// holds the lock alone, and a newcomer that finds its file replaced once it got the lock opens the
// new one (a few times at most: a file that keeps changing is used as it is).
bool RunLogFile::open(const QString& path, QString* reason) {
    const QByteArray name = QFile::encodeName(path);
    for (int attempt = 1;; ++attempt) {
        m_fd.reset(::open(name.constData(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
        if (!m_fd.valid() || lock(m_fd.get(), LOCK_SH) != 0) {
            *reason = errorText(errno);
            m_fd.reset();
            return false;
        }
        if (attempt == 5 || isFileAt(m_fd.get(), name))
            return true;
    }
}

bool RunLogFile::takeExclusively(const QString& path) {
    if (lock(m_fd.get(), LOCK_EX | LOCK_NB) == 0)
        return true;
    // A refused conversion may have let go of the shared lock: take the file again.
    QString ignored;
    open(path, &ignored);
    return false;
}

qint64 RunLogFile::size() const {
    struct stat info = {};
    return ::fstat(m_fd.get(), &info) == 0 ? info.st_size : 0;
}

bool RunLogFile::endsWithLineEnd() const {
    const qint64 length = size();
    char last = '\n';
    return length == 0 || (::pread(m_fd.get(), &last, 1, length - 1) == 1 && last == '\n');
}

bool RunLogFile::append(const QByteArray& lines, QString* reason) {
    ssize_t written = -1;
    while ((written = ::write(m_fd.get(), lines.constData(), static_cast<size_t>(lines.size()))) <
               0 &&
           errno == EINTR) {
    }
    if (written == lines.size())
        return true;
    *reason = written < 0 ? errorText(errno) : errorText(ENOSPC);
    return false;
}
