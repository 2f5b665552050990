#include "download/NetworkResponseHead_linux.h"

#include <QNetworkRequest>
#include <QVariant>

#include "download/NetworkReplyErrors_linux.h"

namespace {
std::string header(const QNetworkReply& reply, const char* name) {
    return reply.rawHeader(name).toStdString();
}
} // namespace

ResponseHead responseHeadOf(const QNetworkReply& reply) {
    ResponseHead head;
    head.status = httpStatus(reply);
    head.reasonPhrase =
        reply.attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString().toStdString();
    head.contentEncoding = header(reply, "Content-Encoding");
    head.contentRange = header(reply, "Content-Range");
    head.entityTag = header(reply, "ETag");
    head.lastModified = header(reply, "Last-Modified");
    head.transferEncoding = header(reply, "Transfer-Encoding");
    head.retryAfter = header(reply, "Retry-After");
    const QVariant length = reply.header(QNetworkRequest::ContentLengthHeader);
    bool ok = false;
    const qint64 announced = length.toLongLong(&ok);
    if (length.isValid() && ok)
        head.contentLength = announced;
    return head;
}
