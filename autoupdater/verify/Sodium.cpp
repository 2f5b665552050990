#include "verify/Sodium.h"

#include "verify/SmallFiles.h"

#include <sodium.h>
#include <vector>

namespace minisign {

static_assert(sizeof(Blake2b512) <= crypto_generichash_BYTES_MAX);
static_assert(sizeof(SignatureBytes) == crypto_sign_BYTES);
static_assert(sizeof(PublicKeyBytes) == crypto_sign_PUBLICKEYBYTES);

bool startCryptography() {
    // sodium_init() also picks the fastest implementation of each function for this processor.
    static const bool started = sodium_init() >= 0;
    return started;
}

bool hashFile(const std::string& path, Blake2b512* hash, std::string* error) {
    if (!startCryptography()) {
        *error = "the cryptography library cannot start";
        return false;
    }
    // Unbuffered: every piece is read straight into the buffer below.
    FileReader file;
    if (!file.open(path, error))
        return false;
    crypto_generichash_state state;
    crypto_generichash_init(&state, nullptr, 0, hash->size());
    std::vector<unsigned char> buffer(1 << 20);
    for (;;) {
        const std::int64_t got =
            file.read(reinterpret_cast<char*>(buffer.data()), std::int64_t(buffer.size()), error);
        if (got < 0)
            return false;
        if (got == 0)
            break;
        crypto_generichash_update(&state, buffer.data(), static_cast<unsigned long long>(got));
    }
    crypto_generichash_final(&state, hash->data(), hash->size());
    return true;
}

bool signatureValid(const SignatureBytes& signature, std::string_view message,
                    const PublicKey& key) {
    return crypto_sign_verify_detached(
               signature.data(), reinterpret_cast<const unsigned char*>(message.data()),
               static_cast<unsigned long long>(message.size()), key.key.data()) == 0;
}

bool fileSignatureValid(const Signature& signature, const Blake2b512& fileHash,
                        const PublicKey& key) {
    return signature.algorithm == Signature::Algorithm::Hashed &&
           signatureValid(
               signature.signature,
               std::string_view(reinterpret_cast<const char*>(fileHash.data()), fileHash.size()),
               key);
}

bool globalSignatureValid(const Signature& signature, const PublicKey& key) {
    std::string signed_(reinterpret_cast<const char*>(signature.signature.data()),
                        signature.signature.size());
    signed_ += signature.trustedComment;
    return signatureValid(signature.globalSignature, signed_, key);
}

} // namespace minisign
