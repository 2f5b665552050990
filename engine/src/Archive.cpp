#include "Archive.h"

#include "Failure.h"
#include "vbuzip10.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

namespace vbuzip {

namespace {

constexpr size_t ReadBuffer = 256 * 1024;
constexpr size_t MinReadAhead = 16 * 1024;
constexpr size_t MaxReadAhead = 1024 * 1024;
constexpr zip_uint16_t ExtendedTimestampField = 0x5455;
constexpr uint8_t OsX = 19;

int32_t codeOfZipError(int zipError, bool encrypted) {
    switch (zipError) {
    case ZIP_ER_MEMORY:
        return UZ_ERR_MEMORY;
    case ZIP_ER_COMPNOTSUPP:
    case ZIP_ER_ENCRNOTSUPP:
    case ZIP_ER_MULTIDISK:
        return UZ_ERR_UNSUPPORTED;
    case ZIP_ER_NOPASSWD:
    case ZIP_ER_WRONGPASSWD:
        return UZ_ERR_PASSWORD;
    case ZIP_ER_CRC:
    case ZIP_ER_ZLIB:
    case ZIP_ER_COMPRESSED_DATA:
        // Decrypting with a wrong password that passed the short check value gives garbage.
        return encrypted ? UZ_ERR_PASSWORD : UZ_ERR_ARCHIVE;
    default:
        return UZ_ERR_ARCHIVE;
    }
}

[[noreturn]] void failWith(zip_error_t* error, const EntryInfo& entry) {
    int code = zip_error_code_zip(error);
    std::string message = entry.name + ": " + zip_error_strerror(error);
    if (entry.encrypted() &&
        (code == ZIP_ER_CRC || code == ZIP_ER_ZLIB || code == ZIP_ER_COMPRESSED_DATA))
        message += " (wrong password?)";
    throw Failure(codeOfZipError(code, entry.encrypted()), message);
}

struct FileCloser {
    void operator()(zip_file_t* file) const { zip_fclose(file); }
};
using ZipFile = std::unique_ptr<zip_file_t, FileCloser>;

// Modification time from the extended timestamp field (UTC seconds), when there is one.
std::optional<time_t> extendedMtime(zip_t* za, zip_uint64_t index) {
    // Only the central directory's copy: the local one would cost a read per entry.
    zip_uint16_t length = 0;
    const zip_uint8_t* data = zip_file_extra_field_get_by_id(za, index, ExtendedTimestampField, 0,
                                                             &length, ZIP_FL_CENTRAL);
    if (!data || length < 5 || !(data[0] & 1))
        return std::nullopt;
    uint32_t raw = uint32_t(data[1]) | uint32_t(data[2]) << 8 | uint32_t(data[3]) << 16 |
                   uint32_t(data[4]) << 24;
    return static_cast<time_t>(static_cast<int32_t>(raw));
}

// The archive file as a libzip source, read with pread so that several sources (one per thread)
// can share one descriptor. libzip reads in small pieces and seeks before each one; reads that
// follow on from the previous one are served from a read-ahead buffer that grows while the
// reading stays sequential.
class FileSource {
public:
    FileSource(int fd, uint64_t size, time_t mtime) : m_fd(fd), m_size(size), m_mtime(mtime) {
        zip_error_init(&m_error);
    }
    ~FileSource() { zip_error_fini(&m_error); }

    static zip_int64_t callback(void* self, void* data, zip_uint64_t length, zip_source_cmd_t cmd) {
        return static_cast<FileSource*>(self)->handle(data, length, cmd);
    }

private:
    zip_int64_t handle(void* data, zip_uint64_t length, zip_source_cmd_t cmd) {
        switch (cmd) {
        case ZIP_SOURCE_OPEN:
            m_position = 0;
            return 0;
        case ZIP_SOURCE_READ:
            return read(static_cast<char*>(data), length);
        case ZIP_SOURCE_CLOSE:
            return 0;
        case ZIP_SOURCE_STAT: {
            zip_stat_t* st = ZIP_SOURCE_GET_ARGS(zip_stat_t, data, length, &m_error);
            if (!st)
                return -1;
            zip_stat_init(st);
            st->size = m_size;
            st->mtime = m_mtime;
            st->valid = ZIP_STAT_SIZE | ZIP_STAT_MTIME;
            return sizeof(zip_stat_t);
        }
        case ZIP_SOURCE_ERROR:
            return zip_error_to_data(&m_error, data, length);
        case ZIP_SOURCE_FREE:
            delete this;
            return 0;
        case ZIP_SOURCE_SEEK: {
            zip_int64_t position =
                zip_source_seek_compute_offset(m_position, m_size, data, length, &m_error);
            if (position < 0)
                return -1;
            m_position = static_cast<uint64_t>(position);
            return 0;
        }
        case ZIP_SOURCE_TELL:
            return static_cast<zip_int64_t>(m_position);
        case ZIP_SOURCE_SUPPORTS:
            return zip_source_make_command_bitmap(
                ZIP_SOURCE_OPEN, ZIP_SOURCE_READ, ZIP_SOURCE_CLOSE, ZIP_SOURCE_STAT,
                ZIP_SOURCE_ERROR, ZIP_SOURCE_FREE, ZIP_SOURCE_SEEK, ZIP_SOURCE_TELL,
                ZIP_SOURCE_SUPPORTS, -1);
        default:
            zip_error_set(&m_error, ZIP_ER_OPNOTSUPP, 0);
            return -1;
        }
    }

    zip_int64_t read(char* out, uint64_t length) {
        if (m_position >= m_size)
            return 0;
        length = std::min<uint64_t>(length, m_size - m_position);
        m_readAhead =
            m_position == m_lastEnd ? std::min(m_readAhead * 2, MaxReadAhead) : MinReadAhead;
        uint64_t done = 0;
        while (done < length) {
            const uint64_t at = m_position + done;
            if (at >= m_bufferStart && at < m_bufferStart + m_buffer.size()) {
                size_t n = static_cast<size_t>(
                    std::min<uint64_t>(length - done, m_bufferStart + m_buffer.size() - at));
                std::memcpy(out + done, m_buffer.data() + (at - m_bufferStart), n);
                done += n;
                continue;
            }
            if (length - done >= m_readAhead) {
                ssize_t n = readAt(out + done, length - done, at);
                if (n <= 0)
                    return n < 0 ? -1 : static_cast<zip_int64_t>(done);
                done += static_cast<uint64_t>(n);
                continue;
            }
            m_buffer.resize(m_readAhead);
            ssize_t n = readAt(m_buffer.data(), m_buffer.size(), at);
            m_buffer.resize(n > 0 ? static_cast<size_t>(n) : 0);
            m_bufferStart = at;
            if (n <= 0)
                return n < 0 ? -1 : static_cast<zip_int64_t>(done);
        }
        m_position += done;
        m_lastEnd = m_position;
        return static_cast<zip_int64_t>(done);
    }

    ssize_t readAt(char* out, uint64_t length, uint64_t at) {
        for (;;) {
            ssize_t n = ::pread(m_fd, out, static_cast<size_t>(std::min<uint64_t>(length, 1 << 30)),
                                static_cast<off_t>(at));
            if (n >= 0)
                return n;
            if (errno != EINTR) {
                zip_error_set(&m_error, ZIP_ER_READ, errno);
                return -1;
            }
        }
    }

    int m_fd;
    uint64_t m_size;
    time_t m_mtime;
    uint64_t m_position = 0;
    uint64_t m_lastEnd = UINT64_MAX;
    size_t m_readAhead = MinReadAhead;
    std::vector<char> m_buffer;
    uint64_t m_bufferStart = 0;
    zip_error_t m_error;
};

} // namespace

std::string methodName(uint16_t method) {
    switch (method) {
    case ZIP_CM_STORE:
        return "Stored";
    case ZIP_CM_SHRINK:
        return "Shrunk";
    case ZIP_CM_REDUCE_1:
    case ZIP_CM_REDUCE_2:
    case ZIP_CM_REDUCE_3:
    case ZIP_CM_REDUCE_4:
        return "Reduced";
    case ZIP_CM_IMPLODE:
        return "Imploded";
    case ZIP_CM_DEFLATE:
        return "Deflated";
    case ZIP_CM_DEFLATE64:
        return "Deflate64";
    case ZIP_CM_BZIP2:
        return "BZip2";
    case ZIP_CM_LZMA:
        return "LZMA";
    case 93:
        return "Zstd";
    case ZIP_CM_XZ:
        return "XZ";
    case ZIP_CM_PPMD:
        return "PPMd";
    default:
        return "Unknown";
    }
}

Archive::Archive(const std::string& path) : m_path(path) {
    m_fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (m_fd < 0)
        throw Failure(UZ_ERR_NO_ARCHIVE, "cannot open " + path + ": " + errnoText(errno));
    struct stat st {};
    if (fstat(m_fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(m_fd);
        throw Failure(UZ_ERR_NO_ARCHIVE, path + " is not a file");
    }
    try {
        openHandle();
        loadEntries();
    } catch (...) {
        if (m_zip)
            zip_discard(m_zip);
        ::close(m_fd);
        throw;
    }
}

Archive::Archive(int fd, const std::string& path) : m_fd(fd), m_path(path) {}

Archive::~Archive() {
    if (m_zip)
        zip_discard(m_zip);
    if (m_fd >= 0)
        ::close(m_fd);
}

std::unique_ptr<Archive> Archive::reopen() const {
    // Reading with pread needs no position of its own: the copy shares the descriptor.
    int fd = fcntl(m_fd, F_DUPFD_CLOEXEC, 0);
    if (fd < 0)
        throw Failure(UZ_ERR_NO_ARCHIVE, "cannot open " + m_path + ": " + errnoText(errno));
    std::unique_ptr<Archive> copy(new Archive(fd, m_path));
    copy->openHandle();
    if (zip_get_num_entries(copy->m_zip, 0) != static_cast<zip_int64_t>(m_entries.size()))
        throw Failure(UZ_ERR_ARCHIVE, m_path + " was changed while it was read");
    return copy;
}

void Archive::openHandle() {
    struct stat st {};
    if (fstat(m_fd, &st) != 0)
        throw Failure(UZ_ERR_NO_ARCHIVE, "cannot read " + m_path + ": " + errnoText(errno));
    zip_error_t error;
    zip_error_init(&error);
    auto* file = new FileSource(m_fd, static_cast<uint64_t>(st.st_size), st.st_mtime);
    zip_source_t* source = zip_source_function_create(&FileSource::callback, file, &error);
    if (!source) {
        delete file;
        zip_error_fini(&error);
        throw Failure(UZ_ERR_MEMORY, "out of memory");
    }
    m_zip = zip_open_from_source(source, ZIP_RDONLY, &error);
    if (!m_zip) {
        zip_source_free(source); // frees file as well
        int code = zip_error_code_zip(&error);
        std::string message = m_path + ": " + zip_error_strerror(&error);
        zip_error_fini(&error);
        throw Failure(code == ZIP_ER_MEMORY ? UZ_ERR_MEMORY : UZ_ERR_NO_ARCHIVE, message);
    }
    zip_error_fini(&error);
}

void Archive::loadEntries() {
    zip_int64_t count = zip_get_num_entries(m_zip, 0);
    m_entries.reserve(static_cast<size_t>(count));
    for (zip_int64_t i = 0; i < count; ++i) {
        zip_uint64_t index = static_cast<zip_uint64_t>(i);
        zip_stat_t st;
        zip_stat_init(&st);
        if (zip_stat_index(m_zip, index, 0, &st) != 0 || !st.name)
            throw Failure(UZ_ERR_ARCHIVE, m_path + ": " + zip_strerror(m_zip));
        EntryInfo e;
        e.index = index;
        e.name = st.name;
        e.size = st.size;
        e.compressedSize = st.comp_size;
        e.crc = st.crc;
        e.method = st.comp_method;
        e.encryption = st.encryption_method;
        e.mtime = extendedMtime(m_zip, index).value_or(st.mtime);
        e.isFolder = !e.name.empty() && (e.name.back() == '/' || e.name.back() == '\\');

        zip_uint8_t host = 0;
        zip_uint32_t attributes = 0;
        if (zip_file_get_external_attributes(m_zip, index, 0, &host, &attributes) == 0) {
            if (attributes & 0x10) // the MS-DOS folder attribute
                e.isFolder = true;
            mode_t mode = attributes >> 16;
            mode_t type = mode & S_IFMT;
            // A link is refused whatever host stored it; modes are taken from Unix hosts only.
            if (type == S_IFLNK)
                e.isLink = true;
            if (host == ZIP_OPSYS_UNIX || host == OsX) {
                if (type == S_IFDIR)
                    e.isFolder = true;
                else if (type == S_IFCHR || type == S_IFBLK || type == S_IFIFO || type == S_IFSOCK)
                    e.isSpecial = true;
                if (mode & 0777)
                    e.unixMode = mode & 07777;
            }
        }
        m_entries.push_back(std::move(e));
    }
}

bool Archive::acceptsPassword(const EntryInfo& entry, const std::string& password) {
    if (password.empty())
        return false;
    ZipFile file(zip_fopen_index_encrypted(m_zip, entry.index, 0, password.c_str()));
    if (file)
        return true;
    zip_error_t* error = zip_get_error(m_zip);
    int code = zip_error_code_zip(error);
    if (code == ZIP_ER_WRONGPASSWD || code == ZIP_ER_NOPASSWD) {
        zip_error_clear(m_zip);
        return false;
    }
    failWith(error, entry);
}

void Archive::read(const EntryInfo& entry, const std::string* password, const Sink& sink,
                   const std::atomic<bool>& cancel) {
    ZipFile file(password ? zip_fopen_index_encrypted(m_zip, entry.index, 0, password->c_str())
                          : zip_fopen_index(m_zip, entry.index, 0));
    if (!file)
        failWith(zip_get_error(m_zip), entry);
    if (m_buffer.empty())
        m_buffer.resize(ReadBuffer);
    uint64_t total = 0;
    for (;;) {
        if (cancel.load(std::memory_order_relaxed))
            throw Failure(UZ_ERR_STOPPED, "stopped");
        zip_int64_t n = zip_fread(file.get(), m_buffer.data(), m_buffer.size());
        if (n < 0)
            failWith(zip_file_get_error(file.get()), entry);
        if (n == 0)
            break; // libzip has compared size and CRC with the entry's record
        total += static_cast<uint64_t>(n);
        if (total > entry.size)
            throw Failure(UZ_ERR_TOO_LARGE, entry.name + ": data is larger than the entry's size");
        sink(m_buffer.data(), static_cast<size_t>(n));
    }
    if (total != entry.size)
        throw Failure(UZ_ERR_ARCHIVE, entry.name + ": data is shorter than the entry's size");
}

} // namespace vbuzip
