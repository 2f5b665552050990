// The WinHTTP read service: the reads it starts, and the notification that ends each of them.
#include "download/WinHttpReadService_windows.h"

#include "AppError.h"
#include "core/Diagnostics.h"
#include "download/WinHttpRead_windows.h"
#include "download/WinHttpTempFolder_windows.h"

WinHttpReadService::WinHttpReadService(EventLoop& loop)
    : m_loop(loop), m_session(std::make_shared<WinHttpSession>(loop)) {}

WinHttpReadService::~WinHttpReadService() {
    m_life.reset();
    // The reads close their requests; the session's end then waits for WinHTTP to let go of them.
    const std::vector<std::unique_ptr<WinHttpRead>> reads = std::exchange(m_reads, {});
    (void)reads;
}

std::string WinHttpReadService::tempFolder() const {
    std::string folder = m_tempFolder.empty() ? SystemTempFolder() : m_tempFolder;
    while (folder.size() > 1 && (folder.back() == '/' || folder.back() == '\\'))
        folder.pop_back();
    return folder;
}

void WinHttpReadService::start(const std::string& address, int deliveryKind, const std::string& tag,
                               int options) {
    if (deliveryKind != DeliverToFile)
        throw AppError(AppError::InvalidArgument, "Invalid procedure call or argument");
    std::optional<ReadSource> source = ReadSource::of(address);
    if (!source)
        throw AppError(AppError::ReadNotStarted,
                       "Cannot read from '" + address + "': not an http, https or file address");
    if (source->http && !m_session->handle)
        throw AppError(AppError::ReadNotStarted,
                       "Cannot read from '" + address + "': " + m_session->error);

    // The temporary file is made before anything goes out, so that a read that starts can always
    // keep its bytes.
    const std::string folder = tempFolder();
    RemoveAbandonedDownloads(folder);
    auto read = std::make_unique<WinHttpRead>(this, address, std::move(*source), tag, options);
    if (!read->prepare())
        throw AppError(AppError::ReadNotStarted,
                       "Cannot create a temporary file in '" + folder + "': " + read->fileError());
    WinHttpRead* started = read.get();
    m_reads.push_back(std::move(read));
    started->begin();
}

void WinHttpReadService::finishRead(WinHttpRead* read) {
    std::unique_ptr<WinHttpRead> finished;
    for (auto it = m_reads.begin(); it != m_reads.end(); ++it) {
        if (it->get() == read) {
            finished = std::move(*it);
            m_reads.erase(it);
            break;
        }
    }
    std::int64_t bytesRead = 0;
    std::int64_t total = 0;
    std::string tempFile;
    read->conclude(bytesRead, total, tempFile);
    const std::string tag = read->tag();
    setLastLocalFailure(tempFile.empty() ? read->localFailure() : LocalFailure{});
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
        return; // the service went away inside the notification; the read's file goes with it
    // Whatever the receivers did not move away goes now (with the read, at the end of this call).
    read->discardFile();
}
