// Read access to a zip archive through libzip: the entry table and the data of one entry.
#pragma once

#include "ArchiveSource.h"

#include <atomic>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct zip;

namespace vbuzip {

class ArchiveFile;

struct EntryInfo {
    uint64_t index = 0;
    std::string name; // as stored, in UTF-8
    uint64_t size = 0;
    uint64_t compressedSize = 0;
    uint32_t crc = 0;
    uint16_t method = 0;
    uint16_t encryption = 0;
    time_t mtime = 0;
    bool isFolder = false;
    bool isLink = false;              // a symbolic link stored by a Unix host
    bool isSpecial = false;           // a device or socket stored by a Unix host
    std::optional<uint32_t> unixMode; // permission bits stored by a Unix host
    std::optional<bool> dosReadOnly;  // the read-only attribute stored by another host
    // AES encryption of version 2 (AE-2): no CRC is recorded, the authentication code of the
    // encryption alone protects the data.
    bool authenticatedOnly = false;

    bool encrypted() const { return encryption != 0; }
};

// Name of a compression method for listings ("Stored", "Deflated", ...).
std::string methodName(uint16_t method);

class Archive {
public:
    // Opens the archive, also one with other data in front of it (found by its end record).
    // Fails with UZ_ERR_NO_ARCHIVE when the file cannot be read or is no zip archive,
    // UZ_ERR_ARCHIVE when it is damaged, UZ_ERR_UNSUPPORTED for split archives and the like.
    explicit Archive(const std::string& path);
    ~Archive();
    Archive(const Archive&) = delete;
    Archive& operator=(const Archive&) = delete;

    // A second handle on the same opened file, for reading on another thread.
    std::unique_ptr<Archive> reopen() const;

    const std::vector<EntryInfo>& entries() const { return m_entries; }

    // Bytes of other data in front of the archive (0 for a plain zip file).
    uint64_t leadingBytes() const { return m_view.start; }

    // Tries a password on an encrypted entry: true when it is accepted. Fails (throws) on other
    // errors. An empty password is never accepted.
    bool acceptsPassword(const EntryInfo& entry, const std::string& password);

    // Streams the data of an entry to sink in pieces. Checks as it reads that the data does not
    // pass the declared size, and at the end the size and CRC. Throws Failure on any error;
    // stops with UZ_ERR_STOPPED when cancel becomes true.
    using Sink = std::function<void(const char* data, size_t size)>;
    void read(const EntryInfo& entry, const std::string* password, const Sink& sink,
              const std::atomic<bool>& cancel);

    // libzip checks every entry against its recorded CRC. For the authenticatedOnly entries
    // given (with their passwords) this reads each once and records the CRC of its data in the
    // archive as this handle and its later copies see it, so that the authentication code alone
    // decides. Call before reopen().
    void takeCrcsOf(const std::vector<std::pair<const EntryInfo*, const std::string*>>& entries);

private:
    Archive(std::shared_ptr<const ArchiveFile> file, ArchiveView view);
    int tryOpenHandle(std::string& message);
    void openHandle();
    void loadEntries();
    void findAuthenticatedOnly();

    std::shared_ptr<const ArchiveFile> m_file;
    ArchiveView m_view;
    std::map<uint64_t, uint64_t> m_crcFields; // entry index -> offset of its recorded CRC
    zip* m_zip = nullptr;
    std::vector<EntryInfo> m_entries;
    std::vector<char> m_buffer;
};

} // namespace vbuzip
