// The system's part of moving and copying files safely (FileMove_<platform>.cpp).
#pragma once

#include <QString>

// Flush a file's data, or a folder's entries, to disk. A failure only costs crash safety, so it is
// not reported.
void syncFileToDisk(const QString& path);
void syncFolderToDisk(const QString& path);

// Renames `source` to `destination`, replacing a file there in one step. Returns 0 on success,
// otherwise the system's error number (EXDEV when the two lie on different file systems).
int renameReplacing(const QString& source, const QString& destination);
