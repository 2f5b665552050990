// The text of HTTP header values, read as the downloader reads them: bytes in std::string.
#pragma once

#include <charconv>
#include <cstdint>
#include <optional>
#include <string_view>

// The value without the white space (space, tab, line ends, vertical tab, form feed) at its ends.
inline std::string_view TrimHeaderSpace(std::string_view text) {
    constexpr std::string_view kSpace = " \t\n\v\f\r";
    const std::size_t first = text.find_first_not_of(kSpace);
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(kSpace) - first + 1);
}

// A decimal integer, with an optional sign and white space around it; nullopt when the text is no
// such number or the number does not fit.
inline std::optional<std::int64_t> ParseDecimal(std::string_view text) {
    text = TrimHeaderSpace(text);
    const bool plus = text.starts_with('+');
    if (plus)
        text.remove_prefix(1);
    if (plus && text.starts_with('-'))
        return std::nullopt;
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}
