// The system queries that need no platform code of their own.
#include "modSystem.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "FileMove.h"

bool IsPlainFileAt(const QString& sPath) {
    return !sPath.isEmpty() && QFileInfo(sPath).isFile();
}

QString FindEntryName(const QString& sPath) {
    const QFileInfo path(sPath);
    if (path.fileName().isEmpty())
        return QString();
    const QStringList names =
        QDir(path.path())
            .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    // The exact name first, as a file system search would report it; otherwise any letter case.
    if (names.contains(path.fileName()))
        return path.fileName();
    for (const QString& name : names) {
        if (name.compare(path.fileName(), Qt::CaseInsensitive) == 0)
            return name;
    }
    return QString();
}

bool CopyFileSafely(const QString& sSource, const QString& sDestination, QString* reason) {
    const QString folder = QFileInfo(sDestination).absolutePath();
    if (!QDir().mkpath(folder)) {
        *reason = QStringLiteral("cannot create the folder %1").arg(folder);
        return false;
    }
    if (!copyReplacing(sSource, sDestination, reason))
        return false;
    QFile::setPermissions(sDestination, QFile::permissions(sSource));
    return true;
}
