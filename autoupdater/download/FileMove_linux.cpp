// Linux part of moving and copying files.
#include "FileMovePlatform.h"

#include <QFile>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace {
void syncPath(const QString& path, int flags) {
    const int fd = ::open(QFile::encodeName(path).constData(), flags | O_CLOEXEC);
    if (fd < 0)
        return;
    ::fsync(fd);
    ::close(fd);
}
} // namespace

void syncFileToDisk(const QString& path) {
    syncPath(path, O_RDONLY);
}

void syncFolderToDisk(const QString& path) {
    syncPath(path, O_RDONLY | O_DIRECTORY);
}

int renameReplacing(const QString& source, const QString& destination) {
    if (std::rename(QFile::encodeName(source).constData(),
                    QFile::encodeName(destination).constData()) == 0)
        return 0;
    return errno;
}
