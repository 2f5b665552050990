#include "ArchiveFile.h"

namespace vbuzip {

std::string ArchiveFile::read(uint64_t offset, size_t length) const {
    std::string out(length, '\0');
    size_t done = 0;
    int error = 0;
    while (done < length) {
        int64_t n = readAt(out.data() + done, length - done, offset + done, error);
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
    out.resize(done);
    return out;
}

} // namespace vbuzip
