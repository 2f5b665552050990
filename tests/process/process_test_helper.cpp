// Helper program for the process tests:
//   lock <folder>                 takes the update lock, prints "locked", then waits to be killed
//   start-client <folder> <name>  starts the client, then terminates at once
//   terminate                     writes unflushed output, then terminates at once with code 3
#include "process/StartClient.h"
#include "process/TerminateNow.h"
#include "process/UpdateLock.h"

#include <QCoreApplication>

#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {
struct LoudOnExit {
    ~LoudOnExit() { std::printf("cleanup ran\n"); }
} loudOnExit;
} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc == 3 && !std::strcmp(argv[1], "lock")) {
        QString error;
        auto lock = UpdateLock::acquire(QString::fromLocal8Bit(argv[2]), &error);
        std::printf(lock ? "locked\n" : "failed\n");
        std::fflush(stdout);
        for (;;)
            ::pause();
    }
    if (argc == 4 && !std::strcmp(argv[1], "start-client")) {
        StartClient(QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[3]));
        TerminateNow();
    }
    if (argc == 2 && !std::strcmp(argv[1], "terminate")) {
        std::printf("unflushed");
        std::fprintf(stderr, "to stderr");
        TerminateNow(3);
    }
    return 2;
}
