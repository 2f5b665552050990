#include "download/WinHttpTempFolder_windows.h"

#include <chrono>
#include <set>

#include <vorn/Files_windows.h>

#include "download/DownloadFile.h"
#include "download/PartialDownload.h"

namespace {
// How long a record in the making may be left by a writer that is still at it.
constexpr std::int64_t kRecordMakingSeconds = 60;
// FILETIME counts 100 ns steps.
constexpr std::int64_t kFileTimeSecond = 10'000'000;

std::int64_t fileTimeOf(const FILETIME& time) {
    return std::int64_t((std::uint64_t(time.dwHighDateTime) << 32) | time.dwLowDateTime);
}

std::string inFolder(const std::string& folder, const std::string& name) {
    return folder + '/' + name;
}

bool isPlainFile(const std::string& path, WIN32_FILE_ATTRIBUTE_DATA* data = nullptr) {
    WIN32_FILE_ATTRIBUTE_DATA found{};
    if (!GetFileAttributesExW(LongWindowsPath(path).c_str(), GetFileExInfoStandard, &found) ||
        (found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)))
        return false;
    if (data)
        *data = found;
    return true;
}

// The names of the plain files in `folder` that match `pattern`.
std::vector<std::string> filesLike(const std::string& folder, const std::string& pattern) {
    std::vector<std::string> names;
    const std::wstring widePattern = Utf16FromUtf8(pattern);
    WIN32_FIND_DATAW entry{};
    HANDLE search = FindFirstFileExW(LongWindowsPath(inFolder(folder, "*")).c_str(),
                                     FindExInfoBasic, &entry, FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE)
        return names;
    do {
        if (!(entry.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) &&
            WildcardMatchesNoCase(widePattern, entry.cFileName))
            names.push_back(Utf8FromUtf16(entry.cFileName));
    } while (FindNextFileW(search, &entry));
    FindClose(search);
    return names;
}
} // namespace

void RemoveAbandonedDownloads(const std::string& folder) {
    const auto now = std::chrono::system_clock::now();
    std::set<std::string> kept;
    for (const std::string& name : filesLike(folder, PartialDownload::recordPattern())) {
        const std::optional<PartialDownload> record = PartialDownload::load(inFolder(folder, name));
        if (record && record->freshAt(now) && isPlainFile(inFolder(folder, record->partialName))) {
            kept.insert(name);
            kept.insert(record->partialName);
        }
    }
    FILETIME nowTime{};
    GetSystemTimeAsFileTime(&nowTime);
    DownloadFile::removeAbandoned(folder,
                                  {kWinHttpPartialPattern, PartialDownload::recordPattern(),
                                   PartialDownload::recordInTheMakingPattern()},
                                  [&](const std::string& name) {
                                      if (name.ends_with(".part") || name.ends_with(".resume"))
                                          return kept.count(name) != 0;
                                      WIN32_FILE_ATTRIBUTE_DATA data{};
                                      return isPlainFile(inFolder(folder, name), &data) &&
                                             fileTimeOf(nowTime) -
                                                     fileTimeOf(data.ftLastWriteTime) <
                                                 kRecordMakingSeconds * kFileTimeSecond;
                                  });
}

std::string SystemTempFolder() {
    wchar_t buffer[MAX_PATH + 2] = {};
    const DWORD length = GetTempPathW(MAX_PATH + 2, buffer);
    std::string folder = Utf8FromUtf16(std::wstring_view(buffer, length));
    for (char& c : folder) {
        if (c == '\\')
            c = '/';
    }
    while (folder.size() > 1 && folder.back() == '/' && folder[folder.size() - 2] != ':')
        folder.pop_back();
    if (folder.size() == 3 && folder[1] == ':')
        folder.pop_back(); // "C:/" is "C:" followed by the names' "/"
    return folder;
}
