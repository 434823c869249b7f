#pragma once

#include "format/TDocumentVerifier.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <vector>

namespace vorna::publisher {

// Signs the documents the publisher writes. Each document gets a "release" object inside its
// signed bytes: a serial above the one of the document it replaces (the launcher refuses a lower
// serial at the same address, so an old release cannot be served again), what kind of document it
// is and for which package (the launcher refuses it at another package's address), and for the
// launcher metadata an expiry (the launcher refuses stale metadata, so a server cannot freeze
// players on an old release) and optionally the address it is published at. Next to the document
// goes "<document>.sig" with one signature per signing key; several keys let a studio rotate.
//
// A document and its signature file are replaced so that at every moment the signature file
// holds a signature of the document beside it: first the signature file with the signatures of
// the old and the new bytes, then the document, then the signature file with the new ones only.
//
// Without keys the signer is disabled and writes documents unsigned and unchanged, as before.
// Usage: construct with the key files, then document() and write() for each document.
class TReleaseSigner final
{
public:
    // The launcher checks the same kinds, by the same names.
    using EDocumentKind = vorna::launcher::TDocumentVerifier::EKind;

    TReleaseSigner() = default;
    // Signed metadata expires after this many days unless told otherwise: a server that keeps
    // serving it cannot hold players for longer. The studio re-signs within that time.
    static constexpr int DefaultValidDays = 30;
    static constexpr int MaxValidDays = 3650;

    // Reads the private keys; throws TPublishError on a file that is not an Ed25519 private key
    // or on a validity beyond MaxValidDays. ValidForDays 0 takes DefaultValidDays. Site is the
    // address the launchers fetch the metadata from, which they then insist on (optional).
    explicit TReleaseSigner(const QStringList &KeyFiles, int ValidForDays = 0,
                            const QString &Site = QString());

    bool isEnabled() const { return !m_privateKeys.empty(); }

    // The bytes to publish at Path: the document with its "release" object when signing.
    QByteArray document(QJsonObject Document, const QString &Path, EDocumentKind Kind,
                        const QString &PackageName = QString()) const;
    // Writes the bytes atomically at Path and, when signing, the signature file beside it.
    void write(const QString &Path, const QByteArray &Bytes) const;

    // Writes a new private key to Path (never over an existing file) and returns the public key
    // as the launcher's key list carries it (Base64 of the raw key).
    static QString generateKey(const QString &Path);

    static QString signatureFileSuffix() { return QStringLiteral(".sig"); }

private:
    QJsonObject signatureEntry(const QByteArray &PrivateKey, const QByteArray &Bytes) const;
    // The serial of the next document at Path; throws TPublishError when there is none.
    qint64 nextSerial(const QString &Path) const;

    std::vector<QByteArray> m_privateKeys;
    int m_validForDays = DefaultValidDays;
    QString m_site;
};

} // namespace vorna::publisher
