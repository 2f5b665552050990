// One read of the network service under way, over one or more tries (Linux front-end, Qt): the
// source (a network reply or a local file), the temporary file its bytes go to, and what is known
// of the whole file. Its parts, each in a file of its own:
// - NetworkRead_linux.cpp: the tries, started, pumped into the file, ended, tried again;
// - NetworkReadSource_linux.cpp: the source of a try, a network reply or a local file;
// - NetworkReadResume_linux.cpp: what is kept between tries and runs (the partial file, its
//   record);
// - NetworkReadPackage_linux.cpp: whether the body is a zip archive, when only one will do.
#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QFile>
#include <QNetworkReply>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QUrl>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "download/AsyncReadService.h"
#include "download/DownloadFile.h"

class NetworkReadService;

class NetworkRead : public QObject {
public:
    NetworkRead(NetworkReadService* service, const QUrl& url, const std::string& tag, int options);
    // A read dropped before its end keeps what can be taken up later, like a killed one.
    ~NetworkRead() override;

    // Makes the file the bytes go to: the partial download of the same address when there is one
    // to go on with, else a new file. False when no file can be made (fileError() tells why).
    bool prepare();
    const std::string& fileError() const { return m_file.error(); }

    void begin() { startTry(); }

    const std::string& tag() const { return m_tag; }
    const LocalFailure& localFailure() const { return m_localFailure; }

    // Works out the counts the completion reports. After a success the file stays, complete, for
    // the receivers; after a failure what can be taken up later is kept, the rest deleted.
    void conclude(std::int64_t& bytesRead, std::int64_t& total, std::string& tempFile);

    void discardFile() { m_file.discard(); }

private:
    // --- the tries (NetworkRead_linux.cpp) ---
    void startTry();
    void checkHead();
    void startOverHere();
    void startOver(const QString& reason);
    void fail(const QString& reason, bool mayPass = false);
    void failToWrite();
    void schedulePump();
    void pump();
    void judgeReply();
    void endTry();
    QString displayAddress() const;

    // --- the source (NetworkReadSource_linux.cpp) ---
    void startRequest();
    void openLocalFile();
    std::int64_t sourceAvailable() const;
    bool sourceDone() const;
    std::int64_t readSource(char* data, std::int64_t size);
    void endSource();

    // --- what is kept between tries and runs (NetworkReadResume_linux.cpp) ---
    bool resumable() const;
    void keepForNextTry();
    void keepOrDiscard();
    void recordWhenDue();
    bool saveRecord(std::int64_t length = -1);

    // --- the package check (NetworkReadPackage_linux.cpp) ---
    bool acceptStart(const char* data, std::int64_t size);
    void refuseBody();
    void checkEnd();

    NetworkReadService* m_service;
    QUrl m_url;
    QString m_address;
    std::string m_tag;
    int m_options;
    bool m_http;
    DownloadFile m_file;
    std::string m_recordPath;

    // The whole file, over all tries.
    QByteArray m_validator;
    std::int64_t m_total = -1;        // its size; -1 while unknown
    std::int64_t m_mostHeld = 0;      // the most bytes of it the file held
    std::int64_t m_recorded = 0;      // bytes the record on disk vouches for
    std::int64_t m_handedAtCheck = 0; // bytes handed to the disk when the record was last due
    QElapsedTimer m_sinceRecord;
    int m_try = 0;
    int m_startOvers = 0;
    QTimer m_wait;
    bool m_refusedBody = false;
    std::string m_head; // the first bytes of the body
    LocalFailure m_localFailure;
    bool m_concluded = false;

    // The try under way.
    QPointer<QNetworkReply> m_reply;
    std::unique_ptr<QFile> m_source;
    std::int64_t m_tryStart = 0; // bytes held when it began
    std::int64_t m_bodyEnd = -1; // file size at the end of its body; -1 while unknown
    bool m_rangeAsked = false;
    bool m_headChecked = false;
    bool m_failed = false;
    bool m_mayPass = false;
    bool m_startOver = false;
    bool m_abortedHere = false;
    bool m_pumpQueued = false;
    QString m_reason;
    std::optional<std::chrono::milliseconds> m_serverWait;
    std::vector<char> m_buffer;
};
