#include "Reporter.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace vbuzip {

namespace {

// Longest message the program accepts, in bytes without the NUL.
constexpr size_t MaxMessage = 1023;

// A writable NUL-terminated copy of a text, for callbacks whose parameters are not const.
std::vector<char> writableCopy(const std::string& text, size_t minSize = 0) {
    std::vector<char> buffer(std::max(text.size() + 1, minSize), '\0');
    std::memcpy(buffer.data(), text.data(), text.size());
    return buffer;
}

// Cuts text to at most max bytes without splitting a UTF-8 sequence.
void cutUtf8(std::string& text, size_t max) {
    if (text.size() <= max)
        return;
    size_t end = max;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
        --end;
    text.resize(end);
}

int32_t clampToInt16(int64_t value) {
    return static_cast<int32_t>(std::clamp<int64_t>(value, 0, 32767));
}

uint32_t clampToUint32(uint64_t value) {
    return static_cast<uint32_t>(std::min<uint64_t>(value, UINT32_MAX));
}

} // namespace

Reporter::Reporter(const UnzipCallbacks* callbacks, int32_t messageLevel) : m_level(messageLevel) {
    if (callbacks)
        m_callbacks = *callbacks;
}

void Reporter::print(std::string text) {
    if (!m_callbacks.Print)
        return;
    if (text.empty() || text.back() != '\n')
        text += '\n';
    if (text.size() > MaxMessage) {
        cutUtf8(text, MaxMessage - 4);
        text += "...\n";
    }
    std::vector<char> buffer = writableCopy(text);
    m_callbacks.Print(buffer.data(), static_cast<uint32_t>(text.size()));
}

void Reporter::error(const std::string& text) {
    print("error: " + text);
}

void Reporter::entry(const std::string& text) {
    if (m_level >= UZ_MSG_NORMAL)
        print(text);
}

void Reporter::detail(const std::string& text) {
    if (m_level >= UZ_MSG_VERBOSE)
        print(text);
}

bool Reporter::serviceStop(const std::string& entryName) {
    if (!m_callbacks.Service)
        return false;
    std::vector<char> buffer = writableCopy(entryName);
    return m_callbacks.Service(buffer.data(), static_cast<uint32_t>(entryName.size() + 1)) == 1;
}

bool Reporter::progressStop(uint64_t bytesWritten) const {
    return m_progress && m_progress(bytesWritten) != 0;
}

int32_t Reporter::askReplace(const std::string& fileName) {
    if (!m_callbacks.Replace)
        return UZ_REPLACE_NO;
    std::vector<char> buffer = writableCopy(fileName);
    return m_callbacks.Replace(buffer.data());
}

std::optional<std::string> Reporter::askPassword(const std::string& entryName) {
    if (!m_callbacks.Password)
        return std::nullopt;
    std::vector<char> buffer(UZ_PASSWORD_BUFFER, '\0');
    std::vector<char> prompt = writableCopy("Enter password for " + entryName + ": ");
    std::vector<char> name = writableCopy(entryName);
    int32_t answer = m_callbacks.Password(buffer.data(), static_cast<int32_t>(buffer.size()),
                                          prompt.data(), name.data());
    // The last byte stays NUL whatever the callback wrote before it.
    std::string password(buffer.data(), strnlen(buffer.data(), buffer.size() - 1));
    std::fill(buffer.begin(), buffer.end(), '\0');
    if (answer != 0)
        return std::nullopt;
    return password;
}

void Reporter::list(const ListValues& v) {
    if (!m_callbacks.List)
        return;
    // Compressed size as a percentage of the size, so that size * ratio / 100 is the packed size.
    int32_t ratio = 0;
    if (v.size != 0)
        ratio = clampToInt16(static_cast<int64_t>(static_cast<double>(v.compressedSize) * 100.0 /
                                                  static_cast<double>(v.size)));
    std::vector<char> name = writableCopy(v.name);
    std::vector<char> method = writableCopy(v.method);
    m_callbacks.List(clampToUint32(v.compressedSize), clampToUint32(v.size), ratio, v.month, v.day,
                     v.year, v.hour, v.minute, 0, name.data(), method.data(), v.crc,
                     v.encrypted ? UZ_LIST_ENCRYPTED : 0);
}

} // namespace vbuzip
