#include "verify/SmallFiles.h"

#include "core/Paths.h"
#include "core/Text.h"
#include "verify/SmallFilesPlatform.h"

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <random>
#include <system_error>

namespace fs = std::filesystem;

namespace {

bool fail(std::string* error, const std::string& reason) {
    *error = reason;
    return false;
}

std::string systemError(int number) {
    return std::generic_category().message(number);
}

// A name for the temporary file beside `path`: "<path>.XXXXXX", six random letters and digits.
std::string temporaryName(const std::string& path) {
    static constexpr char Letters[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    thread_local std::mt19937 random{std::random_device{}()};
    std::uniform_int_distribution<std::size_t> pick(0, sizeof(Letters) - 2);
    std::string name = path + '.';
    for (int i = 0; i < 6; ++i)
        name += Letters[pick(random)];
    return name;
}

// The file a symbolic link at `path` leads to, through every link on the way; `path` itself when
// it is no link, or when the links go round in a circle.
fs::path linkTarget(const fs::path& path) {
    std::error_code error;
    fs::path target = path;
    for (int depth = 0; depth < 127; ++depth) {
        if (!fs::is_symlink(fs::symlink_status(target, error)))
            return target;
        const fs::path next = fs::read_symlink(target, error);
        if (error)
            return target;
        target = (target.parent_path() / next).lexically_normal();
    }
    return path;
}

} // namespace

bool FileReader::open(const std::string& path, std::string* error) {
    std::error_code ignored;
    if (fs::is_directory(FsPath(path), ignored))
        return fail(error, "file to open is a directory");
    m_file.rdbuf()->pubsetbuf(nullptr, 0); // unbuffered: reads go straight to the caller's buffer
    errno = 0;
    m_file.open(FsPath(path), std::ios::in | std::ios::binary);
    if (!m_file.is_open())
        return fail(error, errno ? systemError(errno) : "it cannot be opened");
    return true;
}

std::int64_t FileReader::read(char* buffer, std::int64_t size, std::string* error) {
    if (m_file.eof())
        return 0;
    errno = 0;
    m_file.read(buffer, std::streamsize(size));
    const int number = errno;
    if (m_file.bad()) {
        *error = systemError(number ? number : EIO);
        return -1;
    }
    return std::int64_t(m_file.gcount());
}

bool readSmallFile(const std::string& path, std::int64_t maxBytes, std::string* contents,
                   std::string* error) {
    FileReader file;
    if (!file.open(path, error))
        return false;
    // One byte more than allowed tells a file that is too large, also one that is still growing.
    std::string text;
    char piece[64 * 1024];
    for (std::int64_t wanted = maxBytes + 1; wanted > 0;) {
        const std::int64_t got =
            file.read(piece, std::min<std::int64_t>(wanted, std::int64_t(sizeof piece)), error);
        if (got < 0)
            return false;
        if (got == 0)
            break;
        text.append(piece, std::size_t(got));
        wanted -= got;
    }
    if (std::int64_t(text.size()) > maxBytes)
        return fail(error, Format("it is larger than %1 bytes", {std::to_string(maxBytes)}));
    *contents = std::move(text);
    return true;
}

bool replaceSmallFile(const std::string& path, const std::string& contents, std::string* error) {
    // A temporary file beside the file to replace, flushed to disk, then renamed over it.
    std::error_code ignored;
    const fs::file_status existing = fs::status(FsPath(path), ignored);
    if (fs::exists(existing) && !fileWritable(path))
        return fail(error, Format("Existing file %1 is not writable", {path}));
    if (fs::is_directory(existing))
        return fail(error, "Filename refers to a directory");
    const std::string target = Utf8Path(linkTarget(FsPath(path)));
    const std::string permissionsOf = fs::exists(FsPath(target), ignored) ? target : "";
    std::string temporary;
    NewFile made = NewFile::Exists;
    for (int attempt = 0; attempt < 100 && made == NewFile::Exists; ++attempt) {
        temporary = temporaryName(target);
        made = writeNewFile(temporary, contents, permissionsOf, error);
    }
    if (made == NewFile::Exists)
        return fail(error, systemError(EEXIST));
    if (made == NewFile::Failed)
        return false;
    std::error_code renamed;
    fs::rename(FsPath(temporary), FsPath(target), renamed);
    if (renamed) {
        fs::remove(FsPath(temporary), ignored);
        return fail(error, renamed.message());
    }
    // The folder the file was renamed in: the one of `path`, or of the file a link there leads to.
    const fs::path folder = fs::absolute(FsPath(target), ignored).parent_path();
    if (!syncFolder(Utf8Path(folder)))
        return fail(error, "its folder cannot be flushed to disk");
    return true;
}
