#include "verify/InstalledRecord.h"

#include "core/Paths.h"
#include "core/Text.h"
#include "verify/SmallFiles.h"

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <vector>

namespace {

constexpr std::int64_t MaxRecordBytes = 1 << 20;
constexpr char Heading[] =
    "# vorn-updater: the signing time of each package at its last installation; do not edit\n";

bool fail(std::string* error, const std::string& reason) {
    *error = reason;
    return false;
}

// Whether the line holds nothing but ASCII white space.
bool isBlank(std::string_view line) {
    return line.find_first_not_of(" \t\n\v\f\r") == std::string_view::npos;
}

} // namespace

std::optional<std::uint64_t> InstalledRecord::parseSeconds(std::string_view text) {
    if (text.empty() || text.size() > 20 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    std::uint64_t seconds = 0;
    const auto [end, failure] = std::from_chars(text.data(), text.data() + text.size(), seconds);
    return failure == std::errc() && end == text.data() + text.size() ? std::optional(seconds)
                                                                      : std::nullopt;
}

bool InstalledRecord::read(const std::string& path, std::string* error) {
    m_signedAt.clear();
    std::error_code ignored;
    if (!std::filesystem::exists(std::filesystem::symlink_status(FsPath(path), ignored)))
        return true;
    std::string text;
    if (!readSmallFile(path, MaxRecordBytes, &text, error))
        return false;
    int number = 0;
    for (const std::string& line : Split(text, '\n')) {
        ++number;
        if (isBlank(line) || line.starts_with('#'))
            continue;
        const std::vector<std::string> fields = Split(line, '\t');
        const std::optional<std::uint64_t> seconds =
            fields.size() == 2 && !fields[0].empty() ? parseSeconds(fields[1]) : std::nullopt;
        if (!seconds)
            return fail(error, Format("line %1 is not '<package><TAB><seconds>'",
                                      {std::to_string(number)}));
        m_signedAt[fields[0]] = *seconds;
    }
    return true;
}

bool InstalledRecord::write(const std::string& path, std::string* error) const {
    std::string text = Heading;
    for (const auto& [package, seconds] : m_signedAt)
        text += package + '\t' + std::to_string(seconds) + '\n';
    return replaceSmallFile(path, text, error);
}

std::optional<std::uint64_t> InstalledRecord::signedAt(const std::string& package) const {
    const auto found = m_signedAt.find(package);
    return found == m_signedAt.end() ? std::nullopt : std::optional(found->second);
}

void InstalledRecord::setSignedAt(const std::string& package, std::uint64_t seconds) {
    m_signedAt[package] = seconds;
}
