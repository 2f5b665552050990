// One read of the WinHTTP service under way, over one or more tries (Windows front-end): the
// source (a WinHTTP request or a local file) and the loop its tries run on; what every platform's
// read holds and decides is FileRead's. Everything here runs on the loop's thread. Its parts:
// - WinHttpRead_windows.cpp: the tries, started, fed into the file, ended, tried again;
// - WinHttpReadSource_windows.cpp: the source of a try, a request or a local file;
// - WinHttpReadResume_windows.cpp: where the partial file and its record are kept.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/EventLoop.h"
#include "download/FileRead.h"
#include "download/WinHttpRequest_windows.h"

class WinHttpReadService;

// What a read reads: an http(s) target, or for a file address the local file's path (UTF-8).
struct ReadSource {
    std::optional<HttpTarget> http;
    std::string localPath;

    // nullopt when `address` is no http, https or file address.
    static std::optional<ReadSource> of(const std::string& address);
};

class WinHttpRead : public FileRead {
public:
    WinHttpRead(WinHttpReadService* service, const std::string& address, ReadSource source,
                const std::string& tag, int options);
    // A read dropped before its end keeps what can be taken up later, like a killed one.
    ~WinHttpRead() override;

    bool prepare(const std::string& folder) override;

    // Unless the receivers moved it away: the file's handle would remove it under its new name.
    void discardFile() override;

private:
    // --- the tries (WinHttpRead_windows.cpp) ---
    void startTry() override;
    void startTryAfter(std::chrono::milliseconds wait) override;
    void finish() override;
    void onEvent(const RequestEvent& event);
    void checkHead();
    bool reportProgress();
    void failRequest(DWORD error);
    void endTry();
    // Runs `step` on a later turn of the loop, unless this read is gone by then.
    void later(void (WinHttpRead::*step)());
    std::string displayAddress() const override;
    std::string writeFailure() const override { return m_file.error(); }
    std::string validator() const override { return m_validator; }
    void setValidator(const std::string& validator) override { m_validator = validator; }
    std::string contentType() const override { return m_source.http ? m_contentType : ""; }

    // --- the source (WinHttpReadSource_windows.cpp) ---
    void startRequest();
    void openLocalFile();
    void pumpLocalFile();
    void endSource();

    // --- where it is kept (WinHttpReadResume_windows.cpp) ---
    void removeFile(const std::string& path) const override;

    WinHttpReadService* m_service;
    ReadSource m_source;
    std::shared_ptr<int> m_life = std::make_shared<int>(0); // posted steps run while it is there
    std::string m_validator;                                // of the whole file, over all tries
    std::unique_ptr<EventLoop::Timer> m_wait;
    std::string m_contentType;

    // The try under way.
    std::unique_ptr<WinHttpRequest> m_request;
    HANDLE m_localFile = INVALID_HANDLE_VALUE;
    std::vector<char> m_buffer;
};
