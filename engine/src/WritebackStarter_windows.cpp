// Windows' lazy writer starts writing a file's data by itself, and every staged file is flushed
// when it is finished: nothing to start here.
#include "WritebackStarter.h"

namespace vbuzip {

void WritebackStarter::wrote(size_t size) {
    m_written += size;
}

void WritebackStarter::finish() {}

void WritebackStarter::start() {}

} // namespace vbuzip
