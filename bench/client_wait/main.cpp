// Measures the update run's wait for the client:
//
//     ProcessExitWatch watch(loop, pid);
//     while (Process_Running("Vorn.exe", pid))
//         loop.waitForNext();
//
// on the portable test loop (TestLoop), which sleeps until posted work or a timer is due, as the
// run's loop does. A stand-in client (a copy of sleep named Vorn.exe, started detached so that it
// is not the waiting process's child; on Windows a copy of this program, run with --sleep) runs
// for a while and is then killed from another thread.
// Reported: the CPU time the waiting process used while the client ran (goal: under 1% of one
// core) and the delay between the client's end and the loop noticing it (goal: under 100 ms), for
// the system's exit notification and for the polling fallback.
//
// The Windows build runs under wine (bench/run --windows): its CPU time is then the one wine
// reports for the process, without the work of wine's server on its behalf.
//
// Usage: bench_client_wait [--table] [seconds the client runs, default 3] [rounds, default 5]
//        bench_client_wait --sleep SECONDS
//   --table  print only rows "ROW<TAB>case<TAB>variant<TAB>value<TAB>unit<TAB>note" for bench/run
//   --sleep  the stand-in client on Windows: prints "pid <its process id>" and sleeps (the
//            benchmarks run under wine use it as the client of the Windows updater too)
#include "process/ProcessExitWatch.h"
#include "process/modProcesses.h"

#include "Client.h"
#include "TestFiles.h"
#include "TestLoop.h"

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// The readable report, left out when only the rows are printed.
bool quiet = false;

[[gnu::format(printf, 1, 2)]] void report(const char* format, ...) {
    if (quiet)
        return;
    std::va_list values;
    va_start(values, format);
    std::vprintf(format, values);
    va_end(values);
}

double msBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

struct Round {
    double cpuPercent = 0;
    double noticeMs = 0;
    long checks = 0;
};

bool startClient(const std::string& program, std::int64_t& pid) {
    if (!bench::StartClient(program, pid))
        return false;
    // The program may still be loading when the start returns.
    for (int i = 0; i < 5000 && !Process_Running("Vorn.exe", std::int32_t(pid)); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return Process_Running("Vorn.exe", std::int32_t(pid));
}

bool runRound(const std::string& program, ProcessExitWatch::Method method, double seconds,
              Round& out) {
    std::int64_t pid = 0;
    if (!startClient(program, pid))
        return false;
    Clock::time_point killedAt;
    TestLoop loop;
    ProcessExitWatch watch(loop, pid, method);
    const double cpuStart = bench::ProcessCpuSeconds();
    const Clock::time_point start = Clock::now();
    std::thread killer([&] {
        std::this_thread::sleep_until(start + std::chrono::duration<double>(seconds));
        killedAt = Clock::now();
        bench::KillClient(pid);
    });
    long checks = 0;
    while (++checks, Process_Running("Vorn.exe", std::int32_t(pid)))
        loop.waitForNext();
    const Clock::time_point noticed = Clock::now();
    const double cpuUsed = bench::ProcessCpuSeconds() - cpuStart;
    killer.join();
    out.cpuPercent = 100.0 * cpuUsed / (msBetween(start, noticed) / 1000.0);
    out.noticeMs = msBetween(killedAt, noticed);
    out.checks = checks;
    return true;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--sleep") {
        std::printf("pid %d\n", int(bench::OwnProcessId()));
        std::fflush(stdout);
        std::this_thread::sleep_for(std::chrono::duration<double>(std::atof(argv[2])));
        return 0;
    }
    bool table = false;
    std::vector<const char*> numbers;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--table")
            table = true;
        else
            numbers.push_back(argv[i]);
    }
    const double seconds = numbers.size() > 0 ? std::max(0.5, std::atof(numbers[0])) : 3.0;
    const int rounds = numbers.size() > 1 ? std::max(1, std::atoi(numbers[1])) : 5;
    // With --table, only the rows are printed; their notes carry the verdicts.
    quiet = table;

    std::unique_ptr<fixtures::TempDir> dir;
    std::string program;
    try {
        dir = std::make_unique<fixtures::TempDir>("bench_client_wait");
        program = *dir / "Vorn.exe";
    } catch (const std::exception&) {
    }
    if (program.empty() || !bench::InstallClient(program)) {
        std::fprintf(stderr, "cannot prepare the stand-in client\n");
        return 2;
    }

    // The cost of one check, for reference.
    {
        const std::int32_t self = bench::OwnProcessId();
        const int calls = 2000;
        const Clock::time_point start = Clock::now();
        for (int i = 0; i < calls; ++i)
            Process_Running("Vorn.exe", self);
        const double us = msBetween(start, Clock::now()) * 1000.0 / calls;
        report("one Process_Running call: %.1f us\n", us);
        if (table)
            std::printf("ROW\tProcess_Running\tone call\t%.1f\tus\t\n", us);
    }

    bool goalsMet = true;
    for (auto method : {ProcessExitWatch::Method::Best, ProcessExitWatch::Method::Polling}) {
        const bool best = method == ProcessExitWatch::Method::Best;
        {
            TestLoop loop;
            ProcessExitWatch probe(loop, bench::OwnProcessId(), method);
            const std::string how =
                probe.isPolling()
                    ? "polling every " + std::to_string(ProcessExitWatch::PollIntervalMs) + " ms"
                    : "pidfd or process handle, + 1 s safety tick";
            report("\n%s (%s), client runs %.1f s, %d rounds\n",
                   best ? "system notification" : "polling fallback", how.c_str(), seconds, rounds);
        }
        std::vector<double> cpu, notice;
        for (int r = 0; r < rounds; ++r) {
            Round round;
            if (!runRound(program, method, seconds, round)) {
                std::fprintf(stderr, "cannot start the stand-in client\n");
                return 2;
            }
            report("  round %d: cpu %.3f%% of one core, exit noticed after %.2f ms, %ld "
                   "checks\n",
                   r + 1, round.cpuPercent, round.noticeMs, round.checks);
            cpu.push_back(round.cpuPercent);
            notice.push_back(round.noticeMs);
        }
        const double worstCpu = *std::max_element(cpu.begin(), cpu.end());
        const double worstNotice = *std::max_element(notice.begin(), notice.end());
        report("  median: cpu %.3f%%, notice %.2f ms; worst: cpu %.3f%%, notice %.2f ms\n",
               median(cpu), median(notice), worstCpu, worstNotice);
        const bool met = worstCpu < 1.0 && worstNotice < 100.0;
        report("  goals (cpu < 1%%, notice < 100 ms): %s\n", met ? "met" : "MISSED");
        if (table) {
            const char* caseName = best ? "wait for the client" : "wait, polling fallback";
            std::printf("ROW\t%s\tcpu while waiting, worst\t%.3f\t%%\tmedian %.3f; goal < 1: %s\n",
                        caseName, worstCpu, median(cpu), worstCpu < 1.0 ? "met" : "MISSED");
            std::printf("ROW\t%s\tdelay to notice the exit, worst\t%.2f\tms\tmedian %.2f; goal "
                        "< 100: %s\n",
                        caseName, worstNotice, median(notice),
                        worstNotice < 100.0 ? "met" : "MISSED");
        }
        if (best)
            goalsMet = met;
    }
    return table || goalsMet ? 0 : 1;
}
