#include "process/StartClient.h"

#include "core/Paths.h"
#include "core/Text.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

// The path under which `name` is found on the search path (PATH), or empty.
std::string FindOnPath(const std::string& name) {
    const char* search = std::getenv("PATH");
    for (const std::string& folder : Split(search ? search : "/usr/bin:/bin", ':')) {
        const std::string candidate = (folder.empty() ? "." : folder) + "/" + name;
        struct stat info {};
        if (::stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
            ::access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return {};
}

// Runs the program args[0] (a path) with args and the updater's environment, in folder, as a
// grandchild in a session of its own: the child in between ends at once and is reaped here, so
// that the program is no child of the updater's. Descriptors opened close-on-exec (the update
// lock's) stay behind.
void SpawnDetached(const std::vector<std::string>& args, const std::string& folder) {
    std::vector<char*> argv;
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    const char* const directory = folder.c_str();
    sigset_t none;
    sigemptyset(&none);

    const pid_t child = ::fork();
    if (child < 0)
        return;
    if (child == 0) {
        // The updater has other threads: only async-signal-safe calls from here on.
        ::setsid();
        const pid_t grandchild = ::fork();
        if (grandchild != 0)
            ::_exit(grandchild < 0 ? 1 : 0);
        // The program starts as from a shell: no signal blocked, a broken pipe ends it.
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::signal(SIGPIPE, SIG_DFL);
        if (::chdir(directory) == 0)
            ::execve(argv[0], argv.data(), environ);
        ::_exit(127);
    }
    while (::waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
}

} // namespace

void StartClient(const std::string& programFolder, const std::string& exeName) {
    // Absolute, as the program is started from within programFolder.
    std::error_code error;
    const std::filesystem::path absolute = std::filesystem::absolute(FsPath(programFolder), error);
    const std::string folder = error ? programFolder : Utf8Path(absolute);
    const std::string path = folder + '/' + exeName;
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
        ::access(path.c_str(), X_OK) == 0) {
        SpawnDetached({path}, folder);
        return;
    }
    // The desktop's handler for the file; without one, nothing is opened.
    const std::string handler = FindOnPath("xdg-open");
    if (!handler.empty())
        SpawnDetached({handler, path}, folder);
}
