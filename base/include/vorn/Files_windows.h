// What the Windows platform parts that touch files share: the system's form of a long path, the
// text and the errno-style number of a system error, wildcard matching as a file search does it,
// and the identity of an open file.
#pragma once

#include <windows.h>

#include <cerrno>
#include <string>
#include <string_view>

#include "vorn/SystemMessage_windows.h"
#include "vorn/Utf16_windows.h"

// The system's form of a UTF-8 path for the wide file calls. A path too long for the calls'
// MAX_PATH limit becomes the full path with the "\\?\" prefix, which lifts it (and which the
// system takes literally: "." and ".." are resolved here first).
inline std::wstring LongWindowsPath(std::string_view utf8) {
    std::wstring path = WindowsPath(utf8);
    // Folders have 12 characters less (room for an 8.3 name inside them).
    if (path.size() < MAX_PATH - 12 || path.rfind(L"\\\\?\\", 0) == 0)
        return path;
    const DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (size == 0)
        return path;
    std::wstring full(size, L'\0');
    const DWORD length = GetFullPathNameW(path.c_str(), size, full.data(), nullptr);
    if (length == 0 || length >= size)
        return path;
    full.resize(length);
    if (full.rfind(L"\\\\", 0) == 0) // \\server\share\...
        return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

// The errno-style number of a system error code, as the core's interfaces carry it.
inline int ErrnoFromSystemError(DWORD code) {
    constexpr DWORD kDiskQuotaExceeded =
        1295; // ERROR_DISK_QUOTA_EXCEEDED, missing in MinGW's headers
    switch (code) {
    case ERROR_SUCCESS:
        return 0;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
    case kDiskQuotaExceeded: // no EDQUOT here: a quota that is used up is a full disk
        return ENOSPC;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_WRITE_PROTECT:
    case ERROR_PRIVILEGE_NOT_HELD:
        return EACCES;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
    case ERROR_INVALID_NAME:
    case ERROR_DIRECTORY:
        return ENOENT;
    case ERROR_NOT_SAME_DEVICE:
        return EXDEV;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
        return EEXIST;
    case ERROR_FILENAME_EXCED_RANGE:
        return ENAMETOOLONG;
    default:
        return EIO;
    }
}

// Whether `name` matches `pattern` as a file search matches names: '*' any text, '?' exactly
// one character, every other character itself; with ignoreCase, letter case aside (the system's
// ordinal folding).
inline bool WildcardMatches(std::wstring_view pattern, std::wstring_view name, bool ignoreCase) {
    const auto same = [ignoreCase](wchar_t a, wchar_t b) {
        return a == b || (ignoreCase && CompareStringOrdinal(&a, 1, &b, 1, TRUE) == CSTR_EQUAL);
    };
    std::size_t p = 0, n = 0;
    std::size_t star = std::wstring_view::npos, resume = 0;
    while (n < name.size()) {
        if (p < pattern.size() && pattern[p] == L'*') {
            star = p++;
            resume = n;
        } else if (p < pattern.size() && (pattern[p] == L'?' || same(pattern[p], name[n]))) {
            ++p;
            ++n;
        } else if (star != std::wstring_view::npos) {
            p = star + 1;
            n = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == L'*')
        ++p;
    return p == pattern.size();
}

inline bool WildcardMatchesNoCase(std::wstring_view pattern, std::wstring_view name) {
    return WildcardMatches(pattern, name, true);
}

// Whether the open file `handle` is the file that `path` names now (following a link at `path`
// or not).
inline bool IsFileAt(HANDLE handle, const std::wstring& path, bool followLinks) {
    BY_HANDLE_FILE_INFORMATION held{}, named{};
    if (!GetFileInformationByHandle(handle, &held))
        return false;
    const DWORD flags =
        FILE_FLAG_BACKUP_SEMANTICS | (followLinks ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
    HANDLE other = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, flags, nullptr);
    if (other == INVALID_HANDLE_VALUE)
        return false;
    const bool known = GetFileInformationByHandle(other, &named);
    CloseHandle(other);
    return known && held.dwVolumeSerialNumber == named.dwVolumeSerialNumber &&
           held.nFileIndexHigh == named.nFileIndexHigh && held.nFileIndexLow == named.nFileIndexLow;
}

// Whether this process may write the file at `path`, which is there: it is not read-only, and
// the system lets it be opened for writing (a file merely in use elsewhere counts as writable).
inline bool IsFileWritable(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_READONLY))
        return false;
    HANDLE file = CreateFileW(path.c_str(), FILE_WRITE_DATA,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_SHARING_VIOLATION;
    CloseHandle(file);
    return true;
}
