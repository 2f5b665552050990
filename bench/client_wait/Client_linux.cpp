#include "Client.h"

#include "core/Paths.h"

#include <cerrno>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <spawn.h>
#include <sys/wait.h>
#include <system_error>
#include <unistd.h>

extern char** environ;

namespace bench {

bool InstallClient(const std::string& path) {
    std::error_code error;
    return std::filesystem::copy_file("/bin/sleep", FsPath(path), error);
}

// An intermediate child in a session of its own spawns the client and ends at once.
bool StartClient(const std::string& path, std::int64_t& pid) {
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0)
        return false;
    const pid_t intermediate = ::fork();
    if (intermediate < 0) {
        ::close(report[0]);
        ::close(report[1]);
        return false;
    }
    if (intermediate == 0) {
        ::setsid();
        char* const args[] = {const_cast<char*>(path.c_str()), const_cast<char*>("600"), nullptr};
        pid_t client = -1;
        if (::posix_spawn(&client, path.c_str(), nullptr, nullptr, args, environ) != 0)
            client = -1;
        const bool reported = ::write(report[1], &client, sizeof client) == sizeof client;
        ::_exit(reported ? 0 : 1);
    }
    ::close(report[1]);
    pid_t client = -1;
    const bool read = ::read(report[0], &client, sizeof client) == sizeof client;
    ::close(report[0]);
    int status = 0;
    while (::waitpid(intermediate, &status, 0) < 0 && errno == EINTR) {
    }
    if (!read || client <= 0)
        return false;
    pid = client;
    return true;
}

void KillClient(std::int64_t pid) {
    ::kill(pid_t(pid), SIGKILL);
}

std::int32_t OwnProcessId() {
    return std::int32_t(::getpid());
}

double ProcessCpuSeconds() {
    timespec now{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

} // namespace bench
