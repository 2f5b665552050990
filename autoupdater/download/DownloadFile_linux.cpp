#include "download/DownloadFile.h"

#include <QDir>
#include <QFile>
#include <QTemporaryFile>
#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
// The write-behind hands the disk this much at a time, and waits only for what it handed over
// longer ago than the window: the data goes on arriving while the disk writes (a wait for the
// latest piece stalled the transfer, 5 % of a fast one), and the final sync finds at most the
// window and a step left.
constexpr qint64 kWriteBehindStep = 8 << 20;
constexpr qint64 kWriteBehindWindow = 64 << 20;

QByteArray nativePath(const QString& path) {
    return QFile::encodeName(path);
}

// Whether the open file `fd` is the file that `path` names now.
bool isFileAt(int fd, const QByteArray& path) {
    struct stat opened {
    }, named{};
    return ::fstat(fd, &opened) == 0 && ::lstat(path.constData(), &named) == 0 &&
           opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
}

// Takes the lock that marks a file as held by a read; false when someone holds it, or when the
// name no longer leads to the file (it was taken for abandoned and removed meanwhile).
bool lockHeldFile(int fd, const QByteArray& path) {
    return ::flock(fd, LOCK_EX | LOCK_NB) == 0 && isFileAt(fd, path);
}
} // namespace

bool DownloadFile::fail(int code, const QString& what) {
    m_errorCode = code;
    m_error = code != 0 ? QStringLiteral("%1: %2").arg(what, qt_error_string(code)) : what;
    return false;
}

bool DownloadFile::adopt(int fd, const QString& path) {
    m_fd = fd;
    m_path = path;
    m_error.clear();
    m_errorCode = 0;
    return true;
}

bool DownloadFile::create(const QString& folder, const QString& pattern) {
    close();
    QTemporaryFile file(QDir(folder).filePath(pattern));
    file.setAutoRemove(false);
    errno = 0;
    if (!file.open())
        return fail(0, file.errorString());
    const QString path = file.fileName();
    // A descriptor of its own shares the open file, and the lock with it, beyond `file`.
    const int fd = ::fcntl(file.handle(), F_DUPFD_CLOEXEC, 0);
    if (fd < 0) {
        const int code = errno;
        file.remove();
        return fail(code, QStringLiteral("cannot keep %1 open").arg(path));
    }
    if (!lockHeldFile(fd, nativePath(path))) {
        // Taken for abandoned between its creation and the lock: the name is left to the one who
        // took it.
        ::close(fd);
        return fail(0, QStringLiteral("%1 was removed while it was made").arg(path));
    }
    // Made private to its owner; as a package it is a file like any other.
    ::fchmod(fd, 0644);
    m_size = m_durable = m_writeStarted = 0;
    return adopt(fd, path);
}

bool DownloadFile::reopen(const QString& path, qint64 length) {
    close();
    const QByteArray native = nativePath(path);
    const int fd = ::open(native.constData(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return fail(errno, QStringLiteral("cannot open %1").arg(path));
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1 || st.st_size < length ||
        !lockHeldFile(fd, native)) {
        ::close(fd);
        return fail(0, QStringLiteral("%1 cannot be taken up again").arg(path));
    }
    adopt(fd, path);
    m_size = st.st_size;
    if (!truncate(length)) {
        close();
        return false;
    }
    // What a killed read left was written before this run; whether it all reached the disk is
    // not known, so it is put there now.
    return sync();
}

bool DownloadFile::append(const char* data, qint64 size) {
    while (size > 0) {
        const ssize_t done = ::write(m_fd, data, size_t(size));
        if (done < 0) {
            if (errno == EINTR)
                continue;
            return fail(errno, QStringLiteral("cannot write the temporary file %1").arg(m_path));
        }
        if (done == 0)
            return fail(EIO, QStringLiteral("cannot write the temporary file %1").arg(m_path));
        m_size += done;
        data += done;
        size -= done;
    }
    if (m_size - m_writeStarted >= kWriteBehindStep)
        startWriteBehind();
    return true;
}

// Waits for what was handed to the disk more than a window ago (by then long written, as a rule),
// and hands it what came since.
void DownloadFile::startWriteBehind() {
    waitForDisk(m_writeStarted - kWriteBehindWindow);
    if (::sync_file_range(m_fd, m_writeStarted, m_size - m_writeStarted, SYNC_FILE_RANGE_WRITE) ==
        0)
        m_writeStarted = m_size;
}

void DownloadFile::waitForDisk(qint64 end) {
    end = std::min(end, m_writeStarted);
    if (end > m_durable && ::sync_file_range(m_fd, m_durable, end - m_durable,
                                             SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE |
                                                 SYNC_FILE_RANGE_WAIT_AFTER) == 0)
        m_durable = end;
}

bool DownloadFile::truncate(qint64 length) {
    if (::ftruncate(m_fd, length) != 0 || ::lseek(m_fd, length, SEEK_SET) != length)
        return fail(errno, QStringLiteral("cannot shorten the temporary file %1").arg(m_path));
    m_size = length;
    m_durable = std::min(m_durable, length);
    m_writeStarted = std::min(m_writeStarted, length);
    return true;
}

bool DownloadFile::sync() {
    if (::fdatasync(m_fd) != 0)
        return fail(errno, QStringLiteral("cannot flush the temporary file %1").arg(m_path));
    m_durable = m_writeStarted = m_size;
    return true;
}

QByteArray DownloadFile::tail(qint64 size) const {
    size = std::min(size, m_size);
    QByteArray bytes(size, Qt::Uninitialized);
    const ssize_t got = ::pread(m_fd, bytes.data(), size_t(size), m_size - size);
    bytes.truncate(got > 0 ? qsizetype(got) : 0);
    return bytes;
}

void DownloadFile::close() {
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

void DownloadFile::discard() {
    if (m_fd >= 0) {
        // Only while it is still the file of that name: the name may belong to another file now.
        const QByteArray native = nativePath(m_path);
        if (isFileAt(m_fd, native))
            ::unlink(native.constData());
    }
    close();
}

void DownloadFile::removeAbandoned(const QString& folder, const QStringList& patterns,
                                   const std::function<bool(const QString& name)>& keep) {
    const QDir dir(folder);
    const QStringList names =
        dir.entryList(patterns, QDir::Files | QDir::Hidden | QDir::NoSymLinks);
    for (const QString& name : names) {
        if (keep(name))
            continue;
        const QByteArray path = nativePath(dir.filePath(name));
        const int fd = ::open(path.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            continue;
        struct stat st {};
        if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && lockHeldFile(fd, path))
            ::unlink(path.constData());
        ::close(fd);
    }
}
