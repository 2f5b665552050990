// Whether a network read's body is a zip archive, when the read takes nothing else (an update
// package): judged on its first bytes before they are kept, and on its end once it is whole.
#include "download/NetworkRead_linux.h"
#include "download/PackageCheck.h"

// Whether the body may be what the reads must be, judged on its first bytes before they are
// kept: a body refused here is dropped whole.
bool NetworkRead::acceptStart(const char* data, std::int64_t size) {
    if (!(m_options & AsyncReadService::ZipArchiveOnly) ||
        m_file.size() >= std::int64_t(PackageCheck::HeadBytes))
        return true;
    m_head.append(data,
                  std::size_t(std::min<std::int64_t>(size, 64 - std::int64_t(m_head.size()))));
    if (m_head.size() < PackageCheck::HeadBytes || PackageCheck::startsLikeZip(m_head))
        return true;
    refuseBody();
    return false;
}

void NetworkRead::refuseBody() {
    // The type as the server wrote it: its bytes as Latin-1 characters.
    const std::string type =
        m_reply ? QString::fromLatin1(m_reply->rawHeader("Content-Type")).toStdString()
                : std::string();
    fail(QStringLiteral("what arrived is no zip archive but %1")
             .arg(QString::fromStdString(PackageCheck::describe(m_head, type))));
    m_refusedBody = true;
}

// A whole body must also end like a zip archive.
void NetworkRead::checkEnd() {
    if (!(m_options & AsyncReadService::ZipArchiveOnly))
        return;
    if (m_file.size() < std::int64_t(PackageCheck::HeadBytes))
        return refuseBody();
    if (!PackageCheck::endsLikeZip(m_file.tail(PackageCheck::TailBytes)))
        fail(QStringLiteral("what arrived (%1 bytes) is a zip archive without its end")
                 .arg(m_file.size()));
}
