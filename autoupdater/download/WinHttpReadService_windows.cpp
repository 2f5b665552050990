// The WinHTTP read service: the reads it starts, and the notification that ends each of them.
#include "download/WinHttpReadService_windows.h"

#include "download/WinHttpRead_windows.h"
#include "download/WinHttpTempFolder_windows.h"

WinHttpReadService::WinHttpReadService(EventLoop& loop)
    : FileReadService(DefaultStallTimeout), m_loop(loop),
      m_session(std::make_shared<WinHttpSession>(loop)) {}

WinHttpReadService::~WinHttpReadService() {
    // The reads close their requests; the session's end then waits for WinHTTP to let go of them.
    dropReads();
}

std::string WinHttpReadService::tempFolder() const {
    std::string folder = m_tempFolder.empty() ? SystemTempFolder() : m_tempFolder;
    while (folder.size() > 1 && (folder.back() == '/' || folder.back() == '\\'))
        folder.pop_back();
    return folder;
}

std::unique_ptr<FileRead> WinHttpReadService::newRead(const std::string& address,
                                                      const std::string& tag, int options) {
    std::optional<ReadSource> source = ReadSource::of(address);
    if (!source)
        refuseAddress(address, NoReadableAddress);
    if (source->http && !m_session->handle)
        refuseAddress(address, m_session->error);
    return std::make_unique<WinHttpRead>(this, address, std::move(*source), tag, options);
}

std::string WinHttpReadService::clearedTempFolder() {
    const std::string folder = tempFolder();
    RemoveAbandonedDownloads(folder);
    return folder;
}
