// What the engine reads of the archive's own directory itself, because libzip does not hand it
// out: where the archive starts in a file with other data in front of it (from the end record).
#pragma once

#include <cstdint>
#include <optional>

namespace vbuzip {

class ArchiveFile;

struct EndRecord {
    uint64_t start = 0;           // bytes of other data in front of the archive
    uint64_t directoryOffset = 0; // of the central directory, from the start of the archive
    uint64_t directorySize = 0;
    uint64_t entries = 0;
};

// The last end record of the file (with its Zip64 record, when it has one), or nothing when
// none is found or its numbers cannot hold.
std::optional<EndRecord> findEndRecord(const ArchiveFile& file);

} // namespace vbuzip
