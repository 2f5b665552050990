// When a failed transfer is tried again, and after how long.
#pragma once

#include <chrono>
#include <optional>
#include <string>

struct RetryPolicy {
    int retries = 3;                                    // tries after the first
    std::chrono::milliseconds firstWait{1000};          // doubled before every further try
    std::chrono::milliseconds longestServerWait{30000}; // a server's Retry-After is cut to this

    // Never tries again.
    static RetryPolicy none() { return {0, {}, {}}; }

    // The wait before retry number `retry` (1 for the first): the server's wait when it asked for
    // one (at most longestServerWait), else firstWait doubled retry - 1 times.
    std::chrono::milliseconds waitBefore(int retry,
                                         std::optional<std::chrono::milliseconds> serverWait) const;
};

// A Retry-After value (seconds, or an HTTP date) as a wait from `now`; nullopt when it is neither.
// A date in the past is no wait.
std::optional<std::chrono::milliseconds> parseRetryAfter(const std::string& value,
                                                         std::chrono::system_clock::time_point now);

// Whether an HTTP status tells of a passing trouble of the server or of a gateway before it
// (502, 503, 504), so that the same request may succeed later.
bool isPassingStatus(int status);
