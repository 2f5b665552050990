#include "Archive.h"

#include "ArchiveFile.h"
#include "CentralDirectory.h"
#include "Failure.h"
#include "vbuzip10.h"

#include <algorithm>
#include <memory>
#include <zip.h>
#include <zlib.h>

namespace vbuzip {

namespace {

constexpr size_t ReadBuffer = 256 * 1024;
constexpr zip_uint16_t ExtendedTimestampField = 0x5455;
constexpr uint8_t OsX = 19;

// The file type in the Unix mode that Unix hosts store in the upper half of the external
// attributes.
constexpr uint32_t UnixTypeMask = 0170000;
constexpr uint32_t UnixFolder = 0040000;
constexpr uint32_t UnixLink = 0120000;
constexpr uint32_t UnixCharDevice = 0020000;
constexpr uint32_t UnixBlockDevice = 0060000;
constexpr uint32_t UnixSocket = 0140000;
constexpr uint32_t DosReadOnly = 0x01; // the attribute byte of MS-DOS, Windows and OS/2 hosts

// What a failure to open an archive means.
int32_t codeOfOpenError(int zipError) {
    switch (zipError) {
    case ZIP_ER_MEMORY:
        return UZ_ERR_MEMORY;
    case ZIP_ER_MULTIDISK:
    case ZIP_ER_COMPNOTSUPP:
    case ZIP_ER_ENCRNOTSUPP:
        return UZ_ERR_UNSUPPORTED;
    case ZIP_ER_INCONS:
    case ZIP_ER_CRC:
    case ZIP_ER_EOF:
        return UZ_ERR_ARCHIVE;
    default: // no zip archive (ZIP_ER_NOZIP), or the file cannot be read
        return UZ_ERR_NO_ARCHIVE;
    }
}

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
    if (entry.authenticatedOnly && code == ZIP_ER_CRC)
        message = entry.name + ": the data does not match its authentication code (wrong "
                               "password, or the data is damaged)";
    else if (entry.encrypted() &&
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

Archive::Archive(const std::string& path) : m_file(std::make_shared<const ArchiveFile>(path)) {
    try {
        std::string message;
        int error = tryOpenHandle(message);
        if (error == ZIP_ER_NOZIP || error == ZIP_ER_INCONS) {
            // Data in front whose offsets were not adjusted (an executable or a script with
            // the archive appended): the archive starts where its end record says.
            const std::optional<EndRecord> end = findEndRecord(*m_file);
            if (end && end->start > 0) {
                m_view.start = end->start;
                std::string ignored;
                if (tryOpenHandle(ignored) != ZIP_ER_OK)
                    m_view.start = 0;
                else
                    error = ZIP_ER_OK;
            }
        }
        if (error != ZIP_ER_OK)
            throw Failure(codeOfOpenError(error), message);
        loadEntries();
        findAuthenticatedOnly();
    } catch (...) {
        if (m_zip)
            zip_discard(m_zip);
        throw;
    }
}

Archive::Archive(std::shared_ptr<const ArchiveFile> file, ArchiveView view)
    : m_file(std::move(file)), m_view(std::move(view)) {}

Archive::~Archive() {
    if (m_zip)
        zip_discard(m_zip);
}

std::unique_ptr<Archive> Archive::reopen() const {
    // Reading with pread needs no position of its own: the copy shares the open file.
    std::unique_ptr<Archive> copy(new Archive(m_file, m_view));
    copy->openHandle();
    if (zip_get_num_entries(copy->m_zip, 0) != static_cast<zip_int64_t>(m_entries.size()))
        throw Failure(UZ_ERR_ARCHIVE, m_file->path() + " was changed while it was read");
    return copy;
}

// Opens the libzip handle on the archive as m_view shows it; returns the libzip error (ZIP_ER_OK
// on success) with its message.
int Archive::tryOpenHandle(std::string& message) {
    zip_source_t* source = newArchiveSource(*m_file, m_view);
    zip_error_t error;
    zip_error_init(&error);
    m_zip = zip_open_from_source(source, ZIP_RDONLY, &error);
    const int code = m_zip ? ZIP_ER_OK : zip_error_code_zip(&error);
    if (!m_zip) {
        zip_source_free(source);
        message = m_file->path() + ": " + zip_error_strerror(&error);
    }
    zip_error_fini(&error);
    return code;
}

void Archive::openHandle() {
    std::string message;
    if (int error = tryOpenHandle(message); error != ZIP_ER_OK)
        throw Failure(codeOfOpenError(error), message);
}

void Archive::loadEntries() {
    zip_int64_t count = zip_get_num_entries(m_zip, 0);
    m_entries.reserve(static_cast<size_t>(count));
    for (zip_int64_t i = 0; i < count; ++i) {
        zip_uint64_t index = static_cast<zip_uint64_t>(i);
        zip_stat_t st;
        zip_stat_init(&st);
        if (zip_stat_index(m_zip, index, 0, &st) != 0 || !st.name)
            throw Failure(UZ_ERR_ARCHIVE, m_file->path() + ": " + zip_strerror(m_zip));
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
            const uint32_t mode = attributes >> 16;
            const uint32_t type = mode & UnixTypeMask;
            // A link is refused whatever host stored it; modes are taken from Unix hosts only.
            if (type == UnixLink)
                e.isLink = true;
            if (host == ZIP_OPSYS_UNIX || host == OsX) {
                if (type == UnixFolder)
                    e.isFolder = true;
                // A named pipe (data read from standard input) is written as a regular file.
                else if (type == UnixCharDevice || type == UnixBlockDevice || type == UnixSocket)
                    e.isSpecial = true;
                if (mode & 0777)
                    e.unixMode = mode & 07777;
            } else {
                e.dosReadOnly = (attributes & DosReadOnly) != 0;
            }
        }
        m_entries.push_back(std::move(e));
    }
}

// Only the central directory knows the version of an AES entry, and libzip keeps it to itself.
void Archive::findAuthenticatedOnly() {
    const bool anyAes = std::any_of(m_entries.begin(), m_entries.end(), [](const EntryInfo& e) {
        return e.encryption == ZIP_EM_AES_128 || e.encryption == ZIP_EM_AES_192 ||
               e.encryption == ZIP_EM_AES_256;
    });
    if (!anyAes)
        return;
    const std::optional<EndRecord> end = findEndRecord(*m_file);
    if (!end || end->start != m_view.start)
        return;
    const std::optional<std::vector<DirectoryRecord>> records = readDirectory(*m_file, *end);
    if (!records || records->size() != m_entries.size())
        return;
    for (EntryInfo& e : m_entries) {
        const DirectoryRecord& record = (*records)[e.index];
        if (e.encrypted() && record.aesVersion == 2) {
            e.authenticatedOnly = true;
            m_crcFields[e.index] = record.crcOffset;
        }
    }
}

void Archive::takeCrcsOf(
    const std::vector<std::pair<const EntryInfo*, const std::string*>>& entries) {
    auto replaced = std::make_shared<std::map<uint64_t, uint32_t>>();
    const std::atomic<bool> never{false};
    for (const auto& [entry, password] : entries) {
        auto field = m_crcFields.find(entry->index);
        if (field == m_crcFields.end())
            continue;
        uLong crc = crc32(0, nullptr, 0);
        try {
            read(
                *entry, password,
                [&](const char* data, size_t size) {
                    crc = crc32(crc, reinterpret_cast<const Bytef*>(data), static_cast<uInt>(size));
                },
                never);
        } catch (const Failure&) {
            // The recorded CRC does not fit here; any other fault shows when the entry is read.
        }
        (*replaced)[field->second] = static_cast<uint32_t>(crc);
    }
    if (replaced->empty())
        return;
    zip_discard(m_zip);
    m_zip = nullptr;
    m_view.replaced = std::move(replaced);
    openHandle();
    if (zip_get_num_entries(m_zip, 0) != static_cast<zip_int64_t>(m_entries.size()))
        throw Failure(UZ_ERR_ARCHIVE, m_file->path() + " was changed while it was read");
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
