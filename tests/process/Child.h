// A child program started with a chosen argv[0]; killed and reaped when it goes out of scope.
// With `capture`, its standard output and standard error go to pipes that the test reads.
#pragma once

#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

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
