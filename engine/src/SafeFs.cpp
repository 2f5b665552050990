#include "SafeFs.h"

#include "EntryNames.h"

#include <cstdio>

namespace vbuzip {

namespace {
constexpr const char* TempSuffix = ".tmp";
} // namespace

TempNames::TempNames() {
    unsigned char random[6] = {};
    systemRandom(random, sizeof random);
    char hex[2 * sizeof random + 1];
    for (size_t i = 0; i < sizeof random; ++i)
        snprintf(hex + 2 * i, 3, "%02x", random[i]);
    m_prefix = std::string(ReservedPrefix) + hex + "-";
}

std::string TempNames::next() {
    return m_prefix + std::to_string(m_counter.fetch_add(1, std::memory_order_relaxed)) +
           TempSuffix;
}

} // namespace vbuzip
