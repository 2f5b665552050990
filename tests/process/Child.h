// A child program started with a chosen argv[0]; killed and reaped when it goes out of scope.
#pragma once

#include <QByteArray>
#include <QFile>
#include <QList>

#include <csignal>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

class Child {
public:
    Child(const QByteArray& program, QList<QByteArray> args) : m_args(std::move(args)) {
        QList<char*> argv;
        for (QByteArray& arg : m_args)
            argv.append(arg.data());
        argv.append(nullptr);
        if (::posix_spawn(&m_pid, program.constData(), nullptr, nullptr, argv.data(), environ))
            m_pid = -1;
        else
            waitUntilLoaded();
    }
    ~Child() {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            reap();
        }
    }
    pid_t pid() const { return m_pid; }
    // Kills the child and waits until it has ended, leaving it unreaped (a zombie).
    void killAndLeaveZombie() {
        ::kill(m_pid, SIGKILL);
        siginfo_t info{};
        ::waitid(P_PID, static_cast<id_t>(m_pid), &info, WEXITED | WNOWAIT);
    }
    void reap() {
        ::waitpid(m_pid, nullptr, 0);
        m_pid = -1;
    }

private:
    // posix_spawn returns while exec is still setting up the new program, before its arguments
    // can be read; wait for them.
    void waitUntilLoaded() {
        QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(m_pid));
        for (int i = 0; i < 10000; ++i) {
            if (cmdline.open(QIODevice::ReadOnly) && !cmdline.readAll().isEmpty())
                return;
            siginfo_t info{};
            if (::waitid(P_PID, static_cast<id_t>(m_pid), &info, WEXITED | WNOHANG | WNOWAIT) ==
                    0 &&
                info.si_pid == m_pid)
                return; // already ended
            cmdline.close();
            ::usleep(1000);
        }
    }

    QList<QByteArray> m_args;
    pid_t m_pid = -1;
};
