#include "download/NetworkReadService.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QSet>
#include <QTimer>
#include <QUrl>
#include <QtDebug>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <vector>
#include <vorn/SystemError.h>

#include "AppError.h"
#include "Version.h"
#include "download/DownloadFile.h"
#include "download/PackageCheck.h"
#include "download/PartialDownload.h"

using std::chrono::milliseconds;

namespace {
// Bytes taken from a source per turn of the event loop, so that a fast one (a local file, a
// loopback server) never keeps the user-interface thread busy for long.
constexpr qint64 kSliceBytes = 1 << 20;
// Bytes the network layer may hold for a read before it stops taking data from the socket.
constexpr qint64 kReadBufferBytes = 4 << 20;
constexpr qint64 kChunkBytes = 1 << 20;
// How often the record of a partial download follows the bytes on disk while data arrives.
constexpr milliseconds kRecordInterval{2000};
// Start overs at once (the server sent another part than asked for, or refused the range)
// before the read fails.
constexpr int kMaxStartOvers = 2;
// How long a record in the making may be left by a writer that is still at it.
constexpr qint64 kRecordMakingSeconds = 60;

QString schemeOf(const QUrl& url) {
    return url.scheme().toLower();
}

const QString kTempPattern = QStringLiteral("vorn-download-*.part");
const QString kTempTemplate = QStringLiteral("vorn-download-XXXXXX.part");

// Removes what killed or finished updaters left in the temporary folder and nobody needs: partial
// files that no fresh record names and no read holds, records that are stale or lost their file,
// and records in the making that nobody finished.
void removeAbandonedFiles(const QDir& folder) {
    const QDateTime now = QDateTime::currentDateTimeUtc();
    QSet<QString> kept;
    const QStringList records =
        folder.entryList({PartialDownload::recordPattern()}, QDir::Files | QDir::NoSymLinks);
    for (const QString& name : records) {
        const std::optional<PartialDownload> record = PartialDownload::load(folder.filePath(name));
        if (record && record->freshAt(now) &&
            QFileInfo(folder.filePath(record->partialName)).isFile()) {
            kept.insert(name);
            kept.insert(record->partialName);
        }
    }
    DownloadFile::removeAbandoned(
        folder.path(),
        {kTempPattern, PartialDownload::recordPattern(),
         PartialDownload::recordInTheMakingPattern()},
        [&](const QString& name) {
            if (name.endsWith(QLatin1String(".part")) || name.endsWith(QLatin1String(".resume")))
                return kept.contains(name);
            const QDateTime changed =
                QFileInfo(folder.filePath(name)).fileTime(QFileDevice::FileModificationTime);
            return changed.secsTo(now) < kRecordMakingSeconds;
        });
}
} // namespace

// One read under way, over one or more tries: the source (a network reply or a local file), the
// temporary file its bytes go to, and what is known of the whole file.
class NetworkRead : public QObject {
public:
    NetworkRead(NetworkReadService* service, const QUrl& url, const QString& tag, int options)
        : QObject(service), m_service(service), m_url(url),
          m_address(url.toString(QUrl::FullyEncoded)), m_tag(tag), m_options(options),
          m_http(schemeOf(url) != QLatin1String("file")), m_buffer(kChunkBytes) {
        m_wait.setSingleShot(true);
        m_wait.setTimerType(Qt::PreciseTimer); // never before the server's time
        connect(&m_wait, &QTimer::timeout, this, [this] { startTry(); });
    }

    // A read dropped before its end keeps what can be taken up later, like a killed one.
    ~NetworkRead() override {
        endSource();
        if (m_concluded)
            m_file.discard(); // what the receivers did not move away
        else if (m_file.isOpen())
            keepOrDiscard();
    }

    // Makes the file the bytes go to: the partial download of the same address when there is one
    // to go on with, else a new file. False when no file can be made (fileError() tells why).
    bool prepare() {
        const QDir folder(m_service->tempFolder());
        m_recordPath = folder.filePath(PartialDownload::recordName(m_address));
        if (const std::optional<PartialDownload> record = PartialDownload::load(m_recordPath)) {
            if (record->address == m_address && record->freshAt(QDateTime::currentDateTimeUtc()) &&
                m_file.reopen(folder.filePath(record->partialName), record->length)) {
                m_validator = record->validator;
                m_total = record->total;
                m_mostHeld = m_recorded = record->length;
                return true;
            }
            // Of another address, too old, or its file is gone: nothing to go on with.
            QFile::remove(m_recordPath);
            const QString partial = record->partialName;
            DownloadFile::removeAbandoned(folder.path(), {kTempPattern},
                                          [&](const QString& name) { return name != partial; });
        }
        return m_file.create(folder.path(), kTempTemplate);
    }
    QString fileError() const { return m_file.error(); }

    void begin() { startTry(); }

    const QString& tag() const { return m_tag; }
    const LocalFailure& localFailure() const { return m_localFailure; }

    // Works out the counts the completion reports. After a success the file stays, complete, for
    // the receivers; after a failure what can be taken up later is kept, the rest deleted.
    void conclude(qint64& bytesRead, qint64& total, QString& tempFile) {
        if (!m_failed) {
            QFile::remove(m_recordPath);
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

    void discardFile() { m_file.discard(); }

private:
    // --- one try ---

    void startTry() {
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

    void startRequest() {
        QNetworkRequest request(m_url);
        request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                             QNetworkRequest::NoLessSafeRedirectPolicy);
        request.setMaximumRedirectsAllowed(m_service->maxRedirects());
        request.setTransferTimeout(
            int(std::min<qint64>(m_service->stallTimeout().count(), INT_MAX)));
        request.setHeader(QNetworkRequest::UserAgentHeader,
                          QByteArrayLiteral("vorn-updater/" VORN_UPDATER_VERSION));
        // The bytes as they are stored: no transparent decompression, so counts are the file's own.
        request.setRawHeader("Accept-Encoding", "identity");
        if (m_options & AsyncReadService::ForceUpdate) {
            request.setAttribute(QNetworkRequest::CacheLoadControlAttribute,
                                 QNetworkRequest::AlwaysNetwork);
            request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
            request.setRawHeader("Cache-Control", "no-cache");
            request.setRawHeader("Pragma", "no-cache");
        }
        // Only the rest, and only while the server's file is still the one the bytes came from;
        // otherwise the server sends all of it.
        m_rangeAsked = m_tryStart > 0;
        if (m_rangeAsked) {
            request.setRawHeader("Range", "bytes=" + QByteArray::number(m_tryStart) + '-');
            request.setRawHeader("If-Range", m_validator);
        }
        QNetworkReply* reply = m_service->m_network.get(request);
        m_reply = reply;
        reply->setReadBufferSize(kReadBufferBytes);
        connect(reply, &QNetworkReply::metaDataChanged, this, [this] {
            checkHead();
            if (m_failed || m_startOver)
                schedulePump(); // stops the transfer
        });
        connect(reply, &QNetworkReply::readyRead, this, [this] { schedulePump(); });
        connect(reply, &QNetworkReply::finished, this, [this] { schedulePump(); });
    }

    // A file address: read directly, and taken up by seeking while the file is the same.
    void openLocalFile() {
        m_headChecked = true;
        const QString path = m_url.toLocalFile();
        const QFileInfo info(path);
        m_source = std::make_unique<QFile>(path);
        if (!info.isFile() || !m_source->open(QIODevice::ReadOnly)) {
            fail(info.exists() ? m_source->errorString() : QStringLiteral("no such file"));
        } else {
            const QByteArray validator =
                QByteArrayLiteral("file ") + QByteArray::number(info.size()) + ' ' +
                QByteArray::number(info.lastModified().toMSecsSinceEpoch());
            if (m_tryStart > 0 &&
                (validator != m_validator || m_total != info.size() || !m_source->seek(m_tryStart)))
                startOverHere();
            m_validator = validator;
            m_total = m_bodyEnd = info.size();
        }
        schedulePump();
    }

    int httpStatus() const {
        const QVariant status = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
        return status.isValid() ? status.toInt() : -1;
    }

    QString statusText(int status) const {
        if (status < 0)
            return QStringLiteral("no response from the server");
        const QString reason =
            m_reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString();
        return QStringLiteral("HTTP %1 %2").arg(status).arg(reason).trimmed();
    }

    // Judges the response head once, before any byte of its body is kept: an error status or an
    // encoded body fails the try, so that no error page and no compressed stream can be taken
    // for the file; a part is kept only when it is the rest of the bytes held.
    void checkHead() {
        if (m_headChecked || m_failed || m_startOver || !m_reply)
            return;
        const int status = httpStatus();
        if (status < 0)
            return; // no head yet
        if (status >= 300 && status < 400)
            return; // a redirect: the head that counts comes later
        m_headChecked = true;
        if (status == 416 && m_rangeAsked)
            return startOver(QStringLiteral("the server refused the range"));
        if (status >= 400 || (status == 206 && !m_rangeAsked)) { // a part that nobody asked for
            fail(statusText(status), isPassingStatus(status));
            if (m_mayPass)
                m_serverWait = parseRetryAfter(m_reply->rawHeader("Retry-After"),
                                               QDateTime::currentDateTimeUtc());
            return;
        }
        const QByteArray encoding = m_reply->rawHeader("Content-Encoding").trimmed().toLower();
        if (!encoding.isEmpty() && encoding != "identity")
            return fail(QStringLiteral("the server sent the body encoded (%1)")
                            .arg(QString::fromLatin1(encoding)));
        const QByteArray validator = PartialDownload::validatorOf(
            m_reply->rawHeader("ETag"), m_reply->rawHeader("Last-Modified"));
        if (status == 206) {
            const std::optional<ContentRange> range =
                ContentRange::parse(m_reply->rawHeader("Content-Range"));
            if (!range || range->first != m_tryStart || range->last + 1 != range->total ||
                range->total != m_total || (!validator.isEmpty() && validator != m_validator))
                return startOver(
                    QStringLiteral("the server sent another part (%1)")
                        .arg(QString::fromLatin1(m_reply->rawHeader("Content-Range"))));
            m_bodyEnd = m_total;
            return;
        }
        // The whole file: whatever was held is of another version, or the server takes no ranges.
        if (m_tryStart > 0)
            startOverHere();
        m_validator = validator;
        m_total = -1;
        if (m_reply->rawHeader("Transfer-Encoding").toLower().contains("chunked"))
            return; // any Content-Length is meaningless then
        const QVariant length = m_reply->header(QNetworkRequest::ContentLengthHeader);
        bool ok = false;
        const qint64 announced = length.toLongLong(&ok);
        if (length.isValid() && ok && announced >= 0)
            m_total = m_bodyEnd = announced;
    }

    // This try's body replaces what was held.
    void startOverHere() {
        m_tryStart = 0;
        m_head.clear();
        if (!m_file.truncate(0))
            failToWrite();
    }

    // The answer cannot be used, but a request for the whole file can: made at once.
    void startOver(const QString& reason) {
        if (m_startOvers >= kMaxStartOvers)
            return fail(reason);
        m_startOver = true;
        m_reason = reason;
    }

    void fail(const QString& reason, bool mayPass = false) {
        if (m_failed)
            return;
        m_failed = true;
        m_mayPass = mayPass;
        m_reason = reason;
    }

    // The temporary file cannot take the bytes: a failure on this computer, never tried again.
    void failToWrite() {
        if (m_failed)
            return;
        const int code = m_file.errorCode();
        const QString reason =
            QStringLiteral("cannot write the temporary file %1: %2")
                .arg(m_file.path(), code != 0 ? QString::fromLocal8Bit(vorn::systemErrorText(code))
                                              : m_file.error());
        m_localFailure = {code, reason};
        fail(reason);
    }

    // Whether the body may be what the reads must be, judged on its first bytes before they are
    // kept: a body refused here is dropped whole.
    bool acceptStart(const char* data, qint64 size) {
        if (!(m_options & AsyncReadService::ZipArchiveOnly) ||
            m_file.size() >= PackageCheck::HeadBytes)
            return true;
        m_head.append(data, qsizetype(std::min<qint64>(size, 64 - m_head.size())));
        if (m_head.size() < PackageCheck::HeadBytes || PackageCheck::startsLikeZip(m_head))
            return true;
        refuseBody();
        return false;
    }

    void refuseBody() {
        const QByteArray type = m_reply ? m_reply->rawHeader("Content-Type") : QByteArray();
        fail(QStringLiteral("what arrived is no zip archive but %1")
                 .arg(PackageCheck::describe(m_head, type)));
        m_refusedBody = true;
    }

    // A whole body must also end like a zip archive.
    void checkEnd() {
        if (!(m_options & AsyncReadService::ZipArchiveOnly))
            return;
        if (m_file.size() < PackageCheck::HeadBytes)
            return refuseBody();
        if (!PackageCheck::endsLikeZip(m_file.tail(PackageCheck::TailBytes)))
            fail(QStringLiteral("what arrived (%1 bytes) is a zip archive without its end")
                     .arg(m_file.size()));
    }

    void schedulePump() {
        if (m_pumpQueued || m_concluded)
            return;
        m_pumpQueued = true;
        QMetaObject::invokeMethod(
            this, [this] { pump(); }, Qt::QueuedConnection);
    }

    qint64 sourceAvailable() const {
        return m_reply ? m_reply->bytesAvailable() : (m_source ? m_source->bytesAvailable() : 0);
    }
    bool sourceDone() const {
        if (m_reply)
            return m_reply->isFinished();
        return !m_source || !m_source->isOpen() || m_failed || m_source->atEnd();
    }
    qint64 readSource(char* data, qint64 size) {
        if (m_reply)
            return m_reply->read(data, size);
        const qint64 got = m_source->read(data, size);
        if (got < 0)
            fail(m_source->errorString());
        return got;
    }

    // Moves what has arrived into the temporary file, a slice per turn of the event loop, and ends
    // the try once its source has finished and nothing is left to take.
    void pump() {
        m_pumpQueued = false;
        if (m_concluded || (!m_reply && !m_source))
            return;
        if (m_reply)
            checkHead();
        qint64 budget = kSliceBytes;
        bool wrote = false;
        while (budget > 0 && sourceAvailable() > 0) {
            const qint64 want = std::min({sourceAvailable(), budget, kChunkBytes});
            const qint64 got = readSource(m_buffer.data(), want);
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
            emit m_service->readProgress(m_file.size(), std::max<qint64>(m_total, 0), m_tag);
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
    void judgeReply() {
        if (!m_reply || m_failed || m_startOver)
            return;
        const QNetworkReply::NetworkError error = m_reply->error();
        if (error != QNetworkReply::NoError) {
            const bool stalled =
                (error == QNetworkReply::OperationCanceledError && !m_abortedHere) ||
                error == QNetworkReply::TimeoutError;
            const bool lost = error == QNetworkReply::RemoteHostClosedError ||
                              error == QNetworkReply::TemporaryNetworkFailureError ||
                              error == QNetworkReply::NetworkSessionFailedError ||
                              error == QNetworkReply::ProxyConnectionClosedError;
            fail(stalled
                     ? QStringLiteral("no data for %1 ms").arg(m_service->stallTimeout().count())
                     : m_reply->errorString(),
                 stalled || lost);
            return;
        }
        const int status = httpStatus();
        if (status < 200 || status >= 300)
            fail(statusText(status));
    }

    void endTry() {
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
            qWarning().noquote()
                << QStringLiteral("Download of %1 failed: %2; trying again in %3 s (try %4 of %5)")
                       .arg(displayAddress(), m_reason)
                       .arg(double(wait.count()) / 1000.0)
                       .arg(m_try + 1)
                       .arg(m_service->retryPolicy().retries + 1);
            m_wait.start(wait);
            return;
        }
        if (m_failed)
            qWarning().noquote()
                << QStringLiteral("Download of %1 failed: %2").arg(displayAddress(), m_reason);
        m_concluded = true;
        m_service->finishRead(this);
    }

    void endSource() {
        if (m_reply) {
            m_reply->disconnect(this);
            if (m_reply->isRunning()) {
                m_abortedHere = true;
                m_reply->abort();
            }
            m_reply->deleteLater();
            m_reply = nullptr;
        }
        m_source.reset();
    }

    QString displayAddress() const { return m_url.toDisplayString(QUrl::RemoveUserInfo); }

    // --- what is kept between tries and runs ---

    // Whether the bytes held can be taken up by a later try: the source named them (validator)
    // and the whole size is known; a body refused for what it is, or a file this computer failed
    // to write, never is.
    bool resumable() const {
        return !m_validator.isEmpty() && m_total > 0 && m_file.size() > 0 &&
               m_file.size() < m_total && !m_refusedBody && !m_localFailure.happened();
    }

    void keepForNextTry() {
        if (resumable() && m_file.sync())
            saveRecord();
        else if (!m_file.truncate(0))
            failToWrite();
    }

    void keepOrDiscard() {
        if (resumable() && m_file.sync() && saveRecord()) {
            m_file.close();
            return;
        }
        QFile::remove(m_recordPath);
        m_file.discard();
    }

    // While data arrives: the record follows the bytes on disk, so that a killed updater's next
    // run asks only for the rest. The first record waits for the first piece handed to the disk;
    // each later one for what had been handed by the check before (written long since, as a rule),
    // so that it does not hold up the run while the disk is behind.
    void recordWhenDue() {
        if (!resumable())
            return;
        const bool first = !m_sinceRecord.isValid();
        if (!first && m_sinceRecord.elapsed() < kRecordInterval.count())
            return;
        m_file.waitForDisk(first ? m_file.handedSize() : m_handedAtCheck);
        if (m_file.durableSize() > m_recorded)
            saveRecord(m_file.durableSize());
        else if (!first)
            m_sinceRecord.start();
        m_handedAtCheck = m_file.handedSize();
    }

    bool saveRecord(qint64 length = -1) {
        PartialDownload record;
        record.address = m_address;
        record.partialName = QFileInfo(m_file.path()).fileName();
        record.validator = m_validator;
        record.total = m_total;
        record.length = length >= 0 ? length : m_file.size();
        record.saved = QDateTime::currentDateTimeUtc();
        m_sinceRecord.start();
        QString error;
        if (!record.save(m_recordPath, &error)) {
            qWarning().noquote() << "Cannot keep the partial download of" << displayAddress()
                                 << "for later:" << error;
            return false;
        }
        m_recorded = record.length;
        return true;
    }

    NetworkReadService* m_service;
    QUrl m_url;
    QString m_address;
    QString m_tag;
    int m_options;
    bool m_http;
    DownloadFile m_file;
    QString m_recordPath;

    // The whole file, over all tries.
    QByteArray m_validator;
    qint64 m_total = -1;        // its size; -1 while unknown
    qint64 m_mostHeld = 0;      // the most bytes of it the file held
    qint64 m_recorded = 0;      // bytes the record on disk vouches for
    qint64 m_handedAtCheck = 0; // bytes handed to the disk when the record was last due
    QElapsedTimer m_sinceRecord;
    int m_try = 0;
    int m_startOvers = 0;
    QTimer m_wait;
    bool m_refusedBody = false;
    QByteArray m_head; // the first bytes of the body
    LocalFailure m_localFailure;
    bool m_concluded = false;

    // The try under way.
    QPointer<QNetworkReply> m_reply;
    std::unique_ptr<QFile> m_source;
    qint64 m_tryStart = 0; // bytes held when it began
    qint64 m_bodyEnd = -1; // file size at the end of its body; -1 while unknown
    bool m_rangeAsked = false;
    bool m_headChecked = false;
    bool m_failed = false;
    bool m_mayPass = false;
    bool m_startOver = false;
    bool m_abortedHere = false;
    bool m_pumpQueued = false;
    QString m_reason;
    std::optional<milliseconds> m_serverWait;
    std::vector<char> m_buffer;
};

NetworkReadService::NetworkReadService(QObject* parent)
    : NetworkReadService(DefaultStallTimeout, parent) {}

NetworkReadService::NetworkReadService(std::chrono::milliseconds stallTimeout, QObject* parent)
    : AsyncReadService(parent), m_stallTimeout(stallTimeout) {}

NetworkReadService::~NetworkReadService() {
    const QList<NetworkRead*> reads = std::exchange(m_reads, {});
    qDeleteAll(reads);
}

QString NetworkReadService::tempFolder() const {
    return m_tempFolder.isEmpty() ? QDir::tempPath() : m_tempFolder;
}

void NetworkReadService::start(const QString& address, int deliveryKind, const QString& tag,
                               int options) {
    if (deliveryKind != DeliverToFile)
        throw AppError(AppError::InvalidArgument,
                       QStringLiteral("Invalid procedure call or argument"));
    const QUrl url(address);
    const QString scheme = schemeOf(url);
    const bool http = scheme == QLatin1String("http") || scheme == QLatin1String("https");
    if (!url.isValid() || !(http || scheme == QLatin1String("file")) ||
        (http && url.host().isEmpty()) || (!http && url.toLocalFile().isEmpty()))
        throw AppError(AppError::ReadNotStarted,
                       QStringLiteral("Cannot read from '%1': not an http, https or file address")
                           .arg(address));

    // The temporary file is made before anything goes out, so that a read that starts can always
    // keep its bytes.
    const QDir folder(tempFolder());
    removeAbandonedFiles(folder);
    auto read = std::make_unique<NetworkRead>(this, url, tag, options);
    if (!read->prepare())
        throw AppError(AppError::ReadNotStarted,
                       QStringLiteral("Cannot create a temporary file in '%1': %2")
                           .arg(folder.path(), read->fileError()));
    NetworkRead* started = read.release();
    m_reads.append(started);
    started->begin();
}

void NetworkReadService::finishRead(NetworkRead* read) {
    m_reads.removeOne(read);
    qint64 bytesRead = 0;
    qint64 total = 0;
    QString tempFile;
    read->conclude(bytesRead, total, tempFile);
    const QString tag = read->tag();
    setLastLocalFailure(tempFile.isEmpty() ? read->localFailure() : LocalFailure{});
    const QPointer<NetworkRead> alive(read);
    try {
        emit readComplete(bytesRead, total, tag, tempFile);
    } catch (...) {
        qWarning("A handler of a finished download failed");
    }
    if (!alive)
        return; // the service went away inside the notification, and the file with it
    // Whatever the receivers did not move away goes now.
    read->discardFile();
    read->deleteLater();
}
