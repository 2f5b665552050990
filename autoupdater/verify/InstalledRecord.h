// The signing time of each package at its last successful installation, so that an older signed
// package cannot be installed over a newer one. Kept in a small text file in the program folder:
//     # <a comment line>
//     <package name><TAB><seconds since 1970-01-01 UTC, from the signature's trusted comment>
// one line per package, replaced as a whole (temporary file, flushed, renamed, folder flushed).
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

class InstalledRecord {
public:
    static constexpr char FileName[] = ".vorn-update.state";

    // Reads the record at `path`; no file there is an empty record. Fails, with the reason, when
    // the file cannot be read or is not such a record.
    bool read(const std::string& path, std::string* error);

    // Replaces the file at `path` with this record, atomically and durably.
    bool write(const std::string& path, std::string* error) const;

    // A signing time written as minisign writes it: decimal digits only, seconds since 1970.
    static std::optional<std::uint64_t> parseSeconds(std::string_view text);

    std::optional<std::uint64_t> signedAt(const std::string& package) const;
    void setSignedAt(const std::string& package, std::uint64_t seconds);

private:
    std::map<std::string, std::uint64_t> m_signedAt;
};
