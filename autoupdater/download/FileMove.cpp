#include "FileMove.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <cerrno>
#include <cstring>
#include <vector>
#include <vorn/SystemError.h>

#include "FileMovePlatform.h"

namespace {
bool failWith(QString* error, const QString& reason) {
    if (error)
        *error = reason;
    return false;
}

bool failWith(QString* error, int* systemError, int code, const QString& reason) {
    if (systemError)
        *systemError = code != 0 ? code : EIO;
    return failWith(error, reason);
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

bool copyReplacing(const QString& source, const QString& destination, QString* error,
                   int* systemError) {
    if (systemError)
        *systemError = 0;
    if (!checkDestination(destination, error))
        return false;
    QFile in(source);
    errno = 0;
    if (!in.open(QIODevice::ReadOnly)) {
        const int code = errno;
        return failWith(error, systemError, code, in.errorString());
    }
    QSaveFile out(destination);
    errno = 0;
    if (!out.open(QIODevice::WriteOnly)) {
        const int code = errno;
        return failWith(error, systemError, code, out.errorString());
    }
    std::vector<char> buffer(1 << 20);
    for (;;) {
        errno = 0;
        const qint64 got = in.read(buffer.data(), qint64(buffer.size()));
        if (got < 0) {
            const int code = errno;
            out.cancelWriting();
            return failWith(error, systemError, code, in.errorString());
        }
        if (got == 0)
            break;
        errno = 0;
        if (out.write(buffer.data(), got) != got) {
            // A short write leaves no error in the file object, only in errno.
            const int code = errno;
            const QString reason =
                code != 0 ? QString::fromLocal8Bit(vorn::systemErrorText(code)) : out.errorString();
            out.cancelWriting();
            return failWith(error, systemError, code, reason);
        }
    }
    // commit() flushes the new file to disk before renaming it over the destination.
    errno = 0;
    if (!out.commit()) {
        const int code = errno;
        return failWith(error, systemError, code, out.errorString());
    }
    syncFolderToDisk(QFileInfo(destination).absolutePath());
    return true;
}

bool moveReplacing(const QString& source, const QString& destination, QString* error,
                   int* systemError) {
    if (systemError)
        *systemError = 0;
    if (!checkDestination(destination, error))
        return false;
    if (!QFileInfo(source).isFile())
        return failWith(error, QStringLiteral("'%1' is not a file").arg(source));
    // The data must be on disk before the new name is, or a crash could leave an empty file there.
    syncFileToDisk(source);
    const int code = renameReplacing(source, destination);
    if (code == 0) {
        syncFolderToDisk(QFileInfo(destination).absolutePath());
        return true;
    }
    if (code != EXDEV)
        return failWith(error, systemError, code,
                        QString::fromLocal8Bit(vorn::systemErrorText(code)));
    if (!copyReplacing(source, destination, error, systemError))
        return false;
    QFile::remove(source);
    return true;
}
