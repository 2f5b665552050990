// File system access confined to the extraction folder, on Linux: every path below it is resolved
// so that it cannot lead out of it (no "..", no link pointing outside), plus whole-file reads and
// writes on descriptors.
#pragma once

#include "SafeFs.h"

#include <cstddef>
#include <optional>
#include <string>
#include <vorn/UniqueFd.h>

namespace vbuzip {

using vorn::UniqueFd;
// What the extraction folder holds open: folders and files, by descriptor.
using FolderRef = UniqueFd;
using FileRef = UniqueFd;

// Opens path relative to the folder dirFd so that resolving it never leaves that folder. Links
// that stay inside are followed. Returns an invalid descriptor with errno set on failure; errno
// is EXDEV when the path leads out of the folder.
UniqueFd openBeneath(int dirFd, const std::string& path, int flags);

// Writes all of data to fd; false with errno set on failure.
bool writeAll(int fd, const char* data, size_t size);

// The contents of the file name in the folder dirFd; nothing when it does not exist. Fails with
// UZ_ERR_WRITE when it cannot be read.
std::optional<std::string> readWholeFile(int dirFd, const char* name);

} // namespace vbuzip
