// The file formats of the minisign tool: public-key files and signature files. Parsing only; the
// signatures are checked in Sodium.h.
//
// A public key is two lines:
//     untrusted comment: <anything>
//     base64 of "Ed" + key id (8 bytes) + Ed25519 public key (32 bytes)
// A key file may hold several keys one after another (blank lines between them are allowed).
//
// A signature file is four lines:
//     untrusted comment: <anything>
//     base64 of the algorithm ("ED": the file's BLAKE2b-512 hash is signed; "Ed": the file itself,
//         minisign's legacy format) + key id (8 bytes) + Ed25519 signature (64 bytes)
//     trusted comment: <text>, by default "timestamp:<seconds>\tfile:<name>\thashed"
//     base64 of the global signature (64 bytes): the signature above followed by <text>
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace minisign {

using KeyId = std::array<unsigned char, 8>;
using PublicKeyBytes = std::array<unsigned char, 32>;
using SignatureBytes = std::array<unsigned char, 64>;

// A key id as minisign shows it: up to 16 upper-case hexadecimal digits, "7BB599447A1FC963".
std::string keyIdText(const KeyId& id);

struct PublicKey {
    KeyId id{};
    PublicKeyBytes key{};
};

// Parses a key file's contents into its keys, in file order. Fails, with the reason (naming the
// line), when a key is incomplete or malformed, when two different keys share an id, or when the
// text holds no key at all.
bool parseKeyFile(const std::string& text, std::vector<PublicKey>* keys, std::string* error);

// The key of `keys` whose id is `id`, or null.
const PublicKey* findKey(const std::vector<PublicKey>& keys, const KeyId& id);

struct Signature {
    enum class Algorithm { Hashed, Legacy };
    Algorithm algorithm = Algorithm::Hashed;
    KeyId keyId{};
    SignatureBytes signature{};
    std::string trustedComment; // the text after "trusted comment: "
    SignatureBytes globalSignature{};

    // The value of a "name:value" field of the trusted comment (its fields are separated by tabs),
    // or nothing when it has no such field.
    std::optional<std::string> trustedField(std::string_view name) const;
};

// Parses a signature file's contents. Fails, with the reason, when a line is missing or malformed
// or the algorithm is neither "ED" nor "Ed".
bool parseSignature(const std::string& text, Signature* signature, std::string* error);

} // namespace minisign
