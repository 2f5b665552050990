#include "FileMove.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace {
bool failWith(QString* error, const QString& reason) {
    if (error)
        *error = reason;
    return false;
}

QString systemError(int code) {
    return QString::fromLocal8Bit(std::strerror(code));
}

// Flushes a file's or a folder's data to disk; a failure only costs crash safety, not the move.
void syncPath(const QString& path, int flags) {
    const int fd = ::open(QFile::encodeName(path).constData(), flags | O_CLOEXEC);
    if (fd < 0)
        return;
    ::fsync(fd);
    ::close(fd);
}

bool checkDestination(const QString& destination, QString* error) {
    const QFileInfo target(destination);
    if (!QFileInfo(target.absolutePath()).isDir())
        return failWith(error,
                        QStringLiteral("the folder of '%1' does not exist").arg(destination));
    if (target.isDir() && !target.isSymLink())
        return failWith(error, QStringLiteral("'%1' is a folder").arg(destination));
    return true;
}
} // namespace

bool copyReplacing(const QString& source, const QString& destination, QString* error) {
    if (!checkDestination(destination, error))
        return false;
    QFile in(source);
    if (!in.open(QIODevice::ReadOnly))
        return failWith(error, in.errorString());
    QSaveFile out(destination);
    if (!out.open(QIODevice::WriteOnly))
        return failWith(error, out.errorString());
    std::vector<char> buffer(1 << 20);
    for (;;) {
        const qint64 got = in.read(buffer.data(), qint64(buffer.size()));
        if (got < 0) {
            out.cancelWriting();
            return failWith(error, in.errorString());
        }
        if (got == 0)
            break;
        if (out.write(buffer.data(), got) != got) {
            out.cancelWriting();
            return failWith(error, out.errorString());
        }
    }
    // commit() flushes the new file to disk before renaming it over the destination.
    if (!out.commit())
        return failWith(error, out.errorString());
    syncPath(QFileInfo(destination).absolutePath(), O_RDONLY | O_DIRECTORY);
    return true;
}

bool moveReplacing(const QString& source, const QString& destination, QString* error) {
    if (!checkDestination(destination, error))
        return false;
    if (!QFileInfo(source).isFile())
        return failWith(error, QStringLiteral("'%1' is not a file").arg(source));
    // The data must be on disk before the new name is, or a crash could leave an empty file there.
    syncPath(source, O_RDONLY);
    if (::rename(QFile::encodeName(source).constData(),
                 QFile::encodeName(destination).constData()) == 0) {
        syncPath(QFileInfo(destination).absolutePath(), O_RDONLY | O_DIRECTORY);
        return true;
    }
    const int code = errno;
    if (code != EXDEV)
        return failWith(error, systemError(code));
    if (!copyReplacing(source, destination, error))
        return false;
    QFile::remove(source);
    return true;
}
