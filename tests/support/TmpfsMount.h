// A small tmpfs mounted on a folder for the life of the object, for tests of full disks. Mounting
// needs root (or the right to mount); where it is refused, mounted() is false and error() says why,
// and the test skips itself. Linux only.
#pragma once

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <sys/mount.h>
#include <sys/statvfs.h>

class TmpfsMount {
public:
    // `options` as for mount -o: "size=64k", "size=1m,nr_inodes=20".
    TmpfsMount(const std::string& folder, const std::string& options) : m_folder(folder) {
        if (::mount("tmpfs", m_folder.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) == 0)
            m_mounted = true;
        else
            m_error = "cannot mount a tmpfs on " + folder + ": " + std::strerror(errno);
    }
    ~TmpfsMount() {
        if (m_mounted)
            ::umount2(m_folder.c_str(), MNT_DETACH);
    }
    TmpfsMount(const TmpfsMount&) = delete;
    TmpfsMount& operator=(const TmpfsMount&) = delete;

    bool mounted() const { return m_mounted; }
    const std::string& error() const { return m_error; }

    // Changes the size (or another option) of the mounted file system.
    bool remount(const std::string& options) {
        return ::mount("tmpfs", m_folder.c_str(), nullptr, MS_REMOUNT | MS_NOSUID | MS_NODEV,
                       options.c_str()) == 0;
    }
    // Makes the mounted file system read-only.
    bool remountReadOnly() {
        return ::mount("tmpfs", m_folder.c_str(), nullptr,
                       MS_REMOUNT | MS_RDONLY | MS_NOSUID | MS_NODEV, nullptr) == 0;
    }
    // Bytes in use.
    std::int64_t used() const {
        struct statvfs info {};
        if (::statvfs(m_folder.c_str(), &info) != 0)
            return -1;
        return std::int64_t(info.f_blocks - info.f_bfree) * std::int64_t(info.f_frsize);
    }

private:
    std::string m_folder;
    bool m_mounted = false;
    std::string m_error;
};
