#include "driver/CommandLine.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>

#include "core/Text.h"

std::int32_t LeadingNumberAsProcessId(const std::string& token) {
    const char* first = token.data();
    const char* const last = first + token.size();
    // from_chars takes no '+' and reads words ("inf", "nan") that the grammar does not: the sign is
    // taken here, and a digit or a point must follow it.
    const bool negative = first != last && *first == '-';
    if (first != last && (*first == '+' || *first == '-'))
        ++first;
    if (first == last || !(*first == '.' || (*first >= '0' && *first <= '9')))
        return 0;
    double value = 0.0;
    if (std::from_chars(first, last, value).ec != std::errc())
        return 0; // no digits, or far outside any process id (or too small to matter: 0)
    const double rounded = std::nearbyint(negative ? -value : value); // halves to even
    if (!(rounded >= std::numeric_limits<std::int32_t>::min() &&
          rounded <= std::numeric_limits<std::int32_t>::max()))
        return 0;
    return static_cast<std::int32_t>(rounded);
}

CommandLine ParseCommandLine(const std::string& commandLine) {
    CommandLine parsed;
    const std::vector<std::string> tokens = Split(TrimSpaces(commandLine), ' ');
    parsed.baseURL = tokens.front();
    parsed.files.assign(tokens.begin() + 1, tokens.end());
    if (!parsed.files.empty())
        parsed.clientPID = LeadingNumberAsProcessId(parsed.files.back());
    return parsed;
}

namespace {
// The longest file name the file systems of the program folder take, in bytes.
constexpr std::size_t kMaxFileNameBytes = 255;

// The C0 and C1 control characters and DEL.
bool IsControl(char32_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F);
}
} // namespace

bool IsPlainFileName(const std::string& name) {
    if (name.empty() || name == "." || name == ".." || name.size() > kMaxFileNameBytes)
        return false;
    std::size_t pos = 0;
    while (pos < name.size()) {
        const std::optional<char32_t> c = NextCodePoint(name, pos);
        if (!c || *c == '/' || *c == '\\' || IsControl(*c))
            return false;
    }
    return true;
}

std::string ShownName(const std::string& name) {
    std::string shown;
    const auto hex = [&shown](unsigned value) {
        char text[8];
        std::snprintf(text, sizeof text, "\\x%02x", value);
        shown += text;
    };
    std::size_t pos = 0;
    while (pos < name.size()) {
        const std::size_t start = pos;
        const std::optional<char32_t> c = NextCodePoint(name, pos);
        if (!c)
            hex(static_cast<unsigned char>(name[start]));
        else if (!IsControl(*c))
            shown.append(name, start, pos - start);
        else if (*c == '\t')
            shown += "\\t";
        else if (*c == '\n')
            shown += "\\n";
        else if (*c == '\r')
            shown += "\\r";
        else
            hex(static_cast<unsigned>(*c));
    }
    return shown;
}

std::string JoinArguments(int argc, const char* const* argv) {
    std::vector<std::string> arguments;
    for (int i = 1; i < argc; ++i)
        arguments.emplace_back(argv[i]);
    return Join(arguments, " ");
}
