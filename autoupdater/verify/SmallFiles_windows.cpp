// Windows part of replacing a small file durably.
#include "verify/SmallFiles.h"
#include "verify/SmallFilesPlatform.h"

#include <algorithm>

#include <vorn/Files_windows.h>

// Nothing to flush: a folder's entries have no flush of their own on Windows (NTFS journals
// them), so a folder that is there counts as flushed.
bool syncFolder(const std::string& path) {
    const DWORD attributes = GetFileAttributesW(LongWindowsPath(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool fileWritable(const std::string& path) {
    return IsFileWritable(LongWindowsPath(path));
}

// The new file's permissions are those the folder gives any new file (Windows has no mode bits);
// of `permissionsOf` it takes the hidden and system marks.
NewFile writeNewFile(const std::string& path, const std::string& contents,
                     const std::string& permissionsOf, std::string* error) {
    const std::wstring name = LongWindowsPath(path);
    DWORD attributes = FILE_ATTRIBUTE_NORMAL;
    if (!permissionsOf.empty()) {
        const DWORD existing = GetFileAttributesW(LongWindowsPath(permissionsOf).c_str());
        if (existing != INVALID_FILE_ATTRIBUTES &&
            (existing & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)))
            attributes = existing & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
    }
    HANDLE file = CreateFileW(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                              attributes, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        if (code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS)
            return NewFile::Exists;
        *error = SystemMessage(code);
        return NewFile::Failed;
    }
    const auto fail = [&](DWORD code) {
        if (file != INVALID_HANDLE_VALUE)
            CloseHandle(file);
        DeleteFileW(name.c_str());
        *error = SystemMessage(code);
        return NewFile::Failed;
    };
    for (std::size_t written = 0; written < contents.size();) {
        const DWORD piece = DWORD(std::min<std::size_t>(contents.size() - written, 1u << 30));
        DWORD done = 0;
        if (!WriteFile(file, contents.data() + written, piece, &done, nullptr))
            return fail(GetLastError());
        if (done == 0)
            return fail(ERROR_WRITE_FAULT);
        written += done;
    }
    // A file system that cannot flush at all is no reason to fail; a flush that fails is.
    if (!FlushFileBuffers(file)) {
        const DWORD code = GetLastError();
        if (code != ERROR_INVALID_FUNCTION && code != ERROR_NOT_SUPPORTED)
            return fail(code);
    }
    HANDLE closing = file;
    file = INVALID_HANDLE_VALUE;
    if (!CloseHandle(closing))
        return fail(GetLastError());
    return NewFile::Written;
}
