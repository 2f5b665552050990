// The archive file, opened once and read by the libzip handles of several threads at once.
#pragma once

#include <string>

struct zip_source;

namespace vbuzip {

class ArchiveFile {
public:
    // Opens the file for reading; fails with UZ_ERR_NO_ARCHIVE.
    explicit ArchiveFile(const std::string& path);
    ~ArchiveFile();
    ArchiveFile(const ArchiveFile&) = delete;
    ArchiveFile& operator=(const ArchiveFile&) = delete;

    const std::string& path() const { return m_path; }

    // A new libzip source that reads the file as it is now (each source keeps a read position
    // and a read-ahead buffer of its own). Fails with UZ_ERR_NO_ARCHIVE or UZ_ERR_MEMORY.
    zip_source* newSource() const;

private:
    int m_fd = -1;
    std::string m_path;
};

} // namespace vbuzip
