#include "ArchiveFile.h"

#include "Failure.h"
#include "vbuzip10.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vorn/SystemError.h>

namespace vbuzip {

namespace {

struct stat statOf(int fd, const std::string& path) {
    struct stat st {};
    if (fstat(fd, &st) != 0)
        throw Failure(UZ_ERR_NO_ARCHIVE,
                      "cannot read " + path + ": " + vorn::systemErrorText(errno));
    return st;
}

} // namespace

ArchiveFile::ArchiveFile(const std::string& path) : m_path(path) {
    m_fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (m_fd < 0)
        throw Failure(UZ_ERR_NO_ARCHIVE,
                      "cannot open " + path + ": " + vorn::systemErrorText(errno));
    struct stat st {};
    if (fstat(m_fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(m_fd);
        throw Failure(UZ_ERR_NO_ARCHIVE, path + " is not a file");
    }
}

ArchiveFile::~ArchiveFile() {
    ::close(m_fd);
}

uint64_t ArchiveFile::size() const {
    return static_cast<uint64_t>(statOf(m_fd, m_path).st_size);
}

time_t ArchiveFile::mtime() const {
    return statOf(m_fd, m_path).st_mtime;
}

int64_t ArchiveFile::readAt(char* out, uint64_t length, uint64_t offset, int& error) const {
    for (;;) {
        ssize_t n = ::pread(m_fd, out, static_cast<size_t>(std::min<uint64_t>(length, 1 << 30)),
                            static_cast<off_t>(offset));
        if (n >= 0)
            return n;
        if (errno != EINTR) {
            error = errno;
            return -1;
        }
    }
}

} // namespace vbuzip
