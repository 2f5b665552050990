// Reading and durably replacing the small files of signed updates (keys, signatures, the record).
#pragma once

#include <QByteArray>
#include <QString>

// Reads the whole file at `path`, which must hold at most `maxBytes` bytes. On failure returns
// false with the reason.
bool readSmallFile(const QString& path, qint64 maxBytes, QByteArray* contents, QString* error);

// Replaces the file at `path` with `contents`: written to a temporary file beside it, flushed to
// disk, renamed over it, and the folder flushed, so that after a crash either the old or the new
// file is there, whole. On failure returns false with the reason and leaves the old file.
bool replaceSmallFile(const QString& path, const QByteArray& contents, QString* error);

// Flushes the entries of the folder at `path` to disk, so that a file just renamed into it keeps
// its new name after a crash. False when the folder cannot be opened or flushed.
bool syncFolder(const QString& path);
