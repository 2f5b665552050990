#include "download/PackageCheck.h"

#include <cstdint>
#include <string_view>

namespace PackageCheck {

namespace {
constexpr std::string_view kLocalHeader("PK\x03\x04", 4);
constexpr std::string_view kEndRecord("PK\x05\x06", 4);
} // namespace

bool startsLikeZip(const std::string& head) {
    return head.starts_with(kLocalHeader) || head.starts_with(kEndRecord);
}

bool endsLikeZip(const std::string& tail) {
    constexpr std::size_t recordBytes = 22;
    for (std::size_t at = tail.rfind(kEndRecord); at != std::string::npos;
         at = at > 0 ? tail.rfind(kEndRecord, at - 1) : std::string::npos) {
        if (at + recordBytes > tail.size())
            continue;
        const auto commentBytes =
            std::size_t(std::uint8_t(tail[at + 20]) | std::uint8_t(tail[at + 21]) << 8);
        if (at + recordBytes + commentBytes == tail.size())
            return true;
    }
    return false;
}

std::string describe(const std::string& head, const std::string& contentType) {
    static const char kHex[] = "0123456789abcdef";
    std::string text;
    for (const char c : std::string_view(head).substr(0, 48)) {
        const auto byte = std::uint8_t(c);
        if (byte >= 0x20 && byte < 0x7F) {
            text += c;
        } else {
            text += "\\x";
            text += kHex[byte >> 4];
            text += kHex[byte & 0xF];
        }
    }
    std::string description = head.empty() ? "nothing" : "bytes beginning \"" + text + "\"";
    if (!contentType.empty())
        description += " of type " + contentType;
    return description;
}

} // namespace PackageCheck
