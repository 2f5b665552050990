// File system access confined to the extraction folder: every path below it is resolved so that
// it cannot lead out of it (no "..", no link pointing outside), plus the names of the engine's
// temporary files.
#pragma once

#include <atomic>
#include <cstddef>
#include <string>
#include <vorn/UniqueFd.h>

namespace vbuzip {

using vorn::UniqueFd;

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

} // namespace vbuzip
