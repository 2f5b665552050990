/* Runs a program to its end and prints "<seconds> <peak resident kB> <exit status> <cpu seconds>"
 * on standard output: its wall-clock time, its maximum resident set size and the processor time it
 * used (user + system).
 *
 * A small C program of its own because a process's peak resident size starts from that of the
 * process that started it (Linux carries it over the fork and the exec): started directly by the
 * benchmark, every program measured would seem to need at least as much memory as the benchmark
 * itself. Started from here, the floor is this program's own, about 1 MB.
 *
 * Usage: bench_verify_measure PROGRAM [ARGUMENT ...] */
#include <spawn.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>

extern char** environ;

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: bench_verify_measure PROGRAM [ARGUMENT ...]\n");
        return 2;
    }
    struct timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    pid_t pid;
    if (posix_spawn(&pid, argv[1], NULL, NULL, argv + 1, environ) != 0) {
        perror(argv[1]);
        return 2;
    }
    int status = 0;
    struct rusage usage;
    if (wait4(pid, &status, 0, &usage) != pid) {
        perror("wait4");
        return 2;
    }
    clock_gettime(CLOCK_MONOTONIC, &end);
    const double seconds =
        (double)(end.tv_sec - start.tv_sec) + (double)(end.tv_nsec - start.tv_nsec) / 1e9;
    const double cpu = (double)(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                       (double)(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    printf("%.6f %ld %d %.6f\n", seconds, usage.ru_maxrss,
           WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), cpu);
    return 0;
}
