#include "TMetadataWriter.h"

#include "TPublishError.h"

#include "format/TDocumentWriter.h"
#include "format/TSha256.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <QUrl>

namespace vorna::publisher {

namespace {

[[noreturn]] void fail(const QString &Where, const QString &What)
{
    throw TPublishError(::shared::EErrorCode::InvalidInput, {},
                        QStringLiteral("Description: %1: %2").arg(Where, What));
}

void checkKeys(const QJsonObject &Object, const QString &Where, const QStringList &Known)
{
    for (auto it = Object.begin(); it != Object.end(); ++it) {
        if (!Known.contains(it.key()))
            fail(Where, QStringLiteral("unknown key '%1'").arg(it.key()));
    }
}

QString requiredText(const QJsonObject &Object, const QString &Key, const QString &Where)
{
    const QJsonValue value = Object.value(Key);
    if (!value.isString() || value.toString().trimmed().isEmpty())
        fail(Where, QStringLiteral("'%1' must be a non-empty text").arg(Key));
    return value.toString();
}

bool optionalFlag(const QJsonObject &Object, const QString &Key, const QString &Where)
{
    const QJsonValue value = Object.value(Key);
    if (value.isUndefined())
        return false;
    if (!value.isBool())
        fail(Where, QStringLiteral("'%1' must be true or false").arg(Key));
    return value.toBool();
}

// Service addresses are used as they are, never resolved against the metadata's address.
QString serviceAddress(const QJsonObject &Object, const QString &Key)
{
    const QString text = requiredText(Object, Key, Key);
    const QUrl url(text, QUrl::StrictMode);
    const QString scheme = url.scheme();
    if (!url.isValid() || url.host().isEmpty() ||
        (scheme != QLatin1String("http") && scheme != QLatin1String("https")))
        fail(Key, QStringLiteral("'%1' is not an absolute http or https address").arg(text));
    return text;
}

// Build addresses may be relative: the launcher resolves them against the metadata's address.
QString documentAddress(const QJsonObject &Object, const QString &Key, const QString &Where)
{
    const QString text = requiredText(Object, Key, Where);
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid())
        fail(Where, QStringLiteral("'%1' is not a valid address").arg(text));
    if (!url.isRelative() && url.scheme() != QLatin1String("http") &&
        url.scheme() != QLatin1String("https") && url.scheme() != QLatin1String("file"))
        fail(Where, QStringLiteral("'%1' has an unsupported scheme").arg(text));
    return text;
}

::shared::TMetadataBuild buildEntry(const QJsonValue &Value, const QString &Where)
{
    if (!Value.isObject())
        fail(Where, QStringLiteral("a build must be an object"));
    const QJsonObject build = Value.toObject();
    checkKeys(build, Where,
              {QStringLiteral("os"), QStringLiteral("architecture"), QStringLiteral("package"),
               QStringLiteral("assets")});
    const QString os = requiredText(build, QStringLiteral("os"), Where).toLower();
    if (os != QLatin1String("windows") && os != QLatin1String("macos") &&
        os != QLatin1String("linux"))
        fail(Where,
             QStringLiteral("unknown operating system '%1' (use windows, macos or linux)").arg(os));
    const QString architecture =
        requiredText(build, QStringLiteral("architecture"), Where).toLower();
    if (architecture != QLatin1String("i386") && architecture != QLatin1String("x86_64"))
        fail(Where,
             QStringLiteral("unknown architecture '%1' (use i386 or x86_64)").arg(architecture));
    ::shared::TMetadataBuild entry;
    entry.os = os;
    entry.architecture = architecture;
    entry.url = documentAddress(build, QStringLiteral("package"), Where);
    if (build.contains(QStringLiteral("assets")))
        entry.assetsUrl = documentAddress(build, QStringLiteral("assets"), Where);
    return entry;
}

::shared::TMetadataPackage packageEntry(const QJsonValue &Value, const QString &Where)
{
    if (!Value.isObject())
        fail(Where, QStringLiteral("a package must be an object"));
    const QJsonObject package = Value.toObject();
    checkKeys(package, Where,
              {QStringLiteral("name"), QStringLiteral("directory"),
               QStringLiteral("installAutomatically"), QStringLiteral("logoLink"),
               QStringLiteral("builds")});
    ::shared::TMetadataPackage entry;
    entry.name = requiredText(package, QStringLiteral("name"), Where);
    const QString directory = requiredText(package, QStringLiteral("directory"), Where);
    // The launcher installs into this one directory below its packages directory.
    if (directory.contains(QLatin1Char('/')) || directory.contains(QLatin1Char('\\')) ||
        directory == QLatin1String(".") || directory == QLatin1String(".."))
        fail(Where,
             QStringLiteral("the directory '%1' must be a plain directory name").arg(directory));
    entry.directoryName = directory;
    if (package.contains(QStringLiteral("logoLink")))
        entry.logoLinkTarget = requiredText(package, QStringLiteral("logoLink"), Where);
    entry.installAutomatically =
        optionalFlag(package, QStringLiteral("installAutomatically"), Where);
    const QJsonValue builds = package.value(QStringLiteral("builds"));
    if (!builds.isArray() || builds.toArray().isEmpty())
        fail(Where, QStringLiteral("'builds' must list at least one build"));
    const QJsonArray buildArray = builds.toArray();
    for (int index = 0; index < buildArray.size(); ++index)
        entry.builds.push_back(
            buildEntry(buildArray.at(index), Where + QStringLiteral(".builds[%1]").arg(index)));
    return entry;
}

// Pins one document of a build in the metadata: its hash and size, so that the launcher takes
// only this document for the build (not a stale one, not another variant's or site's). Only a
// document published below the metadata's directory can be pinned; the others are named.
void pin(const std::optional<QString> &Address, ::shared::TDocumentPin &Pin,
         const QString &PackageName, const QDir &Site)
{
    if (!Address)
        return;
    const QUrl address(*Address);
    // The launcher appends a relative path to the metadata's directory, a leading "/" too.
    QFile file(address.isRelative()
                   ? QDir::cleanPath(Site.path() + QLatin1Char('/') + address.path())
                   : (address.isLocalFile() ? address.toLocalFile() : QString()));
    if (file.fileName().isEmpty() || !file.open(QIODevice::ReadOnly)) {
        qWarning().noquote() << QStringLiteral("Warning: '%1' is not published below '%2'; the "
                                               "metadata does not pin it")
                                    .arg(address.toString(), QDir::toNativeSeparators(Site.path()));
        return;
    }
    const QByteArray bytes = file.readAll();
    const QJsonObject release =
        QJsonDocument::fromJson(bytes).object().value(QStringLiteral("release")).toObject();
    // The launcher refuses a document signed for another package name.
    if (release.contains(QStringLiteral("package")) &&
        release.value(QStringLiteral("package")).toString() != PackageName)
        throw TPublishError(::shared::EErrorCode::InvalidInput, {},
                            QStringLiteral("'%1' was published with --package-name '%2', but the "
                                           "description names the package '%3'")
                                .arg(QDir::toNativeSeparators(file.fileName()),
                                     release.value(QStringLiteral("package")).toString(),
                                     PackageName));
    Pin.sha256 = ::shared::sha256(bytes);
    Pin.size = bytes.size();
}

void pinBuilds(::shared::TMetadataPackage &Package, const QDir &Site)
{
    for (::shared::TMetadataBuild &build : Package.builds) {
        pin(build.url, build.packagePin, Package.name, Site);
        pin(build.assetsUrl, build.assetsPin, Package.name, Site);
    }
}

// The metadata the description asks for; throws TPublishError where it is not what the launcher
// can use.
::shared::TMetadataDocument metadataOf(const QByteArray &Description)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(Description, &error);
    if (error.error != QJsonParseError::NoError)
        throw TPublishError(::shared::EErrorCode::InvalidInput, {},
                            QStringLiteral("Description is not valid JSON at offset %1: %2")
                                .arg(error.offset)
                                .arg(error.errorString()));
    if (!document.isObject())
        throw TPublishError(::shared::EErrorCode::InvalidInput, {},
                            QStringLiteral("Description must be a JSON object"));
    const QJsonObject description = document.object();
    checkKeys(description, QStringLiteral("top level"),
              {QStringLiteral("launcher"), QStringLiteral("packages"), QStringLiteral("hints"),
               QStringLiteral("funnel"), QStringLiteral("hardwareSurvey"),
               QStringLiteral("preventDefaultAutostart"), QStringLiteral("showPackageNames")});

    ::shared::TMetadataDocument metadata;
    QSet<QString> names;
    QSet<QString> directories;
    const auto remember = [&names, &directories](const ::shared::TMetadataPackage &Entry,
                                                 const QString &Where) {
        const QString &name = Entry.name;
        const QString &directory = Entry.directoryName;
        // The launcher tells packages apart by name; two in one directory would overwrite each
        // other's files.
        if (names.contains(name))
            fail(Where, QStringLiteral("the name '%1' is used twice").arg(name));
        if (directories.contains(directory.toLower()))
            fail(Where, QStringLiteral("the directory '%1' is used twice").arg(directory));
        names.insert(name);
        directories.insert(directory.toLower());
    };
    if (description.contains(QStringLiteral("launcher"))) {
        metadata.launcher =
            packageEntry(description.value(QStringLiteral("launcher")), QStringLiteral("launcher"));
        remember(*metadata.launcher, QStringLiteral("launcher"));
    }
    const QJsonValue packages = description.value(QStringLiteral("packages"));
    if (!packages.isArray() || packages.toArray().isEmpty())
        throw TPublishError(
            ::shared::EErrorCode::InvalidInput, {},
            QStringLiteral("Description: 'packages' must list at least one package"));
    const QJsonArray packageArray = packages.toArray();
    for (int index = 0; index < packageArray.size(); ++index) {
        const QString where = QStringLiteral("packages[%1]").arg(index);
        metadata.packages.push_back(packageEntry(packageArray.at(index), where));
        remember(metadata.packages.back(), where);
    }

    if (description.contains(QStringLiteral("hardwareSurvey")))
        metadata.hardwareSurvey = serviceAddress(description, QStringLiteral("hardwareSurvey"));
    if (description.contains(QStringLiteral("hints")))
        metadata.hints = serviceAddress(description, QStringLiteral("hints"));
    if (description.contains(QStringLiteral("funnel")))
        metadata.funnel = serviceAddress(description, QStringLiteral("funnel"));
    metadata.preventDefaultAutostart = optionalFlag(
        description, QStringLiteral("preventDefaultAutostart"), QStringLiteral("top level"));
    metadata.showPackageNames =
        optionalFlag(description, QStringLiteral("showPackageNames"), QStringLiteral("top level"));
    return metadata;
}

} // namespace

QByteArray TMetadataWriter::metadataFromDescription(const QByteArray &Description)
{
    return ::shared::TDocumentWriter::toBytes(metadataOf(Description));
}

void TMetadataWriter::writeMetadata(const QString &DescriptionPath, const QString &OutputPath,
                                    const TReleaseSigner &Signer)
{
    QFile input(DescriptionPath);
    if (!input.open(QIODevice::ReadOnly))
        throw TPublishError(
            ::shared::EErrorCode::OpenFailed, DescriptionPath,
            QStringLiteral("Could not read the description '%1': %2")
                .arg(QDir::toNativeSeparators(DescriptionPath), input.errorString()));
    ::shared::TMetadataDocument metadata = metadataOf(input.readAll());
    if (Signer.isEnabled()) {
        const QDir site = QFileInfo(OutputPath).absoluteDir();
        if (metadata.launcher)
            pinBuilds(*metadata.launcher, site);
        for (::shared::TMetadataPackage &package : metadata.packages)
            pinBuilds(package, site);
    }
    Signer.write(OutputPath,
                 Signer.document(::shared::TDocumentWriter::toJson(metadata), OutputPath,
                                 TReleaseSigner::EDocumentKind::LauncherMetadata));
}

} // namespace vorna::publisher
