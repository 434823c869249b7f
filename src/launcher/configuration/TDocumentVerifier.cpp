#include "TDocumentVerifier.h"

#include "shared/TEd25519.h"
#include "shared/TSha256.h"

#include <QDebug>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSettings>
#include <QThread>

#include <algorithm>
#include <cmath>

namespace vorna::launcher {

namespace {

const QString TrustedKeysResource = QStringLiteral(":/signing/trustedkeys.txt");

// The serial as a whole number, or -1 when it is missing or not one.
qint64 serialOf(const QJsonObject &Release)
{
    const QJsonValue value = Release.value(QStringLiteral("serial"));
    const double number = value.toDouble(-1);
    if (!value.isDouble() || number < 0 || number > 9007199254740992.0 ||
        std::floor(number) != number)
        return -1;
    return qint64(number);
}

} // namespace

TDocumentVerifier::TDocumentVerifier()
{
    m_trustedKeys = builtInKeys(m_checksSignatures);
}

TDocumentVerifier::TDocumentVerifier(std::vector<QByteArray> TrustedKeys)
    : m_trustedKeys(std::move(TrustedKeys)), m_checksSignatures(true)
{
}

std::vector<QByteArray> TDocumentVerifier::builtInKeys(bool &Present)
{
    std::vector<QByteArray> keys;
    QFile file(TrustedKeysResource);
    Present = file.open(QIODevice::ReadOnly);
    if (!Present)
        return keys;
    // A build with a key list fails closed: a list without a usable key rejects everything.
    const QList<QByteArray> lines = file.readAll().split('\n');
    for (const QByteArray &line : lines) {
        const QByteArray text = line.trimmed();
        if (text.isEmpty() || text.startsWith('#'))
            continue;
        const QByteArray key = QByteArray::fromBase64(text);
        if (key.size() == ::shared::TEd25519::PublicKeySize)
            keys.push_back(key);
        else
            qCritical().noquote() << "TDocumentVerifier: unusable trusted key" << text;
    }
    return keys;
}

QString TDocumentVerifier::kindName(EKind Kind)
{
    switch (Kind) {
    case EKind::LauncherMetadata:
        return QStringLiteral("launchermetadata");
    case EKind::Package:
        return QStringLiteral("package");
    case EKind::Assets:
        return QStringLiteral("assets");
    }
    return {};
}

QUrl TDocumentVerifier::signatureUrl(const QUrl &DocumentUrl)
{
    QUrl url = DocumentUrl;
    url.setPath(DocumentUrl.path() + QStringLiteral(".sig"));
    return url;
}

QUrl TDocumentVerifier::expect(const QUrl &DocumentUrl, EKind Kind, const QString &PackageName)
{
    if (!m_checksSignatures) {
        // Said at the first document, once the log file is open.
        if (!m_reportedUnchecked)
            qWarning() << "TDocumentVerifier: this launcher was built without trusted keys; "
                          "signatures of downloaded documents are not checked"
                       << " Thread: " << QThread::currentThreadId();
        m_reportedUnchecked = true;
        return {};
    }
    if (!DocumentUrl.isValid())
        return {};
    TExpected expected;
    expected.kind = Kind;
    expected.packageName = PackageName;
    expected.signatureUrl = signatureUrl(DocumentUrl);
    const QUrl result = expected.signatureUrl;
    m_expected[DocumentUrl.toString()] = std::move(expected);
    return result;
}

TDocumentVerifier::TOutcome TDocumentVerifier::takeDownload(const QUrl &Url, const QByteArray &Data)
{
    TOutcome outcome;
    const QString address = Url.toString();
    auto entry = m_expected.find(address);
    bool isSignature = false;
    if (entry == m_expected.end()) {
        entry = std::find_if(m_expected.begin(), m_expected.end(), [&Url](const auto &Candidate) {
            return Candidate.second.signatureUrl == Url;
        });
        if (entry == m_expected.end())
            return outcome;
        isSignature = true;
    }
    TExpected &expected = entry->second;
    if (isSignature) {
        expected.signatures = Data;
        expected.hasSignatures = true;
    } else {
        expected.document = Data;
        expected.hasDocument = true;
    }
    outcome.documentUrl = QUrl(entry->first);
    if (!expected.hasDocument || !expected.hasSignatures) {
        outcome.state = TOutcome::EState::Waiting;
        return outcome;
    }
    const TExpected done = std::move(expected);
    m_expected.erase(entry);
    const QString serialAddress =
        outcome.documentUrl.adjusted(QUrl::RemoveQuery | QUrl::RemoveFragment).toString();
    outcome.reason = check(done.document, done.signatures, done.kind, done.packageName,
                           serialAddress, QDateTime::currentDateTimeUtc());
    if (!outcome.reason.isEmpty()) {
        qCritical().noquote() << "Document" << serialAddress << "refused:" << outcome.reason;
        outcome.state = TOutcome::EState::Rejected;
        return outcome;
    }
    rememberSerial(serialAddress, serialOf(QJsonDocument::fromJson(done.document)
                                               .object()
                                               .value(QStringLiteral("release"))
                                               .toObject()));
    outcome.state = TOutcome::EState::Accepted;
    outcome.document = done.document;
    return outcome;
}

TDocumentVerifier::TOutcome TDocumentVerifier::takeFailure(const QUrl &Url)
{
    TOutcome outcome;
    const auto document = m_expected.find(Url.toString());
    if (document != m_expected.end()) {
        m_expected.erase(document);
        return outcome;
    }
    const auto entry =
        std::find_if(m_expected.begin(), m_expected.end(), [&Url](const auto &Candidate) {
            return Candidate.second.signatureUrl == Url;
        });
    if (entry == m_expected.end())
        return outcome;
    outcome.state = TOutcome::EState::Rejected;
    outcome.documentUrl = QUrl(entry->first);
    outcome.reason = QStringLiteral("its signature could not be downloaded");
    qCritical().noquote() << "Document" << entry->first << "refused:" << outcome.reason;
    m_expected.erase(entry);
    return outcome;
}

bool TDocumentVerifier::isSignedByTrustedKey(const QByteArray &Document,
                                             const QByteArray &Signatures) const
{
    const QJsonArray entries =
        QJsonDocument::fromJson(Signatures).object().value(QStringLiteral("signatures")).toArray();
    for (const QJsonValue &value : entries) {
        const QJsonObject entry = value.toObject();
        const QByteArray key =
            QByteArray::fromBase64(entry.value(QStringLiteral("key")).toString().toLatin1());
        if (std::find(m_trustedKeys.begin(), m_trustedKeys.end(), key) == m_trustedKeys.end())
            continue;
        const QByteArray signature =
            QByteArray::fromBase64(entry.value(QStringLiteral("signature")).toString().toLatin1());
        if (::shared::TEd25519::verify(key, Document, signature))
            return true;
    }
    return false;
}

QString TDocumentVerifier::check(const QByteArray &Document, const QByteArray &Signatures,
                                 EKind Kind, const QString &PackageName, const QString &Address,
                                 const QDateTime &Now) const
{
    // The signature first: nothing of an unsigned document is read.
    if (!isSignedByTrustedKey(Document, Signatures))
        return QStringLiteral("no valid signature by a trusted key");
    const QJsonObject release =
        QJsonDocument::fromJson(Document).object().value(QStringLiteral("release")).toObject();
    if (release.value(QStringLiteral("document")).toString() != kindName(Kind) ||
        (Kind != EKind::LauncherMetadata &&
         release.value(QStringLiteral("package")).toString() != PackageName))
        return QStringLiteral("it was signed for another place");
    const qint64 serial = serialOf(release);
    if (serial < 0)
        return QStringLiteral("it carries no serial");
    const qint64 remembered = rememberedSerial(Address);
    if (serial < remembered)
        return QStringLiteral("its serial %1 is below the serial %2 accepted before")
            .arg(serial)
            .arg(remembered);
    if (Kind == EKind::LauncherMetadata && release.contains(QStringLiteral("expires"))) {
        const QDateTime expires =
            QDateTime::fromString(release.value(QStringLiteral("expires")).toString(), Qt::ISODate);
        if (!expires.isValid())
            return QStringLiteral("its expiry time is not readable");
        if (Now > expires.addSecs(ClockSkewToleranceSeconds))
            return QStringLiteral("it expired at %1").arg(expires.toString(Qt::ISODate));
    }
    return {};
}

QString TDocumentVerifier::addressKey(const QString &Address)
{
    // Addresses carry characters that settings keys cannot hold.
    return QStringLiteral("DocumentSerials/") +
           QString::fromLatin1(::shared::sha256(Address.toUtf8()).toHex());
}

qint64 TDocumentVerifier::rememberedSerial(const QString &Address) const
{
    return QSettings().value(addressKey(Address), -1).toLongLong();
}

void TDocumentVerifier::rememberSerial(const QString &Address, qint64 Serial) const
{
    if (Serial <= rememberedSerial(Address))
        return;
    QSettings settings;
    settings.setValue(addressKey(Address), Serial);
    settings.sync();
}

} // namespace vorna::launcher
