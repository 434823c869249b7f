#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QUrl>

#include <map>
#include <utility>
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
// back accepted or rejected with the reason, which the handler treats as a failed download.
// Accepted means: its exact bytes signed by a trusted key; bound to what the launcher expects
// (its kind and package, for the metadata the address it was fetched from when it names one,
// for a package or asset document the hash and size the signed metadata pins for the build);
// its serial valid and not below the highest one accepted at that address by any of its keys,
// nor equal to it with other bytes; the metadata not expired.
//
// The highest accepted serial per address and key lives in the per-user settings store, like
// the funnel identifier; where that cannot be written, the installed copy's serial is the
// floor. A serial space belongs to a key: a studio that published a serial it cannot go beyond
// signs with another trusted key, which starts afresh. Owned by the configuration handler; main
// thread only.
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

    // What a document is expected to be, besides signed.
    struct TBinding
    {
        EKind kind = EKind::LauncherMetadata;
        QString packageName;
        // The metadata address the launcher is set up with; empty: not checked.
        QUrl site;
        // Pinned by the signed metadata (package and asset documents); empty: not pinned.
        QByteArray sha256;
        qint64 size = -1;
        // The installed copy of this document (the full marker): the floor for the serial where
        // the settings store cannot be written.
        QByteArray installed;
    };

    // Serials are whole numbers from 0 to this, the largest a JSON number holds exactly.
    static constexpr qint64 MaxSerial = 9007199254740991;

    // Checks against the keys built into this program; a development build checks nothing.
    TDocumentVerifier();
    // A verifier with these keys (raw 32-byte Ed25519 public keys), checking signatures.
    explicit TDocumentVerifier(std::vector<QByteArray> TrustedKeys);

    bool checksSignatures() const { return m_checksSignatures; }

    // Registers a document about to be fetched; returns the address of its signature to fetch
    // as well, or an invalid address when signatures are not checked.
    QUrl expect(const QUrl &DocumentUrl, EKind Kind, const QString &PackageName = QString());
    QUrl expect(const QUrl &DocumentUrl, const TBinding &Binding);
    TOutcome takeDownload(const QUrl &Url, const QByteArray &Data);
    // A failed signature download rejects its document; a failed document is forgotten.
    TOutcome takeFailure(const QUrl &Url);

    // The reason the document is refused, or an empty text when it passes. Address identifies
    // the place the document was fetched from, for the remembered serial.
    QString check(const QByteArray &Document, const QByteArray &Signatures, EKind Kind,
                  const QString &PackageName, const QString &Address, const QDateTime &Now) const;
    QString check(const QByteArray &Document, const QByteArray &Signatures, const TBinding &Binding,
                  const QString &Address, const QDateTime &Now) const;
    // Whether a trusted key signed the document, whatever else holds.
    bool isSigned(const QByteArray &Document, const QByteArray &Signatures) const
    {
        return !signingKeys(Document, Signatures).empty();
    }
    // The serial of a document's "release" object, or -1 when it has none that is valid.
    static qint64 serialOf(const QByteArray &Document);

    // How far a player's clock may run ahead before metadata counts as expired.
    static constexpr qint64 ClockSkewToleranceSeconds = 24 * 3600;
    static QUrl signatureUrl(const QUrl &DocumentUrl);
    // The kind's name in the signed "release" object, as the publisher writes it.
    static QString kindName(EKind Kind);

private:
    struct TExpected
    {
        TBinding binding;
        QUrl signatureUrl;
        QByteArray document;
        QByteArray signatures;
        bool hasDocument = false;
        bool hasSignatures = false;
    };

    static std::vector<QByteArray> builtInKeys(bool &Present);
    // The trusted keys whose signature over the document holds.
    std::vector<QByteArray> signingKeys(const QByteArray &Document,
                                        const QByteArray &Signatures) const;
    static QString addressKey(const QString &Address, const QByteArray &Key = QByteArray());
    // The highest serial accepted at the address by the key, with the SHA-256 of the document
    // that carried it (empty when not known).
    std::pair<qint64, QByteArray> rememberedSerial(const QString &Address,
                                                   const QByteArray &Key) const;
    void rememberSerial(const QString &Address, const std::vector<QByteArray> &Keys, qint64 Serial,
                        const QByteArray &Sha256);
    void reportUncheckedOnce();
    bool canRemember() const;

    std::vector<QByteArray> m_trustedKeys;
    bool m_checksSignatures = false;
    bool m_reportedUnchecked = false;
    bool m_reportedUnwritable = false;
    std::map<QString, TExpected> m_expected; // by document address as enqueued
};

} // namespace vorna::launcher
