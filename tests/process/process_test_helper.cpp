// Helper program for the process tests:
//   lock <folder>                 takes the update lock, prints "locked", then waits to be killed
//   start-client <folder> <name>  takes the update lock, starts the client, then terminates at once
//   terminate                     writes unflushed output, then terminates at once with code 3
//   sleep <seconds>               sleeps, then ends (Windows has no sleep(1))
//   (nothing)                     the client that StartClient starts: writes its working folder to
//                                 started.txt, waits for a file named release, then writes
//                                 ended.txt (on Windows, where the client must be a program)
#include "core/Paths.h"
#include "process/StartClient.h"
#include "process/TerminateNow.h"
#include "process/UpdateLock.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

namespace {
struct LoudOnExit {
    ~LoudOnExit() { std::printf("cleanup ran\n"); }
} loudOnExit;
} // namespace

int main(int argc, char** argv) {
    if (argc == 3 && !std::strcmp(argv[1], "lock")) {
        std::string error;
        auto lock = UpdateLock::acquire(argv[2], &error);
        std::printf(lock ? "locked\n" : "failed\n");
        std::fflush(stdout);
        for (;;)
            std::this_thread::sleep_for(std::chrono::hours(1));
    }
    if (argc == 3 && !std::strcmp(argv[1], "sleep")) {
        std::this_thread::sleep_for(std::chrono::duration<double>(std::atof(argv[2])));
        return 0;
    }
    if (argc == 1) {
        namespace fs = std::filesystem;
        std::ofstream("started.tmp", std::ios::binary) << Utf8Path(fs::current_path()) << '\n';
        fs::rename("started.tmp", "started.txt");
        while (!fs::exists("release"))
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        std::ofstream("ended.tmp", std::ios::binary) << '\n';
        fs::rename("ended.tmp", "ended.txt");
        return 0;
    }
    if (argc == 4 && !std::strcmp(argv[1], "start-client")) {
        std::string error;
        auto lock = UpdateLock::acquire(argv[2], &error);
        if (!lock)
            return 4;
        StartClient(argv[2], argv[3]);
        TerminateNow();
    }
    if (argc == 2 && !std::strcmp(argv[1], "terminate")) {
        std::printf("unflushed");
        std::fprintf(stderr, "to stderr");
        TerminateNow(3);
    }
    return 2;
}
