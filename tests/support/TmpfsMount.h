// A small tmpfs mounted on a folder for the life of the object, for tests of full disks. Mounting
// needs root (or the right to mount); where it is refused, mounted() is false and error() says why,
// and the test skips itself.
#pragma once

#include <QFile>
#include <QString>
#include <cerrno>
#include <cstring>
#include <sys/mount.h>
#include <sys/statvfs.h>

class TmpfsMount {
public:
    // `options` as for mount -o: "size=64k", "size=1m,nr_inodes=20".
    TmpfsMount(const QString& folder, const QString& options)
        : m_folder(QFile::encodeName(folder)) {
        const QByteArray data = options.toUtf8();
        if (::mount("tmpfs", m_folder.constData(), "tmpfs", MS_NOSUID | MS_NODEV,
                    data.constData()) == 0)
            m_mounted = true;
        else
            m_error = QStringLiteral("cannot mount a tmpfs on %1: %2")
                          .arg(folder, QString::fromLocal8Bit(std::strerror(errno)));
    }
    ~TmpfsMount() {
        if (m_mounted)
            ::umount2(m_folder.constData(), MNT_DETACH);
    }
    TmpfsMount(const TmpfsMount&) = delete;
    TmpfsMount& operator=(const TmpfsMount&) = delete;

    bool mounted() const { return m_mounted; }
    QString error() const { return m_error; }

    // Changes the size (or another option) of the mounted file system.
    bool remount(const QString& options) {
        const QByteArray data = options.toUtf8();
        return ::mount("tmpfs", m_folder.constData(), nullptr, MS_REMOUNT | MS_NOSUID | MS_NODEV,
                       data.constData()) == 0;
    }
    // Makes the mounted file system read-only.
    bool remountReadOnly() {
        return ::mount("tmpfs", m_folder.constData(), nullptr,
                       MS_REMOUNT | MS_RDONLY | MS_NOSUID | MS_NODEV, nullptr) == 0;
    }
    // Bytes in use.
    qint64 used() const {
        struct statvfs info {};
        if (::statvfs(m_folder.constData(), &info) != 0)
            return -1;
        return qint64(info.f_blocks - info.f_bfree) * qint64(info.f_frsize);
    }

private:
    QByteArray m_folder;
    bool m_mounted = false;
    QString m_error;
};
