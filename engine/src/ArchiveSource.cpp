#include "ArchiveSource.h"

#include "ArchiveFile.h"
#include "Failure.h"
#include "vbuzip10.h"

#include <algorithm>
#include <cstring>
#include <vector>
#include <zip.h>

namespace vbuzip {

namespace {

constexpr size_t MinReadAhead = 16 * 1024;
constexpr size_t MaxReadAhead = 1024 * 1024;

// libzip reads in small pieces and seeks before each one; reads that follow on from the previous
// one are served from a read-ahead buffer that grows while the reading stays sequential.
class FileSource {
public:
    FileSource(const ArchiveFile& file, const ArchiveView& view, uint64_t size, time_t mtime)
        : m_file(file), m_view(view), m_size(size), m_mtime(mtime) {
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
                int64_t n = readAt(out + done, length - done, at);
                if (n < 0)
                    return -1;
                if (n == 0)
                    break; // the file is shorter than it was
                done += static_cast<uint64_t>(n);
                continue;
            }
            m_buffer.resize(m_readAhead);
            int64_t n = readAt(m_buffer.data(), m_buffer.size(), at);
            m_buffer.resize(n > 0 ? static_cast<size_t>(n) : 0);
            m_bufferStart = at;
            if (n < 0)
                return -1;
            if (n == 0)
                break;
        }
        if (m_view.replaced)
            replaceFields(out, m_position, done);
        m_position += done;
        m_lastEnd = m_position;
        return static_cast<zip_int64_t>(done);
    }

    int64_t readAt(char* out, uint64_t length, uint64_t at) {
        int error = 0;
        int64_t n = m_file.readAt(out, length, m_view.start + at, error);
        if (n < 0)
            zip_error_set(&m_error, ZIP_ER_READ, error);
        return n;
    }

    // Puts the replaced values over the bytes of [at, at + size) read into out.
    void replaceFields(char* out, uint64_t at, uint64_t size) const {
        const auto& fields = *m_view.replaced;
        for (auto it = fields.lower_bound(at >= 3 ? at - 3 : 0);
             it != fields.end() && it->first < at + size; ++it) {
            for (uint64_t k = 0; k < 4; ++k) {
                const uint64_t position = it->first + k;
                if (position >= at && position < at + size)
                    out[position - at] = static_cast<char>(it->second >> (8 * k));
            }
        }
    }

    const ArchiveFile& m_file;
    ArchiveView m_view;
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

zip_source_t* newArchiveSource(const ArchiveFile& file, const ArchiveView& view) {
    const uint64_t size = file.size();
    if (view.start > size)
        throw Failure(UZ_ERR_NO_ARCHIVE, file.path() + " was changed while it was read");
    zip_error_t error;
    zip_error_init(&error);
    auto* source = new FileSource(file, view, size - view.start, file.mtime());
    zip_source_t* zipSource = zip_source_function_create(&FileSource::callback, source, &error);
    zip_error_fini(&error);
    if (!zipSource) {
        delete source;
        throw Failure(UZ_ERR_MEMORY, "out of memory");
    }
    return zipSource;
}

} // namespace vbuzip
