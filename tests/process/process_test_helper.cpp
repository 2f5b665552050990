// Helper program for the process tests:
//   lock <folder>                 takes the update lock, prints "locked", then waits to be killed
//   start-client <folder> <name>  takes the update lock, starts the client, then terminates at once
//   terminate                     writes unflushed output, then terminates at once with code 3
#include "process/StartClient.h"
#include "process/TerminateNow.h"
#include "process/UpdateLock.h"

#include <cstdio>
#include <cstring>
#include <unistd.h>

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
            ::pause();
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
