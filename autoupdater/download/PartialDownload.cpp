#include "download/PartialDownload.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <sodium.h>
#include <string_view>
#include <system_error>

#include "core/Paths.h"
#include "download/FileMovePlatform.h"
#include "download/HeaderText.h"

using namespace std::chrono;

namespace {
constexpr std::size_t kMaxRecordBytes = 64 << 10;

// --- the record's text: a JSON object of strings and numbers ---

struct JsonValue {
    enum class Kind { String, Number, Other } kind = Kind::Other;
    std::string text;
    double number = 0;
};

void appendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += char(c);
    } else if (c < 0x800) {
        out += char(0xC0 | (c >> 6));
        out += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += char(0xE0 | (c >> 12));
        out += char(0x80 | ((c >> 6) & 0x3F));
        out += char(0x80 | (c & 0x3F));
    } else {
        out += char(0xF0 | (c >> 18));
        out += char(0x80 | ((c >> 12) & 0x3F));
        out += char(0x80 | ((c >> 6) & 0x3F));
        out += char(0x80 | (c & 0x3F));
    }
}

class JsonReader {
public:
    explicit JsonReader(std::string_view text) : m_text(text) {}

    // The members of the object that is the whole text; nullopt when the text is no such object.
    std::optional<std::map<std::string, JsonValue>> object() {
        std::map<std::string, JsonValue> members;
        if (!take('{'))
            return std::nullopt;
        if (!take('}')) {
            do {
                std::string name;
                JsonValue value;
                if (!string(name) || !take(':') || !this->value(&value, 0))
                    return std::nullopt;
                members[name] = std::move(value);
            } while (take(','));
            if (!take('}'))
                return std::nullopt;
        }
        space();
        if (m_at != m_text.size())
            return std::nullopt;
        return members;
    }

private:
    void space() {
        while (m_at < m_text.size() && (m_text[m_at] == ' ' || m_text[m_at] == '\t' ||
                                        m_text[m_at] == '\n' || m_text[m_at] == '\r'))
            ++m_at;
    }
    bool take(char c) {
        space();
        if (m_at >= m_text.size() || m_text[m_at] != c)
            return false;
        ++m_at;
        return true;
    }
    bool word(std::string_view w) {
        if (m_text.substr(m_at, w.size()) != w)
            return false;
        m_at += w.size();
        return true;
    }
    bool hex4(char32_t& value) {
        if (m_at + 4 > m_text.size())
            return false;
        unsigned parsed = 0;
        const char* begin = m_text.data() + m_at;
        const auto [end, error] = std::from_chars(begin, begin + 4, parsed, 16);
        if (error != std::errc() || end != begin + 4)
            return false;
        m_at += 4;
        value = parsed;
        return true;
    }
    bool string(std::string& out) {
        if (!take('"'))
            return false;
        while (m_at < m_text.size()) {
            const char c = m_text[m_at++];
            if (c == '"')
                return true;
            if (c != '\\') {
                out += c;
                continue;
            }
            if (m_at >= m_text.size())
                return false;
            const char escaped = m_text[m_at++];
            switch (escaped) {
            case '"':
            case '\\':
            case '/':
                out += escaped;
                break;
            case 'b':
                out += '\b';
                break;
            case 'f':
                out += '\f';
                break;
            case 'n':
                out += '\n';
                break;
            case 'r':
                out += '\r';
                break;
            case 't':
                out += '\t';
                break;
            case 'u': {
                char32_t c32 = 0;
                if (!hex4(c32))
                    return false;
                if (c32 >= 0xD800 && c32 < 0xDC00) {
                    char32_t low = 0;
                    if (!word("\\u") || !hex4(low) || low < 0xDC00 || low >= 0xE000)
                        return false;
                    c32 = 0x10000 + ((c32 - 0xD800) << 10) + (low - 0xDC00);
                } else if (c32 >= 0xDC00 && c32 < 0xE000) {
                    return false;
                }
                appendUtf8(out, c32);
                break;
            }
            default:
                return false;
            }
        }
        return false;
    }
    bool number(double& out) {
        const std::size_t start = m_at;
        while (m_at < m_text.size() &&
               std::string_view("+-0123456789.eE").find(m_text[m_at]) != std::string_view::npos)
            ++m_at;
        const char* begin = m_text.data() + start;
        const char* end = m_text.data() + m_at;
        if (begin == end || *begin == '+')
            return false;
        const auto [parsedEnd, error] = std::from_chars(begin, end, out);
        return error == std::errc() && parsedEnd == end;
    }
    // Any value; nested ones are read over (a record has none).
    bool value(JsonValue* out, int depth) {
        space();
        if (m_at >= m_text.size() || depth > 64)
            return false;
        const char c = m_text[m_at];
        if (c == '"') {
            out->kind = JsonValue::Kind::String;
            return string(out->text);
        }
        if (c == '-' || (c >= '0' && c <= '9')) {
            out->kind = JsonValue::Kind::Number;
            return number(out->number);
        }
        if (word("true") || word("false") || word("null"))
            return true;
        if (c != '[' && c != '{')
            return false;
        const char close = c == '[' ? ']' : '}';
        ++m_at;
        if (take(close))
            return true;
        do {
            JsonValue ignored;
            if (close == '}') {
                std::string name;
                if (!string(name) || !take(':'))
                    return false;
            }
            if (!value(&ignored, depth + 1))
                return false;
        } while (take(','));
        return take(close);
    }

    std::string_view m_text;
    std::size_t m_at = 0;
};

std::string jsonString(std::string_view text) {
    static const char kHex[] = "0123456789abcdef";
    std::string out = "\"";
    for (const char c : text) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\b':
            out += "\\b";
            break;
        case '\f':
            out += "\\f";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                out += "\\u00";
                out += kHex[(c >> 4) & 0xF];
                out += kHex[c & 0xF];
            } else {
                out += c;
            }
        }
    }
    return out + "\"";
}

std::string stringOf(const std::map<std::string, JsonValue>& members, const std::string& name) {
    const auto found = members.find(name);
    return found != members.end() && found->second.kind == JsonValue::Kind::String
               ? found->second.text
               : std::string();
}

// A whole number of the record; -1 when it is missing or no number.
std::int64_t integerOf(const std::map<std::string, JsonValue>& members, const std::string& name) {
    const auto found = members.find(name);
    if (found == members.end() || found->second.kind != JsonValue::Kind::Number)
        return -1;
    const double value = found->second.number;
    return std::isfinite(value) && std::fabs(value) < 9.2e18 ? std::int64_t(value) : -1;
}

// The validator is bytes (a header's): each byte is kept as the character of that number.
std::string latin1ToUtf8(std::string_view bytes) {
    std::string text;
    for (const char c : bytes)
        appendUtf8(text, static_cast<unsigned char>(c));
    return text;
}

std::string utf8ToLatin1(std::string_view text) {
    std::string bytes;
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        if (lead >= 0x80 && lead < 0xC0)
            length = 1; // a stray continuation byte
        if (length == 2 && i + 1 < text.size() && lead <= 0xC3)
            bytes += char(((lead & 0x1F) << 6) | (static_cast<unsigned char>(text[i + 1]) & 0x3F));
        else
            bytes += length == 1 && lead < 0x80 ? char(lead) : '?';
        i += length;
    }
    return bytes;
}

// --- times as the record writes them: "2024-05-01T12:00:00.000Z" ---

std::string isoTime(PartialDownload::Clock::time_point time) {
    const auto ms = floor<milliseconds>(time);
    const auto day = floor<days>(ms);
    const year_month_day date{day};
    const hh_mm_ss<milliseconds> clock{ms - day};
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", int(date.year()),
                  unsigned(date.month()), unsigned(date.day()), int(clock.hours().count()),
                  int(clock.minutes().count()), int(clock.seconds().count()),
                  int(clock.subseconds().count()));
    return text;
}

// Also without the milliseconds, and with an offset from UTC instead of "Z".
std::optional<PartialDownload::Clock::time_point> parseIsoTime(std::string_view text) {
    std::size_t at = 0;
    const auto digits = [&](std::size_t count) -> std::optional<int> {
        int value = 0;
        for (std::size_t i = 0; i < count; ++i, ++at) {
            if (at >= text.size() || text[at] < '0' || text[at] > '9')
                return std::nullopt;
            value = value * 10 + (text[at] - '0');
        }
        return value;
    };
    const auto literal = [&](char c) {
        if (at >= text.size() || text[at] != c)
            return false;
        ++at;
        return true;
    };
    const auto y = digits(4);
    const bool dash1 = literal('-');
    const auto mo = digits(2);
    const bool dash2 = literal('-');
    const auto d = digits(2);
    const bool t = literal('T');
    const auto h = digits(2);
    const bool colon1 = literal(':');
    const auto mi = digits(2);
    const bool colon2 = literal(':');
    const auto s = digits(2);
    if (!y || !dash1 || !mo || !dash2 || !d || !t || !h || !colon1 || !mi || !colon2 || !s)
        return std::nullopt;
    int millis = 0;
    if (literal('.')) {
        int scale = 100, count = 0;
        for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at, ++count, scale /= 10)
            millis += (text[at] - '0') * scale;
        if (count == 0)
            return std::nullopt;
    }
    minutes offset{0};
    if (!literal('Z')) {
        const bool east = literal('+');
        if (!east && !literal('-'))
            return std::nullopt; // local time: never written
        const auto oh = digits(2);
        const bool colon = literal(':');
        const auto om = digits(2);
        if (!oh || !colon || !om || *oh > 23 || *om > 59)
            return std::nullopt;
        offset = minutes((*oh * 60 + *om) * (east ? 1 : -1));
    }
    const year_month_day date{year(*y), month(unsigned(*mo)), day(unsigned(*d))};
    if (at != text.size() || !date.ok() || *h > 23 || *mi > 59 || *s > 59)
        return std::nullopt;
    return sys_days(date) + hours(*h) + minutes(*mi) + seconds(*s) + milliseconds(millis) - offset;
}
} // namespace

std::string PartialDownload::recordName(const std::string& address) {
    static const bool ready = sodium_init() >= 0;
    unsigned char digest[crypto_hash_sha256_BYTES] = {};
    if (ready)
        crypto_hash_sha256(digest, reinterpret_cast<const unsigned char*>(address.data()),
                           address.size());
    char hex[2 * crypto_hash_sha256_BYTES + 1] = {};
    sodium_bin2hex(hex, sizeof hex, digest, sizeof digest);
    return "vorn-download-" + std::string(hex, 16) + ".resume";
}

const std::string& PartialDownload::recordPattern() {
    static const std::string pattern = "vorn-download-*.resume";
    return pattern;
}

const std::string& PartialDownload::recordInTheMakingPattern() {
    static const std::string pattern = "vorn-download-*.resume.*";
    return pattern;
}

std::optional<PartialDownload> PartialDownload::load(const std::string& path) {
    std::ifstream file(FsPath(path), std::ios::binary);
    if (!file)
        return std::nullopt;
    std::string text(kMaxRecordBytes + 1, '\0');
    file.read(text.data(), std::streamsize(text.size()));
    if (file.bad() || std::size_t(file.gcount()) > kMaxRecordBytes)
        return std::nullopt;
    text.resize(std::size_t(file.gcount()));
    const auto json = JsonReader(text).object();
    if (!json)
        return std::nullopt;
    PartialDownload record;
    record.address = stringOf(*json, "address");
    record.partialName = stringOf(*json, "partial");
    record.validator = utf8ToLatin1(stringOf(*json, "validator"));
    record.total = integerOf(*json, "total");
    record.length = integerOf(*json, "length");
    const auto saved = parseIsoTime(stringOf(*json, "saved"));
    // Only a plain name of the same folder: a record never leads elsewhere.
    if (record.address.empty() || record.partialName.empty() ||
        record.partialName.find('/') != std::string::npos || record.partialName.starts_with('.') ||
        record.validator.empty() || record.total <= 0 || record.length < 0 ||
        record.length > record.total || !saved)
        return std::nullopt;
    record.saved = *saved;
    return record;
}

bool PartialDownload::save(const std::string& path, std::string* error) const {
    const std::string json =
        "{\n"
        "    \"address\": " +
        jsonString(address) + ",\n" + "    \"length\": " + std::to_string(length) + ",\n" +
        "    \"partial\": " + jsonString(partialName) + ",\n" +
        "    \"saved\": " + jsonString(isoTime(saved)) + ",\n" +
        "    \"total\": " + std::to_string(total) + ",\n" +
        "    \"validator\": " + jsonString(latin1ToUtf8(validator)) + "\n" + "}\n";
    // Written aside and flushed to disk, then renamed over the old record.
    WriteFailure failure;
    const std::optional<std::string> aside = writeAside(json, path, failure);
    if (aside) {
        const int code = renameReplacing(*aside, path);
        if (code == 0)
            return true;
        removeFile(*aside);
        failure.reason = std::generic_category().message(code);
    }
    if (error)
        *error = failure.reason;
    return false;
}

std::string PartialDownload::validatorOf(const std::string& entityTag,
                                         const std::string& lastModified) {
    const std::string_view tag = TrimHeaderSpace(entityTag);
    // A weak tag ("W/...") may stand for other bytes: never a reason to join two parts.
    if (tag.starts_with('"') && tag.ends_with('"') && tag.size() >= 2)
        return std::string(tag);
    return tag.empty() ? std::string(TrimHeaderSpace(lastModified)) : std::string();
}

bool PartialDownload::freshAt(Clock::time_point now) const {
    // Either way: a clock put back must not keep a record for ever.
    const auto age = duration_cast<seconds>(floor<milliseconds>(now) - floor<milliseconds>(saved));
    return std::abs(age.count()) < MaxAgeSeconds;
}

std::optional<ContentRange> ContentRange::parse(const std::string& value) {
    const std::string_view text = TrimHeaderSpace(value);
    if (!text.starts_with("bytes "))
        return std::nullopt;
    const std::string_view range = TrimHeaderSpace(text.substr(6));
    const std::size_t dash = range.find('-');
    const std::size_t slash = range.find('/');
    if (dash == std::string_view::npos || dash == 0 || slash == std::string_view::npos ||
        slash <= dash + 1)
        return std::nullopt;
    const auto first = ParseDecimal(range.substr(0, dash));
    const auto last = ParseDecimal(range.substr(dash + 1, slash - dash - 1));
    const auto total = ParseDecimal(range.substr(slash + 1));
    if (!first || !last || !total || *first < 0 || *last < *first || *total <= *last)
        return std::nullopt;
    return ContentRange{*first, *last, *total};
}
