#pragma once

#include <QByteArray>

namespace shared {

// Ed25519 signatures for signed releases: the publisher signs the documents it writes, the
// launcher checks them against the public keys built into it. Backed by OpenSSL's EVP interface;
// a build without OpenSSL can neither sign nor verify (isAvailable() is false, verify() refuses
// everything, the others throw). Public keys are the 32 raw bytes, signatures the 64 raw bytes of
// the algorithm; private keys travel as PEM text (PKCS #8), as OpenSSL's own tools write them.
// Failures are std::runtime_error with a fixed text.
class TEd25519 final
{
public:
    static constexpr int PublicKeySize = 32;
    static constexpr int SignatureSize = 64;

    static bool isAvailable();

    // A new private key from the system's random source, as PEM text.
    static QByteArray generatePrivateKey();
    // The public key of a PEM private key; throws on a key that is not an Ed25519 private key.
    static QByteArray publicKeyOf(const QByteArray &PrivateKeyPem);
    static QByteArray sign(const QByteArray &PrivateKeyPem, const QByteArray &Message);
    // True only for a signature by the key over exactly these bytes.
    static bool verify(const QByteArray &PublicKey, const QByteArray &Message,
                       const QByteArray &Signature);
};

} // namespace shared
