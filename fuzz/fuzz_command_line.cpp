// Fuzzes the command-line parser: the input is the argument text, UTF-8 or not (the parser takes
// the bytes as they come); NUL bytes split it into separate arguments for a second pass through
// the join of the program's arguments.
//
// Checked on every input: trimming removes exactly the outer spaces, the tokens rebuild the trimmed
// text, the package names are the files but the last, and the process id agrees with a reading
// made here independently (for tokens short enough to read quickly). Each token is also checked as
// a package name: a plain file name is well-formed UTF-8 without a control character, a separator
// or more than 255 bytes, and the status log shows it unchanged; any token shows as well-formed
// UTF-8 without a control character.
#include "driver/CommandLine.h"

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <regex>
#include <string>
#include <string_view>
#include <vector>

namespace {

void fail(const char* what, const std::string& input) {
    std::string hex;
    for (const char c : input) {
        char digits[4];
        std::snprintf(digits, sizeof digits, "%02x", static_cast<unsigned char>(c));
        hex += digits;
    }
    std::fprintf(stderr, "invariant broken: %s\ninput (hex): %s\n", what, hex.c_str());
    std::abort();
}

#define CHECK(condition, input)                                                                    \
    do {                                                                                           \
        if (!(condition))                                                                          \
            fail(#condition, input);                                                               \
    } while (0)

// Longest process-id token read independently; longer ones are only checked for stability.
constexpr std::size_t ShortToken = 64;

// The process id of a token, read by a regular expression and the C library's strtod.
std::int32_t referenceProcessId(const std::string& token) {
    static const std::regex number("^[+-]?(?:[0-9]+(?:\\.[0-9]*)?|\\.[0-9]+)(?:[eE][+-]?[0-9]+)?");
    std::smatch match;
    if (!std::regex_search(token, match, number))
        return 0;
    const std::string text = match.str(0);
    errno = 0;
    const double value = std::strtod(text.c_str(), nullptr);
    if (!std::isfinite(value))
        return 0;
    const double rounded = std::nearbyint(value);
    if (rounded < std::numeric_limits<std::int32_t>::min() ||
        rounded > std::numeric_limits<std::int32_t>::max())
        return 0;
    return static_cast<std::int32_t>(rounded);
}

// Well-formed UTF-8 by the table of byte ranges of the Unicode standard (Table 3-7): the byte
// ranges allowed after each lead byte.
bool wellFormedUtf8(std::string_view text) {
    const auto byte = [&text](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    std::size_t i = 0;
    while (i < text.size()) {
        const unsigned char lead = byte(i);
        if (lead <= 0x7F) {
            ++i;
            continue;
        }
        std::size_t length;
        unsigned char low = 0x80, high = 0xBF; // the range of the second byte
        if (lead >= 0xC2 && lead <= 0xDF)
            length = 2;
        else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            low = lead == 0xE0 ? 0xA0 : 0x80;
            high = lead == 0xED ? 0x9F : 0xBF;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            low = lead == 0xF0 ? 0x90 : 0x80;
            high = lead == 0xF4 ? 0x8F : 0xBF;
        } else
            return false;
        if (text.size() - i < length || byte(i + 1) < low || byte(i + 1) > high)
            return false;
        for (std::size_t k = 2; k < length; ++k) {
            if (byte(i + k) < 0x80 || byte(i + k) > 0xBF)
                return false;
        }
        i += length;
    }
    return true;
}

// Whether well-formed UTF-8 holds a C0 or C1 control character or DEL.
bool holdsControl(std::string_view utf8) {
    for (std::size_t i = 0; i < utf8.size(); ++i) {
        const auto c = static_cast<unsigned char>(utf8[i]);
        if (c < 0x20 || c == 0x7F)
            return true;
        // U+0080..U+009F are C2 80..C2 9F.
        if (c == 0xC2 && i + 1 < utf8.size() && static_cast<unsigned char>(utf8[i + 1]) <= 0x9F)
            return true;
    }
    return false;
}

void checkName(const std::string& name, const std::string& line) {
    const std::string shown = ShownName(name);
    CHECK(wellFormedUtf8(shown), line);
    CHECK(!holdsControl(shown), line);
    if (IsPlainFileName(name)) {
        CHECK(wellFormedUtf8(name), line);
        CHECK(!holdsControl(name), line);
        CHECK(name.find_first_of("/\\") == std::string::npos, line);
        CHECK(!name.empty() && name.size() <= 255 && name != "." && name != "..", line);
        CHECK(shown == name, line);
    }
}

void checkParse(const std::string& line) {
    // Trimming: only U+0020, only at the ends.
    std::size_t first = 0, last = line.size();
    while (first < last && line[first] == ' ')
        ++first;
    while (last > first && line[last - 1] == ' ')
        --last;
    const std::string trimmed = line.substr(first, last - first);
    CHECK(TrimSpaces(line) == trimmed, line);
    CHECK(TrimSpaces(trimmed) == trimmed, line);

    const CommandLine parsed = ParseCommandLine(line);
    if (trimmed.empty()) {
        CHECK(parsed.baseURL.empty(), line);
        CHECK(parsed.files.empty(), line);
        CHECK(parsed.packages().empty(), line);
        CHECK(parsed.clientPID == 0, line);
        return;
    }

    // Tokens: one more than the spaces left inside; none holds a space; together they rebuild
    // the trimmed text.
    std::size_t spaces = 0;
    for (const char c : trimmed)
        spaces += c == ' ' ? 1 : 0;
    CHECK(parsed.files.size() == spaces, line);
    CHECK(parsed.baseURL.find(' ') == std::string::npos, line);
    std::string rebuilt = parsed.baseURL;
    for (const std::string& file : parsed.files) {
        CHECK(file.find(' ') == std::string::npos, line);
        rebuilt += ' ';
        rebuilt += file;
        checkName(file, line);
    }
    CHECK(rebuilt == trimmed, line);
    CHECK(!parsed.baseURL.empty(), line); // the trimmed text starts with something else

    // Packages: every file but the last (the process-id token), in order.
    const std::vector<std::string> packages = parsed.packages();
    if (parsed.files.empty()) {
        CHECK(packages.empty(), line);
        CHECK(parsed.clientPID == 0, line);
        return;
    }
    CHECK(packages.size() == parsed.files.size() - 1, line);
    for (std::size_t i = 0; i < packages.size(); ++i)
        CHECK(packages[i] == parsed.files[i], line);

    // Process id: from the last token only.
    const std::string& pidToken = parsed.files.back();
    CHECK(parsed.clientPID == LeadingNumberAsProcessId(pidToken), line);
    if (pidToken.size() <= ShortToken)
        CHECK(parsed.clientPID == referenceProcessId(pidToken), line);
    if (pidToken.find_first_of("0123456789") == std::string::npos)
        CHECK(parsed.clientPID == 0, line);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    checkParse(bytes);

    // The same text as separate program arguments, joined as the program joins them.
    std::vector<std::string> pieces;
    std::size_t start = 0;
    for (std::size_t end; (end = bytes.find('\0', start)) != std::string::npos; start = end + 1)
        pieces.push_back(bytes.substr(start, end - start));
    pieces.push_back(bytes.substr(start));
    std::vector<const char*> argv{"vorn-updater"};
    std::string expected;
    for (const std::string& piece : pieces) {
        argv.push_back(piece.c_str()); // each piece has no NUL inside
        expected += (argv.size() > 2 ? " " : "") + piece;
    }
    const std::string joined = JoinArguments(static_cast<int>(argv.size()), argv.data());
    CHECK(joined == expected, bytes);
    checkParse(joined);
    return 0;
}
