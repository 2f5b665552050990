// Signature check of a 1 GiB package: the updater's check (UpdateVerifier: key file, signature,
// streaming BLAKE2b-512 hash, both Ed25519 signatures, file name and time) against
// `minisign -V -m` on the same file, same key and same signature, in the same run.
//
// The package (1 GiB of pseudo-random bytes), a key pair (minisign -G -W) and the package's
// signature (minisign -S) are made once into the data folder, laid out as a program folder:
// vorn-update.pub, updates/package.bin, updates/package.bin.minisig. Each check runs as a process
// of its own (this program with --check, and minisign), started by a small measuring program
// (measure.c), so that both are timed from process start to exit and their peak memory is their
// own maximum resident set size. The two take turns, after
// one untimed warm-up each (the package is then in the page cache for both); the median of the
// runs is reported.
//
// Usage: bench_verify [--table] [--runs N] [--data DIR]
//   --table  print only rows "ROW<TAB>case<TAB>variant<TAB>value<TAB>unit<TAB>note" for bench/run
//   bench_verify --check PROGRAM_FOLDER PACKAGE   (one check, as the runs above start it)
#include "MinisignRig.h"
#include "core/Paths.h"
#include "verify/UpdateVerifier.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <random>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <system_error>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;

const std::string Package = "package.bin";
constexpr std::int64_t PackageBytes = std::int64_t(1) << 30;

struct Measured {
    double seconds = 0;
    double peakMegabytes = 0; // MiB
    bool succeeded = false;
    double cpuSeconds = 0;
};

// Runs the helper with `arguments` to its end and returns its standard output; its standard error
// goes to ours. False when it cannot be started or does not exit with 0.
bool runHelper(const std::vector<std::string>& arguments, std::string& output) {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0)
        return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(VORN_MEASURE));
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int spawned = ::posix_spawn(&pid, VORN_MEASURE, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    if (spawned != 0) {
        ::close(pipeFds[0]);
        return false;
    }
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(pipeFds[0], buffer, sizeof buffer);
        if (got > 0)
            output.append(buffer, std::size_t(got));
        else if (got == 0 || errno != EINTR)
            break;
    }
    ::close(pipeFds[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return false;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Runs `arguments` to their end through the measuring helper (measure.c): the wall-clock time,
// the maximum resident set size and the processor time of that process alone.
Measured measure(const std::vector<std::string>& arguments) {
    std::string output;
    if (!runHelper(arguments, output))
        return {};
    std::istringstream fields(output);
    double seconds = 0, peakKilobytes = 0, cpuSeconds = 0;
    int status = -1;
    std::string rest;
    if (!(fields >> seconds >> peakKilobytes >> status >> cpuSeconds) || fields >> rest)
        return {};
    return {seconds, peakKilobytes / 1024.0, status == 0, cpuSeconds};
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double fastest(const std::vector<double>& values) {
    return *std::min_element(values.begin(), values.end());
}

// The package, the keys and the signature, made when missing.
bool prepare(const std::string& data) {
    const std::string program = data + "/program";
    const std::string package = program + "/updates/" + Package;
    const std::string signature = package + UpdateVerifier::SignatureSuffix;
    std::error_code error;
    if (fs::exists(FsPath(signature), error) &&
        fs::file_size(FsPath(package), error) == std::uintmax_t(PackageBytes))
        return true;
    std::fprintf(stderr, "making the 1 GiB package, a key pair and its signature in %s ...\n",
                 data.c_str());
    fs::create_directories(FsPath(program + "/updates"), error);
    if (error)
        return false;
    fs::create_directories(FsPath(data + "/keys"), error);
    if (error)
        return false;
    // Written beside the package and renamed over it once complete.
    const std::string part = package + ".part";
    {
        std::ofstream out(FsPath(part), std::ios::binary | std::ios::trunc);
        if (!out)
            return false;
        std::mt19937_64 random(42);
        std::vector<std::uint64_t> piece((1 << 20) / sizeof(std::uint64_t));
        for (std::int64_t written = 0; written < PackageBytes; written += 1 << 20) {
            std::generate(piece.begin(), piece.end(), random);
            out.write(reinterpret_cast<const char*>(piece.data()), 1 << 20);
        }
        out.close();
        if (!out) {
            fs::remove(FsPath(part), error);
            return false;
        }
    }
    fs::rename(FsPath(part), FsPath(package), error);
    if (error)
        return false;
    const fixtures::MinisignKey key = fixtures::generateKey(data + "/keys", "publisher");
    fs::copy_file(FsPath(key.publicKeyFile), FsPath(program + "/" + UpdateVerifier::KeyFileName),
                  fs::copy_options::overwrite_existing, error);
    if (error)
        return false;
    fixtures::sign(key, package);
    return true;
}

// The text of `value` with `decimals` digits after the point.
std::string fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

// The updater's check of one package, as the update run makes it.
int check(const std::string& program, const std::string& package) {
    UpdateVerifier verifier(program);
    std::string line;
    if (!verifier.load(&line)) {
        std::fprintf(stderr, "%s\n", line.c_str());
        return 1;
    }
    if (const auto refusal = verifier.verify({package})) {
        std::fprintf(stderr, "%s\n", refusal->statusLine.c_str());
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::string(argv[1]) == "--check")
        return check(argv[2], argv[3]);
    bool table = false;
    int runs = 7;
    std::string data = VORN_BENCH_DATA_DIR;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--table")
            table = true;
        else if (arg == "--runs" && i + 1 < argc)
            runs = std::max(1, std::atoi(argv[++i]));
        else if (arg == "--data" && i + 1 < argc)
            data = argv[++i];
        else {
            std::fprintf(stderr, "usage: bench_verify [--table] [--runs N] [--data DIR]\n");
            return 2;
        }
    }
    try {
        if (!prepare(data)) {
            std::fprintf(stderr, "cannot make the test data in %s\n", data.c_str());
            return 1;
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }

    const std::string program = data + "/program";
    std::error_code error;
    const std::string self = Utf8Path(fs::read_symlink("/proc/self/exe", error));
    if (error) {
        std::fprintf(stderr, "cannot find this program's own file: %s\n", error.message().c_str());
        return 1;
    }
    const std::vector<std::string> ours = {self, "--check", program, Package};
    const std::vector<std::string> reference = {fixtures::minisignProgram(),
                                                "-V",
                                                "-q",
                                                "-p",
                                                program + "/" + UpdateVerifier::KeyFileName,
                                                "-m",
                                                program + "/updates/" + Package};
    double loadBefore = 0, loadAfter = 0;
    getloadavg(&loadBefore, 1);

    // One series per program: [0] the updater's check, [1] minisign.
    std::vector<double> times[2], cpu[2], memory[2];
    for (int run = -1; run < runs; ++run) { // run -1: the warm-up
        const Measured results[2] = {measure(ours), measure(reference)};
        if (!results[0].succeeded || !results[1].succeeded) {
            std::fprintf(stderr, "a check failed (updater: %s, minisign: %s)\n",
                         results[0].succeeded ? "ok" : "FAILED",
                         results[1].succeeded ? "ok" : "FAILED");
            return 1;
        }
        if (run < 0)
            continue;
        for (int p = 0; p < 2; ++p) {
            times[p].push_back(results[p].seconds);
            cpu[p].push_back(results[p].cpuSeconds);
            memory[p].push_back(results[p].peakMegabytes);
        }
        if (!table)
            std::printf("run %d: updater %.3f s (cpu %.3f s) %.1f MB, minisign %.3f s (cpu %.3f s) "
                        "%.1f MB\n",
                        run + 1, results[0].seconds, results[0].cpuSeconds,
                        results[0].peakMegabytes, results[1].seconds, results[1].cpuSeconds,
                        results[1].peakMegabytes);
    }
    getloadavg(&loadAfter, 1);

    const double ratio = median(times[0]) / median(times[1]);
    const double cpuRatio = median(cpu[0]) / median(cpu[1]);
    const double peak = *std::max_element(memory[0].begin(), memory[0].end());
    const double referencePeak = *std::max_element(memory[1].begin(), memory[1].end());
    const long cpus = sysconf(_SC_NPROCESSORS_ONLN);
    const bool busy = loadBefore > double(cpus) || loadAfter > double(cpus);
    const std::string rows[] = {
        "1 GiB package\tvorn_verify (UpdateVerifier)\t" + fixed(median(times[0]), 3) +
            "\ts\tfastest " + fixed(fastest(times[0]), 3) + " s",
        "1 GiB package\tminisign -V -m\t" + fixed(median(times[1]), 3) + "\ts\tfastest " +
            fixed(fastest(times[1]), 3) + " s",
        "1 GiB package\tratio vorn_core / minisign\t" + fixed(ratio, 3) +
            "\t\tgoal <= 1.0: " + (ratio <= 1.0 ? "met" : "NOT MET"),
        "1 GiB package\tratio of cpu time (user + system)\t" + fixed(cpuRatio, 3) +
            "\t\tvorn_verify " + fixed(median(cpu[0]), 3) + " s, minisign " +
            fixed(median(cpu[1]), 3) + " s",
        "1 GiB package\tpeak memory, vorn_core\t" + fixed(peak, 1) +
            "\tMB\tgoal < 64 MB: " + (peak < 64 ? "met" : "NOT MET"),
        "1 GiB package\tpeak memory, minisign\t" + fixed(referencePeak, 1) + "\tMB\t",
        "machine\tload average (1 min), before / after\t" + fixed(loadBefore, 1) + "\t\tafter " +
            fixed(loadAfter, 1) + (busy ? "; BUSY: times unreliable" : ""),
    };
    for (const std::string& row : rows)
        std::printf(table ? "ROW\t%s\n" : "%s\n", row.c_str());
    return 0;
}
