#include "driver/RunLogFile.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vorn/SystemError.h>

namespace {
std::string errorText(int error) {
    return vorn::systemErrorText(error);
}

int lock(int fd, int operation) {
    int result = 0;
    while ((result = ::flock(fd, operation)) != 0 && errno == EINTR) {
    }
    return result;
}

// Whether fd is (still) the file found at path.
bool isFileAt(int fd, const std::string& path) {
    struct stat held = {}, named = {};
    return ::fstat(fd, &held) == 0 && ::stat(path.c_str(), &named) == 0 &&
           held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}
} // namespace

// Every updater holds a shared lock on the log while it has it open; the one that rewrites it
// holds the lock alone, and a newcomer that finds its file replaced once it got the lock opens the
// new one (a few times at most: a file that keeps changing is used as it is).
bool RunLogFile::open(const std::string& path, std::string* reason) {
    for (int attempt = 1;; ++attempt) {
        close();
        m_handle = ::open(path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (m_handle < 0 || lock(int(m_handle), LOCK_SH) != 0) {
            *reason = errorText(errno);
            close();
            return false;
        }
        if (attempt == 5 || isFileAt(int(m_handle), path))
            return true;
    }
}

void RunLogFile::close() {
    if (m_handle >= 0)
        ::close(int(m_handle));
    m_handle = kNone;
}

bool RunLogFile::takeExclusively(const std::string& path) {
    if (lock(int(m_handle), LOCK_EX | LOCK_NB) == 0)
        return true;
    // A refused conversion may have let go of the shared lock: take the file again.
    std::string ignored;
    open(path, &ignored);
    return false;
}

std::int64_t RunLogFile::size() const {
    struct stat info = {};
    return ::fstat(int(m_handle), &info) == 0 ? info.st_size : 0;
}

bool RunLogFile::endsWithLineEnd() const {
    const std::int64_t length = size();
    char last = '\n';
    return length == 0 || (::pread(int(m_handle), &last, 1, length - 1) == 1 && last == '\n');
}

bool RunLogFile::append(const std::string& lines, std::string* reason) {
    ssize_t written = -1;
    while ((written = ::write(int(m_handle), lines.data(), lines.size())) < 0 && errno == EINTR) {
    }
    if (written == static_cast<ssize_t>(lines.size()))
        return true;
    *reason = written < 0 ? errorText(errno) : errorText(ENOSPC);
    return false;
}
