// What a WinHTTP read keeps between its tries and for a later run: the partial file, when the
// source named its bytes, and the record that lets the next read of the same address ask only for
// the rest; everything else is deleted. And whether the body is a zip archive, when the read takes
// nothing else (an update package): judged on its first bytes before they are kept, and on its
// end once it is whole.
#include <vorn/Files_windows.h>

#include "core/Diagnostics.h"
#include "download/PackageCheck.h"
#include "download/PartialDownload.h"
#include "download/WinHttpReadService_windows.h"
#include "download/WinHttpRead_windows.h"
#include "download/WinHttpTempFolder_windows.h"

namespace {
// How often the record of a partial download follows the bytes on disk while data arrives.
constexpr std::chrono::milliseconds kRecordInterval{2000};

void removeFile(const std::string& path) {
    DeleteFileW(LongWindowsPath(path).c_str());
}
} // namespace

bool WinHttpRead::prepare() {
    const std::string folder = m_service->tempFolder();
    m_recordPath = folder + '/' + PartialDownload::recordName(m_address);
    if (const std::optional<PartialDownload> record = PartialDownload::load(m_recordPath)) {
        if (record->address == m_address && record->freshAt(std::chrono::system_clock::now()) &&
            m_file.reopen(folder + '/' + record->partialName, record->length)) {
            m_validator = record->validator;
            m_total = record->total;
            m_mostHeld = m_recorded = record->length;
            return true;
        }
        // Of another address, too old, or its file is gone: nothing to go on with.
        removeFile(m_recordPath);
        const std::string partial = record->partialName;
        DownloadFile::removeAbandoned(folder, {kWinHttpPartialPattern},
                                      [&](const std::string& name) { return name != partial; });
    }
    return m_file.create(folder, kWinHttpPartialTemplate);
}

// Whether the bytes held can be taken up by a later try: the source named them (validator) and
// the whole size is known; a body refused for what it is, or a file this computer failed to
// write, never is.
bool WinHttpRead::resumable() const {
    return !m_validator.empty() && m_total > 0 && m_file.size() > 0 && m_file.size() < m_total &&
           !m_refusedBody && !m_localFailure.happened();
}

void WinHttpRead::keepForNextTry() {
    if (resumable() && m_file.sync())
        saveRecord();
    else if (!m_file.truncate(0))
        failToWrite();
}

void WinHttpRead::keepOrDiscard() {
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
void WinHttpRead::recordWhenDue() {
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

bool WinHttpRead::saveRecord(std::int64_t length) {
    PartialDownload record;
    record.address = m_address;
    record.partialName = m_file.path().substr(m_file.path().find_last_of("/\\") + 1);
    record.validator = m_validator;
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

// Whether the body may be what the read must be, judged on its first bytes before they are kept:
// a body refused here is dropped whole.
bool WinHttpRead::acceptStart(const char* data, std::int64_t size) {
    if (!(m_options & AsyncReadService::ZipArchiveOnly) ||
        m_file.size() >= std::int64_t(PackageCheck::HeadBytes))
        return true;
    m_head.append(data,
                  std::size_t(std::min<std::int64_t>(size, 64 - std::int64_t(m_head.size()))));
    if (m_head.size() < PackageCheck::HeadBytes || PackageCheck::startsLikeZip(m_head))
        return true;
    refuseBody();
    return false;
}

void WinHttpRead::refuseBody() {
    fail("what arrived is no zip archive but " +
         PackageCheck::describe(m_head, m_source.http ? m_contentType : std::string()));
    m_refusedBody = true;
}

// A whole body must also end like a zip archive.
void WinHttpRead::checkEnd() {
    if (!(m_options & AsyncReadService::ZipArchiveOnly))
        return;
    if (m_file.size() < std::int64_t(PackageCheck::HeadBytes))
        return refuseBody();
    if (!PackageCheck::endsLikeZip(m_file.tail(PackageCheck::TailBytes)))
        fail("what arrived (" + std::to_string(m_file.size()) +
             " bytes) is a zip archive without its end");
}
