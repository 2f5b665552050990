// The asynchronous-read service that the downloader control works through: it fetches an address
// into a temporary file of its own and reports progress and the end of every read on the thread
// that owns it (the user-interface thread).
#pragma once

#include <QObject>
#include <QString>
#include <cerrno>

// Why a read, or the saving of the file it received, failed on this computer rather than at the
// source: the temporary file could not be written, or the file could not be put in its place.
struct LocalFailure {
    int systemError = 0; // the system's error number (errno); 0 when there is none
    QString reason;      // empty: no local failure

    bool happened() const { return !reason.isEmpty(); }
    bool outOfSpace() const { return systemError == ENOSPC || systemError == EDQUOT; }
};

class AsyncReadService : public QObject {
    Q_OBJECT
public:
    // Delivery kinds for start().
    static constexpr int DeliverToFile = 1; // the bytes go into a temporary file
    // Option bits for start().
    static constexpr int ForceUpdate = 16; // always fetch from the source, never from a cache
    // The body must be a zip archive (an update package): anything else fails the read, as when
    // the server answered with an error, and is not kept.
    static constexpr int ZipArchiveOnly = 32;

    using QObject::QObject;
    ~AsyncReadService() override = default;

    // Starts reading `address`. Returns as soon as the read is under way; throws AppError when it
    // cannot be started, and then no notification follows. Every started read ends with exactly
    // one readComplete. Several reads may run at once; their notifications carry their tag.
    virtual void start(const QString& address, int deliveryKind, const QString& tag,
                       int options) = 0;

    // Of the read whose readComplete was emitted last: why it failed when the cause lies on this
    // computer; empty after a success or a failure at the source (network, server).
    const LocalFailure& lastLocalFailure() const { return m_lastLocalFailure; }

signals:
    // Zero or more times while data arrives. `total` is 0 while the size is unknown.
    void readProgress(qint64 bytesRead, qint64 total, const QString& tag);

    // Exactly once per started read. `tempFile` is the full path of the received file, closed and
    // complete, after a successful read; it is empty after a failed one. A successful read always
    // has bytesRead == total; a failed one never has bytesRead == total > 0. A temporary file that
    // the receivers did not move away is deleted when the notification has been handled (receivers
    // must therefore use direct connections).
    void readComplete(qint64 bytesRead, qint64 total, const QString& tag, const QString& tempFile);

protected:
    // Implementations set this just before they emit readComplete.
    void setLastLocalFailure(LocalFailure failure) { m_lastLocalFailure = std::move(failure); }

private:
    LocalFailure m_lastLocalFailure;
};
