#define _CRT_RAND_S // rand_s: the system's random source
#include "SafeFs_windows.h"

#include "Failure.h"
#include "vbuzip10.h"

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vorn/SystemMessage_windows.h>
#include <vorn/Utf16_windows.h>

namespace vbuzip {

namespace {

constexpr DWORD DiskQuotaExceeded = 1295; // ERROR_DISK_QUOTA_EXCEEDED, missing in MinGW's headers

// How long a rename that another program's open handle refuses is tried again. A virus scanner or
// an indexer that opened a file just written lets go of it within a second or two; a program that
// keeps it open (a second copy of the client) does not, and then the commit is undone rather
// than keep the client waiting for it.
constexpr std::chrono::milliseconds SharingRetryTime{5000};
constexpr std::chrono::milliseconds SharingRetryFirstPause{10};
constexpr std::chrono::milliseconds SharingRetryLongestPause{250};

bool heldByAnother(DWORD error) {
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
}

// Runs attempt until it succeeds, fails for another reason than a sharing violation, or the
// retry time is up; the thread's last error is that of the last attempt.
template <typename Attempt> bool retryWhileHeld(Attempt attempt) {
    const auto until = std::chrono::steady_clock::now() + SharingRetryTime;
    auto pause = SharingRetryFirstPause;
    for (;;) {
        if (attempt())
            return true;
        const DWORD error = GetLastError();
        if (!heldByAnother(error) || std::chrono::steady_clock::now() + pause > until) {
            SetLastError(error);
            return false;
        }
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, SharingRetryLongestPause);
    }
}

// Clears the read-only attribute of the file at path; false when it is not read-only.
bool clearReadOnly(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_READONLY) ||
        (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return false;
    return SetFileAttributesW(path.c_str(), attributes & ~DWORD(FILE_ATTRIBUTE_READONLY)) != 0;
}

} // namespace

void UniqueHandle::reset(void* handle) {
    if (valid())
        CloseHandle(m_handle);
    m_handle = handle;
}

void systemRandom(unsigned char* out, size_t size) {
    for (size_t i = 0; i < size; i += sizeof(unsigned int)) {
        unsigned int value = 0;
        if (rand_s(&value) != 0)
            value = static_cast<unsigned int>(GetTickCount64() ^ (GetCurrentProcessId() << 16));
        std::memcpy(out + i, &value, std::min(size - i, sizeof value));
    }
}

std::wstring fullWindowsPath(const std::string& path) {
    const std::wstring wide = WindowsPath(path);
    if (wide.rfind(L"\\\\?\\", 0) == 0)
        return wide;
    const DWORD size = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (size == 0)
        return {};
    std::wstring full(size, L'\0');
    const DWORD length = GetFullPathNameW(wide.c_str(), size, full.data(), nullptr);
    if (length == 0 || length >= size)
        return {};
    full.resize(length);
    while (full.size() > 3 && full.back() == L'\\')
        full.pop_back();
    if (full.rfind(L"\\\\", 0) == 0) // \\server\share\...
        return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

std::wstring childPath(const HeldFolder& folder, const std::string& name) {
    std::wstring path = folder.path;
    if (path.empty() || path.back() != L'\\')
        path += L'\\';
    return path + WindowsPath(name);
}

FolderRef holdChild(const FolderRef& parent, const std::string& name) {
    auto held = std::make_shared<HeldFolder>();
    held->path = childPath(*parent, name);
    held->parent = parent;
    // No FILE_SHARE_DELETE: while this handle is open, the folder cannot be renamed or removed.
    held->handle.reset(CreateFileW(held->path.c_str(), FILE_READ_ATTRIBUTES | FILE_LIST_DIRECTORY,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                   nullptr));
    if (!held->handle.valid()) {
        const DWORD error = GetLastError();
        SetLastError(error == ERROR_PATH_NOT_FOUND ? ERROR_FILE_NOT_FOUND : error);
        return nullptr;
    }
    const std::optional<FileFacts> facts = factsOf(held->handle.get());
    if (!facts)
        return nullptr;
    if (facts->attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        SetLastError(UnsafeLinkError);
        return nullptr;
    }
    if (!(facts->attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        SetLastError(ERROR_DIRECTORY);
        return nullptr;
    }
    return held;
}

void failSystem(unsigned long error, const std::string& what) {
    if (error == UnsafeLinkError)
        throw Failure(UZ_ERR_UNSAFE_PATH, what + ": leads out of the extraction folder");
    if (error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL || error == DiskQuotaExceeded)
        throw Failure(UZ_ERR_DISK_FULL, what + ": " + SystemMessage(error));
    if (error == ERROR_NOT_ENOUGH_MEMORY || error == ERROR_OUTOFMEMORY)
        throw Failure(UZ_ERR_MEMORY, what + ": " + SystemMessage(error));
    throw Failure(UZ_ERR_WRITE, what + ": " + SystemMessage(error));
}

std::optional<FileFacts> factsOf(void* handle) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(handle, &info))
        return std::nullopt;
    FileFacts facts;
    facts.id = (uint64_t(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    facts.attributes = info.dwFileAttributes;
    facts.volume = info.dwVolumeSerialNumber;
    return facts;
}

UniqueHandle openEntry(const std::wstring& path, bool forDelete) {
    return UniqueHandle(
        CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES | (forDelete ? DELETE : 0),
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

bool moveFile(const std::wstring& from, const std::wstring& to, bool replace) {
    const DWORD flags = MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0);
    return retryWhileHeld([&] {
        if (MoveFileExW(from.c_str(), to.c_str(), flags))
            return true;
        // A read-only file is replaced as well: the new one brings its own attributes.
        return replace && GetLastError() == ERROR_ACCESS_DENIED && clearReadOnly(to) &&
               MoveFileExW(from.c_str(), to.c_str(), flags);
    });
}

bool removeFile(const std::wstring& path) {
    return retryWhileHeld([&] {
        if (DeleteFileW(path.c_str()))
            return true;
        return GetLastError() == ERROR_ACCESS_DENIED && clearReadOnly(path) &&
               DeleteFileW(path.c_str());
    });
}

bool writeAll(void* file, const char* data, size_t size) {
    while (size > 0) {
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(size, 1u << 30));
        DWORD written = 0;
        if (!WriteFile(file, data, chunk, &written, nullptr))
            return false;
        if (written == 0) {
            SetLastError(ERROR_DISK_FULL);
            return false;
        }
        data += written;
        size -= written;
    }
    return true;
}

} // namespace vbuzip
