// What the wait benchmark needs of the system: its stand-in client (a program named Vorn.exe
// that sleeps until it is killed), the process's own id and the CPU time it has used.
#pragma once

#include <cstdint>
#include <string>

namespace bench {

// Puts a program that sleeps at path: a copy of sleep on Linux; on Windows, which has none, a
// copy of this program, which sleeps when given --sleep SECONDS.
bool InstallClient(const std::string& path);

// Starts the program at path to sleep for 600 s as a process of its own (on Linux not this
// process's child, as the update run's client is not the updater's). Called while this process
// has no other thread.
bool StartClient(const std::string& path, std::int64_t& pid);

// Ends the client at once.
void KillClient(std::int64_t pid);

std::int32_t OwnProcessId();

// User + system CPU time this process has used so far, in seconds.
double ProcessCpuSeconds();

} // namespace bench
