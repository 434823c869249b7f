#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QUrl>

#include <map>
#include <vector>

namespace vorna::launcher {

// Checks the documents the launcher downloads against the studio's signatures. The trusted
// public keys are built into the program (the resource ":/signing/trustedkeys.txt", one Base64
// key per line, from the build option CORVANE_TRUSTED_KEYS); nothing read at run time can add
// one. A build without that resource is a development build: it accepts unsigned documents and
// says so once in the log, at the first document.
//
// Every document the configuration handler asks for is registered with expect(), which names
// the detached signature "<document>.sig" to fetch beside it. The handler passes every result
// through takeDownload()/takeFailure(); once both halves of a pair are in, the document comes
// back accepted (its exact bytes signed by a trusted key, bound to the place it was fetched for,
// its serial not below the highest one accepted at that address, and for the metadata not
// expired) or rejected with the reason, which the handler treats as a failed download.
//
// The highest accepted serial per address lives in the per-user settings store, like the funnel
// identifier. Owned by the configuration handler; main thread only.
class TDocumentVerifier final
{
public:
    enum class EKind
    {
        LauncherMetadata,
        Package,
        Assets,
    };

    struct TOutcome
    {
        enum class EState
        {
            NotSigned, // not a registered document or signature: handled as before
            Waiting,   // one half of a pair; the other is still on its way
            Accepted,
            Rejected,
        };
        EState state = EState::NotSigned;
        QUrl documentUrl;
        QByteArray document;
        QString reason; // why it was rejected
    };

    // Checks against the keys built into this program; a development build checks nothing.
    TDocumentVerifier();
    // A verifier with these keys (raw 32-byte Ed25519 public keys), checking signatures.
    explicit TDocumentVerifier(std::vector<QByteArray> TrustedKeys);

    bool checksSignatures() const { return m_checksSignatures; }

    // Registers a document about to be fetched; returns the address of its signature to fetch
    // as well, or an invalid address when signatures are not checked.
    QUrl expect(const QUrl &DocumentUrl, EKind Kind, const QString &PackageName = QString());
    TOutcome takeDownload(const QUrl &Url, const QByteArray &Data);
    // A failed signature download rejects its document; a failed document is forgotten.
    TOutcome takeFailure(const QUrl &Url);

    // The reason the document is refused, or an empty text when it passes. Address identifies
    // the place the document was fetched from, for the remembered serial.
    QString check(const QByteArray &Document, const QByteArray &Signatures, EKind Kind,
                  const QString &PackageName, const QString &Address, const QDateTime &Now) const;

    // How far a player's clock may run ahead before metadata counts as expired.
    static constexpr qint64 ClockSkewToleranceSeconds = 24 * 3600;
    static QUrl signatureUrl(const QUrl &DocumentUrl);
    // The kind's name in the signed "release" object, as the publisher writes it.
    static QString kindName(EKind Kind);

private:
    struct TExpected
    {
        EKind kind = EKind::LauncherMetadata;
        QString packageName;
        QUrl signatureUrl;
        QByteArray document;
        QByteArray signatures;
        bool hasDocument = false;
        bool hasSignatures = false;
    };

    static std::vector<QByteArray> builtInKeys(bool &Present);
    bool isSignedByTrustedKey(const QByteArray &Document, const QByteArray &Signatures) const;
    static QString addressKey(const QString &Address);
    qint64 rememberedSerial(const QString &Address) const;
    void rememberSerial(const QString &Address, qint64 Serial) const;

    std::vector<QByteArray> m_trustedKeys;
    bool m_checksSignatures = false;
    bool m_reportedUnchecked = false;
    std::map<QString, TExpected> m_expected; // by document address as enqueued
};

} // namespace vorna::launcher
