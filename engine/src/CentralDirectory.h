// What the engine reads of the archive's own directory itself, because libzip does not hand it
// out: where the archive starts in a file with other data in front of it (from the end record),
// and where each entry's CRC is recorded and which entries use AES encryption of version 2.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

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

struct DirectoryRecord {
    uint64_t crcOffset = 0;  // of the entry's CRC field, from the start of the archive
    uint16_t aesVersion = 0; // of a WinZip AES entry: 1 (AE-1) or 2 (AE-2); 0 for other entries
};

// The records of the central directory, in order, or nothing when it is not as end describes.
std::optional<std::vector<DirectoryRecord>> readDirectory(const ArchiveFile& file,
                                                          const EndRecord& end);

} // namespace vbuzip
