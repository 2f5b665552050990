#include "UpdateDownload.h"

#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QLocale>
#include <charconv>
#include <cmath>
#include <filesystem>
#include <string>
#include <system_error>

#include "AppError.h"
#include "DL.h"
#include "ProgressBar.h"

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

QString kilobytes(qint64 bytes) {
    return ProgressNumber(double(bytes) / 1000.0);
}
} // namespace

void Download_File(DL& dl, const QString& programFolder, const QString& baseURL,
                   const QString& Filename) {
    dl.setCurrentFile(Filename);
    const QString destination = updatesDestination(programFolder, Filename);
    if (!updatesEntryPresent(programFolder))
        createFolder(programFolder + QStringLiteral("/updates"));
    dl.Download(baseURL + Filename, destination);
}

void DL_Progress(ProgressBar& pgBar, QLabel& lblFileProg, qint64 DownloadedBytes,
                 qint64 TotalBytes) {
    if (DownloadedBytes <= 0)
        return;
    if (TotalBytes > 0) {
        // In floating point: the product overflows no integer however large the file.
        const double percent = double(DownloadedBytes) * 100.0 / double(TotalBytes);
        pgBar.setValue(double(float(percent)));
        lblFileProg.setText(kilobytes(DownloadedBytes) + QStringLiteral(" KB / ") +
                            kilobytes(TotalBytes) + QStringLiteral(" KB"));
    } else {
        // No size announced: the bar stays, the label shows what has arrived.
        lblFileProg.setText(kilobytes(DownloadedBytes) + QStringLiteral(" KB"));
    }
}

void DL_Completed(DL& dl, const std::function<void(const QString&)>& Add_Status,
                  qint64 DownloadedBytes, qint64 TotalBytes) {
    if (DownloadedBytes == TotalBytes && DownloadedBytes > 0) {
        Add_Status(QStringLiteral("Download completed."));
        dl.downloading = false;
    } else if (DownloadedBytes == 0) {
        Add_Status(QStringLiteral("Couldn't connect"));
        dl.downloadFailed = true;
    } else if (DownloadedBytes > 0) {
        Add_Status(QStringLiteral("Connection lost"));
        dl.downloadFailed = true;
    }
}

QString ProgressNumber(double x) {
    if (!std::isfinite(x))
        return QString::number(x);
    // 15 significant digits: one before the point and 14 after, in scientific form.
    char text[64];
    const auto result =
        std::to_chars(text, text + sizeof text, std::fabs(x), std::chars_format::scientific, 14);
    const std::string scientific(text, result.ptr);
    const std::size_t e = scientific.find('e');
    std::string digits = scientific.substr(0, 1) + scientific.substr(2, e - 2);
    const int exponent = std::stoi(scientific.substr(e + 1));
    while (digits.size() > 1 && digits.back() == '0')
        digits.pop_back();
    if (digits == "0")
        return QStringLiteral("0");

    const QString separator = QLocale().decimalPoint();
    const int before = exponent + 1; // digits in front of the separator
    QString out;
    if (before <= 0) {
        out = QStringLiteral("0") + separator + QString(-before, QLatin1Char('0')) +
              QString::fromLatin1(digits);
    } else if (before >= int(digits.size())) {
        out = QString::fromLatin1(digits) + QString(before - int(digits.size()), QLatin1Char('0'));
    } else {
        out = QString::fromLatin1(digits.substr(0, before)) + separator +
              QString::fromLatin1(digits.substr(before));
    }
    return x < 0 ? QStringLiteral("-") + out : out;
}
