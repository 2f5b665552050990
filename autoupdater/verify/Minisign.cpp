#include "verify/Minisign.h"

#include "core/Text.h"

#include <algorithm>

namespace minisign {
namespace {

constexpr std::string_view UntrustedPrefix = "untrusted comment:";
constexpr std::string_view TrustedPrefix = "trusted comment: ";
constexpr std::string_view KeyAlgorithm = "Ed";
constexpr std::string_view HashedAlgorithm = "ED";
constexpr std::string_view LegacyAlgorithm = "Ed";
constexpr std::size_t KeyLineBytes = 2 + sizeof(KeyId) + sizeof(PublicKeyBytes);
constexpr std::size_t SignatureLineBytes = 2 + sizeof(KeyId) + sizeof(SignatureBytes);

bool fail(std::string* error, const std::string& reason) {
    if (error)
        *error = reason;
    return false;
}

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// The text without the ASCII white space at its two ends.
std::string_view trimmed(std::string_view text) {
    while (!text.empty() && isSpace(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && isSpace(text.back()))
        text.remove_suffix(1);
    return text;
}

// The lines of a text, without their line ends ("\n" or "\r\n").
std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines = Split(text, '\n');
    for (std::string& line : lines) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
    }
    while (!lines.empty() && trimmed(lines.back()).empty())
        lines.pop_back();
    return lines;
}

// The bytes of standard base64 text, strictly: nothing outside the alphabet, and "=" only as the
// one or two last characters of a text whose length is a multiple of 4. Text without its padding
// is taken here; the caller checks the length.
std::optional<std::string> decodeBase64(std::string_view text) {
    std::string bytes;
    unsigned bits = 0;
    int count = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        int value;
        if (c >= 'A' && c <= 'Z')
            value = c - 'A';
        else if (c >= 'a' && c <= 'z')
            value = c - 'a' + 26;
        else if (c >= '0' && c <= '9')
            value = c - '0' + 52;
        else if (c == '+')
            value = 62;
        else if (c == '/')
            value = 63;
        else if (c == '=' && text.size() % 4 == 0 &&
                 (i + 1 == text.size() || (i + 2 == text.size() && text[i + 1] == '=')))
            break;
        else
            return std::nullopt;
        bits = (bits << 6) | unsigned(value);
        count += 6;
        if (count >= 8) {
            count -= 8;
            bytes += static_cast<char>(bits >> count);
            bits &= (1u << count) - 1;
        }
    }
    return bytes;
}

// Decodes line `number` (1-based) of `lines`, strictly, into exactly `size` bytes of `what`.
bool decodeLine(const std::vector<std::string>& lines, std::size_t number, std::size_t size,
                const char* what, std::string* bytes, std::string* error) {
    if (number > lines.size())
        return fail(error, Format("the text ends before line %1, which should hold the %2",
                                  {std::to_string(number), what}));
    // Strictly: no character outside the alphabet, and the padding in place.
    const std::string_view line = trimmed(lines[number - 1]);
    const std::optional<std::string> decoded = decodeBase64(line);
    if (!decoded || decoded->empty() || line.size() % 4 != 0)
        return fail(error, Format("line %1 is not base64", {std::to_string(number)}));
    if (decoded->size() != size)
        return fail(error, Format("line %1 holds %2 bytes where a %3 has %4",
                                  {std::to_string(number), std::to_string(decoded->size()), what,
                                   std::to_string(size)}));
    *bytes = *decoded;
    return true;
}

template <std::size_t N>
void copyBytes(std::array<unsigned char, N>* to, const std::string& from, std::size_t offset) {
    // The callers have checked the length.
    for (std::size_t i = 0; i < N; ++i)
        (*to)[i] = static_cast<unsigned char>(from.at(offset + i));
}

} // namespace

std::string keyIdText(const KeyId& id) {
    // minisign reads the id as a little-endian number and prints that, without leading zeros.
    static constexpr char Digits[] = "0123456789ABCDEF";
    std::string digits;
    for (auto byte = id.rbegin(); byte != id.rend(); ++byte) {
        digits += Digits[*byte >> 4];
        digits += Digits[*byte & 0xF];
    }
    const std::size_t first = std::min(digits.find_first_not_of('0'), digits.size() - 1);
    return digits.substr(first);
}

const PublicKey* findKey(const std::vector<PublicKey>& keys, const KeyId& id) {
    const auto found =
        std::find_if(keys.begin(), keys.end(), [&](const PublicKey& key) { return key.id == id; });
    return found == keys.end() ? nullptr : &*found;
}

bool parseKeyFile(const std::string& text, std::vector<PublicKey>* keys, std::string* error) {
    const std::vector<std::string> lines = splitLines(text);
    std::vector<PublicKey> found;
    for (std::size_t number = 1; number <= lines.size(); ++number) {
        if (trimmed(lines[number - 1]).empty())
            continue;
        if (!lines[number - 1].starts_with(UntrustedPrefix))
            return fail(error, Format("line %1 should be an 'untrusted comment:' line",
                                      {std::to_string(number)}));
        ++number;
        std::string bytes;
        if (!decodeLine(lines, number, KeyLineBytes, "public key", &bytes, error))
            return false;
        if (!bytes.starts_with(KeyAlgorithm))
            return fail(error,
                        Format("line %1 is not an Ed25519 public key", {std::to_string(number)}));
        PublicKey key;
        copyBytes(&key.id, bytes, 2);
        copyBytes(&key.key, bytes, 2 + sizeof(KeyId));
        if (const PublicKey* same = findKey(found, key.id)) {
            if (same->key != key.key)
                return fail(error, Format("line %1 gives key %2 a second, different value",
                                          {std::to_string(number), keyIdText(key.id)}));
            continue;
        }
        found.push_back(key);
    }
    if (found.empty())
        return fail(error, "it holds no key");
    *keys = std::move(found);
    return true;
}

std::optional<std::string> Signature::trustedField(std::string_view name) const {
    for (const std::string& field : Split(trustedComment, '\t')) {
        if (field.size() > name.size() && field.starts_with(name) && field[name.size()] == ':')
            return field.substr(name.size() + 1);
    }
    return std::nullopt;
}

bool parseSignature(const std::string& text, Signature* signature, std::string* error) {
    const std::vector<std::string> lines = splitLines(text);
    if (lines.empty() || !lines[0].starts_with(UntrustedPrefix))
        return fail(error, "line 1 should be an 'untrusted comment:' line");
    std::string bytes;
    if (!decodeLine(lines, 2, SignatureLineBytes, "signature", &bytes, error))
        return false;
    Signature parsed;
    const std::string_view algorithm(bytes.data(), 2);
    if (algorithm == HashedAlgorithm) {
        parsed.algorithm = Signature::Algorithm::Hashed;
    } else if (algorithm == LegacyAlgorithm) {
        parsed.algorithm = Signature::Algorithm::Legacy;
    } else {
        static constexpr char Digits[] = "0123456789abcdef";
        std::string hex;
        for (const char c : algorithm) {
            hex += Digits[static_cast<unsigned char>(c) >> 4];
            hex += Digits[static_cast<unsigned char>(c) & 0xF];
        }
        return fail(error, Format("line 2 names the unknown algorithm '%1'", {hex}));
    }
    copyBytes(&parsed.keyId, bytes, 2);
    copyBytes(&parsed.signature, bytes, 2 + sizeof(KeyId));
    if (lines.size() < 3 || !lines[2].starts_with(TrustedPrefix))
        return fail(error, "line 3 should be a 'trusted comment:' line");
    parsed.trustedComment = lines[2].substr(TrustedPrefix.size());
    if (!decodeLine(lines, 4, sizeof(SignatureBytes), "global signature", &bytes, error))
        return false;
    copyBytes(&parsed.globalSignature, bytes, 0);
    for (std::size_t number = 5; number <= lines.size(); ++number) {
        if (!trimmed(lines[number - 1]).empty())
            return fail(error,
                        Format("line %1 follows the global signature", {std::to_string(number)}));
    }
    *signature = std::move(parsed);
    return true;
}

} // namespace minisign
