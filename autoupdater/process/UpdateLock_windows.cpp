#include "process/UpdateLock.h"

#include <vorn/SystemMessage_windows.h>
#include "core/Text.h"
#include <vorn/Utf16_windows.h>

namespace {
void report(std::string* error, UpdateLock::Failure* failure, UpdateLock::Failure kind,
            const std::string& text) {
    if (error)
        *error = text;
    if (failure)
        *failure = kind;
}

} // namespace

std::unique_ptr<UpdateLock> UpdateLock::acquire(const std::string& programFolder,
                                                std::string* error, Failure* failure) {
    report(error, failure, Failure::None, std::string());
    const std::string path = programFolder + '/' + FileName;
    // No security attributes: the handle is not inheritable, so that a program started by the
    // updater does not keep the lock alive.
    HANDLE file = CreateFileW(WindowsPath(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        report(error, failure, Failure::CannotOpen,
               Format("Cannot open the lock file %1: %2", {path, SystemMessage(code)}));
        return nullptr;
    }
    OVERLAPPED whole{};
    if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD,
                    MAXDWORD, &whole)) {
        const DWORD code = GetLastError();
        CloseHandle(file);
        if (code == ERROR_LOCK_VIOLATION)
            report(error, failure, Failure::Busy,
                   Format("Another update is already running in %1.", {programFolder}));
        else
            report(error, failure, Failure::CannotLock,
                   Format("Cannot lock %1: %2", {path, SystemMessage(code)}));
        return nullptr;
    }
    return std::unique_ptr<UpdateLock>(new UpdateLock(path, reinterpret_cast<std::intptr_t>(file)));
}

UpdateLock::~UpdateLock() {
    CloseHandle(reinterpret_cast<HANDLE>(m_handle));
}
