#include "download/NetworkResponseHead_linux.h"

#include <chrono>

#include "download/NetworkReplyErrors_linux.h"
#include "download/PartialDownload.h"
#include "download/RetryPolicy.h"

namespace {
HeadVerdict verdict(HeadVerdict::Kind kind, const QString& reason = QString()) {
    HeadVerdict judged;
    judged.kind = kind;
    judged.reason = reason;
    return judged;
}

std::string header(const QNetworkReply& reply, const char* name) {
    return reply.rawHeader(name).toStdString();
}
} // namespace

HeadVerdict judgeHead(const QNetworkReply& reply, const HeldBytes& held) {
    using Kind = HeadVerdict::Kind;
    const int status = httpStatus(reply);
    if (status < 0 || (status >= 300 && status < 400))
        return verdict(Kind::Pending);
    if (status == 416 && held.rangeAsked)
        return verdict(Kind::StartOver, QStringLiteral("the server refused the range"));
    if (status >= 400 || (status == 206 && !held.rangeAsked)) { // a part that nobody asked for
        HeadVerdict failed = verdict(Kind::Fail, statusText(reply, status));
        failed.mayPass = isPassingStatus(status);
        if (failed.mayPass)
            failed.serverWait =
                parseRetryAfter(header(reply, "Retry-After"), std::chrono::system_clock::now());
        return failed;
    }
    const QByteArray encoding = reply.rawHeader("Content-Encoding").trimmed().toLower();
    if (!encoding.isEmpty() && encoding != "identity")
        return verdict(Kind::Fail, QStringLiteral("the server sent the body encoded (%1)")
                                       .arg(QString::fromLatin1(encoding)));
    const QByteArray validator = QByteArray::fromStdString(
        PartialDownload::validatorOf(header(reply, "ETag"), header(reply, "Last-Modified")));
    if (status == 206) {
        const std::optional<ContentRange> range =
            ContentRange::parse(header(reply, "Content-Range"));
        if (!range || range->first != held.tryStart || range->last + 1 != range->total ||
            range->total != held.total || (!validator.isEmpty() && validator != held.validator))
            return verdict(Kind::StartOver,
                           QStringLiteral("the server sent another part (%1)")
                               .arg(QString::fromLatin1(reply.rawHeader("Content-Range"))));
        return verdict(Kind::Rest);
    }
    HeadVerdict whole = verdict(Kind::Whole);
    whole.validator = validator;
    if (reply.rawHeader("Transfer-Encoding").toLower().contains("chunked"))
        return whole; // any Content-Length is meaningless then
    const QVariant length = reply.header(QNetworkRequest::ContentLengthHeader);
    bool ok = false;
    const qint64 announced = length.toLongLong(&ok);
    if (length.isValid() && ok && announced >= 0)
        whole.length = announced;
    return whole;
}
