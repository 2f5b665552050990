// Linux implementation of the system queries.
#include "modSystem.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <dirent.h>
#include <sys/stat.h>

namespace {

// Matches a name against a pattern in which '*' matches any run of characters and '?' any one.
bool WildcardMatch(const char* pattern, const char* name) {
    const char* starPattern = nullptr;
    const char* starName = nullptr;
    while (*name) {
        if (*pattern == '?' || (*pattern != '*' && *pattern == *name)) {
            ++pattern;
            ++name;
        } else if (*pattern == '*') {
            starPattern = pattern++;
            starName = name;
        } else if (starPattern) {
            pattern = starPattern + 1;
            name = ++starName;
        } else {
            return false;
        }
    }
    while (*pattern == '*')
        ++pattern;
    return *pattern == '\0';
}

bool IsPlainFile(const QByteArray& path) {
    struct stat info {};
    return ::stat(path.constData(), &info) == 0 && S_ISREG(info.st_mode);
}

bool IsHidden(const QByteArray& name) {
    return name.startsWith('.');
}

// Splits a path into its folder (with its trailing separator) and its last component.
void SplitPath(const QByteArray& path, QByteArray& folder, QByteArray& last) {
    const qsizetype slash = path.lastIndexOf('/');
    folder = slash < 0 ? QByteArray("./") : path.left(slash + 1);
    last = path.mid(slash + 1);
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
    const QByteArray path = QFile::encodeName(sPath);
    if (path.isEmpty())
        return false;
    QByteArray folder, last;
    SplitPath(path, folder, last);
    if (last.isEmpty())
        last = "*";
    if (!last.contains('*') && !last.contains('?'))
        return !IsHidden(last) && IsPlainFile(path);

    DIR* dir = ::opendir(folder.constData());
    if (!dir)
        return false;
    bool found = false;
    while (const dirent* entry = ::readdir(dir)) {
        const QByteArray name(entry->d_name);
        if (IsHidden(name) || !WildcardMatch(last.constData(), name.constData()))
            continue;
        if (IsPlainFile(folder + name)) {
            found = true;
            break;
        }
    }
    ::closedir(dir);
    return found;
}

bool IsPlainFileAt(const QString& sPath) {
    return !sPath.isEmpty() && IsPlainFile(QFile::encodeName(sPath));
}

QString FindEntryName(const QString& sPath) {
    const QByteArray path = QFile::encodeName(sPath);
    QByteArray folder, last;
    SplitPath(path, folder, last);
    if (last.isEmpty())
        return QString();
    DIR* dir = ::opendir(folder.constData());
    if (!dir)
        return QString();
    // The exact name first, as a file system search would report it; otherwise any letter case.
    QString found;
    while (const dirent* entry = ::readdir(dir)) {
        const QByteArray name(entry->d_name);
        if (name == "." || name == "..")
            continue;
        if (name == last) {
            found = QFile::decodeName(name);
            break;
        }
        if (found.isEmpty() &&
            QFile::decodeName(name).compare(QFile::decodeName(last), Qt::CaseInsensitive) == 0)
            found = QFile::decodeName(name);
    }
    ::closedir(dir);
    return found;
}

bool CopyFileSafely(const QString& sSource, const QString& sDestination, QString* reason) {
    QFile source(sSource);
    if (!source.open(QIODevice::ReadOnly)) {
        *reason = QStringLiteral("cannot read %1: %2").arg(sSource, source.errorString());
        return false;
    }
    const QString folder = QFileInfo(sDestination).absolutePath();
    if (!QDir().mkpath(folder)) {
        *reason = QStringLiteral("cannot create the folder %1").arg(folder);
        return false;
    }
    QSaveFile target(sDestination);
    target.setDirectWriteFallback(false);
    if (!target.open(QIODevice::WriteOnly)) {
        *reason = QStringLiteral("cannot write %1: %2").arg(sDestination, target.errorString());
        return false;
    }
    char buffer[64 * 1024];
    for (;;) {
        const qint64 got = source.read(buffer, sizeof buffer);
        if (got < 0) {
            *reason = QStringLiteral("cannot read %1: %2").arg(sSource, source.errorString());
            target.cancelWriting();
            return false;
        }
        if (got == 0)
            break;
        if (target.write(buffer, got) != got) {
            *reason = QStringLiteral("cannot write %1: %2").arg(sDestination, target.errorString());
            target.cancelWriting();
            return false;
        }
    }
    if (!target.commit()) {
        *reason = QStringLiteral("cannot write %1: %2").arg(sDestination, target.errorString());
        return false;
    }
    QFile::setPermissions(sDestination, source.permissions());
    return true;
}
