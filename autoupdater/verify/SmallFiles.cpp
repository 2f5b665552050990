#include "verify/SmallFiles.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace {
bool fail(QString* error, const QString& reason) {
    *error = reason;
    return false;
}
} // namespace

bool readSmallFile(const QString& path, qint64 maxBytes, QByteArray* contents, QString* error) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return fail(error, file.errorString());
    // One byte more than allowed tells a file that is too large, also one that is still growing.
    const QByteArray text = file.read(maxBytes + 1);
    if (file.error() != QFile::NoError)
        return fail(error, file.errorString());
    if (text.size() > maxBytes)
        return fail(error, QStringLiteral("it is larger than %1 bytes").arg(maxBytes));
    *contents = text;
    return true;
}

bool replaceSmallFile(const QString& path, const QByteArray& contents, QString* error) {
    // QSaveFile writes a temporary file beside `path`, flushes it to disk and renames it over it.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(contents) != contents.size() ||
        !file.commit())
        return fail(error, file.errorString());
    if (!syncFolder(QFileInfo(path).absolutePath()))
        return fail(error, QStringLiteral("its folder cannot be flushed to disk"));
    return true;
}
