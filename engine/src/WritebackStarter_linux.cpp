#include "WritebackStarter.h"

#include <fcntl.h>

namespace vbuzip {

namespace {
constexpr uint64_t WritebackStep = 8 << 20;
constexpr uint64_t WritebackMinimum = 1 << 20;
} // namespace

void WritebackStarter::wrote(size_t size) {
    m_written += size;
    if (m_written - m_started >= WritebackStep)
        start();
}

void WritebackStarter::finish() {
    if (m_written >= WritebackMinimum)
        start();
}

void WritebackStarter::start() {
    sync_file_range(static_cast<int>(m_handle), static_cast<off_t>(m_started),
                    static_cast<off_t>(m_written - m_started), SYNC_FILE_RANGE_WRITE);
    m_started = m_written;
}

} // namespace vbuzip
