#include "download/UpdateDownload.h"

#include <QDir>
#include <QFileInfo>
#include <filesystem>
#include <system_error>

#include "AppError.h"
#include "download/DL.h"

namespace {
const QString kUpdates = QStringLiteral("updates");

// Whether the program folder holds an entry named "updates" in any letter case, folder or file.
bool updatesEntryPresent(const QString& programFolder) {
    const QStringList entries =
        QDir(programFolder).entryList(QDir::Dirs | QDir::Files | QDir::NoDotAndDotDot);
    for (const QString& entry : entries)
        if (entry.toLower() == kUpdates)
            return true;
    return false;
}

void createFolder(const QString& path) {
    std::error_code error;
    std::filesystem::create_directory(std::filesystem::path(QFile::encodeName(path).toStdString()),
                                      error);
    if (!error)
        return;
    if (error == std::errc::no_such_file_or_directory)
        throw AppError(AppError::PathNotFound, QStringLiteral("Path not found"));
    throw AppError(AppError::PathFileAccessError, QStringLiteral("Path/File access error"));
}

// programFolder/updates/Filename, checked to name a file directly inside the updates folder:
// a name that holds a path cannot make the download land anywhere else.
QString updatesDestination(const QString& programFolder, const QString& Filename) {
    const QString updates = QDir::cleanPath(programFolder + QLatin1Char('/') + kUpdates);
    const QFileInfo destination(QDir::cleanPath(updates + QLatin1Char('/') + Filename));
    if (destination.path() != updates || destination.fileName() != Filename)
        throw AppError(AppError::BadFileName,
                       QStringLiteral("Bad file name: '%1' is not a file of %2")
                           .arg(destination.filePath(), updates));
    return destination.filePath();
}
} // namespace

void Download_File(DL& dl, const QString& programFolder, const QString& baseURL,
                   const QString& Filename, bool isPackage) {
    dl.setCurrentFile(Filename);
    const QString destination = updatesDestination(programFolder, Filename);
    EnsureUpdatesFolder(programFolder);
    dl.Download(baseURL + Filename, destination, QStringLiteral("Id"),
                isPackage ? AsyncReadService::ZipArchiveOnly : 0);
}

void EnsureUpdatesFolder(const QString& programFolder) {
    if (!updatesEntryPresent(programFolder))
        createFolder(programFolder + QStringLiteral("/updates"));
}
