// What every platform's read service has alike: the settings its reads follow (the stall
// time-out, the redirects, the retries), the start of a read, the reads under way, and the
// notification that ends each of them. The platform makes its reads and keeps its temporary folder.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "download/AsyncReadService.h"
#include "download/FileRead.h"
#include "download/RetryPolicy.h"

class FileReadService : public AsyncReadService {
public:
    static constexpr std::chrono::milliseconds DefaultStallTimeout{30000};
    static constexpr int DefaultMaxRedirects = 10;

    // A transfer that exchanges no data for this long is aborted and ends as a failed try; 0 means
    // no limit. Applies to reads started afterwards.
    void setStallTimeout(std::chrono::milliseconds timeout) { m_stallTimeout = timeout; }
    std::chrono::milliseconds stallTimeout() const { return m_stallTimeout; }

    // Redirects followed per read before it fails.
    void setMaxRedirects(int count) { m_maxRedirects = count; }
    int maxRedirects() const { return m_maxRedirects; }

    // How often, and after how long, a transfer that failed in a way that may pass (the connection
    // lost or reset once the request was sent, no data for the stall time-out, 502, 503, 504) is
    // tried again. Each retry writes one diagnostic; only the last failure ends the read.
    void setRetryPolicy(const RetryPolicy& policy) { m_retryPolicy = policy; }
    const RetryPolicy& retryPolicy() const { return m_retryPolicy; }

    // Number of reads started and not yet completed.
    int activeReads() const { return int(m_reads.size()); }

    // The read's temporary file is made before anything goes out, so that a read that starts can
    // always keep its bytes.
    void start(const std::string& address, int deliveryKind, const std::string& tag,
               int options) final;

protected:
    explicit FileReadService(std::chrono::milliseconds stallTimeout)
        : m_stallTimeout(stallTimeout) {}
    ~FileReadService() override;

    // --- what only the platform does ---
    // A read of `address`, not yet begun; throws refuseAddress() when the address cannot be read.
    virtual std::unique_ptr<FileRead> newRead(const std::string& address, const std::string& tag,
                                              int options) = 0;
    // The temporary folder, rid first of what killed or finished updaters left there and nobody
    // needs.
    virtual std::string clearedTempFolder() = 0;

    [[noreturn]] static void refuseAddress(const std::string& address, const std::string& why);
    static constexpr const char* NoReadableAddress = "not an http, https or file address";

    // For a read once it is concluded: takes it off the reads under way and hands it over.
    std::unique_ptr<FileRead> takeOff(FileRead* read);
    // Drops the reads under way without a notification (for the service's end, before what they
    // use goes).
    void dropReads();

    // Concludes `read`, taken off the reads under way, and tells the receivers; then whatever they
    // did not move away of its file goes. False when the service went away inside the
    // notification, and the read with it.
    bool complete(FileRead& read);

private:
    std::chrono::milliseconds m_stallTimeout;
    int m_maxRedirects = DefaultMaxRedirects;
    RetryPolicy m_retryPolicy;
    std::vector<std::unique_ptr<FileRead>> m_reads;
    std::shared_ptr<int> m_life = std::make_shared<int>(0); // gone with the service
};
