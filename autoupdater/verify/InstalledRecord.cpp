#include "verify/InstalledRecord.h"

#include "verify/SmallFiles.h"

#include <QFileInfo>
#include <QList>
#include <algorithm>

namespace {

constexpr qint64 MaxRecordBytes = 1 << 20;
const QByteArray Heading = QByteArrayLiteral(
    "# vorn-updater: the signing time of each package at its last installation; do not edit\n");

bool fail(QString* error, const QString& reason) {
    *error = reason;
    return false;
}

} // namespace

std::optional<quint64> InstalledRecord::parseSeconds(const QByteArray& text) {
    bool number =
        !text.isEmpty() && text.size() <= 20 &&
        std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
    const quint64 seconds = number ? text.toULongLong(&number) : 0;
    return number ? std::optional(seconds) : std::nullopt;
}

bool InstalledRecord::read(const QString& path, QString* error) {
    m_signedAt.clear();
    const QFileInfo file(path);
    if (!file.exists() && !file.isSymLink())
        return true;
    QByteArray text;
    if (!readSmallFile(path, MaxRecordBytes, &text, error))
        return false;
    int number = 0;
    for (const QByteArray& line : text.split('\n')) {
        ++number;
        if (line.trimmed().isEmpty() || line.startsWith('#'))
            continue;
        const QList<QByteArray> fields = line.split('\t');
        const std::optional<quint64> seconds =
            fields.size() == 2 && !fields[0].isEmpty() ? parseSeconds(fields[1]) : std::nullopt;
        if (!seconds)
            return fail(error,
                        QStringLiteral("line %1 is not '<package><TAB><seconds>'").arg(number));
        m_signedAt[QString::fromUtf8(fields[0])] = *seconds;
    }
    return true;
}

bool InstalledRecord::write(const QString& path, QString* error) const {
    QByteArray text = Heading;
    for (const auto& [package, seconds] : m_signedAt)
        text += package.toUtf8() + '\t' + QByteArray::number(seconds) + '\n';
    return replaceSmallFile(path, text, error);
}

std::optional<quint64> InstalledRecord::signedAt(const QString& package) const {
    const auto found = m_signedAt.find(package);
    return found == m_signedAt.end() ? std::nullopt : std::optional(found->second);
}

void InstalledRecord::setSignedAt(const QString& package, quint64 seconds) {
    m_signedAt[package] = seconds;
}
