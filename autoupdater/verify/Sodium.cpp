#include "verify/Sodium.h"

#include <QFile>
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

bool hashFile(const QString& path, Blake2b512* hash, QString* error) {
    if (!startCryptography()) {
        *error = QStringLiteral("the cryptography library cannot start");
        return false;
    }
    QFile file(path);
    // Unbuffered: every piece is read straight into the buffer below.
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        *error = file.errorString();
        return false;
    }
    crypto_generichash_state state;
    crypto_generichash_init(&state, nullptr, 0, hash->size());
    std::vector<unsigned char> buffer(1 << 20);
    for (;;) {
        const qint64 got = file.read(reinterpret_cast<char*>(buffer.data()), qint64(buffer.size()));
        if (got < 0) {
            *error = file.errorString();
            return false;
        }
        if (got == 0)
            break;
        crypto_generichash_update(&state, buffer.data(), quint64(got));
    }
    crypto_generichash_final(&state, hash->data(), hash->size());
    return true;
}

bool signatureValid(const SignatureBytes& signature, QByteArrayView message, const PublicKey& key) {
    return crypto_sign_verify_detached(signature.data(),
                                       reinterpret_cast<const unsigned char*>(message.data()),
                                       quint64(message.size()), key.key.data()) == 0;
}

bool fileSignatureValid(const Signature& signature, const Blake2b512& fileHash,
                        const PublicKey& key) {
    return signature.algorithm == Signature::Algorithm::Hashed &&
           signatureValid(signature.signature,
                          QByteArrayView(reinterpret_cast<const char*>(fileHash.data()),
                                         qsizetype(fileHash.size())),
                          key);
}

bool globalSignatureValid(const Signature& signature, const PublicKey& key) {
    QByteArray signed_(reinterpret_cast<const char*>(signature.signature.data()),
                       qsizetype(signature.signature.size()));
    signed_ += signature.trustedComment;
    return signatureValid(signature.globalSignature, signed_, key);
}

} // namespace minisign
