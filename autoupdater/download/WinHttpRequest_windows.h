// One request of the WinHTTP read service (Windows front-end): the session all requests share,
// the request's handles, and what WinHTTP reports of it, handed to the loop's thread. WinHTTP runs
// in its asynchronous mode: each step is asked for on the loop's thread and its end arrives there
// as an event; a request that is closed reports nothing more.
#pragma once

#include <windows.h>
#include <winhttp.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "core/EventLoop.h"
#include "download/ResponseHead.h"

struct PendingRequests;

// The WinHTTP session: the updater's name, the system's proxy, the asynchronous mode; what its
// requests report goes to `loop`. Destroying it cuts them off from the loop, then waits a moment
// for WinHTTP to let go of them. (A request closed while WinHTTP waits for its server may be let
// go of only when that wait ends, under wine at the stall time-out: it then ends unheard, its
// channel freed by its own closing.)
struct WinHttpSession {
    explicit WinHttpSession(EventLoop& loop);
    ~WinHttpSession();
    WinHttpSession(const WinHttpSession&) = delete;
    WinHttpSession& operator=(const WinHttpSession&) = delete;

    HINTERNET handle = nullptr;
    std::string error; // why there is no handle
    std::shared_ptr<PendingRequests> pending;
};

// Where an http or https address leads.
struct HttpTarget {
    std::wstring host;
    INTERNET_PORT port = 0;
    std::wstring object; // path and query
    bool secure = false;
};
// nullopt when `address` is no http or https address with a host.
std::optional<HttpTarget> HttpTargetOf(const std::string& address);

struct RequestSettings {
    int maxRedirects = 0;
    std::chrono::milliseconds stallTimeout{0}; // 0: no limit
    bool forceUpdate = false;                  // never from a cache
    std::int64_t rangeStart = 0;               // bytes held: > 0 asks only for the rest
    std::string validator;                     // of the bytes held, for If-Range
};

// The end of a step, on the loop's thread.
struct RequestEvent {
    enum class Kind {
        Sent,      // the request went out: the response may be received
        Head,      // the final response head is there (redirects were followed)
        Available, // `count` body bytes may be read; 0: the body has ended
        Read,      // `count` bytes are in data(); 0: the body has ended
        Error,     // the request failed with `error` (an ERROR_WINHTTP_* code)
    };
    Kind kind = Kind::Error;
    DWORD count = 0;
    DWORD error = 0;
};

class WinHttpRequest {
public:
    using Receiver = std::function<void(const RequestEvent&)>;

    WinHttpRequest(std::shared_ptr<WinHttpSession> session, Receiver receiver);
    // Closes the request: nothing of it reaches the receiver afterwards.
    ~WinHttpRequest();
    WinHttpRequest(const WinHttpRequest&) = delete;
    WinHttpRequest& operator=(const WinHttpRequest&) = delete;

    // Each step returns 0 when it is under way (its event follows), else the error that kept it
    // from starting (no event follows).
    //
    // Redirects are followed up to the limit and never from https to http; a transfer without
    // data for the stall time-out fails; the body comes as it is stored (no decompression, so the
    // counts are the file's own). With bytes held, only the rest is asked for, and only while the
    // server's file is still the one they came from; otherwise the server sends all of it.
    DWORD send(const HttpTarget& target, const RequestSettings& settings);
    DWORD receive();
    DWORD askForData();
    DWORD read(DWORD size);

    // After Head: the status and the headers the judgement reads, and one header by name.
    ResponseHead head() const;
    std::string header(const wchar_t* name) const;
    // After Read: the bytes.
    const char* data() const;

    // What WinHTTP's callback is given for the request (the session's callback is its).
    struct Channel;

private:
    std::shared_ptr<Receiver> m_receiver;
    std::shared_ptr<WinHttpSession> m_session;
    Channel* m_channel = nullptr; // WinHTTP's from the request's opening to its closing
    HINTERNET m_connection = nullptr;
    HINTERNET m_request = nullptr;
};

// The text of a WinHTTP (or system) error code, for a diagnostic.
std::string WinHttpErrorText(DWORD code);
