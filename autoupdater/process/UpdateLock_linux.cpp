#include "process/UpdateLock.h"

#include "core/Text.h"

#include <vorn/SystemError.h>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {
void report(std::string* error, UpdateLock::Failure* failure, UpdateLock::Failure kind,
            const std::string& text) {
    if (error)
        *error = text;
    if (failure)
        *failure = kind;
}
} // namespace

std::unique_ptr<UpdateLock> UpdateLock::acquire(const std::string& programFolder,
                                                std::string* error, Failure* failure) {
    report(error, failure, Failure::None, std::string());
    const std::string path = programFolder + '/' + FileName;
    // Close-on-exec: a program started by the updater must not keep the lock alive.
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY, 0644);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        const int code = errno;
        report(error, failure, Failure::CannotOpen,
               Format("Cannot open the lock file %1: %2", {path, vorn::systemErrorText(code)}));
        return nullptr;
    }
    int result;
    do {
        result = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (result < 0 && errno == EINTR);
    if (result < 0) {
        const int code = errno;
        ::close(fd);
        if (code == EWOULDBLOCK)
            report(error, failure, Failure::Busy,
                   Format("Another update is already running in %1.", {programFolder}));
        else
            report(error, failure, Failure::CannotLock,
                   Format("Cannot lock %1: %2", {path, vorn::systemErrorText(code)}));
        return nullptr;
    }
    return std::unique_ptr<UpdateLock>(new UpdateLock(path, fd));
}

UpdateLock::~UpdateLock() {
    ::close(static_cast<int>(m_handle));
}
