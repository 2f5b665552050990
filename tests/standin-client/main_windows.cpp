// The stand-in for the Vorn client on Windows, for end-to-end runs of the updater. Installed as
// "Vorn.exe" in a program folder, it behaves as the client does towards the updater:
//
//   Vorn.exe --update <prefix> <package>... [--exit-after-ms N] [--updater-log PATH]
//       notes its start, starts "<its folder>\vorn-updater.exe <prefix> <package>... <its pid>"
//       (one command line, the arguments joined by single spaces, as the client writes it) in its
//       folder, as a process of its own that outlives it, with its standard error going to PATH
//       when given (appended to) and to the stand-in's own otherwise; stays alive for N ms (1500
//       by default) and exits.
//   Vorn.exe
//       (the restart by the updater's close button) notes its start and exits at once.
//
// Every start appends "started <pid> <working directory>" to client-starts.log in its own folder.
#include <windows.h>

#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include <vorn/SystemMessage_windows.h>
#include <vorn/Utf16_windows.h>

namespace {

const wchar_t* const kStartsLog = L"client-starts.log";
const wchar_t* const kUpdater = L"vorn-updater.exe";

[[noreturn]] void fail(const std::string& message) {
    std::fprintf(stderr, "Vorn.exe (stand-in): %s\n", message.c_str());
    std::exit(2);
}

[[noreturn]] void failWithSystemError(const std::string& what) {
    const DWORD error = GetLastError();
    fail(what + ": " + SystemMessage(error));
}

std::wstring ownFolder() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0)
            failWithSystemError("cannot read the program's path");
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        path.resize(path.size() * 2);
    }
    const std::size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? L"." : path.substr(0, slash);
}

std::wstring workingDirectory() {
    const DWORD size = GetCurrentDirectoryW(0, nullptr);
    std::wstring directory(size, L'\0');
    const DWORD length = GetCurrentDirectoryW(size, directory.data());
    if (length == 0 || length >= size)
        return L"?";
    directory.resize(length);
    return directory;
}

// One line, appended with a single write on a handle opened for appending only: a reader sees the
// whole line or none of it, and earlier lines are never rewritten.
void noteStart(const std::wstring& folder) {
    const std::wstring path = folder + L"\\" + kStartsLog;
    const HANDLE file =
        CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        failWithSystemError("cannot open " + Utf8FromUtf16(path));
    const std::string line = "started " + std::to_string(GetCurrentProcessId()) + " " +
                             Utf8FromUtf16(workingDirectory()) + "\n";
    DWORD written = 0;
    const bool whole =
        WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr) &&
        written == line.size();
    const bool flushed = FlushFileBuffers(file) != FALSE;
    if (!CloseHandle(file) || !whole || !flushed)
        fail("cannot write " + Utf8FromUtf16(path));
}

struct UpdateRequest {
    std::vector<std::wstring> updaterArguments; // prefix and package names
    long exitAfterMs = 1500;
    std::optional<std::wstring> updaterLog;
};

UpdateRequest parseUpdateRequest(const std::vector<std::wstring>& arguments) {
    UpdateRequest request;
    for (std::size_t i = 2; i < arguments.size(); ++i) {
        const std::wstring& argument = arguments[i];
        if (argument == L"--exit-after-ms" && i + 1 < arguments.size()) {
            wchar_t* end = nullptr;
            request.exitAfterMs = std::wcstol(arguments[++i].c_str(), &end, 10);
            if (*end != L'\0' || request.exitAfterMs < 0)
                fail("bad --exit-after-ms value");
        } else if (argument == L"--updater-log" && i + 1 < arguments.size()) {
            request.updaterLog = arguments[++i];
        } else {
            request.updaterArguments.push_back(argument);
        }
    }
    if (request.updaterArguments.empty())
        fail("--update needs a download prefix");
    return request;
}

// The handle the updater is given as its standard error, inheritable (null: none).
HANDLE updaterStandardError(const UpdateRequest& request) {
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    if (request.updaterLog) {
        const HANDLE log = CreateFileW(request.updaterLog->c_str(), FILE_APPEND_DATA,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       &inheritable, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (log == INVALID_HANDLE_VALUE)
            failWithSystemError("cannot open " + Utf8FromUtf16(*request.updaterLog));
        return log;
    }
    const HANDLE own = GetStdHandle(STD_ERROR_HANDLE);
    HANDLE copy = nullptr;
    if (own == nullptr || own == INVALID_HANDLE_VALUE ||
        !DuplicateHandle(GetCurrentProcess(), own, GetCurrentProcess(), &copy, 0, TRUE,
                         DUPLICATE_SAME_ACCESS))
        return nullptr;
    return copy;
}

// Starts the updater as a process of its own (no console, its own process group), which outlives
// this one. The client's own id is the last argument.
void startUpdater(const std::wstring& folder, const UpdateRequest& request) {
    const std::wstring program = folder + L"\\" + kUpdater;
    std::wstring commandLine = L"\"" + program + L"\"";
    for (const std::wstring& argument : request.updaterArguments)
        commandLine += L" " + argument;
    commandLine += L" " + std::to_wstring(GetCurrentProcessId());

    // The updater inherits its standard error and nothing else (a pipe of whoever started the
    // stand-in, held open by the updater, would keep them waiting for its end).
    HANDLE standardError = updaterStandardError(request);
    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup;
    std::vector<char> attributes;
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    attributes.resize(size);
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributes.data());
    if (standardError) {
        if (!InitializeProcThreadAttributeList(list, 1, 0, &size) ||
            !UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, &standardError,
                                       sizeof standardError, nullptr, nullptr))
            failWithSystemError("cannot limit the handles the updater inherits");
        startup.lpAttributeList = list;
        startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
        startup.StartupInfo.hStdError = standardError;
    }
    PROCESS_INFORMATION process{};
    const BOOL started = CreateProcessW(
        program.c_str(), commandLine.data(), nullptr, nullptr, standardError != nullptr,
        DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP | CREATE_UNICODE_ENVIRONMENT |
            EXTENDED_STARTUPINFO_PRESENT,
        nullptr, folder.c_str(), &startup.StartupInfo, &process);
    const DWORD error = GetLastError();
    if (standardError) {
        DeleteProcThreadAttributeList(list);
        CloseHandle(standardError);
    }
    if (!started) {
        SetLastError(error);
        failWithSystemError("cannot start " + Utf8FromUtf16(program));
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
}

std::vector<std::wstring> commandLineArguments() {
    int count = 0;
    wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!arguments)
        failWithSystemError("cannot read the command line");
    std::vector<std::wstring> result(arguments, arguments + count);
    LocalFree(arguments);
    return result;
}

} // namespace

int main() {
    const std::wstring folder = ownFolder();
    noteStart(folder);
    const std::vector<std::wstring> arguments = commandLineArguments();
    if (arguments.size() < 2)
        return 0;
    if (arguments[1] != L"--update")
        fail("unknown argument " + Utf8FromUtf16(arguments[1]));
    const UpdateRequest request = parseUpdateRequest(arguments);
    startUpdater(folder, request);
    Sleep(static_cast<DWORD>(request.exitAfterMs));
    return 0;
}
