#include "verify/Minisign.h"

#include <QList>
#include <algorithm>

namespace minisign {
namespace {

constexpr QByteArrayView UntrustedPrefix = "untrusted comment:";
constexpr QByteArrayView TrustedPrefix = "trusted comment: ";
constexpr QByteArrayView KeyAlgorithm = "Ed";
constexpr QByteArrayView HashedAlgorithm = "ED";
constexpr QByteArrayView LegacyAlgorithm = "Ed";
constexpr qsizetype KeyLineBytes = 2 + sizeof(KeyId) + sizeof(PublicKeyBytes);
constexpr qsizetype SignatureLineBytes = 2 + sizeof(KeyId) + sizeof(SignatureBytes);

bool fail(QString* error, const QString& reason) {
    if (error)
        *error = reason;
    return false;
}

// The lines of a text, without their line ends ("\n" or "\r\n").
QList<QByteArray> splitLines(const QByteArray& text) {
    QList<QByteArray> lines = text.split('\n');
    for (QByteArray& line : lines) {
        if (line.endsWith('\r'))
            line.chop(1);
    }
    while (!lines.isEmpty() && lines.last().trimmed().isEmpty())
        lines.removeLast();
    return lines;
}

// Decodes line `number` (1-based) of `lines`, strictly, into exactly `size` bytes of `what`.
bool decodeLine(const QList<QByteArray>& lines, qsizetype number, qsizetype size, const char* what,
                QByteArray* bytes, QString* error) {
    if (number > lines.size())
        return fail(error, QStringLiteral("the text ends before line %1, which should hold the %2")
                               .arg(number)
                               .arg(QLatin1String(what)));
    // Strictly: no character outside the alphabet, and the padding in place (Qt takes text
    // without it).
    const QByteArray line = lines[number - 1].trimmed();
    const auto decoded = QByteArray::fromBase64Encoding(
        line, QByteArray::Base64Encoding | QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || decoded.decoded.isEmpty() || line.size() % 4 != 0)
        return fail(error, QStringLiteral("line %1 is not base64").arg(number));
    if (decoded.decoded.size() != size)
        return fail(error, QStringLiteral("line %1 holds %2 bytes where a %3 has %4")
                               .arg(number)
                               .arg(decoded.decoded.size())
                               .arg(QLatin1String(what))
                               .arg(size));
    *bytes = decoded.decoded;
    return true;
}

template <size_t N>
void copyBytes(std::array<unsigned char, N>* to, const QByteArray& from, qsizetype offset) {
    // The callers have checked the length; byte by byte, since a copy from constData() + offset
    // is taken by GCC's bounds check (with the sanitizers) for a read of the empty array.
    for (size_t i = 0; i < N; ++i)
        (*to)[i] = static_cast<unsigned char>(from.at(offset + qsizetype(i)));
}

} // namespace

QString keyIdText(const KeyId& id) {
    // minisign reads the id as a little-endian number and prints that, without leading zeros.
    QByteArray bigEndian(reinterpret_cast<const char*>(id.data()), qsizetype(id.size()));
    std::reverse(bigEndian.begin(), bigEndian.end());
    QByteArray digits = bigEndian.toHex().toUpper();
    while (digits.size() > 1 && digits.startsWith('0'))
        digits.remove(0, 1);
    return QString::fromLatin1(digits);
}

const PublicKey* findKey(const std::vector<PublicKey>& keys, const KeyId& id) {
    const auto found =
        std::find_if(keys.begin(), keys.end(), [&](const PublicKey& key) { return key.id == id; });
    return found == keys.end() ? nullptr : &*found;
}

bool parseKeyFile(const QByteArray& text, std::vector<PublicKey>* keys, QString* error) {
    const QList<QByteArray> lines = splitLines(text);
    std::vector<PublicKey> found;
    for (qsizetype number = 1; number <= lines.size(); ++number) {
        if (lines[number - 1].trimmed().isEmpty())
            continue;
        if (!lines[number - 1].startsWith(UntrustedPrefix))
            return fail(
                error,
                QStringLiteral("line %1 should be an 'untrusted comment:' line").arg(number));
        ++number;
        QByteArray bytes;
        if (!decodeLine(lines, number, KeyLineBytes, "public key", &bytes, error))
            return false;
        if (!bytes.startsWith(KeyAlgorithm))
            return fail(error, QStringLiteral("line %1 is not an Ed25519 public key").arg(number));
        PublicKey key;
        copyBytes(&key.id, bytes, 2);
        copyBytes(&key.key, bytes, 2 + qsizetype(sizeof(KeyId)));
        if (const PublicKey* same = findKey(found, key.id)) {
            if (same->key != key.key)
                return fail(error, QStringLiteral("line %1 gives key %2 a second, different value")
                                       .arg(number)
                                       .arg(keyIdText(key.id)));
            continue;
        }
        found.push_back(key);
    }
    if (found.empty())
        return fail(error, QStringLiteral("it holds no key"));
    *keys = std::move(found);
    return true;
}

std::optional<QByteArray> Signature::trustedField(QByteArrayView name) const {
    for (const QByteArray& field : trustedComment.split('\t')) {
        if (field.size() > name.size() && field.startsWith(name) && field[name.size()] == ':')
            return field.mid(name.size() + 1);
    }
    return std::nullopt;
}

bool parseSignature(const QByteArray& text, Signature* signature, QString* error) {
    const QList<QByteArray> lines = splitLines(text);
    if (lines.isEmpty() || !lines[0].startsWith(UntrustedPrefix))
        return fail(error, QStringLiteral("line 1 should be an 'untrusted comment:' line"));
    QByteArray bytes;
    if (!decodeLine(lines, 2, SignatureLineBytes, "signature", &bytes, error))
        return false;
    Signature parsed;
    const QByteArrayView algorithm(bytes.constData(), 2);
    if (algorithm == HashedAlgorithm)
        parsed.algorithm = Signature::Algorithm::Hashed;
    else if (algorithm == LegacyAlgorithm)
        parsed.algorithm = Signature::Algorithm::Legacy;
    else
        return fail(error, QStringLiteral("line 2 names the unknown algorithm '%1'")
                               .arg(QString::fromLatin1(algorithm.toByteArray().toHex())));
    copyBytes(&parsed.keyId, bytes, 2);
    copyBytes(&parsed.signature, bytes, 2 + qsizetype(sizeof(KeyId)));
    if (lines.size() < 3 || !lines[2].startsWith(TrustedPrefix))
        return fail(error, QStringLiteral("line 3 should be a 'trusted comment:' line"));
    parsed.trustedComment = lines[2].mid(TrustedPrefix.size());
    if (!decodeLine(lines, 4, sizeof(SignatureBytes), "global signature", &bytes, error))
        return false;
    copyBytes(&parsed.globalSignature, bytes, 0);
    for (qsizetype number = 5; number <= lines.size(); ++number) {
        if (!lines[number - 1].trimmed().isEmpty())
            return fail(error, QStringLiteral("line %1 follows the global signature").arg(number));
    }
    *signature = std::move(parsed);
    return true;
}

} // namespace minisign
