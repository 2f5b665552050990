// The asynchronous-read service of the Windows front-end, on WinHTTP: http, https (certificates
// always verified against the system's store) and file addresses, streamed into a temporary file.
// Reads go through the system's proxy; redirects are followed up to a limit and never from https
// to http. A transfer that fails in a way that may pass is tried again, and every try goes on from
// the bytes that arrived before, in this run or an earlier one, as long as the source shows they
// are still the same. WinHTTP works on threads of its own; everything a read does with what it
// reports happens on the thread of `loop` (through post()), where the notifications come too.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "core/EventLoop.h"
#include "download/AsyncReadService.h"
#include "download/RetryPolicy.h"

class WinHttpRead;
struct WinHttpSession;

class WinHttpReadService : public AsyncReadService {
public:
    static constexpr std::chrono::milliseconds DefaultStallTimeout{30000};
    static constexpr int DefaultMaxRedirects = 10;

    // To be made, used and destroyed on the thread that runs `loop`, which must outlive it.
    explicit WinHttpReadService(EventLoop& loop);
    // Reads still under way are dropped without a notification; what they received is kept for
    // the next read of the same address when it can be taken up, and deleted otherwise. Returns
    // once WinHTTP has let go of every request, so that nothing of them is called afterwards.
    ~WinHttpReadService() override;

    // A transfer that exchanges no data for this long fails as a try; 0 means no limit. Applies to
    // reads started afterwards.
    void setStallTimeout(std::chrono::milliseconds timeout) { m_stallTimeout = timeout; }
    std::chrono::milliseconds stallTimeout() const { return m_stallTimeout; }

    // Where temporary files are created (UTF-8); the system's temporary folder unless set. Every
    // start first removes the temporary files there that no read holds any more, except the
    // partial downloads that may still be taken up (no older than a day).
    void setTempFolder(const std::string& folder) { m_tempFolder = folder; }
    std::string tempFolder() const;

    // Redirects followed per read before it fails.
    void setMaxRedirects(int count) { m_maxRedirects = count; }
    int maxRedirects() const { return m_maxRedirects; }

    // How often, and after how long, a transfer that failed in a way that may pass (the connection
    // lost once the request was sent, no data for the stall time-out, 502, 503, 504) is tried
    // again. Each retry writes one diagnostic; only the last failure ends the read.
    void setRetryPolicy(const RetryPolicy& policy) { m_retryPolicy = policy; }
    const RetryPolicy& retryPolicy() const { return m_retryPolicy; }

    // Number of reads started and not yet completed.
    int activeReads() const { return int(m_reads.size()); }

    void start(const std::string& address, int deliveryKind, const std::string& tag,
               int options) override;

private:
    friend class WinHttpRead;
    void finishRead(WinHttpRead* read);

    EventLoop& m_loop;
    std::shared_ptr<WinHttpSession> m_session;
    std::chrono::milliseconds m_stallTimeout = DefaultStallTimeout;
    int m_maxRedirects = DefaultMaxRedirects;
    RetryPolicy m_retryPolicy;
    std::string m_tempFolder;
    std::vector<std::unique_ptr<WinHttpRead>> m_reads;
    std::shared_ptr<int> m_life = std::make_shared<int>(0); // gone with the service
};
