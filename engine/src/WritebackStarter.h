// Starts the disk writing of a large file's data while it is still being extracted, so that the
// sync at the end of the call finds little left to do.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vbuzip {

class WritebackStarter {
public:
    explicit WritebackStarter(int fd) : m_fd(fd) {}

    // size more bytes were written to the file.
    void wrote(size_t size);
    // The file is complete.
    void finish();

private:
    void start();

    int m_fd;
    uint64_t m_written = 0;
    uint64_t m_started = 0;
};

} // namespace vbuzip
