// The settings and the completion that every platform's read service shares.
#include "download/FileReadService.h"

#include <algorithm>
#include <utility>

#include "AppError.h"
#include "core/Diagnostics.h"
#include "download/FileRead.h"

FileReadService::~FileReadService() = default;

void FileReadService::start(const std::string& address, int deliveryKind, const std::string& tag,
                            int options) {
    if (deliveryKind != DeliverToFile)
        throw AppError(AppError::InvalidArgument, "Invalid procedure call or argument");
    std::unique_ptr<FileRead> read = newRead(address, tag, options);
    const std::string folder = clearedTempFolder();
    if (!read->prepare(folder))
        throw AppError(AppError::ReadNotStarted,
                       "Cannot create a temporary file in '" + folder + "': " + read->fileError());
    FileRead* started = read.get();
    m_reads.push_back(std::move(read));
    started->begin();
}

void FileReadService::refuseAddress(const std::string& address, const std::string& why) {
    throw AppError(AppError::ReadNotStarted, "Cannot read from '" + address + "': " + why);
}

std::unique_ptr<FileRead> FileReadService::takeOff(FileRead* read) {
    std::unique_ptr<FileRead> taken;
    const auto it =
        std::find_if(m_reads.begin(), m_reads.end(),
                     [read](const std::unique_ptr<FileRead>& r) { return r.get() == read; });
    if (it != m_reads.end()) {
        taken = std::move(*it);
        m_reads.erase(it);
    }
    return taken;
}

void FileReadService::dropReads() {
    const std::vector<std::unique_ptr<FileRead>> reads = std::exchange(m_reads, {});
    (void)reads;
}

bool FileReadService::complete(FileRead& read) {
    std::int64_t bytesRead = 0;
    std::int64_t total = 0;
    std::string tempFile;
    read.conclude(bytesRead, total, tempFile);
    const std::string tag = read.tag();
    setLastLocalFailure(tempFile.empty() ? read.localFailure() : LocalFailure{});
    const std::weak_ptr<int> alive = m_life;
    // A copy: the receiver may end the service while it runs.
    const auto notify = readComplete;
    try {
        if (notify)
            notify(bytesRead, total, tag, tempFile);
    } catch (...) {
        Warning("A handler of a finished download failed");
    }
    if (alive.expired())
        return false;
    read.discardFile();
    return true;
}
