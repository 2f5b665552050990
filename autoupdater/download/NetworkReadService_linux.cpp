// The network read service: the reads it starts, and the notification that ends each of them.
#include "download/NetworkReadService_linux.h"

#include <QDir>
#include <memory>
#include <utility>

#include "download/NetworkRead_linux.h"
#include "download/NetworkTempFolder_linux.h"

NetworkReadService::NetworkReadService(QObject* parent)
    : NetworkReadService(DefaultStallTimeout, parent) {}

NetworkReadService::NetworkReadService(std::chrono::milliseconds stallTimeout, QObject* parent)
    : QObject(parent), FileReadService(stallTimeout) {}

NetworkReadService::~NetworkReadService() {
    dropReads();
}

QString NetworkReadService::tempFolder() const {
    return m_tempFolder.isEmpty() ? QDir::tempPath() : m_tempFolder;
}

std::unique_ptr<FileRead> NetworkReadService::newRead(const std::string& address,
                                                      const std::string& tag, int options) {
    const QString text = QString::fromStdString(address);
    const QUrl url(text);
    const QString scheme = url.scheme().toLower();
    const bool http = scheme == QLatin1String("http") || scheme == QLatin1String("https");
    if (!url.isValid() || !(http || scheme == QLatin1String("file")) ||
        (http && url.host().isEmpty()) || (!http && url.toLocalFile().isEmpty()))
        refuseAddress(address, NoReadableAddress);
    return std::make_unique<NetworkRead>(this, url, tag, options);
}

std::string NetworkReadService::clearedTempFolder() {
    const QString folder = QDir(tempFolder()).path();
    removeAbandonedFiles(folder);
    return folder.toStdString();
}
