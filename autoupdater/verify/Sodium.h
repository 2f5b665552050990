// The cryptography of minisign signatures, done by libsodium: the BLAKE2b-512 hash of a file, read
// in pieces so that memory stays flat whatever the file's size, and Ed25519 signature checks.
#pragma once

#include "verify/Minisign.h"

#include <array>
#include <string>
#include <string_view>

namespace minisign {

using Blake2b512 = std::array<unsigned char, 64>;

// Starts the library (once per process; safe from any thread). False when it cannot start.
bool startCryptography();

// The BLAKE2b-512 hash (unkeyed) of the file at `path`. On failure returns false with the reason.
bool hashFile(const std::string& path, Blake2b512* hash, std::string* error);

// Whether `signature` is key's Ed25519 signature of `message`.
bool signatureValid(const SignatureBytes& signature, std::string_view message,
                    const PublicKey& key);

// Whether a hashed signature is key's signature of a file whose hash is `fileHash`.
bool fileSignatureValid(const Signature& signature, const Blake2b512& fileHash,
                        const PublicKey& key);

// Whether the global signature (over the signature and the trusted comment) is key's.
bool globalSignatureValid(const Signature& signature, const PublicKey& key);

} // namespace minisign
