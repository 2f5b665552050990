// The asynchronous-read service of the Linux front-end, on Qt's network access: http, https
// (certificates always verified) and file addresses, streamed into a temporary file. A transfer
// that fails in a way that may pass is tried again, and every try goes on from the bytes that
// arrived before, in this run or an earlier one, as long as the source shows they are still the
// same. Runs on the thread that made it, whose Qt event loop must run; its notifications come on
// that thread.
#pragma once

#include <QNetworkAccessManager>
#include <QObject>
#include <QString>
#include <chrono>
#include <memory>
#include <string>

#include "download/FileReadService.h"

class NetworkRead;

class NetworkReadService : public QObject, public FileReadService {
    Q_OBJECT
public:
    explicit NetworkReadService(QObject* parent = nullptr);
    explicit NetworkReadService(std::chrono::milliseconds stallTimeout, QObject* parent = nullptr);
    // Reads still under way are dropped without a notification; what they received is kept for
    // the next read of the same address when it can be taken up, and deleted otherwise.
    ~NetworkReadService() override;

    // Where temporary files are created; the system's temporary folder unless set. Every start
    // first removes the temporary files there that no read holds any more (those of an updater
    // that was killed while it downloaded), except the partial downloads that may still be taken
    // up (no older than a day).
    void setTempFolder(const QString& folder) { m_tempFolder = folder; }
    QString tempFolder() const;

private:
    friend class NetworkRead;
    std::unique_ptr<FileRead> newRead(const std::string& address, const std::string& tag,
                                      int options) override;
    std::string clearedTempFolder() override;

    QNetworkAccessManager m_network;
    QString m_tempFolder;
};
