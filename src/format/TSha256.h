#pragma once

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <memory>

namespace shared {

// SHA-256 for the whole launcher: scanning, verification and chunk checks all hash through here.
// Backed by OpenSSL's libcrypto when the build has it (several times faster than
// QCryptographicHash), else by QCryptographicHash. Digests are 32 raw bytes.
class TSha256 final
{
public:
    static constexpr int DigestSize = 32;

    TSha256();
    ~TSha256();
    TSha256(const TSha256 &) = delete;
    TSha256 &operator=(const TSha256 &) = delete;

    void addData(const char *Data, std::size_t Size);
    void addData(const QByteArray &Data) { addData(Data.constData(), std::size_t(Data.size())); }
    // The digest of everything added since construction or the last result(); starts over.
    QByteArray result();

    static QByteArray hash(const char *Data, std::size_t Size);
    static QByteArray hash(const QByteArray &Data)
    {
        return hash(Data.constData(), std::size_t(Data.size()));
    }
    // The digest of a whole file read in large blocks; empty when it cannot be opened or read.
    static QByteArray hashFile(const QString &Path);

private:
    struct TState;
    std::unique_ptr<TState> m_state;
};

inline QByteArray sha256(const char *Data, std::size_t Size)
{
    return TSha256::hash(Data, Size);
}

inline QByteArray sha256(const QByteArray &Data)
{
    return TSha256::hash(Data);
}

} // namespace shared
