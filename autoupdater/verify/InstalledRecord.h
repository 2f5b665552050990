// The signing time of each package at its last successful installation, so that an older signed
// package cannot be installed over a newer one. Kept in a small text file in the program folder:
//     # <a comment line>
//     <package name><TAB><seconds since 1970-01-01 UTC, from the signature's trusted comment>
// one line per package, replaced as a whole (temporary file, flushed, renamed, folder flushed).
#pragma once

#include <QString>
#include <map>
#include <optional>

class InstalledRecord {
public:
    static constexpr QLatin1StringView FileName{".vorn-update.state"};

    // Reads the record at `path`; no file there is an empty record. Fails, with the reason, when
    // the file cannot be read or is not such a record.
    bool read(const QString& path, QString* error);

    // Replaces the file at `path` with this record, atomically and durably.
    bool write(const QString& path, QString* error) const;

    // A signing time written as minisign writes it: decimal digits only, seconds since 1970.
    static std::optional<quint64> parseSeconds(const QByteArray& text);

    std::optional<quint64> signedAt(const QString& package) const;
    void setSignedAt(const QString& package, quint64 seconds);

private:
    std::map<QString, quint64> m_signedAt;
};
