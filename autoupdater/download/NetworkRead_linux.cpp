// The tries of a network read: each starts from the bytes held, takes the source's bytes into the
// temporary file a slice per turn of the event loop, and ends judged; a failure that may pass is
// tried again after a wait, an answer that cannot be used is asked again for the whole file.
#include "download/NetworkRead_linux.h"

#include <algorithm>
#include <vorn/SystemError.h>

#include "core/Diagnostics.h"
#include "download/NetworkReadService_linux.h"
#include "download/NetworkReplyErrors_linux.h"
#include "download/NetworkResponseHead_linux.h"

using std::chrono::milliseconds;

namespace {
// Bytes taken from a source per turn of the event loop, so that a fast one (a local file, a
// loopback server) never keeps the user-interface thread busy for long.
constexpr std::int64_t kSliceBytes = 1 << 20;
constexpr std::int64_t kChunkBytes = 1 << 20;
} // namespace

NetworkRead::NetworkRead(NetworkReadService* service, const QUrl& url, const std::string& tag,
                         int options)
    : QObject(service), FileRead(url.toString(QUrl::FullyEncoded).toStdString(), tag, options),
      m_service(service), m_url(url), m_http(url.scheme().toLower() != QLatin1String("file")),
      m_buffer(kChunkBytes) {
    m_wait.setSingleShot(true);
    m_wait.setTimerType(Qt::PreciseTimer); // never before the server's time
    connect(&m_wait, &QTimer::timeout, this, [this] { startTry(); });
}

NetworkRead::~NetworkRead() {
    endSource();
    if (m_concluded)
        m_file.discard(); // what the receivers did not move away
    else if (m_file.isOpen())
        keepOrDiscard();
}

void NetworkRead::startTry() {
    m_abortedHere = false;
    beginTry();
    if (m_http)
        startRequest();
    else
        openLocalFile();
}

// Judges the response head once, before any byte of its body is kept.
void NetworkRead::checkHead() {
    if (m_headChecked || m_failed || m_startOver || !m_reply)
        return;
    takeHead(JudgeHead(responseHeadOf(*m_reply), held()));
}

// The temporary file cannot take the bytes: why, with the system's word for it.
std::string NetworkRead::writeFailure() const {
    const int code = m_file.errorCode();
    return "cannot write the temporary file " + m_file.path() + ": " +
           (code != 0 ? vorn::systemErrorText(code) : m_file.error());
}

void NetworkRead::schedulePump() {
    if (m_pumpQueued || m_concluded)
        return;
    m_pumpQueued = true;
    QMetaObject::invokeMethod(
        this, [this] { pump(); }, Qt::QueuedConnection);
}

// Moves what has arrived into the temporary file, a slice per turn of the event loop, and ends
// the try once its source has finished and nothing is left to take.
void NetworkRead::pump() {
    m_pumpQueued = false;
    if (m_concluded || (!m_reply && !m_source))
        return;
    if (m_reply)
        checkHead();
    std::int64_t budget = kSliceBytes;
    bool wrote = false;
    while (budget > 0 && sourceAvailable() > 0) {
        const std::int64_t want = std::min({sourceAvailable(), budget, kChunkBytes});
        const std::int64_t got = readSource(m_buffer.data(), want);
        if (got <= 0)
            break;
        budget -= got;
        if (take(m_buffer.data(), got)) // what is not part of the file is dropped
            wrote = true;
    }
    if ((m_failed || m_startOver) && m_reply && m_reply->isRunning()) {
        m_abortedHere = true;
        m_reply->abort();
    }
    if (wrote && !m_failed) {
        recordWhenDue();
        const QPointer<NetworkRead> alive(this);
        // A copy: the receiver may end the service, and this read with it, while it runs.
        const auto notify = m_service->readProgress;
        if (notify)
            notify(m_file.size(), std::max<std::int64_t>(m_total, 0), m_tag);
        if (!alive)
            return;
    }
    if (sourceAvailable() > 0 && !m_failed) {
        schedulePump();
        return;
    }
    if (!sourceDone())
        return;
    endTry();
}

// Why the reply failed, when it did.
void NetworkRead::judgeReply() {
    if (!m_reply || m_failed || m_startOver)
        return;
    if (const std::optional<TryFailure> failure =
            replyFailure(*m_reply, m_abortedHere, m_service->stallTimeout()))
        fail(failure->reason, failure->mayPass);
}

void NetworkRead::endTry() {
    judgeReply();
    judgeEnd();
    endSource();
    afterTry(m_service->retryPolicy());
}

void NetworkRead::startTryAfter(milliseconds wait) {
    m_wait.start(wait);
}

// Off the service's reads, to Qt: a child of the service, it goes later, or with the service.
void NetworkRead::finish() {
    static_cast<void>(m_service->takeOff(this).release());
    if (m_service->complete(*this))
        deleteLater();
}

std::string NetworkRead::displayAddress() const {
    return m_url.toDisplayString(QUrl::RemoveUserInfo).toStdString();
}
