// The tries of a WinHTTP read: each starts from the bytes held, takes the source's bytes into the
// temporary file as they arrive, and ends judged; a failure that may pass is tried again after a
// wait, an answer that cannot be used is asked again for the whole file.
#include "download/WinHttpRead_windows.h"

#include <algorithm>
#include <cstdio>

#include <vorn/Files_windows.h>

#include "core/Diagnostics.h"
#include "download/WinHttpReadService_windows.h"

using std::chrono::milliseconds;

namespace {
// Start overs at once (the server sent another part than asked for, or refused the range)
// before the read fails.
constexpr int kMaxStartOvers = 2;

std::string seconds(milliseconds wait) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", double(wait.count()) / 1000.0);
    return text;
}
} // namespace

WinHttpRead::WinHttpRead(WinHttpReadService* service, const std::string& address, ReadSource source,
                         const std::string& tag, int options)
    : m_service(service), m_address(address), m_source(std::move(source)), m_tag(tag),
      m_options(options) {}

WinHttpRead::~WinHttpRead() {
    m_life.reset();
    m_wait.reset();
    endSource();
    if (m_concluded)
        discardFile(); // what the receivers did not move away
    else if (m_file.isOpen())
        keepOrDiscard();
}

void WinHttpRead::conclude(std::int64_t& bytesRead, std::int64_t& total, std::string& tempFile) {
    if (!m_failed) {
        DeleteFileW(LongWindowsPath(m_recordPath).c_str());
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

void WinHttpRead::discardFile() {
    if (m_file.isOpen() &&
        GetFileAttributesW(LongWindowsPath(m_file.path()).c_str()) == INVALID_FILE_ATTRIBUTES)
        m_file.close();
    else
        m_file.discard();
}

void WinHttpRead::later(void (WinHttpRead::*step)()) {
    m_service->m_loop.post([life = std::weak_ptr<int>(m_life), this, step] {
        if (!life.expired())
            (this->*step)();
    });
}

void WinHttpRead::startTry() {
    m_wait.reset();
    m_failed = m_mayPass = m_startOver = m_headChecked = false;
    m_reason.clear();
    m_serverWait.reset();
    m_bodyEnd = -1;
    m_tryStart = m_file.size();
    if (m_source.http)
        startRequest();
    else
        openLocalFile();
}

void WinHttpRead::onEvent(const RequestEvent& event) {
    if (!m_request)
        return;
    DWORD error = 0;
    switch (event.kind) {
    case RequestEvent::Kind::Sent:
        error = m_request->receive();
        break;
    case RequestEvent::Kind::Head:
        checkHead();
        if (m_failed || m_startOver)
            return endTry();
        error = m_request->askForData();
        break;
    case RequestEvent::Kind::Available:
        if (event.count == 0)
            return endTry();
        error = m_request->read(event.count);
        break;
    case RequestEvent::Kind::Read:
        if (event.count == 0)
            return endTry();
        take(m_request->data(), event.count);
        if (m_failed || m_startOver)
            return endTry();
        if (!reportProgress())
            return; // the receiver ended the service, and this read with it
        error = m_request->askForData();
        break;
    case RequestEvent::Kind::Error:
        error = event.error;
        break;
    }
    if (error != 0) {
        failRequest(error);
        endTry();
    }
}

// Judges the response head once, before any byte of its body is kept.
void WinHttpRead::checkHead() {
    m_headChecked = true;
    const ResponseHead response = m_request->head();
    m_contentType = m_request->header(L"Content-Type");
    if (response.status >= 300 && response.status < 400)
        return fail("the redirect was not followed (too many, or from https to http): " +
                    StatusText(response.status, response.reasonPhrase));
    const HeadVerdict head = JudgeHead(response, {m_rangeAsked, m_tryStart, m_total, m_validator});
    switch (head.kind) {
    case HeadVerdict::Kind::Pending:
        return fail(StatusText(response.status, response.reasonPhrase));
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
        m_validator = head.validator;
        m_total = -1;
        if (head.length >= 0)
            m_total = m_bodyEnd = head.length;
        return;
    }
}

// Keeps bytes of the body, unless the try has failed or they are not the file's.
void WinHttpRead::take(const char* data, std::int64_t size) {
    if (m_failed || m_startOver || !m_headChecked)
        return;
    if (m_bodyEnd >= 0 && m_file.size() + size > m_bodyEnd)
        return fail("the server sent more than the " + std::to_string(m_bodyEnd - m_tryStart) +
                    " bytes it announced");
    if (!acceptStart(data, size))
        return;
    const bool appended = m_file.append(data, size);
    m_mostHeld = std::max(m_mostHeld, m_file.size()); // what fitted counts as read
    if (!appended)
        failToWrite();
}

// After bytes were kept: the record follows them, and the receiver hears of them. False when the
// receiver ended the service, and this read with it.
bool WinHttpRead::reportProgress() {
    recordWhenDue();
    const std::weak_ptr<int> alive = m_life;
    // A copy: the receiver may end the service while it runs.
    const auto notify = m_service->readProgress;
    if (notify)
        notify(m_file.size(), std::max<std::int64_t>(m_total, 0), m_tag);
    return !alive.expired();
}

// This try's body replaces what was held.
void WinHttpRead::startOverHere() {
    m_tryStart = 0;
    m_head.clear();
    if (!m_file.truncate(0))
        failToWrite();
}

// The answer cannot be used, but a request for the whole file can: made at once.
void WinHttpRead::startOver(const std::string& reason) {
    if (m_startOvers >= kMaxStartOvers)
        return fail(reason);
    m_startOver = true;
    m_reason = reason;
}

void WinHttpRead::fail(const std::string& reason, bool mayPass) {
    if (m_failed)
        return;
    m_failed = true;
    m_mayPass = mayPass;
    m_reason = reason;
}

// Why WinHTTP gave up the request. No data for the stall time-out and a connection lost once it
// was made may pass; a refused connection, an unknown host or a refused certificate does not.
// (Some WinHTTPs pass on the socket's error: WSAETIMEDOUT, WSAECONNRESET, WSAECONNABORTED.)
void WinHttpRead::failRequest(DWORD error) {
    constexpr DWORD kSocketTimedOut = 10060, kSocketReset = 10054, kSocketAborted = 10053;
    if (error == ERROR_WINHTTP_TIMEOUT || error == kSocketTimedOut)
        return fail("no data for " + std::to_string(m_service->stallTimeout().count()) + " ms",
                    true);
    fail(WinHttpErrorText(error), error == ERROR_WINHTTP_CONNECTION_ERROR ||
                                      error == kSocketReset || error == kSocketAborted);
}

// The temporary file cannot take the bytes: a failure on this computer, never tried again.
void WinHttpRead::failToWrite() {
    if (m_failed)
        return;
    m_localFailure = {m_file.errorCode(), m_file.error()};
    fail(m_file.error());
}

void WinHttpRead::endTry() {
    if (!m_failed && !m_startOver && m_bodyEnd >= 0 && m_file.size() != m_bodyEnd)
        fail("the transfer ended after " + std::to_string(m_file.size() - m_tryStart) + " of " +
                 std::to_string(m_bodyEnd - m_tryStart) + " bytes",
             true);
    if (!m_failed && !m_startOver)
        checkEnd();
    // Complete only once every byte is on the disk.
    if (!m_failed && !m_startOver && !m_file.sync())
        failToWrite();
    endSource();
    if (m_startOver && !m_failed) {
        ++m_startOvers;
        startOverHere();
        if (!m_failed)
            return startTry();
    }
    if (m_failed && m_mayPass && !m_localFailure.happened() &&
        m_try < m_service->retryPolicy().retries) {
        ++m_try;
        keepForNextTry();
        const milliseconds wait = m_service->retryPolicy().waitBefore(m_try, m_serverWait);
        Warning("Download of " + displayAddress() + " failed: " + m_reason + "; trying again in " +
                seconds(wait) + " s (try " + std::to_string(m_try + 1) + " of " +
                std::to_string(m_service->retryPolicy().retries + 1) + ")");
        m_wait = m_service->m_loop.startTimer(wait, false, [this] { startTry(); });
        return;
    }
    if (m_failed)
        Warning("Download of " + displayAddress() + " failed: " + m_reason);
    m_concluded = true;
    m_service->finishRead(this);
}

// The address without the user's name and password.
std::string WinHttpRead::displayAddress() const {
    const std::size_t scheme = m_address.find("://");
    if (scheme == std::string::npos)
        return m_address;
    const std::size_t start = scheme + 3;
    const std::size_t end = m_address.find_first_of("/?#", start);
    const std::size_t at =
        m_address.rfind('@', end == std::string::npos ? std::string::npos : end - 1);
    if (at == std::string::npos || at < start)
        return m_address;
    return m_address.substr(0, start) + m_address.substr(at + 1);
}
