#include "CentralDirectory.h"

#include "ArchiveFile.h"

#include <algorithm>
#include <string>

namespace vbuzip {

namespace {

constexpr size_t EndRecordSize = 22;
constexpr size_t MaxComment = 65535;
constexpr size_t Zip64LocatorSize = 20;
constexpr size_t Zip64RecordSize = 56;
constexpr size_t DirectoryRecordSize = 46;
constexpr uint16_t AesExtraField = 0x9901;

uint64_t little(const std::string& data, size_t at, size_t bytes) {
    uint64_t value = 0;
    for (size_t i = bytes; i-- > 0;)
        value = value << 8 | static_cast<unsigned char>(data[at + i]);
    return value;
}

bool signatureAt(const std::string& data, size_t at, char third, char fourth) {
    return at + 4 <= data.size() && data[at] == 'P' && data[at + 1] == 'K' &&
           data[at + 2] == third && data[at + 3] == fourth;
}

// The Zip64 end record that the locator before the end record at endAt points to: it is found
// right before the locator (data in front moves it away from the offset the locator records).
bool readZip64Record(const ArchiveFile& file, uint64_t endAt, EndRecord& end, uint64_t& recordAt) {
    if (endAt < Zip64LocatorSize + Zip64RecordSize)
        return false;
    const std::string locator = file.read(endAt - Zip64LocatorSize, Zip64LocatorSize);
    if (!signatureAt(locator, 0, 6, 7) || locator.size() != Zip64LocatorSize)
        return false;
    recordAt = endAt - Zip64LocatorSize - Zip64RecordSize;
    std::string record = file.read(recordAt, Zip64RecordSize);
    if (!signatureAt(record, 0, 6, 6) || record.size() != Zip64RecordSize ||
        little(record, 4, 8) != Zip64RecordSize - 12) {
        // A record with data of its own: where the locator says, without data in front.
        recordAt = little(locator, 8, 8);
        record = file.read(recordAt, Zip64RecordSize);
        if (!signatureAt(record, 0, 6, 6) || record.size() != Zip64RecordSize)
            return false;
    }
    end.entries = little(record, 32, 8);
    end.directorySize = little(record, 40, 8);
    end.directoryOffset = little(record, 48, 8);
    return true;
}

} // namespace

std::optional<EndRecord> findEndRecord(const ArchiveFile& file) {
    const uint64_t size = file.size();
    const size_t tailSize =
        static_cast<size_t>(std::min<uint64_t>(size, EndRecordSize + MaxComment));
    const uint64_t tailAt = size - tailSize;
    const std::string tail = file.read(tailAt, tailSize);
    if (tail.size() < EndRecordSize)
        return std::nullopt;
    for (size_t at = tail.size() - EndRecordSize + 1; at-- > 0;) {
        if (!signatureAt(tail, at, 5, 6) ||
            at + EndRecordSize + little(tail, at + 20, 2) > tail.size())
            continue;
        EndRecord end;
        end.entries = little(tail, at + 10, 2);
        end.directorySize = little(tail, at + 12, 4);
        end.directoryOffset = little(tail, at + 16, 4);
        uint64_t directoryEnd = tailAt + at;
        uint64_t recordAt = 0;
        if (readZip64Record(file, directoryEnd, end, recordAt))
            directoryEnd = recordAt;
        if (end.directorySize > directoryEnd ||
            end.directoryOffset > directoryEnd - end.directorySize)
            return std::nullopt;
        end.start = directoryEnd - end.directorySize - end.directoryOffset;
        if (end.entries > 0 && !signatureAt(file.read(end.start + end.directoryOffset, 4), 0, 1, 2))
            return std::nullopt;
        return end;
    }
    return std::nullopt;
}

std::optional<std::vector<DirectoryRecord>> readDirectory(const ArchiveFile& file,
                                                          const EndRecord& end) {
    if (end.directorySize > file.size())
        return std::nullopt;
    const std::string data =
        file.read(end.start + end.directoryOffset, static_cast<size_t>(end.directorySize));
    if (data.size() != end.directorySize)
        return std::nullopt;
    std::vector<DirectoryRecord> records;
    size_t at = 0;
    while (records.size() < end.entries) {
        if (at + DirectoryRecordSize > data.size() || !signatureAt(data, at, 1, 2))
            return std::nullopt;
        const size_t nameSize = little(data, at + 28, 2);
        const size_t extraSize = little(data, at + 30, 2);
        const size_t commentSize = little(data, at + 32, 2);
        const size_t extraAt = at + DirectoryRecordSize + nameSize;
        const size_t next = extraAt + extraSize + commentSize;
        if (next > data.size())
            return std::nullopt;
        DirectoryRecord record;
        record.crcOffset = end.directoryOffset + at + 16;
        for (size_t field = extraAt; field + 4 <= extraAt + extraSize;) {
            const size_t fieldSize = little(data, field + 2, 2);
            if (field + 4 + fieldSize > extraAt + extraSize)
                break;
            if (little(data, field, 2) == AesExtraField && fieldSize >= 7)
                record.aesVersion = static_cast<uint16_t>(little(data, field + 4, 2));
            field += 4 + fieldSize;
        }
        records.push_back(record);
        at = next;
    }
    return records;
}

} // namespace vbuzip
