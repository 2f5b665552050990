// The downloader control: fetches files in the background through an asynchronous-read service,
// turns the service's notifications into its events Progress and Completed, and moves every file
// that arrived whole to its destination. Not visible.
#pragma once

#include <QHash>
#include <QObject>
#include <QString>

#include "AsyncReadService.h"

class DL : public QObject {
    Q_OBJECT
public:
    // `service` is not owned and must outlive the control; nullptr makes the network service,
    // owned by the control.
    explicit DL(AsyncReadService* service = nullptr, QObject* parent = nullptr);
    ~DL() override;

    // Registers the download under `sId` and starts reading `URL`; when every byte has arrived the
    // file is moved to `sDestination`, replacing a file there. Throws AppError: DuplicateKey while
    // a download with the same id (in any letter case) is pending, and nothing starts; the
    // service's error when the read cannot be started, and the id then stays taken.
    void Download(const QString& URL, const QString& sDestination,
                  const QString& sId = QStringLiteral("Id"));

    void setCurrentFile(const QString& fileN);
    QString currentfile() const;

    // Number of pending downloads.
    int pendingCount() const { return int(m_colDestinations.size()); }

    // Of the last completed read (valid from its Completed on): why the file was not received or
    // not saved when the cause lies on this computer (temporary file not writable, disk full, the
    // system refused the move to the destination); empty otherwise. A failed move leaves the
    // counts of Completed as they were (and an older file at the destination), so this is the
    // only place that tells of it. A destination without its folder is not such a failure.
    const LocalFailure& lastLocalFailure() const { return m_lastLocalFailure; }

signals:
    // The arguments are copies held by the control for the call: a handler may change them
    // without effect. Connect directly (references cannot be queued).
    void Progress(qint64& DownloadedBytes, qint64& TotalBytes, QString& sId);
    void Completed(qint64& DownloadedBytes, qint64& TotalBytes, QString& sId);

private:
    void onReadProgress(qint64 bytesRead, qint64 total, const QString& tag);
    void onReadComplete(qint64 bytesRead, qint64 total, const QString& tag,
                        const QString& tempFile);

    AsyncReadService* m_service;
    bool m_ownsService;
    // Pending downloads: case-folded id -> destination path.
    QHash<QString, QString> m_colDestinations;
    QString m_sCurrentFile;
    LocalFailure m_lastLocalFailure;
};
