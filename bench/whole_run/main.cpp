// Starts whole_run.py (next to this file in the source tree) with the programs of this build:
//
//     bench_whole_run [--table] [--runs N] [--verbose]
//
// Every argument is passed on; see whole_run.py for what is measured.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

int main(int argc, char** argv) {
    std::vector<std::string> args = {"python3",  VORN_WHOLE_RUN_SCRIPT, "--updater", VORN_UPDATER,
                                     "--engine", VORN_ENGINE,           "--client",  VORN_CLIENT,
                                     "--data",   VORN_BENCH_DATA_DIR};
    for (int i = 1; i < argc; ++i)
        args.emplace_back(argv[i]);
    std::vector<char*> argvOut;
    for (std::string& arg : args)
        argvOut.push_back(arg.data());
    argvOut.push_back(nullptr);
    ::execvp(argvOut[0], argvOut.data());
    std::fprintf(stderr, "bench_whole_run: cannot start python3: %s\n", std::strerror(errno));
    return 2;
}
