// What a read keeps between its tries and for a later run: the partial file, when the source named
// its bytes, and the record that lets the next read of the same address ask only for the rest;
// everything else is deleted.
#include "core/Diagnostics.h"
#include "download/FileRead.h"
#include "download/PartialDownload.h"

namespace {
// How often the record of a partial download follows the bytes on disk while data arrives.
constexpr std::chrono::milliseconds kRecordInterval{2000};

std::string inFolder(const std::string& folder, const std::string& name) {
    return !folder.empty() && folder.back() == '/' ? folder + name : folder + '/' + name;
}
} // namespace

bool FileRead::prepareIn(const std::string& folder, const std::string& pattern,
                         const std::string& fileTemplate) {
    m_recordPath = inFolder(folder, PartialDownload::recordName(m_address));
    if (const std::optional<PartialDownload> record = PartialDownload::load(m_recordPath)) {
        if (record->address == m_address && record->freshAt(std::chrono::system_clock::now()) &&
            m_file.reopen(inFolder(folder, record->partialName), record->length)) {
            setValidator(record->validator);
            m_total = record->total;
            m_mostHeld = m_recorded = record->length;
            return true;
        }
        // Of another address, too old, or its file is gone: nothing to go on with.
        removeFile(m_recordPath);
        const std::string partial = record->partialName;
        DownloadFile::removeAbandoned(folder, {pattern},
                                      [&](const std::string& name) { return name != partial; });
    }
    return m_file.create(folder, fileTemplate);
}

// Whether the bytes held can be taken up by a later try: the source named them (validator) and
// the whole size is known; a body refused for what it is, or a file this computer failed to
// write, never is.
bool FileRead::resumable() const {
    return !validator().empty() && m_total > 0 && m_file.size() > 0 && m_file.size() < m_total &&
           !m_refusedBody && !m_localFailure.happened();
}

void FileRead::keepForNextTry() {
    if (resumable() && m_file.sync())
        saveRecord();
    else if (!m_file.truncate(0))
        failToWrite();
}

void FileRead::keepOrDiscard() {
    if (resumable() && m_file.sync() && saveRecord()) {
        m_file.close();
        return;
    }
    removeFile(m_recordPath);
    m_file.discard();
}

// While data arrives: the record follows the bytes on disk, so that a killed updater's next run
// asks only for the rest. The first record waits for the first piece handed to the disk; each
// later one for what had been handed by the check before (written long since, as a rule), so that
// it does not hold up the run while the disk is behind.
void FileRead::recordWhenDue() {
    if (!resumable())
        return;
    const bool first = !m_lastRecord;
    if (!first && std::chrono::steady_clock::now() - *m_lastRecord < kRecordInterval)
        return;
    m_file.waitForDisk(first ? m_file.handedSize() : m_handedAtCheck);
    if (m_file.durableSize() > m_recorded)
        saveRecord(m_file.durableSize());
    else if (!first)
        m_lastRecord = std::chrono::steady_clock::now();
    m_handedAtCheck = m_file.handedSize();
}

bool FileRead::saveRecord(std::int64_t length) {
    PartialDownload record;
    record.address = m_address;
    record.partialName = m_file.path().substr(m_file.path().find_last_of("/\\") + 1);
    record.validator = validator();
    record.total = m_total;
    record.length = length >= 0 ? length : m_file.size();
    record.saved = std::chrono::system_clock::now();
    m_lastRecord = std::chrono::steady_clock::now();
    std::string error;
    if (!record.save(m_recordPath, &error)) {
        Warning("Cannot keep the partial download of " + displayAddress() + " for later: " + error);
        return false;
    }
    m_recorded = record.length;
    return true;
}
