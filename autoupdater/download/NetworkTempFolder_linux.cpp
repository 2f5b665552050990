#include "download/NetworkTempFolder_linux.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <chrono>
#include <set>

#include "download/DownloadFile.h"
#include "download/PartialDownload.h"

const std::string kPartialFilePattern = "vorn-download-*.part";
const std::string kPartialFileTemplate = "vorn-download-XXXXXX.part";

namespace {
// How long a record in the making may be left by a writer that is still at it.
constexpr qint64 kRecordMakingSeconds = 60;
} // namespace

void removeAbandonedFiles(const QString& folderPath) {
    const QDir folder(folderPath);
    const auto now = std::chrono::system_clock::now();
    const QDateTime nowUtc = QDateTime::currentDateTimeUtc();
    std::set<std::string> kept;
    const QStringList records = folder.entryList(
        {QString::fromStdString(PartialDownload::recordPattern())}, QDir::Files | QDir::NoSymLinks);
    for (const QString& name : records) {
        const std::optional<PartialDownload> record =
            PartialDownload::load(folder.filePath(name).toStdString());
        if (record && record->freshAt(now) &&
            QFileInfo(folder.filePath(QString::fromStdString(record->partialName))).isFile()) {
            kept.insert(name.toStdString());
            kept.insert(record->partialName);
        }
    }
    DownloadFile::removeAbandoned(folder.path().toStdString(),
                                  {kPartialFilePattern, PartialDownload::recordPattern(),
                                   PartialDownload::recordInTheMakingPattern()},
                                  [&](const std::string& name) {
                                      if (name.ends_with(".part") || name.ends_with(".resume"))
                                          return kept.count(name) != 0;
                                      const QDateTime changed =
                                          QFileInfo(folder.filePath(QString::fromStdString(name)))
                                              .fileTime(QFileDevice::FileModificationTime);
                                      return changed.secsTo(nowUtc) < kRecordMakingSeconds;
                                  });
}
