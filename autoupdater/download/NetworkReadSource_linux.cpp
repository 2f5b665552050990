// The source of a network read's try: the reply to a request, or for a file address the file
// itself, read directly and taken up by seeking while it is the same file.
#include <QFileInfo>

#include "download/NetworkReadService_linux.h"
#include "download/NetworkRead_linux.h"
#include "download/NetworkRequest_linux.h"

namespace {
// Bytes the network layer may hold for a read before it stops taking data from the socket.
constexpr qint64 kReadBufferBytes = 4 << 20;
} // namespace

void NetworkRead::startRequest() {
    m_rangeAsked = m_tryStart > 0;
    QNetworkReply* reply = m_service->m_network.get(makeReadRequest(
        m_url, {m_service->maxRedirects(), m_service->stallTimeout(),
                (m_options & AsyncReadService::ForceUpdate) != 0, m_tryStart, m_validator}));
    m_reply = reply;
    reply->setReadBufferSize(kReadBufferBytes);
    connect(reply, &QNetworkReply::metaDataChanged, this, [this] {
        checkHead();
        if (m_failed || m_startOver)
            schedulePump(); // stops the transfer
    });
    connect(reply, &QNetworkReply::readyRead, this, [this] { schedulePump(); });
    connect(reply, &QNetworkReply::finished, this, [this] { schedulePump(); });
}

void NetworkRead::openLocalFile() {
    m_headChecked = true;
    const QString path = m_url.toLocalFile();
    const QFileInfo info(path);
    m_source = std::make_unique<QFile>(path);
    if (!info.isFile() || !m_source->open(QIODevice::ReadOnly)) {
        fail(info.exists() ? m_source->errorString() : QStringLiteral("no such file"));
    } else {
        const QByteArray validator = QByteArrayLiteral("file ") + QByteArray::number(info.size()) +
                                     ' ' +
                                     QByteArray::number(info.lastModified().toMSecsSinceEpoch());
        if (m_tryStart > 0 &&
            (validator != m_validator || m_total != info.size() || !m_source->seek(m_tryStart)))
            startOverHere();
        m_validator = validator;
        m_total = m_bodyEnd = info.size();
    }
    schedulePump();
}

std::int64_t NetworkRead::sourceAvailable() const {
    return m_reply ? m_reply->bytesAvailable() : (m_source ? m_source->bytesAvailable() : 0);
}

bool NetworkRead::sourceDone() const {
    if (m_reply)
        return m_reply->isFinished();
    return !m_source || !m_source->isOpen() || m_failed || m_source->atEnd();
}

std::int64_t NetworkRead::readSource(char* data, std::int64_t size) {
    if (m_reply)
        return m_reply->read(data, size);
    const qint64 got = m_source->read(data, size);
    if (got < 0)
        fail(m_source->errorString());
    return got;
}

void NetworkRead::endSource() {
    if (m_reply) {
        m_reply->disconnect(this);
        if (m_reply->isRunning()) {
            m_abortedHere = true;
            m_reply->abort();
        }
        m_reply->deleteLater();
        m_reply = nullptr;
    }
    m_source.reset();
}
