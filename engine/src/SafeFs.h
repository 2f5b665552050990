// The names of the engine's temporary files (staged files and backups), in the engine's reserved
// namespace. File system access confined to the extraction folder is the system's part:
// SafeFs_<platform>.h.
#pragma once

#include <atomic>
#include <cstddef>
#include <string>

namespace vbuzip {

// Names of temporary files (staged files and backups): ".vbuzip-<random>-<n>.tmp", in the
// engine's reserved namespace. Safe to use from several threads.
class TempNames {
public:
    TempNames();
    std::string next();

private:
    std::string m_prefix;
    std::atomic<unsigned long> m_counter{0};
};

// Fills out with random bytes from the system's source (or, should it fail, with bytes of the
// time and the process id).
void systemRandom(unsigned char* out, size_t size);

} // namespace vbuzip
