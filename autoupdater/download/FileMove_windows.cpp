// Windows part of moving, copying and writing files.
#include "download/FileMovePlatform.h"

#include <algorithm>
#include <random>
#include <vector>

#include <vorn/Files_windows.h>

namespace {
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

bool failWith(WriteFailure& failure, int code, const std::string& reason) {
    failure = {code, reason};
    return false;
}

bool failWithSystemError(WriteFailure& failure, DWORD code) {
    return failWith(failure, ErrnoFromSystemError(code), SystemMessage(code));
}

// A new file beside a destination, removed again unless it is kept.
class Aside {
public:
    ~Aside() {
        if (m_file != INVALID_HANDLE_VALUE)
            CloseHandle(m_file);
        if (!m_kept && !m_path.empty())
            DeleteFileW(LongWindowsPath(m_path).c_str());
    }

    // Made like the destination: it must be writable when there is a file there, whose hidden
    // and system marks the new file takes; its permissions are those the folder gives any new
    // file, as the destination's own were (unless they were set on it alone).
    bool create(const std::string& destination, WriteFailure& failure) {
        const std::wstring target = LongWindowsPath(destination);
        const DWORD existing = GetFileAttributesW(target.c_str());
        const bool exists = existing != INVALID_FILE_ATTRIBUTES;
        if (exists && !IsFileWritable(target))
            return failWith(failure, EACCES, "Existing file " + destination + " is not writable");
        const DWORD attributes =
            exists && (existing & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM))
                ? existing & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)
                : FILE_ATTRIBUTE_NORMAL;
        static const char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
        std::random_device seed;
        std::mt19937 random(seed());
        std::uniform_int_distribution<std::size_t> letter(0, sizeof kLetters - 2);
        for (int attempt = 0; attempt < 100; ++attempt) {
            std::string path = destination + '.';
            for (int i = 0; i < 6; ++i)
                path += kLetters[letter(random)];
            HANDLE file = CreateFileW(LongWindowsPath(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                                      nullptr, CREATE_NEW, attributes, nullptr);
            if (file == INVALID_HANDLE_VALUE) {
                const DWORD code = GetLastError();
                if (code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS)
                    continue;
                return failWithSystemError(failure, code);
            }
            m_file = file;
            m_path = std::move(path);
            return true;
        }
        return failWithSystemError(failure, ERROR_FILE_EXISTS);
    }

    bool write(const char* data, std::size_t size, WriteFailure& failure) {
        while (size > 0) {
            const DWORD piece = DWORD(std::min<std::size_t>(size, 1u << 30));
            DWORD done = 0;
            if (!WriteFile(m_file, data, piece, &done, nullptr))
                return failWithSystemError(failure, GetLastError());
            if (done == 0)
                return failWith(failure, 0, "cannot write " + m_path);
            data += done;
            size -= done;
        }
        return true;
    }

    // Puts the data on disk (a failure there only costs crash safety) and closes the file, which
    // stays.
    std::optional<std::string> keep(WriteFailure& failure) {
        FlushFileBuffers(m_file);
        HANDLE file = m_file;
        m_file = INVALID_HANDLE_VALUE;
        if (!CloseHandle(file)) {
            failWithSystemError(failure, GetLastError());
            return std::nullopt;
        }
        m_kept = true;
        return m_path;
    }

private:
    HANDLE m_file = INVALID_HANDLE_VALUE;
    std::string m_path;
    bool m_kept = false;
};
} // namespace

// A handle opened for writing: FlushFileBuffers needs one. A file that cannot be opened so (in use
// without sharing, read-only) is left as it is.
void syncFileToDisk(const std::string& path) {
    HANDLE file = CreateFileW(LongWindowsPath(path).c_str(), GENERIC_WRITE, kShareAll, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    FlushFileBuffers(file);
    CloseHandle(file);
}

// Nothing to do: a folder's entries have no flush of their own on Windows. NTFS journals them, and
// the renames here are written through (MOVEFILE_WRITE_THROUGH) before they return.
void syncFolderToDisk(const std::string&) {}

int renameReplacing(const std::string& source, const std::string& destination) {
    // No copy across volumes: that is the caller's, done safely (ERROR_NOT_SAME_DEVICE: EXDEV).
    if (MoveFileExW(LongWindowsPath(source).c_str(), LongWindowsPath(destination).c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return 0;
    const int code = ErrnoFromSystemError(GetLastError());
    return code != 0 ? code : EIO;
}

bool removeFile(const std::string& path) {
    return DeleteFileW(LongWindowsPath(path).c_str());
}

std::optional<std::string> copyAside(const std::string& source, const std::string& destination,
                                     WriteFailure& failure) {
    HANDLE in = CreateFileW(LongWindowsPath(source).c_str(), GENERIC_READ, kShareAll, nullptr,
                            OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (in == INVALID_HANDLE_VALUE) {
        failWithSystemError(failure, GetLastError());
        return std::nullopt;
    }
    Aside out;
    std::optional<std::string> made;
    if (out.create(destination, failure)) {
        std::vector<char> buffer(1 << 20);
        for (;;) {
            DWORD got = 0;
            if (!ReadFile(in, buffer.data(), DWORD(buffer.size()), &got, nullptr)) {
                failWithSystemError(failure, GetLastError());
                break;
            }
            if (got == 0) {
                made = out.keep(failure);
                break;
            }
            if (!out.write(buffer.data(), got, failure))
                break;
        }
    }
    CloseHandle(in);
    return made;
}

std::optional<std::string> writeAside(const std::string& bytes, const std::string& destination,
                                      WriteFailure& failure) {
    Aside out;
    if (!out.create(destination, failure) || !out.write(bytes.data(), bytes.size(), failure))
        return std::nullopt;
    return out.keep(failure);
}
