#include "TSha256.h"

#include <QFile>

#include <algorithm>
#include <stdexcept>

#ifdef CORVANE_HAVE_OPENSSL
#include <openssl/evp.h>
#else
#include <QCryptographicHash>
#endif

namespace shared {

namespace {

constexpr qint64 FileReadBlockSize = 8 << 20;

#ifdef CORVANE_HAVE_OPENSSL
const EVP_MD *sha256Method()
{
#if OPENSSL_VERSION_NUMBER >= 0x30000000L
    // Fetched once: an implicit fetch on every initialisation takes the library's locks, which
    // costs more than hashing a small chunk.
    static const EVP_MD *const method = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    return method ? method : EVP_sha256();
#else
    return EVP_sha256();
#endif
}
#endif

} // namespace

#ifdef CORVANE_HAVE_OPENSSL

struct TSha256::TState
{
    TState() : context(EVP_MD_CTX_new())
    {
        if (!context)
            throw std::bad_alloc();
        reset();
    }
    ~TState() { EVP_MD_CTX_free(context); }
    TState(const TState &) = delete;
    TState &operator=(const TState &) = delete;

    void reset()
    {
        if (EVP_DigestInit_ex(context, sha256Method(), nullptr) != 1)
            throw std::runtime_error("SHA-256 could not be initialised");
    }

    EVP_MD_CTX *context = nullptr;
};

void TSha256::addData(const char *Data, std::size_t Size)
{
    if (Size > 0)
        EVP_DigestUpdate(m_state->context, Data, Size);
}

QByteArray TSha256::result()
{
    QByteArray digest(DigestSize, Qt::Uninitialized);
    unsigned int length = 0;
    EVP_DigestFinal_ex(m_state->context, reinterpret_cast<unsigned char *>(digest.data()), &length);
    m_state->reset();
    return digest;
}

QByteArray TSha256::hash(const char *Data, std::size_t Size)
{
    QByteArray digest(DigestSize, Qt::Uninitialized);
    unsigned int length = 0;
    if (EVP_Digest(Data, Size, reinterpret_cast<unsigned char *>(digest.data()), &length,
                   sha256Method(), nullptr) != 1)
        throw std::runtime_error("SHA-256 failed");
    return digest;
}

#else

struct TSha256::TState
{
    QCryptographicHash hash{QCryptographicHash::Sha256};
};

void TSha256::addData(const char *Data, std::size_t Size)
{
    // QCryptographicHash takes int sizes.
    constexpr std::size_t Piece = std::size_t(1) << 30;
    while (Size > 0) {
        const std::size_t now = std::min(Size, Piece);
        m_state->hash.addData(Data, int(now));
        Data += now;
        Size -= now;
    }
}

QByteArray TSha256::result()
{
    const QByteArray digest = m_state->hash.result();
    m_state->hash.reset();
    return digest;
}

QByteArray TSha256::hash(const char *Data, std::size_t Size)
{
    TSha256 hasher;
    hasher.addData(Data, Size);
    return hasher.result();
}

#endif

TSha256::TSha256() : m_state(std::make_unique<TState>()) {}

TSha256::~TSha256() = default;

QByteArray TSha256::hashFile(const QString &Path)
{
    QFile file(Path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return {};
    const qint64 blockSize = std::clamp<qint64>(file.size(), 1, FileReadBlockSize);
    std::unique_ptr<char[]> block(new char[std::size_t(blockSize)]);
    TSha256 hasher;
    while (true) {
        const qint64 read = file.read(block.get(), blockSize);
        if (read < 0)
            return {};
        if (read == 0)
            break;
        hasher.addData(block.get(), std::size_t(read));
    }
    return hasher.result();
}

} // namespace shared
