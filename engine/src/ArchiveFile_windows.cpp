#include "ArchiveFile.h"

#include "Failure.h"
#include "vbuzip10.h"

#include <windows.h>

#include <algorithm>
#include <vorn/SystemMessage_windows.h>
#include <vorn/Utf16_windows.h>

namespace vbuzip {

namespace {

BY_HANDLE_FILE_INFORMATION infoOf(void* file, const std::string& path) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(file, &info))
        throw Failure(UZ_ERR_NO_ARCHIVE,
                      "cannot read " + path + ": " + SystemMessage(GetLastError()));
    return info;
}

} // namespace

ArchiveFile::ArchiveFile(const std::string& path) : m_path(path) {
    // Others may go on reading it, and may remove or rename it (the file stays readable here).
    m_file =
        CreateFileW(WindowsPath(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (m_file == INVALID_HANDLE_VALUE) {
        m_file = nullptr;
        throw Failure(UZ_ERR_NO_ARCHIVE,
                      "cannot open " + path + ": " + SystemMessage(GetLastError()));
    }
    if (infoOf(m_file, path).dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        CloseHandle(m_file);
        throw Failure(UZ_ERR_NO_ARCHIVE, path + " is not a file");
    }
}

ArchiveFile::~ArchiveFile() {
    CloseHandle(m_file);
}

uint64_t ArchiveFile::size() const {
    const BY_HANDLE_FILE_INFORMATION info = infoOf(m_file, m_path);
    return (uint64_t(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
}

time_t ArchiveFile::mtime() const {
    const FILETIME t = infoOf(m_file, m_path).ftLastWriteTime;
    const uint64_t ticks = (uint64_t(t.dwHighDateTime) << 32) | t.dwLowDateTime;
    return static_cast<time_t>(ticks / 10000000ULL) - 11644473600LL;
}

// A positional read: the offset travels with the call, so threads never share a file position.
int64_t ArchiveFile::readAt(char* out, uint64_t length, uint64_t offset, int& error) const {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD read = 0;
    if (ReadFile(m_file, out, static_cast<DWORD>(std::min<uint64_t>(length, 1 << 30)), &read, &at))
        return read;
    if (GetLastError() == ERROR_HANDLE_EOF)
        return 0;
    error = static_cast<int>(GetLastError());
    return -1;
}

} // namespace vbuzip
