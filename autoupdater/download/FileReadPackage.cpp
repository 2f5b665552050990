// Whether a read's body is a zip archive, when the read takes nothing else (an update package):
// judged on its first bytes before they are kept, and on its end once it is whole.
#include <algorithm>

#include "download/FileRead.h"
#include "download/PackageCheck.h"

// Whether the body may be what the read must be, judged on its first bytes before they are kept:
// a body refused here is dropped whole.
bool FileRead::acceptStart(const char* data, std::int64_t size) {
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

void FileRead::refuseBody() {
    fail("what arrived is no zip archive but " + PackageCheck::describe(m_head, contentType()));
    m_refusedBody = true;
}

// A whole body must also end like a zip archive.
void FileRead::checkEnd() {
    if (!(m_options & AsyncReadService::ZipArchiveOnly))
        return;
    if (m_file.size() < std::int64_t(PackageCheck::HeadBytes))
        return refuseBody();
    if (!PackageCheck::endsLikeZip(m_file.tail(PackageCheck::TailBytes)))
        fail("what arrived (" + std::to_string(m_file.size()) +
             " bytes) is a zip archive without its end");
}
