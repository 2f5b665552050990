// File system access confined to the extraction folder: every path below it is resolved so that
// it cannot lead out of it (no "..", no link pointing outside), plus the names of the engine's
// temporary files and whole-file reads and writes.
#pragma once

#include <atomic>
#include <cstddef>
#include <optional>
#include <string>
#include <vorn/UniqueFd.h>

namespace vbuzip {

using vorn::UniqueFd;

// Opens path relative to the folder dirFd so that resolving it never leaves that folder. Links
// that stay inside are followed. Returns an invalid descriptor with errno set on failure; errno
// is EXDEV when the path leads out of the folder.
UniqueFd openBeneath(int dirFd, const std::string& path, int flags);

// Names of temporary files (staged files and backups): ".vbuzip-<random>-<n>.tmp", in the
// engine's reserved namespace. Safe to use from several threads.
class TempNames {
public:
    TempNames();
    std::string next();

private:
    std::string m_prefix;
    std::atomic<unsigned long> m_counter{0};
};

// Writes all of data to fd; false with errno set on failure.
bool writeAll(int fd, const char* data, size_t size);

// The contents of the file name in the folder dirFd; nothing when it does not exist. Fails with
// UZ_ERR_WRITE when it cannot be read.
std::optional<std::string> readWholeFile(int dirFd, const char* name);

} // namespace vbuzip
