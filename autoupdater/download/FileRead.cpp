// The tries of a read: each starts from the bytes held, keeps the body's bytes once its head has
// been judged, and ends judged; a failure that may pass is tried again, an answer that cannot be
// used is asked again for the whole file; the completion counts what the read came to.
#include "download/FileRead.h"

#include <algorithm>
#include <charconv>

#include "core/Diagnostics.h"

namespace {
// Start overs at once (the server sent another part than asked for, or refused the range)
// before the read fails.
constexpr int kMaxStartOvers = 2;

// A wait in seconds, to six significant digits, whatever the locale.
std::string seconds(std::chrono::milliseconds wait) {
    char text[32];
    const std::to_chars_result end = std::to_chars(
        text, text + sizeof text, double(wait.count()) / 1000.0, std::chars_format::general, 6);
    return std::string(text, end.ptr);
}
} // namespace

FileRead::FileRead(const std::string& address, const std::string& tag, int options)
    : m_address(address), m_tag(tag), m_options(options) {}

void FileRead::conclude(std::int64_t& bytesRead, std::int64_t& total, std::string& tempFile) {
    if (!m_failed) {
        removeFile(m_recordPath);
        bytesRead = total = m_file.size();
        tempFile = m_file.path();
        return;
    }
    // A failed read never looks complete: its total differs from the bytes read. A body refused
    // for what it is counts as nothing received, like an error page.
    bytesRead = m_refusedBody ? 0 : m_mostHeld;
    total = (m_total > 0 && m_total != bytesRead && !m_refusedBody) ? m_total : 0;
    tempFile.clear();
    keepOrDiscard();
}

void FileRead::beginTry() {
    m_failed = m_mayPass = m_startOver = m_headChecked = false;
    m_reason.clear();
    m_serverWait.reset();
    m_bodyEnd = -1;
    m_tryStart = m_file.size();
}

// Judged once, before any byte of the body is kept.
void FileRead::takeHead(const HeadVerdict& head) {
    if (head.kind != HeadVerdict::Kind::Pending)
        m_headChecked = true;
    switch (head.kind) {
    case HeadVerdict::Kind::Pending:
        return;
    case HeadVerdict::Kind::Fail:
        fail(head.reason, head.mayPass);
        if (m_mayPass)
            m_serverWait = head.serverWait;
        return;
    case HeadVerdict::Kind::StartOver:
        return startOver(head.reason);
    case HeadVerdict::Kind::Rest:
        m_bodyEnd = m_total;
        return;
    case HeadVerdict::Kind::Whole:
        if (m_tryStart > 0)
            startOverHere();
        setValidator(head.validator);
        m_total = -1;
        if (head.length >= 0)
            m_total = m_bodyEnd = head.length;
        return;
    }
}

bool FileRead::take(const char* data, std::int64_t size) {
    if (m_failed || m_startOver || !m_headChecked)
        return false;
    if (m_bodyEnd >= 0 && m_file.size() + size > m_bodyEnd) {
        fail("the server sent more than the " + std::to_string(m_bodyEnd - m_tryStart) +
             " bytes it announced");
        return false;
    }
    if (!acceptStart(data, size))
        return false;
    const bool appended = m_file.append(data, size);
    m_mostHeld = std::max(m_mostHeld, m_file.size()); // what fitted counts as read
    if (!appended)
        failToWrite();
    return appended;
}

// This try's body replaces what was held.
void FileRead::startOverHere() {
    m_tryStart = 0;
    m_head.clear();
    if (!m_file.truncate(0))
        failToWrite();
}

// The answer cannot be used, but a request for the whole file can: made at once.
void FileRead::startOver(const std::string& reason) {
    if (m_startOvers >= kMaxStartOvers)
        return fail(reason);
    m_startOver = true;
    m_reason = reason;
}

void FileRead::fail(const std::string& reason, bool mayPass) {
    if (m_failed)
        return;
    m_failed = true;
    m_mayPass = mayPass;
    m_reason = reason;
}

// The temporary file cannot take the bytes: a failure on this computer, never tried again.
void FileRead::failToWrite() {
    if (m_failed)
        return;
    const std::string reason = writeFailure();
    m_localFailure = {m_file.errorCode(), reason};
    fail(reason);
}

void FileRead::judgeEnd() {
    if (!m_failed && !m_startOver && m_bodyEnd >= 0 && m_file.size() != m_bodyEnd)
        fail("the transfer ended after " + std::to_string(m_file.size() - m_tryStart) + " of " +
                 std::to_string(m_bodyEnd - m_tryStart) + " bytes",
             true);
    if (!m_failed && !m_startOver)
        checkEnd();
}

void FileRead::afterTry(const RetryPolicy& policy) {
    if (m_startOver && !m_failed) {
        ++m_startOvers;
        startOverHere();
        if (!m_failed)
            return startTry();
    }
    if (m_failed && m_mayPass && !m_localFailure.happened() && m_try < policy.retries) {
        ++m_try;
        keepForNextTry();
        const std::chrono::milliseconds wait = policy.waitBefore(m_try, m_serverWait);
        Warning("Download of " + displayAddress() + " failed: " + m_reason + "; trying again in " +
                seconds(wait) + " s (try " + std::to_string(m_try + 1) + " of " +
                std::to_string(policy.retries + 1) + ")");
        return startTryAfter(wait);
    }
    if (m_failed)
        Warning("Download of " + displayAddress() + " failed: " + m_reason);
    m_concluded = true;
    finish();
}
