// Linux part of moving, copying and writing files.
#include "download/FileMovePlatform.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>
#include <vorn/SystemError.h>

namespace {
void syncPath(const std::string& path, int flags) {
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC);
    if (fd < 0)
        return;
    ::fsync(fd);
    ::close(fd);
}

bool failWith(WriteFailure& failure, int code, const std::string& reason) {
    failure = {code, reason};
    return false;
}

bool failWithSystemError(WriteFailure& failure, int code) {
    return failWith(failure, code, vorn::systemErrorText(code));
}

// A new file beside a destination, removed again unless it is kept.
class Aside {
public:
    ~Aside() {
        if (m_fd >= 0)
            ::close(m_fd);
        if (!m_kept && !m_path.empty())
            ::unlink(m_path.c_str());
    }

    // Made like the destination: with its permissions when there is a file there (which must be
    // writable), else with those a new file gets.
    bool create(const std::string& destination, WriteFailure& failure) {
        struct stat existing {};
        const bool exists = ::stat(destination.c_str(), &existing) == 0;
        if (exists && ::access(destination.c_str(), W_OK) != 0)
            return failWith(failure, EACCES, "Existing file " + destination + " is not writable");
        static const char kLetters[] =
            "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
        std::random_device seed;
        std::mt19937 random(seed());
        std::uniform_int_distribution<std::size_t> letter(0, sizeof kLetters - 2);
        for (int attempt = 0; attempt < 100; ++attempt) {
            std::string path = destination + '.';
            for (int i = 0; i < 6; ++i)
                path += kLetters[letter(random)];
            const int fd =
                ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, exists ? 0600 : 0666);
            if (fd < 0) {
                if (errno == EEXIST)
                    continue;
                return failWithSystemError(failure, errno);
            }
            m_fd = fd;
            m_path = std::move(path);
            if (exists)
                ::fchmod(m_fd, existing.st_mode & 07777);
            return true;
        }
        return failWithSystemError(failure, EEXIST);
    }

    bool write(const char* data, std::size_t size, WriteFailure& failure) {
        while (size > 0) {
            const ssize_t done = ::write(m_fd, data, size);
            if (done < 0 && errno == EINTR)
                continue;
            if (done <= 0)
                return done < 0 ? failWithSystemError(failure, errno)
                                : failWith(failure, 0, "cannot write " + m_path);
            data += done;
            size -= std::size_t(done);
        }
        return true;
    }

    // Puts the data on disk (a failure there only costs crash safety) and closes the file, which
    // stays.
    std::optional<std::string> keep(WriteFailure& failure) {
        ::fsync(m_fd);
        const int fd = m_fd;
        m_fd = -1;
        if (::close(fd) != 0) {
            failWithSystemError(failure, errno);
            return std::nullopt;
        }
        m_kept = true;
        return m_path;
    }

private:
    int m_fd = -1;
    std::string m_path;
    bool m_kept = false;
};
} // namespace

void syncFileToDisk(const std::string& path) {
    syncPath(path, O_RDONLY);
}

void syncFolderToDisk(const std::string& path) {
    syncPath(path, O_RDONLY | O_DIRECTORY);
}

int renameReplacing(const std::string& source, const std::string& destination) {
    if (std::rename(source.c_str(), destination.c_str()) == 0)
        return 0;
    return errno;
}

bool removeFile(const std::string& path) {
    return ::unlink(path.c_str()) == 0;
}

std::optional<std::string> copyAside(const std::string& source, const std::string& destination,
                                     WriteFailure& failure) {
    const int in = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) {
        failWithSystemError(failure, errno);
        return std::nullopt;
    }
    Aside out;
    std::optional<std::string> made;
    if (out.create(destination, failure)) {
        std::vector<char> buffer(1 << 20);
        for (;;) {
            const ssize_t got = ::read(in, buffer.data(), buffer.size());
            if (got < 0 && errno == EINTR)
                continue;
            if (got < 0) {
                failWithSystemError(failure, errno);
                break;
            }
            if (got == 0) {
                made = out.keep(failure);
                break;
            }
            if (!out.write(buffer.data(), std::size_t(got), failure))
                break;
        }
    }
    ::close(in);
    return made;
}

std::optional<std::string> writeAside(const std::string& bytes, const std::string& destination,
                                      WriteFailure& failure) {
    Aside out;
    if (!out.create(destination, failure) || !out.write(bytes.data(), bytes.size(), failure))
        return std::nullopt;
    return out.keep(failure);
}
