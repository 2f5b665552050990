// One read of the network service under way, over one or more tries (Linux front-end, Qt): the
// source (a network reply or a local file) and the event loop its tries run on; what every
// platform's read holds and decides is FileRead's. Its parts, each in a file of its own:
// - NetworkRead_linux.cpp: the tries, started, pumped into the file, ended, tried again;
// - NetworkReadSource_linux.cpp: the source of a try, a network reply or a local file;
// - NetworkReadResume_linux.cpp: where the partial file and its record are kept;
// - NetworkReadPackage_linux.cpp: the type the server declared, for the package check.
#pragma once

#include <QByteArray>
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
#include <string>
#include <vector>

#include "download/FileRead.h"

class NetworkReadService;

class NetworkRead : public QObject, public FileRead {
public:
    NetworkRead(NetworkReadService* service, const QUrl& url, const std::string& tag, int options);
    // A read dropped before its end keeps what can be taken up later, like a killed one.
    ~NetworkRead() override;

    bool prepare(const std::string& folder) override;

private:
    // --- the tries (NetworkRead_linux.cpp) ---
    void startTry() override;
    void startTryAfter(std::chrono::milliseconds wait) override;
    void finish() override;
    void checkHead();
    using FileRead::fail;
    void fail(const QString& reason, bool mayPass = false) {
        FileRead::fail(reason.toStdString(), mayPass);
    }
    void schedulePump();
    void pump();
    void judgeReply();
    void endTry();
    std::string displayAddress() const override;
    std::string writeFailure() const override;
    std::string validator() const override { return m_validator.toStdString(); }
    void setValidator(const std::string& validator) override {
        m_validator = QByteArray::fromStdString(validator);
    }

    // --- the source (NetworkReadSource_linux.cpp) ---
    void startRequest();
    void openLocalFile();
    std::int64_t sourceAvailable() const;
    bool sourceDone() const;
    std::int64_t readSource(char* data, std::int64_t size);
    void endSource();

    // --- where it is kept (NetworkReadResume_linux.cpp) ---
    void removeFile(const std::string& path) const override;

    // --- the package check (NetworkReadPackage_linux.cpp) ---
    std::string contentType() const override;

    NetworkReadService* m_service;
    QUrl m_url;
    bool m_http;
    QByteArray m_validator; // of the whole file, over all tries
    QTimer m_wait;

    // The try under way.
    QPointer<QNetworkReply> m_reply;
    std::unique_ptr<QFile> m_source;
    bool m_abortedHere = false;
    bool m_pumpQueued = false;
    std::vector<char> m_buffer;
};
