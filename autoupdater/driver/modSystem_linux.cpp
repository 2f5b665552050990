// Linux implementation of the system queries.
#include "modSystem.h"

#include <QDir>
#include <QFile>
#include <algorithm>
#include <fnmatch.h>

namespace {

bool IsHidden(const QString& name) {
    return name.startsWith(QLatin1Char('.'));
}

// The last part of a searched path as an fnmatch(3) pattern: '*' and '?' are the wildcards of a
// file search, while '[' and '\' match themselves there.
QByteArray SearchPattern(const QString& last) {
    QByteArray pattern;
    for (const char c : QFile::encodeName(last)) {
        if (c == '[' || c == '\\')
            pattern += '\\';
        pattern += c;
    }
    return pattern;
}

} // namespace

QString Get_SystemDir() {
    QString home = QString::fromLocal8Bit(qgetenv("HOME"));
    if (home.isEmpty())
        home = QDir::homePath();
    while (home.size() > 1 && home.endsWith(QLatin1Char('/')))
        home.chop(1);
    if (home == QLatin1String("/"))
        home.clear();
    return home + QStringLiteral("/.local/lib");
}

bool File_Exists(const QString& sPath) {
    if (sPath.isEmpty())
        return false;
    const qsizetype slash = sPath.lastIndexOf(QLatin1Char('/'));
    const QString folder = slash < 0 ? QStringLiteral(".") : sPath.left(slash + 1);
    QString last = sPath.mid(slash + 1);
    if (last.isEmpty())
        last = QStringLiteral("*");
    if (!last.contains(QLatin1Char('*')) && !last.contains(QLatin1Char('?')))
        return !IsHidden(last) && IsPlainFileAt(sPath);

    // Regular files and links to them, without the hidden ones.
    const QStringList names = QDir(folder).entryList(QDir::Files);
    const QByteArray pattern = SearchPattern(last);
    return std::any_of(names.cbegin(), names.cend(), [&pattern](const QString& name) {
        return ::fnmatch(pattern.constData(), QFile::encodeName(name).constData(), 0) == 0;
    });
}
