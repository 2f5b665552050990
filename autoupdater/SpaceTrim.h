// Trimming as the program does it everywhere: space characters (U+0020) only; tabs and other white
// space stay.
#pragma once

#include <string>
#include <string_view>

inline std::string TrimSpaces(std::string_view text) {
    const std::size_t first = text.find_first_not_of(' ');
    if (first == std::string_view::npos)
        return {};
    return std::string(text.substr(first, text.find_last_not_of(' ') - first + 1));
}
