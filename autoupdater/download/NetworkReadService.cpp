#include "download/NetworkReadService.h"

#include <QDir>
#include <QFile>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QRandomGenerator>
#include <QUrl>
#include <QtDebug>
#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vorn/SystemError.h>

#include "AppError.h"

namespace {
// Bytes taken from a reply per turn of the event loop, so that a fast source (a local file, a
// loopback server) never keeps the user-interface thread busy for long.
constexpr qint64 kSliceBytes = 1 << 20;
// Bytes the network layer may hold for a read before it stops taking data from the socket.
constexpr qint64 kReadBufferBytes = 4 << 20;
constexpr qint64 kChunkBytes = 64 << 10;

QString schemeOf(const QUrl& url) {
    return url.scheme().toLower();
}

const QString kTempPattern = QStringLiteral("vorn-download-*.part");

// Whether the open file `fd` is the file that `path` names now.
bool isFileAt(int fd, const QByteArray& path) {
    struct stat opened {
    }, named{};
    return ::fstat(fd, &opened) == 0 && ::lstat(path.constData(), &named) == 0 &&
           opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
}

// Removes the temporary files of reads that never finished (an updater killed while it
// downloaded). A read holds a lock on its file for as long as it needs the file, so that a file
// someone can lock belongs to nobody any more.
void removeAbandonedFiles(const QDir& folder) {
    const QStringList names =
        folder.entryList({kTempPattern}, QDir::Files | QDir::Hidden | QDir::NoSymLinks);
    for (const QString& name : names) {
        const QByteArray path = QFile::encodeName(folder.filePath(name));
        const int fd = ::open(path.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            continue;
        struct stat st {};
        if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ::flock(fd, LOCK_EX | LOCK_NB) == 0 &&
            isFileAt(fd, path))
            ::unlink(path.constData());
        ::close(fd);
    }
}
} // namespace

// One read under way: the reply, the temporary file its bytes go to, and the counts.
class NetworkRead : public QObject {
public:
    NetworkRead(NetworkReadService* service, const QUrl& url, const QString& tag,
                const QString& tempPath)
        : QObject(service), m_service(service), m_url(url), m_tag(tag), m_file(tempPath),
          m_http(schemeOf(url) != QLatin1String("file")) {}

    ~NetworkRead() override {
        if (m_reply) {
            m_reply->disconnect(this);
            if (m_reply->isRunning())
                m_reply->abort();
            m_reply->deleteLater();
        }
        discardFile();
    }

    // Creates the temporary file and locks it until the read is done with it (past the move of
    // a complete file), so that no other updater takes it for abandoned. Fails when the name is
    // taken. Unbuffered: every write reaches the system at once, so that the reason of a failed
    // write is the system's own.
    bool createFile() {
        if (!m_file.open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered)) {
            m_fileError = m_file.errorString();
            return false;
        }
        m_ownsFile = true;
        m_lock = ::fcntl(m_file.handle(), F_DUPFD_CLOEXEC, 0);
        if (m_lock >= 0 && ::flock(m_lock, LOCK_EX | LOCK_NB) == 0 &&
            isFileAt(m_lock, QFile::encodeName(m_file.fileName())))
            return true;
        if (m_lock < 0) {
            m_fileError = QString::fromLocal8Bit(vorn::systemErrorText(errno));
            discardFile();
            return false;
        }
        // Taken for abandoned between its creation and the lock: the name is left to the one
        // who took it.
        m_fileError = QStringLiteral("the file was removed while it was created");
        m_ownsFile = false;
        m_file.close();
        releaseLock();
        return false;
    }
    QString fileError() const { return m_fileError; }

    void begin(QNetworkReply* reply) {
        m_reply = reply;
        reply->setReadBufferSize(kReadBufferBytes);
        connect(reply, &QNetworkReply::metaDataChanged, this, [this] {
            checkHead();
            if (m_failed)
                schedulePump(); // stops the transfer
        });
        connect(reply, &QNetworkReply::readyRead, this, [this] { schedulePump(); });
        connect(reply, &QNetworkReply::finished, this, [this] { schedulePump(); });
    }

    const QString& tag() const { return m_tag; }
    const LocalFailure& localFailure() const { return m_localFailure; }

    // Closes the temporary file and works out the counts the completion reports.
    void conclude(qint64& bytesRead, qint64& total, QString& tempFile) {
        if (!m_failed && m_reply && m_reply->error() != QNetworkReply::NoError)
            fail(m_reply->errorString());
        if (!m_failed && m_http) {
            const int status = httpStatus();
            if (status < 200 || status >= 300)
                fail(statusText(status));
        }
        if (!m_failed && m_announced >= 0 && m_written != m_announced)
            fail(QStringLiteral("the transfer ended after %1 of %2 bytes")
                     .arg(m_written)
                     .arg(m_announced));
        m_file.unsetError();
        errno = 0;
        m_file.close(); // writes what is still buffered
        if (!m_failed && m_file.error() != QFileDevice::NoError)
            failToWrite(errno);

        bytesRead = m_written;
        if (!m_failed) {
            total = m_announced >= 0 ? m_announced : m_written;
            tempFile = m_file.fileName();
        } else {
            // A failed read never looks complete: its total differs from the bytes read.
            total = (m_announced >= 0 && m_announced != m_written) ? m_announced : 0;
            tempFile.clear();
            discardFile();
        }
    }

    void discardFile() {
        if (m_file.isOpen())
            m_file.close();
        if (m_ownsFile && QFile::exists(m_file.fileName()))
            QFile::remove(m_file.fileName());
        m_ownsFile = false;
        releaseLock();
    }

private:
    void releaseLock() {
        if (m_lock >= 0)
            ::close(m_lock);
        m_lock = -1;
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
    // encoded body fails the read, so that no error page and no compressed stream can be taken
    // for the file.
    void checkHead() {
        if (m_headChecked || m_failed || !m_reply)
            return;
        if (m_http) {
            const int status = httpStatus();
            if (status < 0)
                return; // no head yet
            if (status >= 300 && status < 400)
                return; // a redirect: the head that counts comes later
            m_headChecked = true;
            if (status >= 400 || status == 206) { // 206: a part that nobody asked for
                fail(statusText(status));
                return;
            }
            const QByteArray encoding = m_reply->rawHeader("Content-Encoding").trimmed().toLower();
            if (!encoding.isEmpty() && encoding != "identity") {
                fail(QStringLiteral("the server sent the body encoded (%1)")
                         .arg(QString::fromLatin1(encoding)));
                return;
            }
            if (m_reply->rawHeader("Transfer-Encoding").toLower().contains("chunked"))
                return; // any Content-Length is meaningless then
        }
        m_headChecked = true;
        const QVariant length = m_reply->header(QNetworkRequest::ContentLengthHeader);
        bool ok = false;
        const qint64 announced = length.toLongLong(&ok);
        if (length.isValid() && ok && announced >= 0)
            m_announced = announced;
    }

    void fail(const QString& reason) {
        if (m_failed)
            return;
        m_failed = true;
        qWarning().noquote() << QStringLiteral("Download of %1 failed: %2")
                                    .arg(m_url.toDisplayString(QUrl::RemoveUserInfo), reason);
    }

    // The temporary file cannot take the bytes: a failure on this computer. `code` is the
    // system's error number of the failed write (a short write sets none in the file object).
    void failToWrite(int code) {
        if (m_failed)
            return;
        const QString reason =
            QStringLiteral("cannot write the temporary file %1: %2")
                .arg(m_file.fileName(), code != 0
                                            ? QString::fromLocal8Bit(vorn::systemErrorText(code))
                                            : m_file.errorString());
        m_localFailure = {code, reason};
        fail(reason);
    }

    void schedulePump() {
        if (m_pumpQueued || m_concluded)
            return;
        m_pumpQueued = true;
        QMetaObject::invokeMethod(
            this, [this] { pump(); }, Qt::QueuedConnection);
    }

    // Moves what has arrived into the temporary file, a slice per turn of the event loop, and ends
    // the read once the reply has finished and nothing is left to take.
    void pump() {
        m_pumpQueued = false;
        if (m_concluded || !m_reply)
            return;
        checkHead();
        qint64 budget = kSliceBytes;
        bool wrote = false;
        while (budget > 0 && m_reply->bytesAvailable() > 0) {
            const qint64 want = std::min({m_reply->bytesAvailable(), budget, kChunkBytes});
            const qint64 got = m_reply->read(m_buffer.data(), want);
            if (got <= 0)
                break;
            budget -= got;
            if (m_failed || !m_headChecked)
                continue; // not part of the file: dropped
            if (m_announced >= 0 && m_written + got > m_announced) {
                fail(QStringLiteral("the server sent more than the %1 bytes it announced")
                         .arg(m_announced));
                continue;
            }
            errno = 0;
            if (m_file.write(m_buffer.data(), got) != got) {
                failToWrite(errno);
                continue;
            }
            m_written += got;
            wrote = true;
        }
        if (m_failed && m_reply->isRunning())
            m_reply->abort();
        if (wrote && !m_failed) {
            const QPointer<NetworkRead> alive(this);
            emit m_service->readProgress(m_written, std::max<qint64>(m_announced, 0), m_tag);
            if (!alive)
                return;
        }
        if (m_reply->bytesAvailable() > 0) {
            schedulePump();
            return;
        }
        if (!m_reply->isFinished())
            return;
        m_concluded = true;
        m_service->finishRead(this);
    }

    NetworkReadService* m_service;
    QUrl m_url;
    QString m_tag;
    QFile m_file;
    bool m_http;
    bool m_ownsFile = false;
    int m_lock = -1; // a second descriptor of the temporary file, holding its lock
    QString m_fileError;
    QPointer<QNetworkReply> m_reply;
    qint64 m_written = 0;
    qint64 m_announced = -1; // -1: no size announced
    bool m_headChecked = false;
    bool m_failed = false;
    bool m_pumpQueued = false;
    bool m_concluded = false;
    LocalFailure m_localFailure;
    std::array<char, kChunkBytes> m_buffer{};
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
    std::unique_ptr<NetworkRead> read;
    bool created = false;
    QString lastError;
    for (int attempt = 0; attempt < 16 && !created; ++attempt) {
        const QString name =
            QStringLiteral("vorn-download-%1.part")
                .arg(QRandomGenerator::global()->generate64(), 16, 16, QLatin1Char('0'));
        read = std::make_unique<NetworkRead>(this, url, tag, folder.filePath(name));
        created = read->createFile();
        if (!created)
            lastError = read->fileError();
    }
    if (!created)
        throw AppError(AppError::ReadNotStarted,
                       QStringLiteral("Cannot create a temporary file in '%1': %2")
                           .arg(folder.path(), lastError));

    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setMaximumRedirectsAllowed(m_maxRedirects);
    request.setTransferTimeout(int(std::min<qint64>(m_stallTimeout.count(), INT_MAX)));
    // The bytes as they are stored: no transparent decompression, so counts are the file's own.
    request.setRawHeader("Accept-Encoding", "identity");
    if (options & ForceUpdate) {
        request.setAttribute(QNetworkRequest::CacheLoadControlAttribute,
                             QNetworkRequest::AlwaysNetwork);
        request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
        request.setRawHeader("Cache-Control", "no-cache");
        request.setRawHeader("Pragma", "no-cache");
    }
    NetworkRead* started = read.release();
    m_reads.append(started);
    started->begin(m_network.get(request));
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
