// A child program started with a chosen argv[0]; killed and reaped when it goes out of scope.
// With `capture`, its standard output and standard error go to pipes that the test reads.
#pragma once

#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>

#include <sys/types.h>

#include <vorn/Utf16_windows.h>

class Child {
public:
    // Started like a spawned program: it inherits every inheritable handle.
    Child(const std::string& program, std::vector<std::string> args, bool capture = false) {
        std::wstring line;
        for (const std::string& arg : args)
            line += (line.empty() ? L"" : L" ") + Quoted(Utf16FromUtf8(arg));
        SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        HANDLE out = nullptr, err = nullptr;
        if (capture && CreatePipe(&m_out, &out, &inherited, 0) &&
            CreatePipe(&m_err, &err, &inherited, 0)) {
            SetHandleInformation(m_out, HANDLE_FLAG_INHERIT, 0);
            SetHandleInformation(m_err, HANDLE_FLAG_INHERIT, 0);
            startup.dwFlags = STARTF_USESTDHANDLES;
            startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
            startup.hStdOutput = out;
            startup.hStdError = err;
        }
        PROCESS_INFORMATION started{};
        if (CreateProcessW(WindowsPath(program).c_str(), line.data(), nullptr, nullptr, TRUE, 0,
                           nullptr, nullptr, &startup, &started)) {
            CloseHandle(started.hThread);
            m_process = started.hProcess;
            m_pid = pid_t(started.dwProcessId);
        }
        for (HANDLE end : {out, err}) {
            if (end)
                CloseHandle(end);
        }
    }
    ~Child() {
        killAndLeaveZombie();
        reap();
        for (HANDLE pipe : {m_out, m_err}) {
            if (pipe)
                CloseHandle(pipe);
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t pid() const { return m_pid; }
    // Kills the child and waits until it has ended; the handle kept keeps its id taken, as a
    // zombie's.
    void killAndLeaveZombie() {
        if (m_process && TerminateProcess(m_process, 137))
            WaitForSingleObject(m_process, INFINITE);
    }
    // Waits for the child's end and lets go of it; its exit code.
    int reap() {
        DWORD code = DWORD(-1);
        if (m_process) {
            WaitForSingleObject(m_process, INFINITE);
            GetExitCodeProcess(m_process, &code);
            CloseHandle(m_process);
        }
        m_process = nullptr;
        m_pid = -1;
        return int(code);
    }
    // Of a capturing child: as in the other form below; its lines read as text (LF ends).
    std::string outputLine() { return readFrom(m_out, true); }
    std::string output() { return readFrom(m_out, false); }
    std::string errors() { return readFrom(m_err, false); }

private:
    // One argument of a command line, as the C run time splits it again.
    static std::wstring Quoted(const std::wstring& arg) {
        if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos)
            return arg;
        std::wstring quoted = L"\"";
        std::size_t slashes = 0;
        for (const wchar_t c : arg) {
            if (c == L'\\') {
                ++slashes;
                continue;
            }
            quoted.append(c == L'"' ? slashes * 2 + 1 : slashes, L'\\');
            quoted += c;
            slashes = 0;
        }
        return quoted.append(slashes * 2, L'\\') + L'"';
    }
    static std::string readFrom(HANDLE pipe, bool line) {
        std::string text;
        char c;
        DWORD got = 0;
        while (pipe && ReadFile(pipe, &c, 1, &got, nullptr) && got == 1) {
            if (c == '\r')
                continue;
            text += c;
            if (line && c == '\n')
                break;
        }
        return text;
    }

    HANDLE m_process = nullptr;
    pid_t m_pid = -1;
    HANDLE m_out = nullptr;
    HANDLE m_err = nullptr;
};

#else
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

class Child {
public:
    Child(const std::string& program, std::vector<std::string> args, bool capture = false)
        : m_args(std::move(args)) {
        std::vector<char*> argv;
        for (std::string& arg : m_args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        int out[2] = {-1, -1};
        int err[2] = {-1, -1};
        if (capture && ::pipe2(out, O_CLOEXEC) == 0 && ::pipe2(err, O_CLOEXEC) == 0) {
            posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
            posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
        }
        if (::posix_spawn(&m_pid, program.c_str(), &actions, nullptr, argv.data(), environ))
            m_pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        for (int fd : {out[1], err[1]}) {
            if (fd >= 0)
                ::close(fd);
        }
        m_out = out[0];
        m_err = err[0];
        if (m_pid > 0)
            waitUntilLoaded();
    }
    ~Child() {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            reap();
        }
        for (int fd : {m_out, m_err}) {
            if (fd >= 0)
                ::close(fd);
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t pid() const { return m_pid; }
    // Kills the child and waits until it has ended, leaving it unreaped (a zombie).
    void killAndLeaveZombie() {
        ::kill(m_pid, SIGKILL);
        siginfo_t info{};
        ::waitid(P_PID, static_cast<id_t>(m_pid), &info, WEXITED | WNOWAIT);
    }
    // Waits for the child's end and reaps it; its exit code, or -1 when a signal ended it.
    int reap() {
        int status = 0;
        const pid_t reaped = ::waitpid(m_pid, &status, 0);
        m_pid = -1;
        return reaped > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    // Of a capturing child: its standard output up to the end of the first line (or all of it
    // once it has ended), and all of its standard error.
    std::string outputLine() { return readFrom(m_out, true); }
    std::string output() { return readFrom(m_out, false); }
    std::string errors() { return readFrom(m_err, false); }

private:
    static std::string readFrom(int fd, bool line) {
        std::string text;
        char c;
        while (fd >= 0 && ::read(fd, &c, 1) == 1) {
            text += c;
            if (line && c == '\n')
                break;
        }
        return text;
    }

    // posix_spawn returns while exec is still setting up the new program, before its arguments
    // can be read; wait for them.
    void waitUntilLoaded() {
        const std::string cmdline = "/proc/" + std::to_string(m_pid) + "/cmdline";
        for (int i = 0; i < 10000; ++i) {
            const int fd = ::open(cmdline.c_str(), O_RDONLY | O_CLOEXEC);
            char c;
            const bool loaded = fd >= 0 && ::read(fd, &c, 1) == 1;
            if (fd >= 0)
                ::close(fd);
            if (loaded)
                return;
            siginfo_t info{};
            if (::waitid(P_PID, static_cast<id_t>(m_pid), &info, WEXITED | WNOHANG | WNOWAIT) ==
                    0 &&
                info.si_pid == m_pid)
                return; // already ended
            ::usleep(1000);
        }
    }

    std::vector<std::string> m_args;
    pid_t m_pid = -1;
    int m_out = -1;
    int m_err = -1;
};
#endif
