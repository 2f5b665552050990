#include "download/DL.h"

#include "AppError.h"
#include "core/Diagnostics.h"
#include "core/Text.h"
#include "download/FileMove.h"

namespace {
std::string keyOf(const std::string& id) {
    return AsciiLower(id);
}

// Raises an event with copies of its arguments (the handler may change them without effect). The
// handler is copied too: it may replace the event, or end the control, while it runs.
void Raise(const DL::Event& event, std::int64_t bytesRead, std::int64_t total,
           const std::string& tag, const char* failure) {
    const DL::Event handler = event;
    if (!handler)
        return;
    std::int64_t downloaded = bytesRead;
    std::int64_t totalBytes = total;
    std::string id = tag;
    try {
        handler(downloaded, totalBytes, id);
    } catch (...) {
        Warning(failure);
    }
}
} // namespace

DL::DL(AsyncReadService& service) : m_service(service) {
    m_service.readProgress = [this](std::int64_t bytesRead, std::int64_t total,
                                    const std::string& tag) {
        onReadProgress(bytesRead, total, tag);
    };
    m_service.readComplete = [this](std::int64_t bytesRead, std::int64_t total,
                                    const std::string& tag, const std::string& tempFile) {
        onReadComplete(bytesRead, total, tag, tempFile);
    };
}

DL::~DL() {
    m_service.readProgress = nullptr;
    m_service.readComplete = nullptr;
}

void DL::Download(const std::string& URL, const std::string& sDestination, const std::string& sId,
                  int options) {
    const std::string key = keyOf(sId);
    if (m_colDestinations.count(key) != 0)
        throw AppError(AppError::DuplicateKey,
                       "This key is already associated with an element of this collection");
    m_colDestinations.emplace(key, sDestination);
    m_service.start(URL, AsyncReadService::DeliverToFile, sId,
                    AsyncReadService::ForceUpdate | options);
}

void DL::setCurrentFile(const std::string& fileN) {
    m_sCurrentFile = fileN;
}

std::string DL::currentfile() const {
    return m_sCurrentFile;
}

void DL::onReadProgress(std::int64_t bytesRead, std::int64_t total, const std::string& tag) {
    Raise(Progress, bytesRead, total, tag, "A handler of the download progress failed");
}

// Three steps, always in this order; a step that fails is skipped and the next one follows.
void DL::onReadComplete(std::int64_t bytesRead, std::int64_t total, const std::string& tag,
                        const std::string& tempFile) {
    const std::string key = keyOf(tag);
    m_lastLocalFailure = m_service.lastLocalFailure();
    if (bytesRead > 0 && bytesRead == total) {
        const auto destination = m_colDestinations.find(key);
        std::string reason;
        int code = 0;
        if (destination == m_colDestinations.end()) {
            Warning("No destination for the download " + tag);
        } else if (!moveReplacing(tempFile, destination->second, &reason, &code)) {
            const std::string failure =
                Format("cannot move the download to %1: %2", {destination->second, reason});
            Warning(failure);
            // Without a place for the file (no folder) nothing stale can stand there either; the
            // package is plainly missing, which the host finds for itself.
            if (code != 0)
                m_lastLocalFailure = {code, failure};
        }
    }

    m_colDestinations.erase(key);

    Raise(Completed, bytesRead, total, tag, "A handler of the finished download failed");
}
