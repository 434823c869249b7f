#include "TReleaseSigner.h"

#include "TPublishError.h"

#include "shared/TEd25519.h"

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
        throw TPublishError(QStringLiteral("Could not write '%1': %2")
                                .arg(QDir::toNativeSeparators(Path), file.errorString()));
}

} // namespace

TReleaseSigner::TReleaseSigner(const QStringList &KeyFiles, int ValidForDays)
    : m_validForDays(ValidForDays)
{
    for (const QString &path : KeyFiles) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            throw TPublishError(QStringLiteral("Could not read the signing key '%1': %2")
                                    .arg(QDir::toNativeSeparators(path), file.errorString()));
        const QByteArray key = file.readAll();
        try {
            (void)::shared::TEd25519::publicKeyOf(key);
        } catch (const std::runtime_error &) {
            throw TPublishError(QStringLiteral("'%1' is not an Ed25519 private key")
                                    .arg(QDir::toNativeSeparators(path)));
        }
        m_privateKeys.push_back(key);
    }
}

QByteArray TReleaseSigner::document(QJsonObject Document, const QString &Path, EDocumentKind Kind,
                                    const QString &PackageName) const
{
    if (isEnabled()) {
        // Time-based, so a studio that publishes from a fresh output directory still goes up;
        // one above the document it replaces, so two publications in one second do too.
        const QJsonObject previous = QJsonDocument::fromJson(readIfPresent(Path))
                                         .object()
                                         .value(QStringLiteral("release"))
                                         .toObject();
        const qint64 serial =
            std::max<qint64>(qint64(previous.value(QStringLiteral("serial")).toDouble()) + 1,
                             QDateTime::currentSecsSinceEpoch());
        QJsonObject release;
        release.insert(QStringLiteral("serial"), double(serial));
        release.insert(QStringLiteral("document"),
                       vorna::launcher::TDocumentVerifier::kindName(Kind));
        if (Kind != EDocumentKind::LauncherMetadata)
            release.insert(QStringLiteral("package"), PackageName);
        if (Kind == EDocumentKind::LauncherMetadata && m_validForDays > 0)
            release.insert(
                QStringLiteral("expires"),
                QDateTime::currentDateTimeUtc().addDays(m_validForDays).toString(Qt::ISODate));
        Document.insert(QStringLiteral("release"), release);
    }
    return QJsonDocument(Document).toJson(QJsonDocument::Indented);
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
        throw TPublishError(QStringLiteral("'%1' exists already; a signing key is never replaced")
                                .arg(QDir::toNativeSeparators(Path)));
    const QByteArray key = ::shared::TEd25519::generatePrivateKey();
    QFile file(Path);
    // Readable by its owner only, from the first byte on.
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly) ||
        !file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner) ||
        file.write(key) != key.size() || !file.flush())
        throw TPublishError(QStringLiteral("Could not write '%1': %2")
                                .arg(QDir::toNativeSeparators(Path), file.errorString()));
    return QString::fromLatin1(::shared::TEd25519::publicKeyOf(key).toBase64());
}

} // namespace vorna::publisher
