// The file of the temporary folder that a download's bytes go to. A read holds it locked for as
// long as it needs it, so that no other updater takes it for abandoned. Written with write-behind:
// the disk writes the data while more arrives, so that the sync before the file is moved into
// place finds little left to do, and the bytes known to be on disk can be told when asked.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class DownloadFile {
public:
    DownloadFile() = default;
    ~DownloadFile() { close(); }
    DownloadFile(const DownloadFile&) = delete;
    DownloadFile& operator=(const DownloadFile&) = delete;

    // Creates a new, empty file in `folder` under a name made from `pattern` (its last "XXXXXX"
    // becomes a unique part). False when no file can be made there (error() tells why).
    bool create(const std::string& folder, const std::string& pattern);
    // Opens the existing file `path` to go on writing after its first `length` bytes (anything
    // after them is cut off). False when it is no plain file of its own, holds fewer bytes, or
    // another read holds it.
    bool reopen(const std::string& path, std::int64_t length);

    bool isOpen() const { return m_fd >= 0; }
    const std::string& path() const { return m_path; }
    // Bytes in the file.
    std::int64_t size() const { return m_size; }
    // Bytes of the file that have reached the disk, as far as this object knows.
    std::int64_t durableSize() const { return m_durable; }
    // Bytes of the file handed to the disk to write: all but the last few megabytes.
    std::int64_t handedSize() const { return m_writeStarted; }
    // Waits until the first `end` bytes (at most those handed to the disk) are on it, so that
    // durableSize() tells them.
    void waitForDisk(std::int64_t end);

    // Appends `size` bytes. On failure error() and errorCode() tell why; what was written of them
    // counts.
    bool append(const char* data, std::int64_t size);
    // Cuts the file to its first `length` bytes (0: empty, for a start over).
    bool truncate(std::int64_t length);
    // Puts every byte on the disk.
    bool sync();
    // Up to `size` bytes from the end of the file.
    std::string tail(std::int64_t size) const;

    // Closes the file and gives up the lock; the file stays.
    void close();
    // Closes the file and removes it.
    void discard();

    // Why the last operation failed, and the system's error number behind it (0 when none).
    const std::string& error() const { return m_error; }
    int errorCode() const { return m_errorCode; }

    // Removes the files of `folder` whose names match `patterns` and that no read holds, except
    // those `keep` keeps (it is given the file name). Symbolic links are never followed or
    // removed.
    // Patterns are matched without regard to letter case ("*" any text, "?" one character).
    static void removeAbandoned(const std::string& folder, const std::vector<std::string>& patterns,
                                const std::function<bool(const std::string& name)>& keep);

private:
    bool fail(int code, const std::string& what);
    bool adopt(int fd, const std::string& path);
    void startWriteBehind();

    int m_fd = -1;
    std::string m_path;
    std::int64_t m_size = 0;
    std::int64_t m_durable = 0;      // on disk: the write-behind waited for it
    std::int64_t m_writeStarted = 0; // handed to the disk to write
    std::string m_error;
    int m_errorCode = 0;
};
