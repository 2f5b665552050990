#include "MinisignRig.h"

#include <vorn/SystemError.h>
#include <vorn/UniqueFd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace fixtures {

ProgramRun runProgram(const std::string& program, const std::vector<std::string>& arguments,
                      int timeoutSeconds) {
    ProgramRun run;
    const auto failed = [&](const std::string& problem) {
        run.problem = problem;
        return run;
    };
    int outPipe[2], errPipe[2];
    if (::pipe2(outPipe, O_CLOEXEC) != 0)
        return failed(vorn::systemErrorText(errno));
    vorn::UniqueFd outRead(outPipe[0]), outWrite(outPipe[1]);
    if (::pipe2(errPipe, O_CLOEXEC) != 0)
        return failed(vorn::systemErrorText(errno));
    vorn::UniqueFd errRead(errPipe[0]), errWrite(errPipe[1]);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, outWrite.get(), 1);
    posix_spawn_file_actions_adddup2(&actions, errWrite.get(), 2);
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    pid_t child = 0;
    const int started =
        posix_spawn(&child, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    outWrite.reset();
    errWrite.reset();
    if (started != 0)
        return failed(program + ": " + vorn::systemErrorText(started));

    // Both outputs to their ends (the child has exited, or closed them), or the time is up.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    pollfd open[2] = {{outRead.get(), POLLIN, 0}, {errRead.get(), POLLIN, 0}};
    std::string* into[2] = {&run.output, &run.errors};
    while (open[0].fd >= 0 || open[1].fd >= 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || (::poll(open, 2, int(left.count())) < 0 && errno != EINTR))
            break;
        for (int i = 0; i < 2; ++i) {
            if (open[i].fd < 0 || !open[i].revents)
                continue;
            char piece[4096];
            const ssize_t got = ::read(open[i].fd, piece, sizeof piece);
            if (got > 0)
                into[i]->append(piece, std::size_t(got));
            else if (got == 0 || errno != EINTR)
                open[i].fd = -1; // its end
        }
    }
    const bool cutShort = open[0].fd >= 0 || open[1].fd >= 0;
    if (cutShort)
        ::kill(child, SIGKILL);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (cutShort)
        return failed("it did not end within " + std::to_string(timeoutSeconds) + " s");
    if (!WIFEXITED(status))
        return failed("it ended by signal " + std::to_string(WTERMSIG(status)));
    run.exited = true;
    run.exitCode = WEXITSTATUS(status);
    return run;
}

} // namespace fixtures
