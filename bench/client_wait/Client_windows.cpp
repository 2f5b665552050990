#include "Client.h"

#include <windows.h>

#include <string>

#include <vorn/Utf16_windows.h>

namespace bench {

bool InstallClient(const std::string& path) {
    std::wstring own(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(nullptr, own.data(), DWORD(own.size()));
        if (length == 0)
            return false;
        if (length < own.size()) {
            own.resize(length);
            break;
        }
        own.resize(own.size() * 2);
    }
    return CopyFileW(own.c_str(), WindowsPath(path).c_str(), TRUE) != FALSE;
}

// Without a console and in a process group of its own; no handle of it is kept.
bool StartClient(const std::string& path, std::int64_t& pid) {
    const std::wstring program = WindowsPath(path);
    std::wstring commandLine = L"\"" + program + L"\" --sleep 600";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE,
                        DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP, nullptr, nullptr, &startup,
                        &process))
        return false;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    pid = process.dwProcessId;
    return true;
}

void KillClient(std::int64_t pid) {
    const HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, DWORD(pid));
    if (!process)
        return;
    TerminateProcess(process, 1);
    CloseHandle(process);
}

std::int32_t OwnProcessId() {
    return std::int32_t(GetCurrentProcessId());
}

double ProcessCpuSeconds() {
    FILETIME created{}, ended{}, system{}, user{};
    if (!GetProcessTimes(GetCurrentProcess(), &created, &ended, &system, &user))
        return 0;
    const auto seconds = [](const FILETIME& time) {
        return double((std::uint64_t(time.dwHighDateTime) << 32) | time.dwLowDateTime) / 1e7;
    };
    return seconds(system) + seconds(user);
}

} // namespace bench
