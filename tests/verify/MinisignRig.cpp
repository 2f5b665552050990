#include "MinisignRig.h"

#include "TestFiles.h"

#include <cinttypes>
#include <cstdio>
#include <ctime>
#include <sodium.h>
#include <stdexcept>

namespace fixtures {
namespace {

constexpr char UntrustedPrefix[] = "untrusted comment: ";
// The layout of an unencrypted secret key: algorithm "Ed", no key derivation ("\0\0"), checksum
// algorithm "B2", salt, limits, key id, the Ed25519 secret key, checksum (left zero, as -W does).
constexpr std::size_t SecretKeyBytes = 2 + 2 + 2 + 32 + 8 + 8 + 8 + crypto_sign_SECRETKEYBYTES + 32;
constexpr std::size_t KeyIdOffset = 2 + 2 + 2 + 32 + 8 + 8;

[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error(what);
}

std::string bytesOf(const unsigned char* data, std::size_t size) {
    return std::string(reinterpret_cast<const char*>(data), size);
}

const unsigned char* uchars(const std::string& bytes) {
    return reinterpret_cast<const unsigned char*>(bytes.data());
}

// Line `index` (0-based) of a text.
std::string lineOf(const std::string& text, std::size_t index) {
    std::size_t start = 0;
    for (std::size_t i = 0; i < index && start != std::string::npos; ++i) {
        start = text.find('\n', start);
        start = start == std::string::npos ? start : start + 1;
    }
    if (start == std::string::npos)
        return {};
    return text.substr(start, text.find('\n', start) - start);
}

void startSodium() {
    if (sodium_init() < 0)
        fail("libsodium cannot start");
}

std::string detachedSignature(const std::string& message, const std::string& secretKey) {
    unsigned char signature[crypto_sign_BYTES];
    crypto_sign_detached(signature, nullptr, uchars(message), message.size(), uchars(secretKey));
    return bytesOf(signature, sizeof signature);
}

void generateWithRig(const MinisignKey& key) {
    startSodium();
    unsigned char publicKey[crypto_sign_PUBLICKEYBYTES], secretKey[crypto_sign_SECRETKEYBYTES];
    unsigned char id[8];
    crypto_sign_keypair(publicKey, secretKey);
    randombytes_buf(id, sizeof id);
    std::uint64_t number = 0; // the id as minisign prints it: a little-endian number
    for (int i = 7; i >= 0; --i)
        number = number << 8 | id[i];
    char idText[17];
    std::snprintf(idText, sizeof idText, "%" PRIX64, number);
    const std::string ids = bytesOf(id, sizeof id);
    writeFile(key.publicKeyFile,
              std::string(UntrustedPrefix) + "minisign public key " + idText + "\n" +
                  toBase64("Ed" + ids + bytesOf(publicKey, sizeof publicKey)) + "\n");
    std::string secret = std::string("Ed\0\0B2", 6) + std::string(32 + 8 + 8, '\0') + ids +
                         bytesOf(secretKey, sizeof secretKey) + std::string(32, '\0');
    writeFile(key.secretKeyFile, std::string(UntrustedPrefix) + "minisign encrypted secret key\n" +
                                     toBase64(secret) + "\n");
    sodium_memzero(secretKey, sizeof secretKey);
}

void signWithRig(const MinisignKey& key, const std::string& file, const SignOptions& options) {
    startSodium();
    const std::string secret = fromBase64(lineOf(readFile(key.secretKeyFile), 1));
    if (secret.size() != SecretKeyBytes || secret.compare(0, 6, std::string("Ed\0\0B2", 6)) != 0)
        fail(key.secretKeyFile + " is no unencrypted minisign secret key");
    const std::string id = secret.substr(KeyIdOffset, 8);
    const std::string secretKey = secret.substr(KeyIdOffset + 8, crypto_sign_SECRETKEYBYTES);

    std::string message = readFile(file);
    if (!options.legacy) {
        unsigned char hash[crypto_generichash_BYTES_MAX];
        crypto_generichash(hash, sizeof hash, uchars(message), message.size(), nullptr, 0);
        message = bytesOf(hash, sizeof hash);
    }
    std::string comment = options.trustedComment.value_or("");
    if (comment.empty()) {
        const std::size_t slash = file.find_last_of('/');
        comment = "timestamp:" + std::to_string(std::time(nullptr)) +
                  "\tfile:" + (slash == std::string::npos ? file : file.substr(slash + 1)) +
                  (options.legacy ? "" : "\thashed");
    }
    const std::string signature = detachedSignature(message, secretKey);
    writeFile(options.signatureFile.empty() ? file + ".minisig" : options.signatureFile,
              std::string(UntrustedPrefix) + "signature from minisign secret key\n" +
                  toBase64((options.legacy ? "Ed" : "ED") + id + signature) +
                  "\ntrusted comment: " + comment + "\n" +
                  toBase64(detachedSignature(signature + comment, secretKey)) + "\n");
}

} // namespace

std::string minisignProgram() {
    return VORN_MINISIGN;
}

Maker defaultMaker() {
    return minisignProgram().empty() ? Maker::Rig : Maker::Tool;
}

std::string runMinisign(const std::vector<std::string>& arguments) {
    const std::string program = minisignProgram();
    if (program.empty())
        fail("minisign is not installed (scripts/install-deps installs it)");
    const ProgramRun run = runProgram(program, arguments, 120);
    if (!run.exited || run.exitCode != 0) {
        std::string command = "minisign";
        for (const std::string& argument : arguments)
            command += " " + argument;
        fail(command + " failed: " + run.errors + run.problem);
    }
    return run.output;
}

MinisignKey generateKey(const std::string& folder, const std::string& name, Maker maker) {
    MinisignKey key{folder + "/" + name + ".pub", folder + "/" + name + ".key", {}};
    if (maker == Maker::Tool)
        runMinisign({"-G", "-W", "-f", "-p", key.publicKeyFile, "-s", key.secretKeyFile});
    else
        generateWithRig(key);
    const std::string comment = lineOf(readFile(key.publicKeyFile), 0);
    const std::string before = "minisign public key ";
    const std::size_t at = comment.find(before);
    if (at != std::string::npos)
        key.id = comment.substr(at + before.size());
    if (key.id.empty() || key.id.size() > 16 ||
        key.id.find_first_not_of("0123456789ABCDEF") != std::string::npos)
        fail("no key id in " + key.publicKeyFile);
    return key;
}

void sign(const MinisignKey& key, const std::string& file, const SignOptions& options,
          Maker maker) {
    if (maker == Maker::Rig)
        return signWithRig(key, file, options);
    std::vector<std::string> arguments{"-S", "-s", key.secretKeyFile, "-m", file};
    if (options.legacy)
        arguments.push_back("-l");
    if (options.trustedComment)
        arguments.insert(arguments.end(), {"-t", *options.trustedComment});
    if (!options.signatureFile.empty())
        arguments.insert(arguments.end(), {"-x", options.signatureFile});
    runMinisign(arguments);
}

std::string toBase64(const std::string& bytes) {
    const int variant = sodium_base64_VARIANT_ORIGINAL;
    std::string text(sodium_base64_ENCODED_LEN(bytes.size(), variant), '\0');
    sodium_bin2base64(text.data(), text.size(), uchars(bytes), bytes.size(), variant);
    text.pop_back(); // the terminating zero
    return text;
}

std::string fromBase64(const std::string& text) {
    std::string bytes(text.size() / 4 * 3 + 3, '\0');
    std::size_t size = 0;
    if (sodium_base642bin(reinterpret_cast<unsigned char*>(bytes.data()), bytes.size(), text.data(),
                          text.size(), nullptr, &size, nullptr,
                          sodium_base64_VARIANT_ORIGINAL) != 0)
        fail("not base64: " + text);
    bytes.resize(size);
    return bytes;
}

} // namespace fixtures
