#include "verify/UpdateVerifier.h"

#include "core/Paths.h"
#include "core/Text.h"
#include "verify/SmallFiles.h"
#include "verify/Sodium.h"

#include <chrono>
#include <cstdio>
#include <filesystem>

namespace {

using namespace minisign;

constexpr std::int64_t MaxKeyFileBytes = 64 * 1024;
constexpr std::int64_t MaxSignatureBytes = 64 * 1024;

bool isPresent(const std::string& path) {
    std::error_code ignored;
    return std::filesystem::exists(std::filesystem::symlink_status(FsPath(path), ignored));
}

// Removes the file (or symbolic link) at `path`; a folder there stays.
void removeFile(const std::string& path) {
    std::error_code ignored;
    if (!std::filesystem::is_directory(std::filesystem::symlink_status(FsPath(path), ignored)))
        std::filesystem::remove(FsPath(path), ignored);
}

// The path with the system's own separators ("\" on Windows), as the user types it.
std::string nativeSeparators(std::string path) {
    if constexpr (std::filesystem::path::preferred_separator != '/') {
        for (char& c : path) {
            if (c == '/')
                c = static_cast<char>(std::filesystem::path::preferred_separator);
        }
    }
    return path;
}

// A signing time as a reader takes it: "2026-12-07 12:50:27 UTC".
std::string signingTime(std::uint64_t seconds) {
    if (seconds > std::uint64_t(253402300799)) // after the year 9999
        return Format("timestamp %1", {std::to_string(seconds)});
    using namespace std::chrono;
    const sys_seconds time{std::chrono::seconds(static_cast<std::int64_t>(seconds))};
    const sys_days day = floor<days>(time);
    const year_month_day date(day);
    const hh_mm_ss clock(time - day);
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02u-%02u %02d:%02d:%02d UTC", int(date.year()),
                  unsigned(date.month()), unsigned(date.day()), int(clock.hours().count()),
                  int(clock.minutes().count()), int(clock.seconds().count()));
    return text;
}

std::string signatureMissingLine(const std::string& package) {
    return Format("ERROR: Update file '%1' is not signed: its signature '%2' is missing.",
                  {package, UpdateVerifier::signatureName(package)});
}

} // namespace

UpdateVerifier::UpdateVerifier(const std::string& programFolder) : m_programFolder(programFolder) {}

bool UpdateVerifier::load(std::string* statusLine) {
    m_keys.clear();
    m_verifiedSignedAt.clear();
    const std::string keyPath = m_programFolder + '/' + KeyFileName;
    if (!isPresent(keyPath))
        return true;
    std::string text;
    std::string reason;
    if (!readSmallFile(keyPath, MaxKeyFileBytes, &text, &reason)) {
        *statusLine = Format("ERROR: Unable to read the key file '%1': %2", {KeyFileName, reason});
        return false;
    }
    std::vector<PublicKey> keys;
    if (!parseKeyFile(text, &keys, &reason)) {
        *statusLine = Format("ERROR: The key file '%1' is malformed: %2.", {KeyFileName, reason});
        return false;
    }
    if (!startCryptography()) {
        *statusLine = "ERROR: Unable to check signatures: the cryptography library cannot start.";
        return false;
    }
    if (!m_record.read(m_programFolder + '/' + InstalledRecord::FileName, &reason)) {
        *statusLine = Format("ERROR: Unable to read the record of installed packages '%1': %2",
                             {InstalledRecord::FileName, reason});
        return false;
    }
    m_keys = std::move(keys);
    return true;
}

std::string UpdateVerifier::unverifiedNotice() const {
    return Format("Update packages are not verified: there is no publisher key '%1' in %2.",
                  {KeyFileName, nativeSeparators(m_programFolder)});
}

std::optional<UpdateVerifier::Refusal> UpdateVerifier::check(const std::string& package) {
    const auto refuse = [&](const std::string& line) { return Refusal{package, "ERROR: " + line}; };
    const std::string packagePath = m_programFolder + "/updates/" + package;
    const std::string signaturePath = packagePath + SignatureSuffix;
    if (!isPresent(signaturePath))
        return Refusal{package, signatureMissingLine(package)};
    std::string text;
    std::string reason;
    if (!readSmallFile(signaturePath, MaxSignatureBytes, &text, &reason))
        return refuse(
            Format("Unable to read the signature of update file '%1': %2", {package, reason}));
    Signature signature;
    if (!parseSignature(text, &signature, &reason))
        return refuse(
            Format("The signature of update file '%1' is malformed: %2.", {package, reason}));
    if (signature.algorithm == Signature::Algorithm::Legacy)
        return refuse(Format("Update file '%1' has a legacy signature, which is not accepted: "
                             "sign it again without minisign's -l option.",
                             {package}));
    const PublicKey* key = findKey(m_keys, signature.keyId);
    if (!key)
        return refuse(Format("Update file '%1' is not signed by the publisher's key: it was signed "
                             "with key %2, which '%3' does not hold.",
                             {package, keyIdText(signature.keyId), KeyFileName}));
    Blake2b512 hash;
    if (!hashFile(packagePath, &hash, &reason))
        return refuse(Format("Unable to read update file '%1': %2", {package, reason}));
    if (!fileSignatureValid(signature, hash, *key))
        return refuse(Format("Update file '%1' is not signed by the publisher's key: it differs "
                             "from the file key %2 signed (changed or damaged after signing).",
                             {package, keyIdText(key->id)}));
    if (!globalSignatureValid(signature, *key))
        return refuse(Format("Update file '%1' is not signed by the publisher's key: the trusted "
                             "comment of its signature was changed after signing.",
                             {package}));
    const std::optional<std::string> file = signature.trustedField("file");
    if (!file)
        return refuse(Format("Update file '%1' is signed for no file name: the trusted comment of "
                             "its signature has no 'file:' field (sign it with minisign's default "
                             "trusted comment).",
                             {package}));
    if (*file != package)
        return refuse(
            Format("Update file '%1' is signed for another file name: '%2'.", {package, *file}));
    if (const std::optional<std::string> timestamp = signature.trustedField("timestamp")) {
        const std::optional<std::uint64_t> signedAt = InstalledRecord::parseSeconds(*timestamp);
        if (!signedAt)
            return refuse(Format("The signature of update file '%1' is malformed: its timestamp "
                                 "'%2' is not a number of seconds.",
                                 {package, *timestamp}));
        const std::optional<std::uint64_t> installed = m_record.signedAt(package);
        if (installed && *signedAt < *installed)
            return refuse(Format("Update file '%1' is older than the installed one: it was signed "
                                 "%2, the installed one %3.",
                                 {package, signingTime(*signedAt), signingTime(*installed)}));
        m_verifiedSignedAt[package] = *signedAt;
    }
    return std::nullopt;
}

std::optional<UpdateVerifier::Refusal>
UpdateVerifier::verify(const std::vector<std::string>& packages) {
    if (!signaturesRequired())
        return std::nullopt;
    for (const std::string& package : packages) {
        if (std::optional<Refusal> refusal = check(package)) {
            m_verifiedSignedAt.clear();
            discard(package);
            return refusal;
        }
    }
    return std::nullopt;
}

UpdateVerifier::Refusal UpdateVerifier::refuseUnsigned(const std::string& package) {
    m_verifiedSignedAt.clear();
    discard(package);
    return Refusal{package, signatureMissingLine(package)};
}

void UpdateVerifier::discard(const std::string& package) const {
    const std::string packagePath = m_programFolder + "/updates/" + package;
    removeFile(packagePath);
    removeFile(packagePath + SignatureSuffix);
}

bool UpdateVerifier::recordInstalled(std::string* error) {
    if (m_verifiedSignedAt.empty())
        return true;
    for (const auto& [package, signedAt] : m_verifiedSignedAt)
        m_record.setSignedAt(package, signedAt);
    return m_record.write(m_programFolder + '/' + InstalledRecord::FileName, error);
}
