// Paths as the core holds them: UTF-8 text with "/" between the parts, on every platform. They
// become the system's own form only where a file is touched, through these two conversions.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

// The filesystem path of a UTF-8 path (on Windows the wide form, so that every name round-trips).
inline std::filesystem::path FsPath(std::string_view utf8) {
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

// The UTF-8 path, with "/" between the parts, of a filesystem path.
inline std::string Utf8Path(const std::filesystem::path& path) {
    const std::u8string text = path.generic_u8string();
    return std::string(text.begin(), text.end());
}
