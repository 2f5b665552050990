// The asynchronous-read service that the downloader control works through: it fetches an address
// into a temporary file of its own and reports progress and the end of every read on the thread
// that owns it (the run's thread). The front-end provides it (on Linux the network service on Qt).
#pragma once

#include <cerrno>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>

// Why a read, or the saving of the file it received, failed on this computer rather than at the
// source: the temporary file could not be written, or the file could not be put in its place.
struct LocalFailure {
    int systemError = 0; // the system's error number (errno); 0 when there is none
    std::string reason;  // empty: no local failure

    bool happened() const { return !reason.empty(); }
    bool outOfSpace() const {
#ifdef EDQUOT
        if (systemError == EDQUOT)
            return true;
#endif
        return systemError == ENOSPC;
    }
};

class AsyncReadService {
public:
    // Delivery kinds for start().
    static constexpr int DeliverToFile = 1; // the bytes go into a temporary file
    // Option bits for start().
    static constexpr int ForceUpdate = 16; // always fetch from the source, never from a cache
    // The body must be a zip archive (an update package): anything else fails the read, as when
    // the server answered with an error, and is not kept.
    static constexpr int ZipArchiveOnly = 32;

    AsyncReadService() = default;
    virtual ~AsyncReadService() = default;
    AsyncReadService(const AsyncReadService&) = delete;
    AsyncReadService& operator=(const AsyncReadService&) = delete;

    // Starts reading `address`. Returns as soon as the read is under way; throws AppError when it
    // cannot be started, and then no notification follows. Every started read ends with exactly
    // one readComplete. Several reads may run at once; their notifications carry their tag.
    virtual void start(const std::string& address, int deliveryKind, const std::string& tag,
                       int options) = 0;

    // Of the read whose readComplete was called last: why it failed when the cause lies on this
    // computer; empty after a success or a failure at the source (network, server).
    const LocalFailure& lastLocalFailure() const { return m_lastLocalFailure; }

    // The notifications, called on the thread that owns the service (empty: nobody listens).

    // Zero or more times while data arrives. `total` is 0 while the size is unknown.
    std::function<void(std::int64_t bytesRead, std::int64_t total, const std::string& tag)>
        readProgress;

    // Exactly once per started read. `tempFile` is the full path of the received file, closed and
    // complete, after a successful read; it is empty after a failed one. A successful read always
    // has bytesRead == total; a failed one never has bytesRead == total > 0. A temporary file that
    // the receiver did not move away is deleted once the call has returned: the receiver acts on
    // it within the call.
    std::function<void(std::int64_t bytesRead, std::int64_t total, const std::string& tag,
                       const std::string& tempFile)>
        readComplete;

protected:
    // Implementations set this just before they call readComplete.
    void setLastLocalFailure(LocalFailure failure) { m_lastLocalFailure = std::move(failure); }

private:
    LocalFailure m_lastLocalFailure;
};
