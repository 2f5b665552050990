// The text of a system error number (errno), safe to call from several threads.
#pragma once

#include <cstring>
#include <string>

namespace vorn {

namespace detail {
// strerror_r comes in two forms: the GNU one returns the text, the POSIX one fills the buffer.
inline std::string errorText(const char* text, const char*) {
    return text;
}
inline std::string errorText(int result, const char* buffer) {
    return result == 0 ? buffer : "unknown error";
}
} // namespace detail

inline std::string systemErrorText(int error) {
    char buffer[256] = {};
    return detail::errorText(strerror_r(error, buffer, sizeof buffer), buffer);
}

} // namespace vorn
