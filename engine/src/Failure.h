// The one error type inside the engine: a result code of the engine interface and a message.
// It never leaves the library; the entry points turn it into their result.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace vbuzip {

class Failure : public std::runtime_error {
public:
    Failure(int32_t code, const std::string& message) : std::runtime_error(message), m_code(code) {}
    int32_t code() const noexcept { return m_code; }

private:
    int32_t m_code;
};

} // namespace vbuzip
