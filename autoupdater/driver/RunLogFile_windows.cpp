// Windows part of the run log. Every updater opens the log for appending only (FILE_APPEND_DATA
// without FILE_WRITE_DATA), shared in every way, so that each write lands whole at the end. The
// shared and the exclusive lock are byte-range locks on one byte far past any data: a lock of
// the data itself would keep the holders from writing (a shared range lock refuses writes to
// everyone).
#include "driver/RunLogFile.h"

#include <vorn/Files_windows.h>

namespace {
// The locked byte: 2^62, past any file there will be.
constexpr DWORD kLockOffsetHigh = 0x40000000;

HANDLE handleOf(std::intptr_t handle) {
    return reinterpret_cast<HANDLE>(handle);
}

bool lock(HANDLE file, DWORD flags) {
    OVERLAPPED lockByte{};
    lockByte.OffsetHigh = kLockOffsetHigh;
    return LockFileEx(file, flags, 0, 1, 0, &lockByte);
}

bool unlock(HANDLE file) {
    OVERLAPPED lockByte{};
    lockByte.OffsetHigh = kLockOffsetHigh;
    return UnlockFileEx(file, 0, 1, 0, &lockByte);
}
} // namespace

// Every updater holds a shared lock on the log while it has it open; the one that rewrites it
// takes the lock alone first, and a newcomer that finds its file replaced once it got the lock
// opens the new one (a few times at most: a file that keeps changing is used as it is).
bool RunLogFile::open(const std::string& path, std::string* reason) {
    const std::wstring name = LongWindowsPath(path);
    for (int attempt = 1;; ++attempt) {
        close();
        // Not inherited by programs the updater starts.
        HANDLE file = CreateFileW(name.c_str(), GENERIC_READ | FILE_APPEND_DATA,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            *reason = SystemMessage(GetLastError());
            return false;
        }
        m_handle = reinterpret_cast<std::intptr_t>(file);
        if (!lock(file, 0)) {
            *reason = SystemMessage(GetLastError());
            close();
            return false;
        }
        if (attempt == 5 || IsFileAt(file, name, true))
            return true;
    }
}

void RunLogFile::close() {
    if (m_handle != kNone)
        CloseHandle(handleOf(m_handle)); // gives up its lock
    m_handle = kNone;
}

// The shared lock is given up for the exclusive one (a range lock does not convert). Granted, no
// other updater has the log open. The file is then closed as well: Windows replaces no file that
// is open, and the rewrite replaces it. Should a newcomer open it meanwhile, the system refuses
// the replacement, and the log stays as it was.
bool RunLogFile::takeExclusively(const std::string& path) {
    HANDLE file = handleOf(m_handle);
    unlock(file);
    if (lock(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY)) {
        close();
        return true;
    }
    // Someone else has it: take the file again, shared.
    std::string ignored;
    open(path, &ignored);
    return false;
}

std::int64_t RunLogFile::size() const {
    LARGE_INTEGER size{};
    return GetFileSizeEx(handleOf(m_handle), &size) ? size.QuadPart : 0;
}

bool RunLogFile::endsWithLineEnd() const {
    const std::int64_t length = size();
    if (length == 0)
        return true;
    OVERLAPPED last{};
    last.Offset = DWORD(std::uint64_t(length - 1) & 0xFFFFFFFFu);
    last.OffsetHigh = DWORD(std::uint64_t(length - 1) >> 32);
    char byte = '\n';
    DWORD got = 0;
    return ReadFile(handleOf(m_handle), &byte, 1, &got, &last) && got == 1 && byte == '\n';
}

bool RunLogFile::append(const std::string& lines, std::string* reason) {
    if (lines.size() > MAXDWORD) {
        *reason = SystemMessage(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    // At the end of the file, whatever the handle's position (a read moves it).
    OVERLAPPED end{};
    end.Offset = end.OffsetHigh = 0xFFFFFFFF;
    DWORD written = 0;
    if (!WriteFile(handleOf(m_handle), lines.data(), DWORD(lines.size()), &written, &end)) {
        *reason = SystemMessage(GetLastError());
        return false;
    }
    if (written == lines.size())
        return true;
    *reason = SystemMessage(ERROR_DISK_FULL);
    return false;
}
