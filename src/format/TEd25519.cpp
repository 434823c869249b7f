#include "TEd25519.h"

#include <memory>
#include <stdexcept>

#ifdef CORVANE_HAVE_OPENSSL
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#endif

namespace shared {

#ifdef CORVANE_HAVE_OPENSSL

namespace {

struct TKeyDeleter
{
    void operator()(EVP_PKEY *Key) const { EVP_PKEY_free(Key); }
};
struct TContextDeleter
{
    void operator()(EVP_MD_CTX *Context) const { EVP_MD_CTX_free(Context); }
};
struct TBioDeleter
{
    void operator()(BIO *Bio) const { BIO_free(Bio); }
};
using TKey = std::unique_ptr<EVP_PKEY, TKeyDeleter>;
using TContext = std::unique_ptr<EVP_MD_CTX, TContextDeleter>;
using TBio = std::unique_ptr<BIO, TBioDeleter>;

const unsigned char *bytes(const QByteArray &Data)
{
    return reinterpret_cast<const unsigned char *>(Data.constData());
}

TKey readPrivateKey(const QByteArray &Pem)
{
    TBio input(BIO_new_mem_buf(Pem.constData(), Pem.size()));
    TKey key(input ? PEM_read_bio_PrivateKey(input.get(), nullptr, nullptr, nullptr) : nullptr);
    if (!key || EVP_PKEY_id(key.get()) != EVP_PKEY_ED25519)
        throw std::runtime_error("Not an Ed25519 private key");
    return key;
}

TContext newContext()
{
    TContext context(EVP_MD_CTX_new());
    if (!context)
        throw std::bad_alloc();
    return context;
}

} // namespace

bool TEd25519::isAvailable()
{
    return true;
}

QByteArray TEd25519::generatePrivateKey()
{
    EVP_PKEY *created = nullptr;
    std::unique_ptr<EVP_PKEY_CTX, void (*)(EVP_PKEY_CTX *)> context(
        EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr), EVP_PKEY_CTX_free);
    if (!context || EVP_PKEY_keygen_init(context.get()) != 1 ||
        EVP_PKEY_keygen(context.get(), &created) != 1)
        throw std::runtime_error("Ed25519 key generation failed");
    const TKey key(created);
    TBio output(BIO_new(BIO_s_mem()));
    if (!output || PEM_write_bio_PrivateKey(output.get(), key.get(), nullptr, nullptr, 0, nullptr,
                                            nullptr) != 1)
        throw std::runtime_error("Ed25519 key could not be written");
    char *data = nullptr;
    const long size = BIO_get_mem_data(output.get(), &data);
    return QByteArray(data, int(size));
}

QByteArray TEd25519::publicKeyOf(const QByteArray &PrivateKeyPem)
{
    const TKey key = readPrivateKey(PrivateKeyPem);
    QByteArray publicKey(PublicKeySize, Qt::Uninitialized);
    size_t size = std::size_t(publicKey.size());
    if (EVP_PKEY_get_raw_public_key(key.get(), reinterpret_cast<unsigned char *>(publicKey.data()),
                                    &size) != 1 ||
        size != std::size_t(PublicKeySize))
        throw std::runtime_error("Ed25519 public key could not be read");
    return publicKey;
}

QByteArray TEd25519::sign(const QByteArray &PrivateKeyPem, const QByteArray &Message)
{
    const TKey key = readPrivateKey(PrivateKeyPem);
    const TContext context = newContext();
    QByteArray signature(SignatureSize, Qt::Uninitialized);
    size_t size = std::size_t(signature.size());
    // Ed25519 hashes internally: no digest is named, and the message goes in at once.
    if (EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key.get()) != 1 ||
        EVP_DigestSign(context.get(), reinterpret_cast<unsigned char *>(signature.data()), &size,
                       bytes(Message), std::size_t(Message.size())) != 1 ||
        size != std::size_t(SignatureSize))
        throw std::runtime_error("Ed25519 signing failed");
    return signature;
}

bool TEd25519::verify(const QByteArray &PublicKey, const QByteArray &Message,
                      const QByteArray &Signature)
{
    if (PublicKey.size() != PublicKeySize || Signature.size() != SignatureSize)
        return false;
    const TKey key(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, bytes(PublicKey),
                                               std::size_t(PublicKey.size())));
    if (!key)
        return false;
    const TContext context = newContext();
    return EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, key.get()) == 1 &&
           EVP_DigestVerify(context.get(), bytes(Signature), std::size_t(Signature.size()),
                            bytes(Message), std::size_t(Message.size())) == 1;
}

#else

bool TEd25519::isAvailable()
{
    return false;
}

QByteArray TEd25519::generatePrivateKey()
{
    throw std::runtime_error("This build has no Ed25519 support (OpenSSL missing)");
}

QByteArray TEd25519::publicKeyOf(const QByteArray &)
{
    throw std::runtime_error("This build has no Ed25519 support (OpenSSL missing)");
}

QByteArray TEd25519::sign(const QByteArray &, const QByteArray &)
{
    throw std::runtime_error("This build has no Ed25519 support (OpenSSL missing)");
}

bool TEd25519::verify(const QByteArray &, const QByteArray &, const QByteArray &)
{
    return false;
}

#endif

} // namespace shared
