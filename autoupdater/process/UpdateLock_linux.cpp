#include "process/UpdateLock.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {
void report(QString* error, UpdateLock::Failure* failure, UpdateLock::Failure kind,
            const QString& text) {
    if (error)
        *error = text;
    if (failure)
        *failure = kind;
}
} // namespace

std::unique_ptr<UpdateLock> UpdateLock::acquire(const QString& programFolder, QString* error,
                                                Failure* failure) {
    report(error, failure, Failure::None, QString());
    const QString path = programFolder + QLatin1Char('/') + FileName;
    const QByteArray nativePath = QFile::encodeName(path);
    // Close-on-exec: a program started by the updater must not keep the lock alive.
    int fd;
    do {
        fd = ::open(nativePath.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY, 0644);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        const int code = errno;
        report(error, failure, Failure::CannotOpen,
               QStringLiteral("Cannot open the lock file %1: %2")
                   .arg(path, QString::fromLocal8Bit(std::strerror(code))));
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
                   QStringLiteral("Another update is already running in %1.").arg(programFolder));
        else
            report(error, failure, Failure::CannotLock,
                   QStringLiteral("Cannot lock %1: %2")
                       .arg(path, QString::fromLocal8Bit(std::strerror(code))));
        return nullptr;
    }
    return std::unique_ptr<UpdateLock>(new UpdateLock(path, fd));
}

UpdateLock::~UpdateLock() {
    ::close(static_cast<int>(m_handle));
}
