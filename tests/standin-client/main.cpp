// A stand-in for the Vorn client, for end-to-end runs of the updater. Installed as "Vorn.exe" in a
// program folder, it behaves as the client does towards the updater:
//
//   Vorn.exe --update <prefix> <package>... [--exit-after-ms N] [--updater-log PATH]
//       notes its start, starts "<its folder>/vorn-updater <prefix> <package>... <its pid>" as a
//       detached process (its standard error going to PATH when given, inherited otherwise),
//       stays alive for N ms (1500 by default) and exits.
//   Vorn.exe
//       (the restart by the updater's close button) notes its start and exits at once.
//
// Every start appends "started <pid> <working directory>" to client-starts.log in its own folder.
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

const char* const kStartsLog = "client-starts.log";
const char* const kUpdater = "vorn-updater";

[[noreturn]] void fail(const std::string& message) {
    std::fprintf(stderr, "Vorn.exe (stand-in): %s\n", message.c_str());
    std::exit(2);
}

std::string ownFolder() {
    std::vector<char> buffer(4096);
    const ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    if (length <= 0)
        fail(std::string("cannot read /proc/self/exe: ") + std::strerror(errno));
    std::string path(buffer.data(), static_cast<size_t>(length));
    const size_t slash = path.rfind('/');
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

std::string workingDirectory() {
    std::vector<char> buffer(4096);
    if (!::getcwd(buffer.data(), buffer.size()))
        return "?";
    return buffer.data();
}

bool writeAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t written = ::write(fd, text.data() + done, text.size() - done);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        done += static_cast<size_t>(written);
    }
    return true;
}

// One line, appended with a single write on a descriptor opened for appending: a reader sees the
// whole line or none of it, and earlier lines are never rewritten.
void noteStart(const std::string& folder) {
    const std::string path = folder + "/" + kStartsLog;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        fail("cannot open " + path + ": " + std::strerror(errno));
    const std::string line =
        "started " + std::to_string(::getpid()) + " " + workingDirectory() + "\n";
    const bool written = writeAll(fd, line);
    if (::fsync(fd) != 0 || ::close(fd) != 0 || !written)
        fail("cannot write " + path);
}

struct UpdateRequest {
    std::vector<std::string> updaterArguments; // prefix and package names
    long exitAfterMs = 1500;
    std::optional<std::string> updaterLog;
};

UpdateRequest parseUpdateRequest(int argc, char** argv) {
    UpdateRequest request;
    for (int i = 2; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--exit-after-ms" && i + 1 < argc) {
            char* end = nullptr;
            request.exitAfterMs = std::strtol(argv[++i], &end, 10);
            if (*end != '\0' || request.exitAfterMs < 0)
                fail("bad --exit-after-ms value");
        } else if (argument == "--updater-log" && i + 1 < argc) {
            request.updaterLog = argv[++i];
        } else {
            request.updaterArguments.push_back(argument);
        }
    }
    if (request.updaterArguments.empty())
        fail("--update needs a download prefix");
    return request;
}

// Starts the updater in a grandchild that belongs to its own session, so that it outlives this
// process and is nobody's child here. The client's own id is the last argument.
void startUpdater(const std::string& folder, const UpdateRequest& request) {
    const std::string program = folder + "/" + kUpdater;
    std::vector<std::string> arguments{program};
    arguments.insert(arguments.end(), request.updaterArguments.begin(),
                     request.updaterArguments.end());
    arguments.push_back(std::to_string(::getpid()));
    std::vector<char*> argv;
    for (std::string& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);

    int logFd = -1;
    if (request.updaterLog) {
        logFd =
            ::open(request.updaterLog->c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (logFd < 0)
            fail("cannot open " + *request.updaterLog + ": " + std::strerror(errno));
    }

    const pid_t child = ::fork();
    if (child < 0)
        fail(std::string("fork: ") + std::strerror(errno));
    if (child == 0) {
        ::setsid();
        const pid_t grandchild = ::fork();
        if (grandchild != 0)
            ::_exit(grandchild < 0 ? 1 : 0);
        if (logFd >= 0)
            ::dup2(logFd, STDERR_FILENO);
        if (::chdir(folder.c_str()) != 0)
            ::_exit(126);
        ::execv(program.c_str(), argv.data());
        std::fprintf(stderr, "Vorn.exe (stand-in): cannot start %s: %s\n", program.c_str(),
                     std::strerror(errno));
        ::_exit(127);
    }
    if (logFd >= 0)
        ::close(logFd);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        fail("could not start the updater");
}

} // namespace

int main(int argc, char** argv) {
    const std::string folder = ownFolder();
    noteStart(folder);
    if (argc < 2)
        return 0;
    if (std::string(argv[1]) != "--update")
        fail("unknown argument " + std::string(argv[1]));
    const UpdateRequest request = parseUpdateRequest(argc, argv);
    startUpdater(folder, request);
    std::this_thread::sleep_for(std::chrono::milliseconds(request.exitAfterMs));
    return 0;
}
