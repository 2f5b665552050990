// Text as the core holds it: UTF-8 in std::string (bytes in std::string as well).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The text with the ASCII letters A-Z lowered; every other byte as it is. The program's names
// (package names, the client's executable, download ids) are compared without case this way.
std::string AsciiLower(std::string_view text);
// Whether the two texts are equal when ASCII letters are compared without case.
bool EqualsNoCase(std::string_view a, std::string_view b);

// The parts of `text` between each `separator` (an empty text gives one empty part).
std::vector<std::string> Split(std::string_view text, char separator);
// The parts joined with `separator` between them.
std::string Join(const std::vector<std::string>& parts, std::string_view separator);

// Replaces "%1", "%2", ... (up to %9) by the arguments, in one pass (an argument's own "%n" stays).
std::string Format(std::string_view pattern, const std::vector<std::string>& arguments);

// The code point of the UTF-8 sequence at text[pos], advancing pos past it; an invalid or cut
// sequence gives nothing and advances pos by one byte.
std::optional<char32_t> NextCodePoint(std::string_view text, std::size_t& pos);
// The text with every invalid UTF-8 sequence replaced by U+FFFD, as a UTF-8 decoder shows it.
std::string ValidUtf8(std::string_view text);
