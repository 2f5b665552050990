// Windows part of a download's temporary file. The lock that marks a file as held by a read is a
// byte-range lock far past any data (a lock on the data would keep the system from reading and
// writing it through other handles). The write-behind is the system's own: plain writes go to its
// cache, whose lazy writer puts them on the disk within seconds; there is no call that hands a
// range to the disk without waiting, so a wait for the disk flushes the whole file.
#include "download/DownloadFile.h"

#include <algorithm>
#include <random>

#include <vorn/Files_windows.h>

namespace {
// The write-behind's step: the bytes held in the system's cache count as handed to the disk once
// this much more has come.
constexpr std::int64_t kWriteBehindStep = 8 << 20;
// The locked byte: 2^62, past any file there will be.
constexpr DWORD kLockOffsetHigh = 0x40000000;

// The handle in the descriptor's place: a handle of the system's fits in 32 bits (it stays valid
// when truncated and sign-extended again, which 32-bit and 64-bit programs rely on).
HANDLE handleOf(int fd) {
    return LongToHandle(fd);
}

int fdOf(HANDLE file) {
    return HandleToLong(file);
}

std::string filePath(const std::string& folder, const std::string& name) {
    return folder.empty() || folder.back() == '/' ? folder + name : folder + '/' + name;
}

OVERLAPPED at(std::int64_t offset) {
    OVERLAPPED position{};
    position.Offset = DWORD(std::uint64_t(offset) & 0xFFFFFFFFu);
    position.OffsetHigh = DWORD(std::uint64_t(offset) >> 32);
    return position;
}

bool deletePending(HANDLE file) {
    FILE_STANDARD_INFO info{};
    return !GetFileInformationByHandleEx(file, FileStandardInfo, &info, sizeof info) ||
           info.DeletePending;
}

// Takes the lock that marks a file as held by a read; false when someone holds it, or when the
// file is on its way out (it was taken for abandoned and removed meanwhile).
bool lockHeldFile(HANDLE file) {
    OVERLAPPED lockByte{};
    lockByte.OffsetHigh = kLockOffsetHigh;
    return LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                      &lockByte) &&
           !deletePending(file);
}

// Whether the open file is a regular file: no folder, no link or other reparse point (and, when
// `ownName`, with no other name); its size in `size`.
bool isPlainFile(HANDLE file, bool ownName, std::int64_t* size) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(file, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ||
        (ownName && info.nNumberOfLinks != 1))
        return false;
    *size = std::int64_t((std::uint64_t(info.nFileSizeHigh) << 32) | info.nFileSizeLow);
    return true;
}

// Removes the open file (opened with DELETE access) once every handle to it is closed.
bool markForDeletion(HANDLE file) {
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = TRUE;
    return SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition);
}

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
} // namespace

bool DownloadFile::fail(int code, const std::string& what) {
    // `code` is the system's error code here (GetLastError()); errorCode() gives its errno-style
    // number.
    m_errorCode = ErrnoFromSystemError(DWORD(code));
    m_error = code != 0 ? what + ": " + SystemMessage(DWORD(code)) : what;
    return false;
}

bool DownloadFile::adopt(int fd, const std::string& path) {
    m_fd = fd;
    m_path = path;
    m_error.clear();
    m_errorCode = 0;
    return true;
}

bool DownloadFile::create(const std::string& folder, const std::string& pattern) {
    close();
    std::string path = filePath(folder, pattern);
    const std::size_t unique = path.rfind("XXXXXX");
    if (unique == std::string::npos || unique < path.size() - pattern.size())
        path += ".XXXXXX";
    const std::size_t at = path.rfind("XXXXXX");
    // One letter case only: names that differ in it alone are the same name here.
    static const char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::random_device seed;
    std::mt19937 random(seed());
    std::uniform_int_distribution<std::size_t> letter(0, sizeof kLetters - 2);
    HANDLE file = INVALID_HANDLE_VALUE;
    DWORD error = ERROR_FILE_EXISTS;
    for (int attempt = 0;
         attempt < 100 && (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS);
         ++attempt) {
        for (std::size_t i = 0; i < 6; ++i)
            path[at + i] = kLetters[letter(random)];
        // Not inherited by programs the updater starts.
        file = CreateFileW(LongWindowsPath(path).c_str(), GENERIC_READ | GENERIC_WRITE | DELETE,
                           kShareAll, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE)
            break;
        error = GetLastError();
    }
    if (file == INVALID_HANDLE_VALUE)
        return fail(0, SystemMessage(error));
    if (!lockHeldFile(file)) {
        // Taken for abandoned between its creation and the lock: the name is left to the one who
        // took it.
        CloseHandle(file);
        return fail(0, path + " was removed while it was made");
    }
    m_size = m_durable = m_writeStarted = 0;
    return adopt(fdOf(file), path);
}

bool DownloadFile::reopen(const std::string& path, std::int64_t length) {
    close();
    HANDLE file = CreateFileW(LongWindowsPath(path).c_str(), GENERIC_READ | GENERIC_WRITE | DELETE,
                              kShareAll, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return fail(int(GetLastError()), "cannot open " + path);
    std::int64_t size = 0;
    if (!isPlainFile(file, true, &size) || size < length || !lockHeldFile(file)) {
        CloseHandle(file);
        return fail(0, path + " cannot be taken up again");
    }
    adopt(fdOf(file), path);
    m_size = size;
    if (!truncate(length)) {
        close();
        return false;
    }
    // What a killed read left was written before this run; whether it all reached the disk is
    // not known, so it is put there now.
    return sync();
}

bool DownloadFile::append(const char* data, std::int64_t size) {
    while (size > 0) {
        // At the end as this object knows it: a read of the tail moves the handle's position.
        OVERLAPPED position = at(m_size);
        const DWORD piece = DWORD(std::min<std::int64_t>(size, 1 << 30));
        DWORD done = 0;
        if (!WriteFile(handleOf(m_fd), data, piece, &done, &position))
            return fail(int(GetLastError()), "cannot write the temporary file " + m_path);
        if (done == 0)
            return fail(ERROR_WRITE_FAULT, "cannot write the temporary file " + m_path);
        m_size += done;
        data += done;
        size -= done;
    }
    if (m_size - m_writeStarted >= kWriteBehindStep)
        startWriteBehind();
    return true;
}

// The bytes are in the system's cache, which writes them to the disk behind the download by
// itself: they count as handed to it.
void DownloadFile::startWriteBehind() {
    m_writeStarted = m_size;
}

void DownloadFile::waitForDisk(std::int64_t end) {
    end = std::min(end, m_writeStarted);
    // A flush writes the whole file: what it finds left is what the cache had not written yet.
    if (end > m_durable && FlushFileBuffers(handleOf(m_fd)))
        m_durable = m_writeStarted = m_size;
}

bool DownloadFile::truncate(std::int64_t length) {
    FILE_END_OF_FILE_INFO endOfFile{};
    endOfFile.EndOfFile.QuadPart = length;
    if (!SetFileInformationByHandle(handleOf(m_fd), FileEndOfFileInfo, &endOfFile,
                                    sizeof endOfFile))
        return fail(int(GetLastError()), "cannot shorten the temporary file " + m_path);
    m_size = length;
    m_durable = std::min(m_durable, length);
    m_writeStarted = std::min(m_writeStarted, length);
    return true;
}

bool DownloadFile::sync() {
    if (!FlushFileBuffers(handleOf(m_fd)))
        return fail(int(GetLastError()), "cannot flush the temporary file " + m_path);
    m_durable = m_writeStarted = m_size;
    return true;
}

std::string DownloadFile::tail(std::int64_t size) const {
    size = std::max<std::int64_t>(0, std::min(size, m_size));
    std::string bytes(std::size_t(size), '\0');
    OVERLAPPED position = at(m_size - size);
    DWORD got = 0;
    if (size == 0 || !ReadFile(handleOf(m_fd), bytes.data(), DWORD(size), &got, &position))
        got = 0;
    bytes.resize(got);
    return bytes;
}

void DownloadFile::close() {
    if (m_fd >= 0)
        CloseHandle(handleOf(m_fd));
    m_fd = -1;
}

void DownloadFile::discard() {
    // The open file goes by its handle (never another file that has its name now), and only
    // while it is still the file of that name: once the receiver moved it, it is the package.
    if (m_fd >= 0 && IsFileAt(handleOf(m_fd), LongWindowsPath(m_path), false))
        markForDeletion(handleOf(m_fd));
    close();
}

void DownloadFile::removeAbandoned(const std::string& folder,
                                   const std::vector<std::string>& patterns,
                                   const std::function<bool(const std::string& name)>& keep) {
    std::vector<std::wstring> widePatterns;
    for (const std::string& pattern : patterns)
        widePatterns.push_back(Utf16FromUtf8(pattern));
    WIN32_FIND_DATAW entry{};
    HANDLE search =
        FindFirstFileExW(LongWindowsPath(filePath(folder, "*")).c_str(), FindExInfoBasic, &entry,
                         FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (search == INVALID_HANDLE_VALUE)
        return;
    std::vector<std::string> names;
    do {
        const std::wstring_view name = entry.cFileName;
        // Plain files only: a symbolic link (any reparse point) is never followed or removed.
        if (name == L"." || name == L".." ||
            (entry.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)))
            continue;
        for (const std::wstring& pattern : widePatterns) {
            if (WildcardMatchesNoCase(pattern, name)) {
                names.push_back(Utf8FromUtf16(name));
                break;
            }
        }
    } while (FindNextFileW(search, &entry));
    FindClose(search);
    for (const std::string& name : names) {
        if (keep(name))
            continue;
        HANDLE file =
            CreateFileW(LongWindowsPath(filePath(folder, name)).c_str(), GENERIC_READ | DELETE,
                        kShareAll, nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            continue;
        std::int64_t size = 0;
        if (isPlainFile(file, false, &size) && lockHeldFile(file))
            markForDeletion(file);
        CloseHandle(file);
    }
}
