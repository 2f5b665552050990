#include "download/WinHttpRequest_windows.h"

#include <climits>
#include <condition_variable>
#include <mutex>
#include <vector>

#include <vorn/SystemMessage_windows.h>
#include <vorn/Utf16_windows.h>

#include "Version.h"
#include "download/HeaderText.h"

// The requests WinHTTP still holds, each counted from its opening to its closing, and the loop
// their events go to while the session is there.
struct PendingRequests {
    std::mutex mutex;
    EventLoop* loop = nullptr;
    std::condition_variable closed;
    int open = 0;
};

namespace {
// The most body bytes read in one step.
constexpr DWORD kReadBytes = 256 * 1024;
// How long the session's end waits for WinHTTP to let go of its requests.
constexpr std::chrono::milliseconds kClosingWait{500};

// A header value as the server sent it: WinHTTP widens its bytes one to one.
std::string headerBytes(const std::wstring& text) {
    std::string bytes;
    bytes.reserve(text.size());
    for (const wchar_t c : text) {
        if (c > 0xFF)
            return Utf8FromUtf16(text);
        bytes.push_back(char(c));
    }
    return bytes;
}

std::wstring widened(const std::string& bytes) {
    std::wstring text;
    for (const char c : bytes)
        text.push_back(wchar_t(static_cast<unsigned char>(c)));
    return text;
}

std::optional<std::string> queryHeader(HINTERNET request, DWORD what, const wchar_t* name) {
    DWORD size = 0;
    WinHttpQueryHeaders(request, what, name, WINHTTP_NO_OUTPUT_BUFFER, &size,
                        WINHTTP_NO_HEADER_INDEX);
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER)
        return std::nullopt;
    std::wstring text(size / sizeof(wchar_t) + 1, L'\0');
    size = DWORD(text.size() * sizeof(wchar_t));
    if (!WinHttpQueryHeaders(request, what, name, text.data(), &size, WINHTTP_NO_HEADER_INDEX))
        return std::nullopt;
    text.resize(size / sizeof(wchar_t));
    return headerBytes(text);
}

DWORD timeoutOf(std::chrono::milliseconds stall) {
    return stall.count() <= 0 || stall.count() > INT_MAX ? DWORD(INT_MAX) : DWORD(stall.count());
}
} // namespace

// What WinHTTP's callback works with: the request's buffer and the way to the loop's thread.
struct WinHttpRequest::Channel {
    std::weak_ptr<Receiver> receiver; // set once; gone when the request is closed
    std::shared_ptr<PendingRequests> pending;
    std::vector<char> buffer = std::vector<char>(kReadBytes);

    static void CALLBACK status(HINTERNET, DWORD_PTR context, DWORD code, LPVOID info,
                                DWORD length) {
        auto* channel = reinterpret_cast<Channel*>(context);
        if (!channel)
            return; // the connection's handle
        RequestEvent event;
        switch (code) {
        case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE:
            event.kind = RequestEvent::Kind::Sent;
            break;
        case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE:
            event.kind = RequestEvent::Kind::Head;
            break;
        case WINHTTP_CALLBACK_STATUS_DATA_AVAILABLE:
            event.kind = RequestEvent::Kind::Available;
            event.count = info ? *static_cast<const DWORD*>(info) : 0;
            break;
        case WINHTTP_CALLBACK_STATUS_READ_COMPLETE:
            event.kind = RequestEvent::Kind::Read;
            event.count = length;
            break;
        case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR:
            event.kind = RequestEvent::Kind::Error;
            event.error = info ? static_cast<const WINHTTP_ASYNC_RESULT*>(info)->dwError
                               : DWORD(ERROR_WINHTTP_INTERNAL_ERROR);
            break;
        case WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING:
            release(channel);
            return;
        default:
            return;
        }
        const std::lock_guard<std::mutex> guard(channel->pending->mutex);
        if (channel->pending->loop) {
            channel->pending->loop->post([receiver = channel->receiver, event] {
                if (const std::shared_ptr<Receiver> alive = receiver.lock())
                    (*alive)(event);
            });
        }
    }

    static void release(Channel* channel) {
        const std::shared_ptr<PendingRequests> pending = channel->pending;
        delete channel;
        {
            const std::lock_guard<std::mutex> guard(pending->mutex);
            --pending->open;
        }
        pending->closed.notify_all();
    }
};

WinHttpSession::WinHttpSession(EventLoop& loop) : pending(std::make_shared<PendingRequests>()) {
    pending->loop = &loop;
    const std::wstring agent = L"vorn-updater/" + Utf16FromUtf8(VORN_UPDATER_VERSION);
    // The system's proxy as the user's other programs find it; where the system knows no automatic
    // proxy (before Windows 8.1), the one set up for WinHTTP.
    handle = WinHttpOpen(agent.c_str(), WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME,
                         WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC);
    if (!handle)
        handle = WinHttpOpen(agent.c_str(), WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                             WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC);
    if (!handle) {
        error = WinHttpErrorText(GetLastError());
        return;
    }
    if (WinHttpSetStatusCallback(handle, &WinHttpRequest::Channel::status,
                                 WINHTTP_CALLBACK_FLAG_ALL_NOTIFICATIONS,
                                 0) == WINHTTP_INVALID_STATUS_CALLBACK) {
        error = WinHttpErrorText(GetLastError());
        WinHttpCloseHandle(handle);
        handle = nullptr;
    }
}

WinHttpSession::~WinHttpSession() {
    std::unique_lock<std::mutex> lock(pending->mutex);
    pending->loop = nullptr;
    pending->closed.wait_for(lock, kClosingWait, [this] { return pending->open == 0; });
    lock.unlock();
    if (handle)
        WinHttpCloseHandle(handle);
}

WinHttpRequest::WinHttpRequest(std::shared_ptr<WinHttpSession> session, Receiver receiver)
    : m_receiver(std::make_shared<Receiver>(std::move(receiver))), m_session(std::move(session)),
      m_channel(new Channel) {
    m_channel->receiver = m_receiver;
    m_channel->pending = m_session->pending;
}

WinHttpRequest::~WinHttpRequest() {
    m_receiver.reset();
    if (m_request)
        WinHttpCloseHandle(m_request); // the channel goes with the request's closing
    else
        delete m_channel;
    if (m_connection)
        WinHttpCloseHandle(m_connection);
}

DWORD WinHttpRequest::send(const HttpTarget& target, const RequestSettings& settings) {
    if (!m_session->handle)
        return ERROR_WINHTTP_NOT_INITIALIZED;
    m_connection = WinHttpConnect(m_session->handle, target.host.c_str(), target.port, 0);
    if (!m_connection)
        return GetLastError();
    const DWORD flags = (target.secure ? WINHTTP_FLAG_SECURE : 0) |
                        (settings.forceUpdate ? WINHTTP_FLAG_REFRESH : 0);
    HINTERNET request = WinHttpOpenRequest(m_connection, L"GET", target.object.c_str(), nullptr,
                                           WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, flags);
    if (!request)
        return GetLastError();
    {
        const std::lock_guard<std::mutex> guard(m_session->pending->mutex);
        ++m_session->pending->open;
    }
    DWORD_PTR context = reinterpret_cast<DWORD_PTR>(m_channel);
    if (!WinHttpSetOption(request, WINHTTP_OPTION_CONTEXT_VALUE, &context, sizeof context)) {
        const DWORD error = GetLastError();
        // No closing will name the channel: it goes now.
        WinHttpSetStatusCallback(request, nullptr, WINHTTP_CALLBACK_FLAG_ALL_NOTIFICATIONS, 0);
        WinHttpCloseHandle(request);
        Channel::release(m_channel);
        m_channel = new Channel;
        return error;
    }
    m_request = request;

    // Certificates are checked as the system checks them: no security flag is ever relaxed.
    DWORD policy = WINHTTP_OPTION_REDIRECT_POLICY_DISALLOW_HTTPS_TO_HTTP;
    DWORD redirects = DWORD(std::max(settings.maxRedirects, 0));
    if (!WinHttpSetOption(request, WINHTTP_OPTION_REDIRECT_POLICY, &policy, sizeof policy))
        return GetLastError();
    if (redirects == 0) {
        DWORD disable = WINHTTP_DISABLE_REDIRECTS;
        if (!WinHttpSetOption(request, WINHTTP_OPTION_DISABLE_FEATURE, &disable, sizeof disable))
            return GetLastError();
    } else if (!WinHttpSetOption(request, WINHTTP_OPTION_MAX_HTTP_AUTOMATIC_REDIRECTS, &redirects,
                                 sizeof redirects)) {
        return GetLastError();
    }
    const int stall = int(timeoutOf(settings.stallTimeout));
    if (!WinHttpSetTimeouts(request, 0, stall, stall, stall))
        return GetLastError();
    DWORD responseTimeout = DWORD(stall);
    WinHttpSetOption(request, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &responseTimeout,
                     sizeof responseTimeout);

    std::wstring headers = L"Accept-Encoding: identity\r\n";
    if (settings.forceUpdate)
        headers += L"Cache-Control: no-cache\r\nPragma: no-cache\r\n";
    if (settings.rangeStart > 0) {
        headers += L"Range: bytes=" + std::to_wstring(settings.rangeStart) + L"-\r\n";
        headers += L"If-Range: " + widened(settings.validator) + L"\r\n";
    }
    if (!WinHttpAddRequestHeaders(request, headers.c_str(), DWORD(headers.size()),
                                  WINHTTP_ADDREQ_FLAG_ADD | WINHTTP_ADDREQ_FLAG_REPLACE))
        return GetLastError();
    if (!WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0,
                            0, context))
        return GetLastError();
    return 0;
}

DWORD WinHttpRequest::receive() {
    return WinHttpReceiveResponse(m_request, nullptr) ? 0 : GetLastError();
}

DWORD WinHttpRequest::askForData() {
    return WinHttpQueryDataAvailable(m_request, nullptr) ? 0 : GetLastError();
}

DWORD WinHttpRequest::read(DWORD size) {
    size = std::min<DWORD>(size, DWORD(m_channel->buffer.size()));
    return WinHttpReadData(m_request, m_channel->buffer.data(), size, nullptr) ? 0 : GetLastError();
}

const char* WinHttpRequest::data() const {
    return m_channel->buffer.data();
}

ResponseHead WinHttpRequest::head() const {
    ResponseHead head;
    DWORD status = 0;
    DWORD size = sizeof status;
    if (WinHttpQueryHeaders(m_request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                            WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX))
        head.status = int(status);
    const auto text = [this](DWORD what) {
        return queryHeader(m_request, what, WINHTTP_HEADER_NAME_BY_INDEX).value_or(std::string());
    };
    head.reasonPhrase = text(WINHTTP_QUERY_STATUS_TEXT);
    head.contentEncoding = text(WINHTTP_QUERY_CONTENT_ENCODING);
    head.contentRange = text(WINHTTP_QUERY_CONTENT_RANGE);
    head.entityTag = text(WINHTTP_QUERY_ETAG);
    head.lastModified = text(WINHTTP_QUERY_LAST_MODIFIED);
    head.transferEncoding = text(WINHTTP_QUERY_TRANSFER_ENCODING);
    head.retryAfter = text(WINHTTP_QUERY_RETRY_AFTER);
    if (const std::optional<std::string> length =
            queryHeader(m_request, WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX))
        head.contentLength = ParseDecimal(*length);
    return head;
}

std::string WinHttpRequest::header(const wchar_t* name) const {
    return queryHeader(m_request, WINHTTP_QUERY_CUSTOM, name).value_or(std::string());
}

std::optional<HttpTarget> HttpTargetOf(const std::string& address) {
    const std::wstring wide = Utf16FromUtf8(address);
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof parts;
    parts.dwSchemeLength = parts.dwHostNameLength = parts.dwUrlPathLength =
        parts.dwExtraInfoLength = DWORD(-1);
    if (wide.empty() || !WinHttpCrackUrl(wide.c_str(), DWORD(wide.size()), 0, &parts) ||
        (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS) ||
        parts.dwHostNameLength == 0)
        return std::nullopt;
    HttpTarget target;
    target.host.assign(parts.lpszHostName, parts.dwHostNameLength);
    target.port = parts.nPort;
    target.secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
    if (parts.lpszUrlPath)
        target.object.assign(parts.lpszUrlPath, parts.dwUrlPathLength);
    if (parts.lpszExtraInfo)
        target.object.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
    // A fragment is the reader's, never the server's.
    target.object = target.object.substr(0, target.object.find(L'#'));
    if (target.object.empty())
        target.object = L"/";
    return target;
}

std::string WinHttpErrorText(DWORD code) {
    switch (code) {
    case ERROR_WINHTTP_TIMEOUT:
        return "the operation timed out";
    case ERROR_WINHTTP_NAME_NOT_RESOLVED:
        return "the server name could not be resolved";
    case ERROR_WINHTTP_CANNOT_CONNECT:
        return "the connection to the server was refused";
    case ERROR_WINHTTP_CONNECTION_ERROR:
        return "the connection to the server was closed";
    case ERROR_WINHTTP_INVALID_SERVER_RESPONSE:
        return "the server's response was not understood";
    case ERROR_WINHTTP_REDIRECT_FAILED:
        return "the redirect failed";
    case ERROR_WINHTTP_SECURE_FAILURE:
        return "the server's certificate was refused";
    case ERROR_WINHTTP_OPERATION_CANCELLED:
        return "the operation was cancelled";
    default:
        break;
    }
    wchar_t* buffer = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_HMODULE |
            FORMAT_MESSAGE_IGNORE_INSERTS,
        GetModuleHandleW(L"winhttp.dll"), code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::wstring text = length && buffer ? std::wstring(buffer, length) : std::wstring();
    if (buffer)
        LocalFree(buffer);
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' '))
        text.pop_back();
    return text.empty() ? SystemMessage(code) : Utf8FromUtf16(text);
}
