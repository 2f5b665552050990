// Starts the disk writing of a large file's data while it is still being extracted, so that the
// sync at the end of the call finds little left to do.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vbuzip {

class WritebackStarter {
public:
    // Of the open file handle (a descriptor, or a Windows handle).
    explicit WritebackStarter(std::intptr_t handle) : m_handle(handle) {}

    // size more bytes were written to the file.
    void wrote(size_t size);
    // The file is complete.
    void finish();

private:
    void start();

    std::intptr_t m_handle;
    uint64_t m_written = 0;
    uint64_t m_started = 0;
};

} // namespace vbuzip
