// The archive as libzip reads it: a view of the archive file that starts where the archive does
// (after any other data in front of it).
#pragma once

#include <cstdint>

struct zip_source;

namespace vbuzip {

class ArchiveFile;

struct ArchiveView {
    uint64_t start = 0; // bytes of other data in front of the archive
};

// A new libzip source reading the view of file (each source keeps a read position and a
// read-ahead buffer of its own, so that several threads can read at once). Fails with
// UZ_ERR_NO_ARCHIVE or UZ_ERR_MEMORY. The file must outlive the source.
zip_source* newArchiveSource(const ArchiveFile& file, const ArchiveView& view);

} // namespace vbuzip
