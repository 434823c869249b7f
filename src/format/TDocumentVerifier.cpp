#include "TDocumentVerifier.h"

#include "FormatLogging.h"
#include "TEd25519.h"
#include "TSha256.h"

#include <QDebug>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSettings>

#include <algorithm>
#include <cmath>

namespace vorna::launcher {

namespace {

const QString TrustedKeysResource = QStringLiteral(":/signing/trustedkeys.txt");

QJsonObject releaseOf(const QByteArray &Document)
{
    return QJsonDocument::fromJson(Document).object().value(QStringLiteral("release")).toObject();
}

// The serial as a whole number, or -1 when it is missing or not one.
qint64 serialOfRelease(const QJsonObject &Release)
{
    const QJsonValue value = Release.value(QStringLiteral("serial"));
    const double number = value.toDouble(-1);
    if (!value.isDouble() || number < 0 || number > double(TDocumentVerifier::MaxSerial) ||
        std::floor(number) != number)
        return -1;
    return qint64(number);
}

QString siteOf(const QUrl &Url)
{
    return Url
        .adjusted(QUrl::RemoveQuery | QUrl::RemoveFragment | QUrl::NormalizePathSegments |
                  QUrl::StripTrailingSlash)
        .toString();
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
        // The log is not open yet; what is wrong with the list is said at the first document.
        if (text.isEmpty() || text.startsWith('#'))
            continue;
        const QByteArray key = QByteArray::fromBase64(text);
        if (key.size() == ::shared::TEd25519::PublicKeySize)
            keys.push_back(key);
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

void TDocumentVerifier::reportUncheckedOnce()
{
    // Said at the first document, once the log file is open.
    if (m_reportedUnchecked)
        return;
    m_reportedUnchecked = true;
    if (!m_checksSignatures)
        qCWarning(lcFormat).noquote()
            << "TDocumentVerifier: this launcher was built without trusted keys; "
               "signatures of downloaded documents are not checked";
    else if (m_trustedKeys.empty())
        qCCritical(lcFormat).noquote()
            << "TDocumentVerifier: the built-in key list holds no usable key; "
               "every document is refused";
}

QUrl TDocumentVerifier::expect(const QUrl &DocumentUrl, EKind Kind, const QString &PackageName)
{
    TBinding binding;
    binding.kind = Kind;
    binding.packageName = PackageName;
    return expect(DocumentUrl, binding);
}

QUrl TDocumentVerifier::expect(const QUrl &DocumentUrl, const TBinding &Binding)
{
    reportUncheckedOnce();
    if (!m_checksSignatures || !DocumentUrl.isValid())
        return {};
    TExpected expected;
    expected.binding = Binding;
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
    outcome.reason = check(done.document, done.signatures, done.binding, serialAddress,
                           QDateTime::currentDateTimeUtc());
    if (!outcome.reason.isEmpty()) {
        qCCritical(lcFormat).noquote()
            << "Document" << serialAddress << "refused:" << outcome.reason;
        outcome.state = TOutcome::EState::Rejected;
        return outcome;
    }
    rememberSerial(serialAddress, signingKeys(done.document, done.signatures),
                   serialOf(done.document), ::shared::sha256(done.document));
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
    qCCritical(lcFormat).noquote() << "Document" << entry->first << "refused:" << outcome.reason;
    m_expected.erase(entry);
    return outcome;
}

std::vector<QByteArray> TDocumentVerifier::signingKeys(const QByteArray &Document,
                                                       const QByteArray &Signatures) const
{
    std::vector<QByteArray> keys;
    const QJsonArray entries =
        QJsonDocument::fromJson(Signatures).object().value(QStringLiteral("signatures")).toArray();
    for (const QJsonValue &value : entries) {
        const QJsonObject entry = value.toObject();
        const QByteArray key =
            QByteArray::fromBase64(entry.value(QStringLiteral("key")).toString().toLatin1());
        if (std::find(m_trustedKeys.begin(), m_trustedKeys.end(), key) == m_trustedKeys.end() ||
            std::find(keys.begin(), keys.end(), key) != keys.end())
            continue;
        const QByteArray signature =
            QByteArray::fromBase64(entry.value(QStringLiteral("signature")).toString().toLatin1());
        if (::shared::TEd25519::verify(key, Document, signature))
            keys.push_back(key);
    }
    return keys;
}

qint64 TDocumentVerifier::serialOf(const QByteArray &Document)
{
    return serialOfRelease(releaseOf(Document));
}

QString TDocumentVerifier::check(const QByteArray &Document, const QByteArray &Signatures,
                                 EKind Kind, const QString &PackageName, const QString &Address,
                                 const QDateTime &Now) const
{
    TBinding binding;
    binding.kind = Kind;
    binding.packageName = PackageName;
    return check(Document, Signatures, binding, Address, Now);
}

QString TDocumentVerifier::check(const QByteArray &Document, const QByteArray &Signatures,
                                 const TBinding &Binding, const QString &Address,
                                 const QDateTime &Now) const
{
    // The signature first: nothing of an unsigned document is read.
    const std::vector<QByteArray> keys = signingKeys(Document, Signatures);
    if (keys.empty())
        return QStringLiteral("no valid signature by a trusted key");
    const QJsonObject release = releaseOf(Document);
    const EKind kind = Binding.kind;
    if (release.value(QStringLiteral("document")).toString() != kindName(kind) ||
        (kind != EKind::LauncherMetadata &&
         release.value(QStringLiteral("package")).toString() != Binding.packageName))
        return QStringLiteral("it was signed for another place");
    // Metadata names the address it is published for; staging metadata is not production's.
    if (kind == EKind::LauncherMetadata && !Binding.site.isEmpty() &&
        release.contains(QStringLiteral("site")) &&
        siteOf(QUrl(release.value(QStringLiteral("site")).toString())) != siteOf(Binding.site))
        return QStringLiteral("it was signed for the site %1")
            .arg(release.value(QStringLiteral("site")).toString().left(200));
    const QByteArray hash = ::shared::sha256(Document);
    if (!Binding.sha256.isEmpty() && (hash != Binding.sha256 || Document.size() != Binding.size))
        return QStringLiteral("it is not the document the launcher metadata names for this build");
    const qint64 serial = serialOfRelease(release);
    if (serial < 0)
        return QStringLiteral("it carries no valid serial");
    for (const QByteArray &key : keys) {
        const auto [remembered, rememberedHash] = rememberedSerial(Address, key);
        if (serial < remembered)
            return QStringLiteral("its serial %1 is below the serial %2 accepted before")
                .arg(serial)
                .arg(remembered);
        if (serial == remembered && !rememberedHash.isEmpty() && rememberedHash != hash)
            return QStringLiteral("another document with its serial %1 was accepted before")
                .arg(serial);
    }
    // Where the settings store cannot be written, nothing is remembered; the installed copy
    // passed this check when it was fetched and stands in as the floor. (Not otherwise: it may
    // be of another key's serial space, and a studio leaves a bad serial by changing keys.)
    const qint64 installed = serialOf(Binding.installed);
    if (installed >= 0 && !canRemember() &&
        releaseOf(Binding.installed).value(QStringLiteral("document")) ==
            release.value(QStringLiteral("document"))) {
        if (serial < installed)
            return QStringLiteral("its serial %1 is below the serial %2 of the installed copy")
                .arg(serial)
                .arg(installed);
        if (serial == installed && ::shared::sha256(Binding.installed) != hash)
            return QStringLiteral("the installed copy has its serial %1 with other content")
                .arg(serial);
    }
    if (kind == EKind::LauncherMetadata && release.contains(QStringLiteral("expires"))) {
        const QDateTime expires =
            QDateTime::fromString(release.value(QStringLiteral("expires")).toString(), Qt::ISODate);
        if (!expires.isValid())
            return QStringLiteral("its expiry time is not readable");
        if (Now > expires.addSecs(ClockSkewToleranceSeconds))
            return QStringLiteral("it expired at %1").arg(expires.toString(Qt::ISODate));
    }
    return {};
}

QString TDocumentVerifier::addressKey(const QString &Address, const QByteArray &Key)
{
    // Addresses carry characters that settings keys cannot hold.
    const QByteArray name = ::shared::sha256(Address.toUtf8() + Key).toHex();
    return QStringLiteral("DocumentSerials/") + QString::fromLatin1(name);
}

std::pair<qint64, QByteArray> TDocumentVerifier::rememberedSerial(const QString &Address,
                                                                  const QByteArray &Key) const
{
    const QSettings settings;
    const QString entry = addressKey(Address, Key);
    if (settings.contains(entry)) {
        const QStringList parts = settings.value(entry).toString().split(QLatin1Char(' '));
        return {parts.value(0).toLongLong(), QByteArray::fromHex(parts.value(1).toLatin1())};
    }
    // Serials remembered by address alone, before they were kept per key.
    return {settings.value(addressKey(Address), -1).toLongLong(), QByteArray()};
}

bool TDocumentVerifier::canRemember() const
{
    return !m_reportedUnwritable && QSettings().isWritable();
}

void TDocumentVerifier::rememberSerial(const QString &Address, const std::vector<QByteArray> &Keys,
                                       qint64 Serial, const QByteArray &Sha256)
{
    QSettings settings;
    for (const QByteArray &key : Keys) {
        if (Serial < rememberedSerial(Address, key).first)
            continue;
        settings.setValue(addressKey(Address, key), QStringLiteral("%1 %2").arg(Serial).arg(
                                                        QString::fromLatin1(Sha256.toHex())));
    }
    settings.sync();
    if (settings.status() != QSettings::NoError && !m_reportedUnwritable) {
        m_reportedUnwritable = true;
        qCCritical(lcFormat).noquote()
            << "TDocumentVerifier: the per-user settings store" << settings.fileName()
            << "cannot be written; rollback protection rests on the installed "
               "documents only";
    }
}

} // namespace vorna::launcher
