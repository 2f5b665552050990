#include "download/DownloadFile.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vorn/SystemError.h>

namespace {
// The write-behind hands the disk this much at a time, and waits only for what it handed over
// longer ago than the window: the data goes on arriving while the disk writes (a wait for the
// latest piece stalled the transfer, 5 % of a fast one), and the final sync finds at most the
// window and a step left.
constexpr std::int64_t kWriteBehindStep = 8 << 20;
constexpr std::int64_t kWriteBehindWindow = 64 << 20;

std::string filePath(const std::string& folder, const std::string& name) {
    return folder.empty() || folder.back() == '/' ? folder + name : folder + '/' + name;
}

// Whether the open file `fd` is the file that `path` names now.
bool isFileAt(int fd, const std::string& path) {
    struct stat opened {
    }, named{};
    return ::fstat(fd, &opened) == 0 && ::lstat(path.c_str(), &named) == 0 &&
           opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
}

// Takes the lock that marks a file as held by a read; false when someone holds it, or when the
// name no longer leads to the file (it was taken for abandoned and removed meanwhile).
bool lockHeldFile(int fd, const std::string& path) {
    return ::flock(fd, LOCK_EX | LOCK_NB) == 0 && isFileAt(fd, path);
}
} // namespace

bool DownloadFile::fail(int code, const std::string& what) {
    m_errorCode = code;
    m_error = code != 0 ? what + ": " + vorn::systemErrorText(code) : what;
    return false;
}

bool DownloadFile::adopt(int fd, const std::string& path) {
    m_fd = fd;
    m_path = path;
    m_error.clear();
    m_errorCode = 0;
    return true;
}

bool DownloadFile::create(const std::string& folder, const std::string& pattern) {
    close();
    std::string path = filePath(folder, pattern);
    const std::size_t unique = path.rfind("XXXXXX");
    if (unique == std::string::npos || unique < path.size() - pattern.size())
        path += ".XXXXXX";
    const std::size_t suffix = path.size() - path.rfind("XXXXXX") - 6;
    const int fd = ::mkostemps(path.data(), int(suffix), O_CLOEXEC);
    if (fd < 0)
        return fail(0, vorn::systemErrorText(errno));
    if (!lockHeldFile(fd, path)) {
        // Taken for abandoned between its creation and the lock: the name is left to the one who
        // took it.
        ::close(fd);
        return fail(0, path + " was removed while it was made");
    }
    // Made private to its owner; as a package it is a file like any other.
    ::fchmod(fd, 0644);
    m_size = m_durable = m_writeStarted = 0;
    return adopt(fd, path);
}

bool DownloadFile::reopen(const std::string& path, std::int64_t length) {
    close();
    const int fd = ::open(path.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return fail(errno, "cannot open " + path);
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1 || st.st_size < length ||
        !lockHeldFile(fd, path)) {
        ::close(fd);
        return fail(0, path + " cannot be taken up again");
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

bool DownloadFile::append(const char* data, std::int64_t size) {
    while (size > 0) {
        const ssize_t done = ::write(m_fd, data, size_t(size));
        if (done < 0) {
            if (errno == EINTR)
                continue;
            return fail(errno, "cannot write the temporary file " + m_path);
        }
        if (done == 0)
            return fail(EIO, "cannot write the temporary file " + m_path);
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

void DownloadFile::waitForDisk(std::int64_t end) {
    end = std::min(end, m_writeStarted);
    if (end > m_durable && ::sync_file_range(m_fd, m_durable, end - m_durable,
                                             SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE |
                                                 SYNC_FILE_RANGE_WAIT_AFTER) == 0)
        m_durable = end;
}

bool DownloadFile::truncate(std::int64_t length) {
    if (::ftruncate(m_fd, length) != 0 || ::lseek(m_fd, length, SEEK_SET) != length)
        return fail(errno, "cannot shorten the temporary file " + m_path);
    m_size = length;
    m_durable = std::min(m_durable, length);
    m_writeStarted = std::min(m_writeStarted, length);
    return true;
}

bool DownloadFile::sync() {
    if (::fdatasync(m_fd) != 0)
        return fail(errno, "cannot flush the temporary file " + m_path);
    m_durable = m_writeStarted = m_size;
    return true;
}

std::string DownloadFile::tail(std::int64_t size) const {
    size = std::max<std::int64_t>(0, std::min(size, m_size));
    std::string bytes(std::size_t(size), '\0');
    const ssize_t got = ::pread(m_fd, bytes.data(), size_t(size), m_size - size);
    bytes.resize(got > 0 ? std::size_t(got) : 0);
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
        if (isFileAt(m_fd, m_path))
            ::unlink(m_path.c_str());
    }
    close();
}

void DownloadFile::removeAbandoned(const std::string& folder,
                                   const std::vector<std::string>& patterns,
                                   const std::function<bool(const std::string& name)>& keep) {
    DIR* dir = ::opendir(folder.c_str());
    if (!dir)
        return;
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        for (const std::string& pattern : patterns) {
            if (::fnmatch(pattern.c_str(), name.c_str(), FNM_CASEFOLD) == 0) {
                names.push_back(name);
                break;
            }
        }
    }
    ::closedir(dir);
    for (const std::string& name : names) {
        const std::string path = filePath(folder, name);
        struct stat link {};
        // Plain files only: a symbolic link is never followed or removed.
        if (::lstat(path.c_str(), &link) != 0 || !S_ISREG(link.st_mode) || keep(name))
            continue;
        const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            continue;
        struct stat st {};
        if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && lockHeldFile(fd, path))
            ::unlink(path.c_str());
        ::close(fd);
    }
}
