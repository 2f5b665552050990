// The downloader control: fetches files in the background through an asynchronous-read service,
// turns the service's notifications into its events Progress and Completed, and moves every file
// that arrived whole to its destination. Not visible.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>

#include "download/AsyncReadService.h"

class DL {
public:
    // `service` (the front-end's) is not owned and must outlive the control; the control takes
    // its notifications for as long as it lives.
    explicit DL(AsyncReadService& service);
    ~DL();
    DL(const DL&) = delete;
    DL& operator=(const DL&) = delete;

    // Registers the download under `sId` and starts reading `URL`; when every byte has arrived the
    // file is moved to `sDestination`, replacing a file there. Throws AppError: DuplicateKey while
    // a download with the same id (in any letter case) is pending, and nothing starts; the
    // service's error when the read cannot be started, and the id then stays taken. `options` are
    // further option bits of the read service (ZipArchiveOnly); the read always forces an update.
    void Download(const std::string& URL, const std::string& sDestination,
                  const std::string& sId = "Id", int options = 0);

    void setCurrentFile(const std::string& fileN);
    std::string currentfile() const;

    // Number of pending downloads.
    int pendingCount() const { return int(m_colDestinations.size()); }

    // Of the last completed read (valid from its Completed on): why the file was not received or
    // not saved when the cause lies on this computer (temporary file not writable, disk full, the
    // system refused the move to the destination); empty otherwise. A failed move leaves the
    // counts of Completed as they were (and an older file at the destination), so this is the
    // only place that tells of it. A destination without its folder is not such a failure.
    const LocalFailure& lastLocalFailure() const { return m_lastLocalFailure; }

    // The events, called on the service's thread. The arguments are copies held by the control
    // for the call: a handler may change them without effect.
    using Event = std::function<void(std::int64_t& DownloadedBytes, std::int64_t& TotalBytes,
                                     std::string& sId)>;
    Event Progress;
    Event Completed;

private:
    void onReadProgress(std::int64_t bytesRead, std::int64_t total, const std::string& tag);
    void onReadComplete(std::int64_t bytesRead, std::int64_t total, const std::string& tag,
                        const std::string& tempFile);

    AsyncReadService& m_service;
    // Pending downloads: case-folded id -> destination path.
    std::unordered_map<std::string, std::string> m_colDestinations;
    std::string m_sCurrentFile;
    LocalFailure m_lastLocalFailure;
};
