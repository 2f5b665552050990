#include "download/PartialDownload.h"

#include <QCryptographicHash>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <cstdlib>

namespace {
constexpr qint64 kMaxRecordBytes = 64 << 10;
} // namespace

QString PartialDownload::recordName(const QString& address) {
    const QByteArray digest =
        QCryptographicHash::hash(address.toUtf8(), QCryptographicHash::Sha256).toHex();
    return QStringLiteral("vorn-download-%1.resume").arg(QString::fromLatin1(digest.left(16)));
}

const QString& PartialDownload::recordPattern() {
    static const QString pattern = QStringLiteral("vorn-download-*.resume");
    return pattern;
}

const QString& PartialDownload::recordInTheMakingPattern() {
    static const QString pattern = QStringLiteral("vorn-download-*.resume.*");
    return pattern;
}

std::optional<PartialDownload> PartialDownload::load(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() > kMaxRecordBytes)
        return std::nullopt;
    const QJsonObject json = QJsonDocument::fromJson(file.readAll()).object();
    PartialDownload record;
    record.address = json.value(QLatin1String("address")).toString();
    record.partialName = json.value(QLatin1String("partial")).toString();
    record.validator = json.value(QLatin1String("validator")).toString().toLatin1();
    record.total = qint64(json.value(QLatin1String("total")).toDouble(-1));
    record.length = qint64(json.value(QLatin1String("length")).toDouble(-1));
    record.saved =
        QDateTime::fromString(json.value(QLatin1String("saved")).toString(), Qt::ISODateWithMs);
    // Only a plain name of the same folder: a record never leads elsewhere.
    if (record.address.isEmpty() || record.partialName.isEmpty() ||
        record.partialName.contains(QLatin1Char('/')) || record.partialName.startsWith('.') ||
        record.validator.isEmpty() || record.total <= 0 || record.length < 0 ||
        record.length > record.total || !record.saved.isValid())
        return std::nullopt;
    return record;
}

bool PartialDownload::save(const QString& path, QString* error) const {
    const QJsonObject json{{QLatin1String("address"), address},
                           {QLatin1String("partial"), partialName},
                           {QLatin1String("validator"), QString::fromLatin1(validator)},
                           {QLatin1String("total"), double(total)},
                           {QLatin1String("length"), double(length)},
                           {QLatin1String("saved"), saved.toUTC().toString(Qt::ISODateWithMs)}};
    // QSaveFile writes aside, flushes to disk and renames over the old record.
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly) && file.write(QJsonDocument(json).toJson()) >= 0 &&
        file.commit())
        return true;
    if (error)
        *error = file.errorString();
    return false;
}

QByteArray PartialDownload::validatorOf(const QByteArray& entityTag,
                                        const QByteArray& lastModified) {
    const QByteArray tag = entityTag.trimmed();
    // A weak tag ("W/...") may stand for other bytes: never a reason to join two parts.
    if (tag.startsWith('"') && tag.endsWith('"') && tag.size() >= 2)
        return tag;
    return tag.isEmpty() ? lastModified.trimmed() : QByteArray();
}

bool PartialDownload::freshAt(const QDateTime& now) const {
    // Either way: a clock put back must not keep a record for ever.
    return std::abs(saved.secsTo(now)) < MaxAgeSeconds;
}

std::optional<ContentRange> ContentRange::parse(const QByteArray& value) {
    const QByteArray text = value.trimmed();
    if (!text.startsWith("bytes "))
        return std::nullopt;
    const QByteArray range = text.mid(6).trimmed();
    const qsizetype dash = range.indexOf('-');
    const qsizetype slash = range.indexOf('/');
    if (dash <= 0 || slash <= dash + 1)
        return std::nullopt;
    bool ok[3] = {};
    ContentRange parsed;
    parsed.first = range.left(dash).toLongLong(&ok[0]);
    parsed.last = range.mid(dash + 1, slash - dash - 1).toLongLong(&ok[1]);
    parsed.total = range.mid(slash + 1).toLongLong(&ok[2]);
    if (!ok[0] || !ok[1] || !ok[2] || parsed.first < 0 || parsed.last < parsed.first ||
        parsed.total <= parsed.last)
        return std::nullopt;
    return parsed;
}
