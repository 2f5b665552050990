// The network read service: the reads it starts, and the notification that ends each of them.
#include "download/NetworkReadService_linux.h"

#include <QDir>
#include <memory>
#include <utility>

#include "AppError.h"
#include "core/Diagnostics.h"
#include "download/NetworkRead_linux.h"
#include "download/NetworkTempFolder_linux.h"

NetworkReadService::NetworkReadService(QObject* parent)
    : NetworkReadService(DefaultStallTimeout, parent) {}

NetworkReadService::NetworkReadService(std::chrono::milliseconds stallTimeout, QObject* parent)
    : QObject(parent), m_stallTimeout(stallTimeout) {}

NetworkReadService::~NetworkReadService() {
    const QList<NetworkRead*> reads = std::exchange(m_reads, {});
    qDeleteAll(reads);
}

QString NetworkReadService::tempFolder() const {
    return m_tempFolder.isEmpty() ? QDir::tempPath() : m_tempFolder;
}

void NetworkReadService::start(const std::string& address, int deliveryKind, const std::string& tag,
                               int options) {
    if (deliveryKind != DeliverToFile)
        throw AppError(AppError::InvalidArgument, "Invalid procedure call or argument");
    const QString text = QString::fromStdString(address);
    const QUrl url(text);
    const QString scheme = url.scheme().toLower();
    const bool http = scheme == QLatin1String("http") || scheme == QLatin1String("https");
    if (!url.isValid() || !(http || scheme == QLatin1String("file")) ||
        (http && url.host().isEmpty()) || (!http && url.toLocalFile().isEmpty()))
        throw AppError(AppError::ReadNotStarted,
                       "Cannot read from '" + address + "': not an http, https or file address");

    // The temporary file is made before anything goes out, so that a read that starts can always
    // keep its bytes.
    const QString folder = QDir(tempFolder()).path();
    removeAbandonedFiles(folder);
    auto read = std::make_unique<NetworkRead>(this, url, tag, options);
    if (!read->prepare())
        throw AppError(AppError::ReadNotStarted, "Cannot create a temporary file in '" +
                                                     folder.toStdString() +
                                                     "': " + read->fileError());
    NetworkRead* started = read.release();
    m_reads.append(started);
    started->begin();
}

void NetworkReadService::finishRead(NetworkRead* read) {
    m_reads.removeOne(read);
    std::int64_t bytesRead = 0;
    std::int64_t total = 0;
    std::string tempFile;
    read->conclude(bytesRead, total, tempFile);
    const std::string tag = read->tag();
    setLastLocalFailure(tempFile.empty() ? read->localFailure() : LocalFailure{});
    const QPointer<NetworkRead> alive(read);
    // A copy: the receiver may end the service while it runs.
    const auto notify = readComplete;
    try {
        if (notify)
            notify(bytesRead, total, tag, tempFile);
    } catch (...) {
        Warning("A handler of a finished download failed");
    }
    if (!alive)
        return; // the service went away inside the notification, and the file with it
    // Whatever the receivers did not move away goes now.
    read->discardFile();
    read->deleteLater();
}
