#include "verify/UpdateVerifier.h"

#include "verify/SmallFiles.h"
#include "verify/Sodium.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTimeZone>
#include <memory>

namespace {

using namespace minisign;

constexpr qint64 MaxKeyFileBytes = 64 * 1024;
constexpr qint64 MaxSignatureBytes = 64 * 1024;

bool isPresent(const QString& path) {
    const QFileInfo file(path);
    return file.exists() || file.isSymLink();
}

// A signing time as a reader takes it: "2026-12-07 12:50:27 UTC".
QString signingTime(quint64 seconds) {
    if (seconds > quint64(253402300799)) // after the year 9999
        return QStringLiteral("timestamp %1").arg(seconds);
    return QDateTime::fromSecsSinceEpoch(qint64(seconds), QTimeZone::utc())
        .toString(QStringLiteral("yyyy-MM-dd HH:mm:ss 'UTC'"));
}

QString signatureMissingLine(const QString& package) {
    return QStringLiteral("ERROR: Update file '%1' is not signed: its signature '%2' is missing.")
        .arg(package, UpdateVerifier::signatureName(package));
}

} // namespace

UpdateVerifier::UpdateVerifier(const QString& programFolder) : m_programFolder(programFolder) {}

bool UpdateVerifier::load(QString* statusLine) {
    m_keys.clear();
    m_verifiedSignedAt.clear();
    const QString keyPath = m_programFolder + QLatin1Char('/') + KeyFileName;
    if (!isPresent(keyPath))
        return true;
    QByteArray text;
    QString reason;
    if (!readSmallFile(keyPath, MaxKeyFileBytes, &text, &reason)) {
        *statusLine =
            QStringLiteral("ERROR: Unable to read the key file '%1': %2").arg(KeyFileName, reason);
        return false;
    }
    std::vector<PublicKey> keys;
    if (!parseKeyFile(text, &keys, &reason)) {
        *statusLine =
            QStringLiteral("ERROR: The key file '%1' is malformed: %2.").arg(KeyFileName, reason);
        return false;
    }
    if (!startCryptography()) {
        *statusLine = QStringLiteral("ERROR: Unable to check signatures: the cryptography library "
                                     "cannot start.");
        return false;
    }
    if (!m_record.read(m_programFolder + QLatin1Char('/') + InstalledRecord::FileName, &reason)) {
        *statusLine = QStringLiteral("ERROR: Unable to read the record of installed packages "
                                     "'%1': %2")
                          .arg(InstalledRecord::FileName, reason);
        return false;
    }
    m_keys = std::move(keys);
    return true;
}

QString UpdateVerifier::unverifiedNotice() const {
    return QStringLiteral("Update packages are not verified: there is no publisher key '%1' in %2.")
        .arg(KeyFileName, QDir::toNativeSeparators(m_programFolder));
}

std::optional<UpdateVerifier::Refusal> UpdateVerifier::check(const QString& package) {
    const auto refuse = [&](const QString& line) {
        return Refusal{package, QStringLiteral("ERROR: ") + line};
    };
    const QString packagePath = m_programFolder + QStringLiteral("/updates/") + package;
    const QString signaturePath = packagePath + SignatureSuffix;
    if (!isPresent(signaturePath))
        return Refusal{package, signatureMissingLine(package)};
    QByteArray text;
    QString reason;
    if (!readSmallFile(signaturePath, MaxSignatureBytes, &text, &reason))
        return refuse(QStringLiteral("Unable to read the signature of update file '%1': %2")
                          .arg(package, reason));
    Signature signature;
    if (!parseSignature(text, &signature, &reason))
        return refuse(QStringLiteral("The signature of update file '%1' is malformed: %2.")
                          .arg(package, reason));
    if (signature.algorithm == Signature::Algorithm::Legacy)
        return refuse(QStringLiteral("Update file '%1' has a legacy signature, which is not "
                                     "accepted: sign it again without minisign's -l option.")
                          .arg(package));
    const PublicKey* key = findKey(m_keys, signature.keyId);
    if (!key)
        return refuse(QStringLiteral("Update file '%1' is not signed by the publisher's key: it "
                                     "was signed with key %2, which '%3' does not hold.")
                          .arg(package, keyIdText(signature.keyId), KeyFileName));
    Blake2b512 hash;
    if (!hashFile(packagePath, &hash, &reason))
        return refuse(QStringLiteral("Unable to read update file '%1': %2").arg(package, reason));
    if (!fileSignatureValid(signature, hash, *key))
        return refuse(QStringLiteral("Update file '%1' is not signed by the publisher's key: it "
                                     "differs from the file key %2 signed (changed or damaged "
                                     "after signing).")
                          .arg(package, keyIdText(key->id)));
    if (!globalSignatureValid(signature, *key))
        return refuse(QStringLiteral("Update file '%1' is not signed by the publisher's key: the "
                                     "trusted comment of its signature was changed after signing.")
                          .arg(package));
    const std::optional<QByteArray> file = signature.trustedField("file");
    if (!file)
        return refuse(QStringLiteral("Update file '%1' is signed for no file name: the trusted "
                                     "comment of its signature has no 'file:' field (sign it with "
                                     "minisign's default trusted comment).")
                          .arg(package));
    if (QString::fromUtf8(*file) != package)
        return refuse(QStringLiteral("Update file '%1' is signed for another file name: '%2'.")
                          .arg(package, QString::fromUtf8(*file)));
    if (const std::optional<QByteArray> timestamp = signature.trustedField("timestamp")) {
        const std::optional<quint64> signedAt = InstalledRecord::parseSeconds(*timestamp);
        if (!signedAt)
            return refuse(QStringLiteral("The signature of update file '%1' is malformed: its "
                                         "timestamp '%2' is not a number of seconds.")
                              .arg(package, QString::fromUtf8(*timestamp)));
        const std::optional<quint64> installed = m_record.signedAt(package);
        if (installed && *signedAt < *installed)
            return refuse(QStringLiteral("Update file '%1' is older than the installed one: it "
                                         "was signed %2, the installed one %3.")
                              .arg(package, signingTime(*signedAt), signingTime(*installed)));
        m_verifiedSignedAt[package] = *signedAt;
    }
    return std::nullopt;
}

std::optional<UpdateVerifier::Refusal> UpdateVerifier::verify(const QStringList& packages) {
    if (!signaturesRequired())
        return std::nullopt;
    for (const QString& package : packages) {
        if (std::optional<Refusal> refusal = check(package)) {
            m_verifiedSignedAt.clear();
            discard(package);
            return refusal;
        }
    }
    return std::nullopt;
}

UpdateVerifier::Refusal UpdateVerifier::refuseUnsigned(const QString& package) {
    m_verifiedSignedAt.clear();
    discard(package);
    return Refusal{package, signatureMissingLine(package)};
}

void UpdateVerifier::discard(const QString& package) const {
    const QString packagePath = m_programFolder + QStringLiteral("/updates/") + package;
    QFile::remove(packagePath);
    QFile::remove(packagePath + SignatureSuffix);
}

bool UpdateVerifier::recordInstalled(QString* error) {
    if (m_verifiedSignedAt.empty())
        return true;
    for (const auto& [package, signedAt] : m_verifiedSignedAt)
        m_record.setSignedAt(package, signedAt);
    return m_record.write(m_programFolder + QLatin1Char('/') + InstalledRecord::FileName, error);
}
