#include "process/StartClient.h"

#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QUrl>

void StartClient(const QString& programFolder, const QString& exeName) {
    const QString path = programFolder + QLatin1Char('/') + exeName;
    const QFileInfo info(path);
    if (info.isFile() && info.isExecutable()) {
        QProcess::startDetached(path, {}, programFolder);
        return;
    }
    // The desktop's handler inherits the working directory of the updater; lend it the program
    // folder for the moment of the call.
    const QString previous = QDir::currentPath();
    const bool moved = QDir::setCurrent(programFolder);
    QDesktopServices::openUrl(QUrl::fromLocalFile(path));
    if (moved)
        QDir::setCurrent(previous);
}
