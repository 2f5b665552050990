#include "download/NetworkReplyErrors_linux.h"

#include <QNetworkRequest>
#include <QVariant>

int httpStatus(const QNetworkReply& reply) {
    const QVariant status = reply.attribute(QNetworkRequest::HttpStatusCodeAttribute);
    return status.isValid() ? status.toInt() : -1;
}

QString statusText(const QNetworkReply& reply, int status) {
    if (status < 0)
        return QStringLiteral("no response from the server");
    const QString reason = reply.attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString();
    return QStringLiteral("HTTP %1 %2").arg(status).arg(reason).trimmed();
}

std::optional<TryFailure> replyFailure(const QNetworkReply& reply, bool abortedHere,
                                       std::chrono::milliseconds stallTimeout) {
    const QNetworkReply::NetworkError error = reply.error();
    if (error != QNetworkReply::NoError) {
        const bool stalled = (error == QNetworkReply::OperationCanceledError && !abortedHere) ||
                             error == QNetworkReply::TimeoutError;
        const bool lost = error == QNetworkReply::RemoteHostClosedError ||
                          error == QNetworkReply::TemporaryNetworkFailureError ||
                          error == QNetworkReply::NetworkSessionFailedError ||
                          error == QNetworkReply::ProxyConnectionClosedError;
        return TryFailure{stalled ? QStringLiteral("no data for %1 ms").arg(stallTimeout.count())
                                  : reply.errorString(),
                          stalled || lost};
    }
    const int status = httpStatus(reply);
    if (status < 200 || status >= 300)
        return TryFailure{statusText(reply, status), false};
    return std::nullopt;
}
