// The archive file, opened once and read by the libzip handles of several threads at once.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

namespace vbuzip {

class ArchiveFile {
public:
    // Opens the file for reading; fails with UZ_ERR_NO_ARCHIVE.
    explicit ArchiveFile(const std::string& path);
    ~ArchiveFile();
    ArchiveFile(const ArchiveFile&) = delete;
    ArchiveFile& operator=(const ArchiveFile&) = delete;

    const std::string& path() const { return m_path; }

    // The size and modification time of the file as it is now; fails with UZ_ERR_NO_ARCHIVE.
    uint64_t size() const;
    time_t mtime() const;

    // Reads up to length bytes at offset into out (fewer at the end of the file). Safe to call
    // from several threads. Returns the bytes read, or -1 with the system's error number (errno, or
    // the Windows error) in error.
    int64_t readAt(char* out, uint64_t length, uint64_t offset, int& error) const;
    // The bytes at offset, fewer at the end of the file or on a read error.
    std::string read(uint64_t offset, size_t length) const;

private:
#ifdef _WIN32
    void* m_file = nullptr; // HANDLE
#else
    int m_fd = -1;
#endif
    std::string m_path;
};

} // namespace vbuzip
