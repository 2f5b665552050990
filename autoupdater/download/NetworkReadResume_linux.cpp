// What a network read keeps between its tries and for a later run: the partial file, when the
// source named its bytes, and the record that lets the next read of the same address ask only for
// the rest; everything else is deleted.
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <chrono>

#include "core/Diagnostics.h"
#include "download/NetworkReadService_linux.h"
#include "download/NetworkRead_linux.h"
#include "download/NetworkTempFolder_linux.h"
#include "download/PartialDownload.h"

namespace {
// How often the record of a partial download follows the bytes on disk while data arrives.
constexpr std::chrono::milliseconds kRecordInterval{2000};
} // namespace

bool NetworkRead::prepare() {
    const QDir folder(m_service->tempFolder());
    const std::string folderPath = folder.path().toStdString();
    m_recordPath =
        folder
            .filePath(QString::fromStdString(PartialDownload::recordName(m_address.toStdString())))
            .toStdString();
    if (const std::optional<PartialDownload> record = PartialDownload::load(m_recordPath)) {
        const std::string partialPath =
            folder.filePath(QString::fromStdString(record->partialName)).toStdString();
        if (record->address == m_address.toStdString() &&
            record->freshAt(std::chrono::system_clock::now()) &&
            m_file.reopen(partialPath, record->length)) {
            m_validator = QByteArray::fromStdString(record->validator);
            m_total = record->total;
            m_mostHeld = m_recorded = record->length;
            return true;
        }
        // Of another address, too old, or its file is gone: nothing to go on with.
        QFile::remove(QString::fromStdString(m_recordPath));
        const std::string partial = record->partialName;
        DownloadFile::removeAbandoned(folderPath, {kPartialFilePattern},
                                      [&](const std::string& name) { return name != partial; });
    }
    return m_file.create(folderPath, kPartialFileTemplate);
}

// Whether the bytes held can be taken up by a later try: the source named them (validator)
// and the whole size is known; a body refused for what it is, or a file this computer failed
// to write, never is.
bool NetworkRead::resumable() const {
    return !m_validator.isEmpty() && m_total > 0 && m_file.size() > 0 && m_file.size() < m_total &&
           !m_refusedBody && !m_localFailure.happened();
}

void NetworkRead::keepForNextTry() {
    if (resumable() && m_file.sync())
        saveRecord();
    else if (!m_file.truncate(0))
        failToWrite();
}

void NetworkRead::keepOrDiscard() {
    if (resumable() && m_file.sync() && saveRecord()) {
        m_file.close();
        return;
    }
    QFile::remove(QString::fromStdString(m_recordPath));
    m_file.discard();
}

// While data arrives: the record follows the bytes on disk, so that a killed updater's next
// run asks only for the rest. The first record waits for the first piece handed to the disk;
// each later one for what had been handed by the check before (written long since, as a rule),
// so that it does not hold up the run while the disk is behind.
void NetworkRead::recordWhenDue() {
    if (!resumable())
        return;
    const bool first = !m_sinceRecord.isValid();
    if (!first && m_sinceRecord.elapsed() < kRecordInterval.count())
        return;
    m_file.waitForDisk(first ? m_file.handedSize() : m_handedAtCheck);
    if (m_file.durableSize() > m_recorded)
        saveRecord(m_file.durableSize());
    else if (!first)
        m_sinceRecord.start();
    m_handedAtCheck = m_file.handedSize();
}

bool NetworkRead::saveRecord(std::int64_t length) {
    PartialDownload record;
    record.address = m_address.toStdString();
    record.partialName = QFileInfo(QString::fromStdString(m_file.path())).fileName().toStdString();
    record.validator = m_validator.toStdString();
    record.total = m_total;
    record.length = length >= 0 ? length : m_file.size();
    record.saved = std::chrono::system_clock::now();
    m_sinceRecord.start();
    std::string error;
    if (!record.save(m_recordPath, &error)) {
        Warning("Cannot keep the partial download of " + displayAddress().toStdString() +
                " for later: " + error);
        return false;
    }
    m_recorded = record.length;
    return true;
}
