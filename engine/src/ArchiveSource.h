// The archive as libzip reads it: a view of the archive file that starts where the archive does
// (after any other data in front of it) and may carry recorded values replaced by the engine.
#pragma once

#include <cstdint>
#include <map>
#include <memory>

struct zip_source;

namespace vbuzip {

class ArchiveFile;

struct ArchiveView {
    uint64_t start = 0; // bytes of other data in front of the archive
    // 32-bit fields of the archive replaced by another value, by their offset in the archive.
    std::shared_ptr<const std::map<uint64_t, uint32_t>> replaced;
};

// A new libzip source reading the view of file (each source keeps a read position and a
// read-ahead buffer of its own, so that several threads can read at once). Fails with
// UZ_ERR_NO_ARCHIVE or UZ_ERR_MEMORY. The file must outlive the source.
zip_source* newArchiveSource(const ArchiveFile& file, const ArchiveView& view);

} // namespace vbuzip
