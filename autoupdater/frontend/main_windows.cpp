// vorn-updater: downloads the client's update packages, waits for the client to exit, extracts the
// packages over the program folder and restarts the client. The Windows front-end: a Win32 window,
// the thread's message queue as the event loop and WinHTTP's network access around the portable
// update run.
//
// A program of the Windows subsystem, so that the client starting it shows no console window. The
// status lines and diagnostics go to the standard error the program was given (a file or a pipe
// of whoever started it, as the client's redirection does); without one, to the console of the
// program that started it, if that has one; else nowhere.
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <shellapi.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "SpaceTrim.h"
#include "core/Paths.h"
#include "download/WinHttpReadService_windows.h"
#include "driver/CommandLine.h"
#include "driver/frmMain.h"
#include "frontend/Win32EventLoop_windows.h"
#include "process/modProcesses.h"
#include "windows/UpdaterWindow_windows.h"
#include <vorn/SystemMessage_windows.h>
#include <vorn/Utf16_windows.h>

namespace {

// The arguments of the command line (without the program's own path), UTF-8, joined by single
// spaces: the system's rules split the command line, as a C program's argv.
std::string CommandLineArguments() {
    int count = 0;
    wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!arguments)
        return {};
    std::vector<std::string> utf8;
    for (int i = 0; i < count; ++i)
        utf8.push_back(Utf8FromUtf16(arguments[i]));
    LocalFree(arguments);
    std::vector<const char*> argv;
    for (const std::string& argument : utf8)
        argv.push_back(argument.c_str());
    return JoinArguments(static_cast<int>(argv.size()), argv.data());
}

// The folder of the program's executable, UTF-8 with "/".
std::string ProgramFolder() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0)
            return ".";
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        if (path.size() >= 32768)
            return ".";
        path.resize(path.size() * 2);
    }
    return Utf8Path(std::filesystem::path(path).parent_path());
}

// Standard error as on every platform: the lines as they are written (no CR added before LF),
// and, when the program was given none, the console of the program that started it.
void SetUpStandardError() {
    const HANDLE given = GetStdHandle(STD_ERROR_HANDLE);
    if ((given == nullptr || given == INVALID_HANDLE_VALUE) &&
        AttachConsole(ATTACH_PARENT_PROCESS)) {
        FILE* reopened = nullptr;
        _wfreopen_s(&reopened, L"CONOUT$", L"w", stderr);
    }
    _setmode(_fileno(stderr), _O_BINARY);
}

// Unattended runs: VORN_UPDATER_AUTOCLOSE_MS=N makes the updater press its own close button N
// milliseconds after the update run has ended, as a user would (the client is restarted after a
// successful run with version notes). Unset, empty or not a whole number >= 0: the window waits
// for the user.
std::optional<int> AutoCloseDelay() {
    wchar_t buffer[64];
    const DWORD length = GetEnvironmentVariableW(L"VORN_UPDATER_AUTOCLOSE_MS", buffer, 64);
    if (length == 0 || length >= 64)
        return std::nullopt;
    const std::string value = TrimSpaces(Utf8FromUtf16(std::wstring_view(buffer, length)));
    std::size_t at = value.empty() || value[0] != '+' ? 0 : 1;
    if (at == value.size())
        return std::nullopt;
    long long delay = 0;
    for (; at < value.size(); ++at) {
        if (value[at] < '0' || value[at] > '9')
            return std::nullopt;
        delay = delay * 10 + (value[at] - '0');
        if (delay > 0x7fffffff)
            return std::nullopt;
    }
    return static_cast<int>(delay);
}

} // namespace

int main() {
    const std::string commandLine = CommandLineArguments();
    if (TrimSpaces(commandLine).empty())
        return 0;
    SetUpStandardError();

    SetProcessFaultNotice([](const std::string& title, const std::string& text) {
        MessageBoxW(nullptr, Utf16FromUtf8(text).c_str(), Utf16FromUtf8(title).c_str(),
                    MB_OK | MB_ICONWARNING | MB_TASKMODAL | MB_SETFOREGROUND);
    });
    Win32EventLoop loop;
    WinHttpReadService service(loop);
    UpdaterWindow window;
    if (!window.isOpen()) {
        // No desktop to show it on (a service, a session without a display): nothing can run.
        const DWORD error = GetLastError();
        const std::string reason = error ? SystemMessage(error) : "no display to show it on";
        std::fprintf(stderr, "The updater's window cannot be made: %s\n", reason.c_str());
        return 1;
    }
    UpdaterEnvironment environment;
    environment.commandLine = commandLine;
    environment.programFolder = ProgramFolder();
    environment.readService = &service;
    frmMain form(std::move(environment), window, loop);
    window.closeRequested = [&form] { form.closeAction(); };
    window.updateInfoRequested = [&form] { form.updateInfoAction(); };
    std::unique_ptr<EventLoop::Timer> autoClose;
    if (const std::optional<int> delay = AutoCloseDelay()) {
        form.runEnded = [&loop, &window, &autoClose, delay](RunOutcome) {
            autoClose = loop.startTimer(std::chrono::milliseconds(*delay), false,
                                        [&window] { window.closeAction(); });
        };
    }
    window.show();
    // The close action ends the process with the run's exit status itself. Should the window be
    // destroyed otherwise, the loop ends once the run has ended, not before.
    loop.waitUntil([&window, &form] { return !window.isOpen() && form.finished(); });
    return ExitStatus(form.outcome());
}
