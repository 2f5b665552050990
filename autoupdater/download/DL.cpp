#include "download/DL.h"

#include <QtDebug>

#include "AppError.h"
#include "download/AsyncReadService.h"
#include "download/FileMove.h"
#include "download/NetworkReadService.h"

namespace {
QString keyOf(const QString& id) {
    return id.toCaseFolded();
}
} // namespace

DL::DL(AsyncReadService* service, QObject* parent)
    : QObject(parent), m_service(service ? service : new NetworkReadService()),
      m_ownsService(service == nullptr) {
    connect(m_service, &AsyncReadService::readProgress, this, &DL::onReadProgress,
            Qt::DirectConnection);
    connect(m_service, &AsyncReadService::readComplete, this, &DL::onReadComplete,
            Qt::DirectConnection);
}

DL::~DL() {
    if (m_ownsService)
        delete m_service;
}

void DL::Download(const QString& URL, const QString& sDestination, const QString& sId,
                  int options) {
    const QString key = keyOf(sId);
    if (m_colDestinations.contains(key))
        throw AppError(AppError::DuplicateKey,
                       QStringLiteral("This key is already associated with an element of this "
                                      "collection"));
    m_colDestinations.insert(key, sDestination);
    m_service->start(URL, AsyncReadService::DeliverToFile, sId,
                     AsyncReadService::ForceUpdate | options);
}

void DL::setCurrentFile(const QString& fileN) {
    m_sCurrentFile = fileN;
}

QString DL::currentfile() const {
    return m_sCurrentFile;
}

void DL::onReadProgress(qint64 bytesRead, qint64 total, const QString& tag) {
    qint64 downloaded = bytesRead;
    qint64 totalBytes = total;
    QString id = tag;
    try {
        emit Progress(downloaded, totalBytes, id);
    } catch (...) {
        qWarning("A handler of the download progress failed");
    }
}

// Three steps, always in this order; a step that fails is skipped and the next one follows.
void DL::onReadComplete(qint64 bytesRead, qint64 total, const QString& tag,
                        const QString& tempFile) {
    const QString key = keyOf(tag);
    m_lastLocalFailure = m_service->lastLocalFailure();
    if (bytesRead > 0 && bytesRead == total) {
        const auto destination = m_colDestinations.constFind(key);
        QString reason;
        int code = 0;
        if (destination == m_colDestinations.constEnd()) {
            qWarning().noquote() << "No destination for the download" << tag;
        } else if (!moveReplacing(tempFile, *destination, &reason, &code)) {
            const QString failure =
                QStringLiteral("cannot move the download to %1: %2").arg(*destination, reason);
            qWarning().noquote() << failure;
            // Without a place for the file (no folder) nothing stale can stand there either; the
            // package is plainly missing, which the host finds for itself.
            if (code != 0)
                m_lastLocalFailure = {code, failure};
        }
    }

    m_colDestinations.remove(key);

    qint64 downloaded = bytesRead;
    qint64 totalBytes = total;
    QString id = tag;
    try {
        emit Completed(downloaded, totalBytes, id);
    } catch (...) {
        qWarning("A handler of the finished download failed");
    }
}
