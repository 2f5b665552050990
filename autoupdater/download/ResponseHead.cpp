#include "download/ResponseHead.h"

#include "core/Text.h"
#include "download/HeaderText.h"
#include "download/PartialDownload.h"
#include "download/RetryPolicy.h"

namespace {
HeadVerdict verdict(HeadVerdict::Kind kind, const std::string& reason = {}) {
    HeadVerdict judged;
    judged.kind = kind;
    judged.reason = reason;
    return judged;
}
} // namespace

std::string StatusText(int status, const std::string& reasonPhrase) {
    if (status < 0)
        return "no response from the server";
    const std::string_view reason = TrimHeaderSpace(reasonPhrase);
    std::string text = "HTTP " + std::to_string(status);
    if (!reason.empty())
        text.append(" ").append(reason);
    return text;
}

HeadVerdict JudgeHead(const ResponseHead& head, const HeldBytes& held) {
    using Kind = HeadVerdict::Kind;
    const int status = head.status;
    if (status < 0 || (status >= 300 && status < 400))
        return verdict(Kind::Pending);
    if (status == 416 && held.rangeAsked)
        return verdict(Kind::StartOver, "the server refused the range");
    if (status >= 400 || (status == 206 && !held.rangeAsked)) { // a part that nobody asked for
        HeadVerdict failed = verdict(Kind::Fail, StatusText(status, head.reasonPhrase));
        failed.mayPass = isPassingStatus(status);
        if (failed.mayPass)
            failed.serverWait = parseRetryAfter(head.retryAfter, std::chrono::system_clock::now());
        return failed;
    }
    const std::string encoding = AsciiLower(TrimHeaderSpace(head.contentEncoding));
    if (!encoding.empty() && encoding != "identity")
        return verdict(Kind::Fail, "the server sent the body encoded (" + encoding + ")");
    const std::string validator = PartialDownload::validatorOf(head.entityTag, head.lastModified);
    if (status == 206) {
        const std::optional<ContentRange> range = ContentRange::parse(head.contentRange);
        if (!range || range->first != held.tryStart || range->last + 1 != range->total ||
            range->total != held.total || (!validator.empty() && validator != held.validator))
            return verdict(Kind::StartOver,
                           "the server sent another part (" + head.contentRange + ")");
        return verdict(Kind::Rest);
    }
    HeadVerdict whole = verdict(Kind::Whole);
    whole.validator = validator;
    if (AsciiLower(head.transferEncoding).find("chunked") != std::string::npos)
        return whole; // any Content-Length is meaningless then
    if (head.contentLength && *head.contentLength >= 0)
        whole.length = *head.contentLength;
    return whole;
}
