#include "TReleaseSigner.h"

#include "TPublishError.h"

#include "format/TEd25519.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSaveFile>

#include <algorithm>

namespace vorna::publisher {

namespace {

QByteArray readIfPresent(const QString &Path)
{
    QFile file(Path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeAtomically(const QString &Path, const QByteArray &Bytes)
{
    // Temporary file and rename: a mirror of the output never sees half a document.
    QDir().mkpath(QFileInfo(Path).absolutePath());
    QSaveFile file(Path);
    if (!file.open(QIODevice::WriteOnly) || file.write(Bytes) != Bytes.size() || !file.commit())
        throw TPublishError(::shared::EErrorCode::WriteFailed, Path,
                            QStringLiteral("Could not write '%1': %2")
                                .arg(QDir::toNativeSeparators(Path), file.errorString()));
}

} // namespace

TReleaseSigner::TReleaseSigner(const QStringList &KeyFiles, int ValidForDays, const QString &Site)
    : m_validForDays(ValidForDays > 0 ? ValidForDays : DefaultValidDays), m_site(Site)
{
    if (m_validForDays > MaxValidDays)
        throw TPublishError(
            ::shared::EErrorCode::InvalidOption, {},
            QStringLiteral("Signed metadata may be valid for at most %1 days").arg(MaxValidDays));
    for (const QString &path : KeyFiles) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            throw TPublishError(::shared::EErrorCode::OpenFailed, path,
                                QStringLiteral("Could not read the signing key '%1': %2")
                                    .arg(QDir::toNativeSeparators(path), file.errorString()));
        const QByteArray key = file.readAll();
        try {
            (void)::shared::TEd25519::publicKeyOf(key);
        } catch (const std::runtime_error &) {
            throw TPublishError(::shared::EErrorCode::InvalidInput, path,
                                QStringLiteral("'%1' is not an Ed25519 private key")
                                    .arg(QDir::toNativeSeparators(path)));
        }
        m_privateKeys.push_back(key);
    }
}

QByteArray TReleaseSigner::document(QJsonObject Document, const QString &Path, EDocumentKind Kind,
                                    const QString &PackageName) const
{
    if (isEnabled()) {
        const qint64 serial = nextSerial(Path);
        QJsonObject release;
        release.insert(QStringLiteral("serial"), double(serial));
        release.insert(QStringLiteral("document"),
                       vorna::launcher::TDocumentVerifier::kindName(Kind));
        if (Kind != EDocumentKind::LauncherMetadata)
            release.insert(QStringLiteral("package"), PackageName);
        if (Kind == EDocumentKind::LauncherMetadata) {
            release.insert(
                QStringLiteral("expires"),
                QDateTime::currentDateTimeUtc().addDays(m_validForDays).toString(Qt::ISODate));
            if (!m_site.isEmpty())
                release.insert(QStringLiteral("site"), m_site);
        }
        Document.insert(QStringLiteral("release"), release);
    }
    return QJsonDocument(Document).toJson(QJsonDocument::Indented);
}

qint64 TReleaseSigner::nextSerial(const QString &Path) const
{
    // Time-based, so a studio that publishes from a fresh output directory still goes up; one
    // above the document it replaces, so two publications in one second do too. The document
    // in the output counts only when one of our keys signed it: anyone who can write there
    // could otherwise push every later serial out of reach.
    qint64 serial = QDateTime::currentSecsSinceEpoch();
    const QByteArray previous = readIfPresent(Path);
    const QByteArray signatures = readIfPresent(Path + signatureFileSuffix());
    std::vector<QByteArray> ownKeys;
    for (const QByteArray &key : m_privateKeys)
        ownKeys.push_back(::shared::TEd25519::publicKeyOf(key));
    if (previous.isEmpty() ||
        !vorna::launcher::TDocumentVerifier(ownKeys).isSigned(previous, signatures))
        return serial;
    const QJsonValue value = QJsonDocument::fromJson(previous)
                                 .object()
                                 .value(QStringLiteral("release"))
                                 .toObject()
                                 .value(QStringLiteral("serial"));
    const qint64 before = vorna::launcher::TDocumentVerifier::serialOf(previous);
    if (!value.isUndefined() && before < 0)
        throw TPublishError(
            ::shared::EErrorCode::InvalidInput, {},
            QStringLiteral("'%1' carries a serial that is not a whole number from 0 to %2")
                .arg(QDir::toNativeSeparators(Path))
                .arg(vorna::launcher::TDocumentVerifier::MaxSerial));
    if (before >= vorna::launcher::TDocumentVerifier::MaxSerial)
        throw TPublishError(
            ::shared::EErrorCode::InvalidInput, {},
            QStringLiteral("'%1' has the largest serial a launcher accepts; sign with a new key "
                           "to start a new serial space (README, \"Signed releases\")")
                .arg(QDir::toNativeSeparators(Path)));
    return std::max(serial, before + 1);
}

QJsonObject TReleaseSigner::signatureEntry(const QByteArray &PrivateKey,
                                           const QByteArray &Bytes) const
{
    return QJsonObject{
        {QStringLiteral("key"),
         QString::fromLatin1(::shared::TEd25519::publicKeyOf(PrivateKey).toBase64())},
        {QStringLiteral("signature"),
         QString::fromLatin1(::shared::TEd25519::sign(PrivateKey, Bytes).toBase64())}};
}

void TReleaseSigner::write(const QString &Path, const QByteArray &Bytes) const
{
    if (!isEnabled()) {
        writeAtomically(Path, Bytes);
        return;
    }
    QJsonArray signatures;
    for (const QByteArray &key : m_privateKeys)
        signatures.append(signatureEntry(key, Bytes));
    const QString signaturePath = Path + signatureFileSuffix();
    const auto signatureFile = [](const QJsonArray &Entries) {
        return QJsonDocument(QJsonObject{{QStringLiteral("signatures"), Entries}})
            .toJson(QJsonDocument::Indented);
    };
    // The signatures of the bytes being replaced stay until the new bytes are in place, so a
    // launcher reading meanwhile finds a signature of whichever document it got.
    if (QFileInfo::exists(Path)) {
        QJsonArray both = QJsonDocument::fromJson(readIfPresent(signaturePath))
                              .object()
                              .value(QStringLiteral("signatures"))
                              .toArray();
        for (const QJsonValue &entry : signatures)
            both.append(entry);
        writeAtomically(signaturePath, signatureFile(both));
    } else {
        writeAtomically(signaturePath, signatureFile(signatures));
    }
    writeAtomically(Path, Bytes);
    writeAtomically(signaturePath, signatureFile(signatures));
}

QString TReleaseSigner::generateKey(const QString &Path)
{
    if (QFileInfo::exists(Path))
        throw TPublishError(::shared::EErrorCode::InvalidInput, Path,
                            QStringLiteral("'%1' exists already; a signing key is never replaced")
                                .arg(QDir::toNativeSeparators(Path)));
    const QByteArray key = ::shared::TEd25519::generatePrivateKey();
    QFile file(Path);
    // Readable by its owner only, from the first byte on.
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly) ||
        !file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner) ||
        file.write(key) != key.size() || !file.flush())
        throw TPublishError(::shared::EErrorCode::WriteFailed, Path,
                            QStringLiteral("Could not write '%1': %2")
                                .arg(QDir::toNativeSeparators(Path), file.errorString()));
    return QString::fromLatin1(::shared::TEd25519::publicKeyOf(key).toBase64());
}

} // namespace vorna::publisher
