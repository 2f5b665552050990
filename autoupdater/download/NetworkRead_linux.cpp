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
// Start overs at once (the server sent another part than asked for, or refused the range)
// before the read fails.
constexpr int kMaxStartOvers = 2;
} // namespace

NetworkRead::NetworkRead(NetworkReadService* service, const QUrl& url, const std::string& tag,
                         int options)
    : QObject(service), m_service(service), m_url(url), m_address(url.toString(QUrl::FullyEncoded)),
      m_tag(tag), m_options(options), m_http(url.scheme().toLower() != QLatin1String("file")),
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

void NetworkRead::conclude(std::int64_t& bytesRead, std::int64_t& total, std::string& tempFile) {
    if (!m_failed) {
        QFile::remove(QString::fromStdString(m_recordPath));
        bytesRead = total = m_file.size();
        tempFile = m_file.path();
        return;
    }
    // A failed read never looks complete: its total differs from the bytes read. A body
    // refused for what it is counts as nothing received, like an error page.
    bytesRead = m_refusedBody ? 0 : m_mostHeld;
    total = (m_total > 0 && m_total != bytesRead && !m_refusedBody) ? m_total : 0;
    tempFile.clear();
    keepOrDiscard();
}

void NetworkRead::startTry() {
    m_failed = m_mayPass = m_startOver = m_headChecked = m_abortedHere = false;
    m_reason.clear();
    m_serverWait.reset();
    m_bodyEnd = -1;
    m_tryStart = m_file.size();
    if (m_http)
        startRequest();
    else
        openLocalFile();
}

// Judges the response head once, before any byte of its body is kept.
void NetworkRead::checkHead() {
    if (m_headChecked || m_failed || m_startOver || !m_reply)
        return;
    const HeadVerdict head = JudgeHead(
        responseHeadOf(*m_reply), {m_rangeAsked, m_tryStart, m_total, m_validator.toStdString()});
    switch (head.kind) {
    case HeadVerdict::Kind::Pending:
        return;
    case HeadVerdict::Kind::Fail:
        m_headChecked = true;
        fail(QString::fromStdString(head.reason), head.mayPass);
        if (m_mayPass)
            m_serverWait = head.serverWait;
        return;
    case HeadVerdict::Kind::StartOver:
        m_headChecked = true;
        return startOver(QString::fromStdString(head.reason));
    case HeadVerdict::Kind::Rest:
        m_headChecked = true;
        m_bodyEnd = m_total;
        return;
    case HeadVerdict::Kind::Whole:
        m_headChecked = true;
        if (m_tryStart > 0)
            startOverHere();
        m_validator = QByteArray::fromStdString(head.validator);
        m_total = -1;
        if (head.length >= 0)
            m_total = m_bodyEnd = head.length;
        return;
    }
}

// This try's body replaces what was held.
void NetworkRead::startOverHere() {
    m_tryStart = 0;
    m_head.clear();
    if (!m_file.truncate(0))
        failToWrite();
}

// The answer cannot be used, but a request for the whole file can: made at once.
void NetworkRead::startOver(const QString& reason) {
    if (m_startOvers >= kMaxStartOvers)
        return fail(reason);
    m_startOver = true;
    m_reason = reason;
}

void NetworkRead::fail(const QString& reason, bool mayPass) {
    if (m_failed)
        return;
    m_failed = true;
    m_mayPass = mayPass;
    m_reason = reason;
}

// The temporary file cannot take the bytes: a failure on this computer, never tried again.
void NetworkRead::failToWrite() {
    if (m_failed)
        return;
    const int code = m_file.errorCode();
    const std::string reason = "cannot write the temporary file " + m_file.path() + ": " +
                               (code != 0 ? vorn::systemErrorText(code) : m_file.error());
    m_localFailure = {code, reason};
    fail(QString::fromStdString(reason));
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
        if (m_failed || m_startOver || !m_headChecked)
            continue; // not part of the file: dropped
        if (m_bodyEnd >= 0 && m_file.size() + got > m_bodyEnd) {
            fail(QStringLiteral("the server sent more than the %1 bytes it announced")
                     .arg(m_bodyEnd - m_tryStart));
            continue;
        }
        if (!acceptStart(m_buffer.data(), got))
            continue;
        const bool appended = m_file.append(m_buffer.data(), got);
        m_mostHeld = std::max(m_mostHeld, m_file.size()); // what fitted counts as read
        if (!appended) {
            failToWrite();
            continue;
        }
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
    if (!m_failed && !m_startOver && m_bodyEnd >= 0 && m_file.size() != m_bodyEnd)
        fail(QStringLiteral("the transfer ended after %1 of %2 bytes")
                 .arg(m_file.size() - m_tryStart)
                 .arg(m_bodyEnd - m_tryStart),
             true);
    if (!m_failed && !m_startOver)
        checkEnd();
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
        Warning(QStringLiteral("Download of %1 failed: %2; trying again in %3 s (try %4 of %5)")
                    .arg(displayAddress(), m_reason)
                    .arg(double(wait.count()) / 1000.0)
                    .arg(m_try + 1)
                    .arg(m_service->retryPolicy().retries + 1)
                    .toStdString());
        m_wait.start(wait);
        return;
    }
    if (m_failed)
        Warning(QStringLiteral("Download of %1 failed: %2")
                    .arg(displayAddress(), m_reason)
                    .toStdString());
    m_concluded = true;
    m_service->finishRead(this);
}

QString NetworkRead::displayAddress() const {
    return m_url.toDisplayString(QUrl::RemoveUserInfo);
}
