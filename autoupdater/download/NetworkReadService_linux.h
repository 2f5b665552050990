// The asynchronous-read service of the Linux front-end, on Qt's network access: http, https
// (certificates always verified) and file addresses, streamed into a temporary file. A transfer
// that fails in a way that may pass is tried again, and every try goes on from the bytes that
// arrived before, in this run or an earlier one, as long as the source shows they are still the
// same. Runs on the thread that made it, whose Qt event loop must run; its notifications come on
// that thread.
#pragma once

#include <QList>
#include <QNetworkAccessManager>
#include <QObject>
#include <QString>
#include <chrono>

#include "download/AsyncReadService.h"
#include "download/RetryPolicy.h"

class NetworkRead;

class NetworkReadService : public QObject, public AsyncReadService {
    Q_OBJECT
public:
    static constexpr std::chrono::milliseconds DefaultStallTimeout{30000};
    static constexpr int DefaultMaxRedirects = 10;

    explicit NetworkReadService(QObject* parent = nullptr);
    explicit NetworkReadService(std::chrono::milliseconds stallTimeout, QObject* parent = nullptr);
    // Reads still under way are dropped without a notification; what they received is kept for
    // the next read of the same address when it can be taken up, and deleted otherwise.
    ~NetworkReadService() override;

    // A transfer that exchanges no data for this long is aborted and ends as a failed try; 0 means
    // no limit. Applies to reads started afterwards.
    void setStallTimeout(std::chrono::milliseconds timeout) { m_stallTimeout = timeout; }
    std::chrono::milliseconds stallTimeout() const { return m_stallTimeout; }

    // Where temporary files are created; the system's temporary folder unless set. Every start
    // first removes the temporary files there that no read holds any more (those of an updater
    // that was killed while it downloaded), except the partial downloads that may still be taken
    // up (no older than a day).
    void setTempFolder(const QString& folder) { m_tempFolder = folder; }
    QString tempFolder() const;

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

    void start(const std::string& address, int deliveryKind, const std::string& tag,
               int options) override;

private:
    friend class NetworkRead;
    void finishRead(NetworkRead* read);

    QNetworkAccessManager m_network;
    std::chrono::milliseconds m_stallTimeout;
    int m_maxRedirects = DefaultMaxRedirects;
    RetryPolicy m_retryPolicy;
    QString m_tempFolder;
    QList<NetworkRead*> m_reads;
};
