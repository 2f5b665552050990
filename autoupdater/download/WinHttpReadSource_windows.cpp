// The source of a WinHTTP read's try: a request to the server, or for a file address the file
// itself, read directly a slice per turn of the loop and taken up by seeking while it is the same
// file.
#include <algorithm>
#include <cctype>

#include <vorn/Files_windows.h>

#include "download/WinHttpReadService_windows.h"
#include "download/WinHttpRead_windows.h"

namespace {
// Bytes taken from a local file per turn of the loop, so that the user-interface thread is never
// busy for long.
constexpr std::int64_t kSliceBytes = 1 << 20;
constexpr DWORD kChunkBytes = 256 * 1024;
// FILETIME's count at the Unix epoch, and its steps per millisecond.
constexpr std::int64_t kEpochFileTime = 116444736000000000;
constexpr std::int64_t kFileTimeMillisecond = 10000;

bool startsWithNoCase(const std::string& text, const std::string& prefix) {
    return text.size() >= prefix.size() &&
           std::equal(prefix.begin(), prefix.end(), text.begin(), [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a)) ==
                      std::tolower(static_cast<unsigned char>(b));
           });
}

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    c = char(std::tolower(static_cast<unsigned char>(c)));
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

std::string percentDecoded(const std::string& text) {
    std::string decoded;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 &&
            hexValue(text[i + 2]) >= 0) {
            decoded.push_back(char(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2])));
            i += 2;
        } else {
            decoded.push_back(text[i]);
        }
    }
    return decoded;
}

// The local path of a file address: "file:///C:/folder/name" is C:/folder/name, and
// "file://server/share/name" the network path //server/share/name. Empty when there is none.
std::string localPathOf(const std::string& address) {
    const std::string rest = address.substr(7);
    const std::size_t slash = rest.find('/');
    if (slash == std::string::npos)
        return {};
    const std::string host = rest.substr(0, slash);
    std::string path = percentDecoded(rest.substr(slash, rest.find_first_of("?#") - slash));
    if (path.size() >= 3 && path[0] == '/' && std::isalpha(static_cast<unsigned char>(path[1])) &&
        path[2] == ':')
        path.erase(0, 1);
    if (!host.empty() && host != "localhost")
        path = "//" + host + path;
    return path == "/" ? std::string() : path;
}
} // namespace

std::optional<ReadSource> ReadSource::of(const std::string& address) {
    ReadSource source;
    if (startsWithNoCase(address, "file://")) {
        source.localPath = localPathOf(address);
        if (source.localPath.empty())
            return std::nullopt;
        return source;
    }
    if (!startsWithNoCase(address, "http://") && !startsWithNoCase(address, "https://"))
        return std::nullopt;
    source.http = HttpTargetOf(address);
    if (!source.http)
        return std::nullopt;
    return source;
}

void WinHttpRead::startRequest() {
    m_rangeAsked = m_tryStart > 0;
    m_request = std::make_unique<WinHttpRequest>(
        m_service->m_session, [this](const RequestEvent& event) { onEvent(event); });
    const DWORD error =
        m_request->send(*m_source.http, {m_service->maxRedirects(), m_service->stallTimeout(),
                                         (m_options & AsyncReadService::ForceUpdate) != 0,
                                         m_tryStart, m_validator});
    if (error != 0) {
        // Told on a later turn, as a failure that WinHTTP reports itself.
        m_service->m_loop.post([life = std::weak_ptr<int>(m_life), this, error] {
            if (!life.expired())
                onEvent({RequestEvent::Kind::Error, 0, error});
        });
    }
}

void WinHttpRead::openLocalFile() {
    m_headChecked = true;
    m_localFile = CreateFileW(LongWindowsPath(m_source.localPath).c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    BY_HANDLE_FILE_INFORMATION info{};
    if (m_localFile == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        fail(error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
                 ? std::string("no such file")
                 : SystemMessage(error));
    } else if (!GetFileInformationByHandle(m_localFile, &info) ||
               (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        fail("no such file");
    } else {
        const std::int64_t size =
            std::int64_t((std::uint64_t(info.nFileSizeHigh) << 32) | info.nFileSizeLow);
        const std::int64_t changed =
            (std::int64_t((std::uint64_t(info.ftLastWriteTime.dwHighDateTime) << 32) |
                          info.ftLastWriteTime.dwLowDateTime) -
             kEpochFileTime) /
            kFileTimeMillisecond;
        const std::string validator =
            "file " + std::to_string(size) + ' ' + std::to_string(changed);
        LARGE_INTEGER position{};
        position.QuadPart = m_tryStart;
        if (m_tryStart > 0 && (validator != m_validator || m_total != size ||
                               !SetFilePointerEx(m_localFile, position, nullptr, FILE_BEGIN)))
            startOverHere();
        m_validator = validator;
        m_total = m_bodyEnd = size;
    }
    later(&WinHttpRead::pumpLocalFile);
}

// Moves a slice of the local file into the temporary file; the try ends at the file's end.
void WinHttpRead::pumpLocalFile() {
    if (m_localFile == INVALID_HANDLE_VALUE || m_failed)
        return endTry();
    m_buffer.resize(kChunkBytes);
    bool wrote = false;
    bool atEnd = false;
    for (std::int64_t budget = kSliceBytes; budget > 0 && !m_failed && !atEnd;) {
        DWORD got = 0;
        if (!ReadFile(m_localFile, m_buffer.data(), kChunkBytes, &got, nullptr)) {
            fail(SystemMessage(GetLastError()));
            break;
        }
        atEnd = got == 0 || m_file.size() + got >= m_bodyEnd;
        budget -= got;
        take(m_buffer.data(), got);
        wrote = wrote || got > 0;
    }
    if (wrote && !m_failed && !reportProgress())
        return;
    if (atEnd || m_failed)
        return endTry();
    later(&WinHttpRead::pumpLocalFile);
}

void WinHttpRead::endSource() {
    m_request.reset();
    if (m_localFile != INVALID_HANDLE_VALUE)
        CloseHandle(m_localFile);
    m_localFile = INVALID_HANDLE_VALUE;
}
