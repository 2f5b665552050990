// Windows implementation of the system queries.
#include "driver/modSystem.h"

#include <filesystem>

#include "core/Paths.h"
#include <vorn/Files_windows.h>

namespace {

bool IsHidden(std::wstring_view name) {
    return !name.empty() && name.front() == L'.';
}

// Whether `path` leads to a file on a disk (through a link, when it is one) that is no folder: a
// search also reports a device name (NUL, CON) as a file.
bool IsDiskFile(const std::string& path) {
    HANDLE file = CreateFileW(LongWindowsPath(path).c_str(), FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION info{};
    const bool plain = GetFileType(file) == FILE_TYPE_DISK &&
                       GetFileInformationByHandle(file, &info) &&
                       !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
    CloseHandle(file);
    return plain;
}

// A plain entry of a search: a regular file (a link to one counts as that file), not marked hidden
// and not named like a hidden file elsewhere (a leading dot), so that both platforms find the same.
bool IsPlainEntry(const WIN32_FIND_DATAW& entry, const std::string& folder) {
    const std::wstring_view name = entry.cFileName;
    if (IsHidden(name) ||
        (entry.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN)))
        return false;
    return IsDiskFile(folder + Utf8FromUtf16(name));
}

} // namespace

std::string Get_SystemDir() {
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        const UINT length = GetSystemDirectoryW(buffer.data(), UINT(buffer.size()));
        if (length == 0)
            return {};
        if (length < buffer.size()) {
            buffer.resize(length);
            std::string folder = Utf8Path(std::filesystem::path(buffer));
            while (folder.size() > 3 && folder.back() == '/') // "C:/" keeps its separator
                folder.pop_back();
            return folder;
        }
        buffer.resize(length); // the size it needs, its end included
    }
}

// The system's search, with the last part as its pattern; every name it reports is matched again
// here, as '*' and '?' match elsewhere: the system also matches the short (8.3) names, and its '?'
// before a dot may match nothing. Letter case does not matter, as in any name here.
bool File_Exists(const std::string& sPath) {
    if (sPath.empty())
        return false;
    const std::size_t slash = sPath.find_last_of("/\\");
    const std::string folder = slash == std::string::npos ? "" : sPath.substr(0, slash + 1);
    std::string last = slash == std::string::npos ? sPath : sPath.substr(slash + 1);
    if (last.empty())
        last.assign(1, '*'); // (not = "*": GCC 12 at -O3 warns of an overlap that is none)
    const std::wstring pattern = Utf16FromUtf8(last);
    WIN32_FIND_DATAW entry{};
    HANDLE search = FindFirstFileExW(LongWindowsPath(folder + last).c_str(), FindExInfoBasic,
                                     &entry, FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE)
        return false;
    bool found = false;
    do {
        found = WildcardMatchesNoCase(pattern, entry.cFileName) && IsPlainEntry(entry, folder);
    } while (!found && FindNextFileW(search, &entry));
    FindClose(search);
    return found;
}
