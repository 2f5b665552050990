// The tries of a WinHTTP read: each starts from the bytes held, takes the source's bytes into the
// temporary file as they arrive, and ends judged; a failure that may pass is tried again after a
// wait, an answer that cannot be used is asked again for the whole file.
#include "download/WinHttpRead_windows.h"

#include <algorithm>

#include <vorn/Files_windows.h>

#include "core/Diagnostics.h"
#include "download/WinHttpReadService_windows.h"

using std::chrono::milliseconds;

WinHttpRead::WinHttpRead(WinHttpReadService* service, const std::string& address, ReadSource source,
                         const std::string& tag, int options)
    : FileRead(address, tag, options), m_service(service), m_source(std::move(source)) {}

WinHttpRead::~WinHttpRead() {
    m_life.reset();
    m_wait.reset();
    endSource();
    if (m_concluded)
        discardFile(); // what the receivers did not move away
    else if (m_file.isOpen())
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
    beginTry();
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
    const HeadVerdict head = JudgeHead(response, held());
    if (head.kind == HeadVerdict::Kind::Pending)
        return fail(StatusText(response.status, response.reasonPhrase));
    takeHead(head);
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

void WinHttpRead::endTry() {
    judgeEnd();
    // Complete only once every byte is on the disk.
    if (!m_failed && !m_startOver && !m_file.sync())
        failToWrite();
    endSource();
    afterTry(m_service->retryPolicy());
}

void WinHttpRead::startTryAfter(milliseconds wait) {
    m_wait = m_service->m_loop.startTimer(wait, false, [this] { startTry(); });
}

// Off the service's reads: the read goes at the end of this call, what is left of its file with it.
void WinHttpRead::finish() {
    const std::unique_ptr<FileRead> self = m_service->takeOff(this);
    m_service->complete(*this);
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
