// File system access confined to the extraction folder: every path below it is resolved so that
// it cannot lead out of it (no "..", no link pointing outside), plus the names of the engine's
// temporary files.
#pragma once

#include <atomic>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

namespace vbuzip {

// An owned file descriptor.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : m_fd(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            reset();
            m_fd = std::exchange(other.m_fd, -1);
        }
        return *this;
    }
    int get() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }
    int release() { return std::exchange(m_fd, -1); }
    void reset();

private:
    int m_fd = -1;
};

// Opens path relative to the folder dirFd so that resolving it never leaves that folder. Links
// that stay inside are followed. Returns an invalid descriptor with errno set on failure; errno
// is EXDEV when the path leads out of the folder.
UniqueFd openBeneath(int dirFd, const std::string& path, int flags);

// Names of temporary files: ".vbuzip-<random>-<n>.tmp". Safe to use from several threads.
class TempNames {
public:
    TempNames();
    std::string next();
    static bool isTempName(const std::string& name);

private:
    std::string m_prefix;
    std::atomic<unsigned long> m_counter{0};
};

// Removes the temporary files a killed call left in the folder dirFd. Returns how many.
int removeLeftovers(int dirFd);

// Writes all of data to fd; false with errno set on failure.
bool writeAll(int fd, const char* data, size_t size);

// Joins a folder given by the program and a relative path with one "/".
std::string joinPath(const std::string& folder, const std::string& relative);

} // namespace vbuzip
