// Starts a benchmark's Python script (VORN_BENCH_SCRIPT, in the source tree) with the programs of
// this build:
//
//     <benchmark> [--table] [--runs N] [--verbose] ...
//
// Every argument is passed on; the script's own comment says what it measures. The scripts import
// their shared pieces (bench_report.py) from VORN_BENCH_PYTHONPATH.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

int main(int argc, char** argv) {
    std::vector<std::string> args = {"python3",  VORN_BENCH_SCRIPT,  "--updater", VORN_UPDATER,
                                     "--engine", VORN_ENGINE,        "--client",  VORN_CLIENT,
                                     "--data",   VORN_BENCH_DATA_DIR};
    for (int i = 1; i < argc; ++i)
        args.emplace_back(argv[i]);
    ::setenv("PYTHONPATH", VORN_BENCH_PYTHONPATH, 1);
    std::vector<char*> argvOut;
    for (std::string& arg : args)
        argvOut.push_back(arg.data());
    argvOut.push_back(nullptr);
    ::execvp(argvOut[0], argvOut.data());
    std::fprintf(stderr, "%s: cannot start python3: %s\n", argv[0], std::strerror(errno));
    return 2;
}
