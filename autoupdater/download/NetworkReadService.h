// The asynchronous-read service on Qt's network access: http, https (certificates always verified)
// and file addresses, streamed into a temporary file.
#pragma once

#include <QList>
#include <QNetworkAccessManager>
#include <chrono>

#include "download/AsyncReadService.h"

class NetworkRead;

class NetworkReadService : public AsyncReadService {
    Q_OBJECT
public:
    static constexpr std::chrono::milliseconds DefaultStallTimeout{30000};
    static constexpr int DefaultMaxRedirects = 10;

    explicit NetworkReadService(QObject* parent = nullptr);
    explicit NetworkReadService(std::chrono::milliseconds stallTimeout, QObject* parent = nullptr);
    // Reads still under way are dropped without a notification; their temporary files are deleted.
    ~NetworkReadService() override;

    // A transfer that exchanges no data for this long is aborted and ends as a failed read; 0 means
    // no limit. Applies to reads started afterwards.
    void setStallTimeout(std::chrono::milliseconds timeout) { m_stallTimeout = timeout; }
    std::chrono::milliseconds stallTimeout() const { return m_stallTimeout; }

    // Where temporary files are created; the system's temporary folder unless set. Every start
    // first removes the temporary files there that no read holds any more (those of an updater
    // that was killed while it downloaded).
    void setTempFolder(const QString& folder) { m_tempFolder = folder; }
    QString tempFolder() const;

    // Redirects followed per read before it fails.
    void setMaxRedirects(int count) { m_maxRedirects = count; }
    int maxRedirects() const { return m_maxRedirects; }

    // Number of reads started and not yet completed.
    int activeReads() const { return int(m_reads.size()); }

    void start(const QString& address, int deliveryKind, const QString& tag, int options) override;

private:
    friend class NetworkRead;
    void finishRead(NetworkRead* read);

    QNetworkAccessManager m_network;
    std::chrono::milliseconds m_stallTimeout;
    int m_maxRedirects = DefaultMaxRedirects;
    QString m_tempFolder;
    QList<NetworkRead*> m_reads;
};
