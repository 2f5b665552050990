// One read of the WinHTTP service under way, over one or more tries (Windows front-end): the
// source (a WinHTTP request or a local file), the temporary file its bytes go to, and what is
// known of the whole file. Everything here runs on the loop's thread. Its parts:
// - WinHttpRead_windows.cpp: the tries, started, fed into the file, ended, tried again;
// - WinHttpReadSource_windows.cpp: the source of a try, a request or a local file;
// - WinHttpReadResume_windows.cpp: what is kept between tries and runs (the partial file, its
//   record) and whether the body is a zip archive, when only one will do.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/EventLoop.h"
#include "download/AsyncReadService.h"
#include "download/DownloadFile.h"
#include "download/WinHttpRequest_windows.h"

class WinHttpReadService;

// What a read reads: an http(s) target, or for a file address the local file's path (UTF-8).
struct ReadSource {
    std::optional<HttpTarget> http;
    std::string localPath;

    // nullopt when `address` is no http, https or file address.
    static std::optional<ReadSource> of(const std::string& address);
};

class WinHttpRead {
public:
    WinHttpRead(WinHttpReadService* service, const std::string& address, ReadSource source,
                const std::string& tag, int options);
    // A read dropped before its end keeps what can be taken up later, like a killed one.
    ~WinHttpRead();
    WinHttpRead(const WinHttpRead&) = delete;
    WinHttpRead& operator=(const WinHttpRead&) = delete;

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

    // Removes the temporary file, unless the receivers moved it away (the file's handle would
    // remove it under its new name).
    void discardFile();

private:
    // --- the tries (WinHttpRead_windows.cpp) ---
    void startTry();
    void onEvent(const RequestEvent& event);
    void checkHead();
    void take(const char* data, std::int64_t size);
    bool reportProgress();
    void startOverHere();
    void startOver(const std::string& reason);
    void fail(const std::string& reason, bool mayPass = false);
    void failRequest(DWORD error);
    void failToWrite();
    void endTry();
    // Runs `step` on a later turn of the loop, unless this read is gone by then.
    void later(void (WinHttpRead::*step)());
    std::string displayAddress() const;

    // --- the source (WinHttpReadSource_windows.cpp) ---
    void startRequest();
    void openLocalFile();
    void pumpLocalFile();
    void endSource();

    // --- what is kept, and the package check (WinHttpReadResume_windows.cpp) ---
    bool resumable() const;
    void keepForNextTry();
    void keepOrDiscard();
    void recordWhenDue();
    bool saveRecord(std::int64_t length = -1);
    bool acceptStart(const char* data, std::int64_t size);
    void refuseBody();
    void checkEnd();

    WinHttpReadService* m_service;
    std::string m_address;
    ReadSource m_source;
    std::string m_tag;
    int m_options;
    DownloadFile m_file;
    std::string m_recordPath;
    std::shared_ptr<int> m_life = std::make_shared<int>(0); // posted steps run while it is there

    // The whole file, over all tries.
    std::string m_validator;
    std::int64_t m_total = -1;        // its size; -1 while unknown
    std::int64_t m_mostHeld = 0;      // the most bytes of it the file held
    std::int64_t m_recorded = 0;      // bytes the record on disk vouches for
    std::int64_t m_handedAtCheck = 0; // bytes handed to the disk when the record was last due
    std::optional<std::chrono::steady_clock::time_point> m_lastRecord;
    int m_try = 0;
    int m_startOvers = 0;
    std::unique_ptr<EventLoop::Timer> m_wait;
    bool m_refusedBody = false;
    std::string m_head; // the first bytes of the body
    std::string m_contentType;
    LocalFailure m_localFailure;
    bool m_concluded = false;

    // The try under way.
    std::unique_ptr<WinHttpRequest> m_request;
    HANDLE m_localFile = INVALID_HANDLE_VALUE;
    std::int64_t m_tryStart = 0; // bytes held when it began
    std::int64_t m_bodyEnd = -1; // file size at the end of its body; -1 while unknown
    bool m_rangeAsked = false;
    bool m_headChecked = false;
    bool m_failed = false;
    bool m_mayPass = false;
    bool m_startOver = false;
    std::string m_reason;
    std::optional<std::chrono::milliseconds> m_serverWait;
    std::vector<char> m_buffer;
};
