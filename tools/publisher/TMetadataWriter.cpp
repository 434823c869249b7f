#include "TMetadataWriter.h"

#include "TPublishError.h"

#include "format/DocumentKeys.h"
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

namespace keys = ::shared::documentkeys;

namespace {

[[noreturn]] void fail(const QString &Where, const QString &What)
{
    throw TPublishError(QStringLiteral("Description: %1: %2").arg(Where, What));
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

QJsonObject buildEntry(const QJsonValue &Value, const QString &Where)
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
    QJsonObject entry;
    entry.insert(keys::Os, os);
    entry.insert(keys::Architecture, architecture);
    entry.insert(keys::Url, documentAddress(build, QStringLiteral("package"), Where));
    if (build.contains(QStringLiteral("assets")))
        entry.insert(keys::AssetsUrl, documentAddress(build, QStringLiteral("assets"), Where));
    return entry;
}

QJsonObject packageEntry(const QJsonValue &Value, const QString &Where)
{
    if (!Value.isObject())
        fail(Where, QStringLiteral("a package must be an object"));
    const QJsonObject package = Value.toObject();
    checkKeys(package, Where,
              {QStringLiteral("name"), QStringLiteral("directory"),
               QStringLiteral("installAutomatically"), QStringLiteral("logoLink"),
               QStringLiteral("builds")});
    QJsonObject entry;
    entry.insert(keys::Name, requiredText(package, QStringLiteral("name"), Where));
    const QString directory = requiredText(package, QStringLiteral("directory"), Where);
    // The launcher installs into this one directory below its packages directory.
    if (directory.contains(QLatin1Char('/')) || directory.contains(QLatin1Char('\\')) ||
        directory == QLatin1String(".") || directory == QLatin1String(".."))
        fail(Where,
             QStringLiteral("the directory '%1' must be a plain directory name").arg(directory));
    entry.insert(keys::DirectoryName, directory);
    if (package.contains(QStringLiteral("logoLink")))
        entry.insert(keys::LogoLinkTarget,
                     requiredText(package, QStringLiteral("logoLink"), Where));
    entry.insert(keys::InstallAutomatically,
                 optionalFlag(package, QStringLiteral("installAutomatically"), Where));
    const QJsonValue builds = package.value(QStringLiteral("builds"));
    if (!builds.isArray() || builds.toArray().isEmpty())
        fail(Where, QStringLiteral("'builds' must list at least one build"));
    QJsonArray buildEntries;
    const QJsonArray buildArray = builds.toArray();
    for (int index = 0; index < buildArray.size(); ++index)
        buildEntries.append(
            buildEntry(buildArray.at(index), Where + QStringLiteral(".builds[%1]").arg(index)));
    entry.insert(keys::Builds, buildEntries);
    return entry;
}

// Pins one document of a build in the metadata: its hash and size, so that the launcher takes
// only this document for the build (not a stale one, not another variant's or site's). Only a
// document published below the metadata's directory can be pinned; the others are named.
void pin(QJsonObject &Build, const QString &AddressKey, const QString &Prefix,
         const QString &PackageName, const QDir &Site)
{
    const QUrl address(Build.value(AddressKey).toString());
    if (!Build.contains(AddressKey))
        return;
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
        throw TPublishError(QStringLiteral("'%1' was published with --package-name '%2', but the "
                                           "description names the package '%3'")
                                .arg(QDir::toNativeSeparators(file.fileName()),
                                     release.value(QStringLiteral("package")).toString(),
                                     PackageName));
    Build.insert(Prefix + keys::Sha256, QString::fromLatin1(::shared::sha256(bytes).toHex()));
    Build.insert(Prefix + keys::Size, double(bytes.size()));
}

QJsonObject withPinnedBuilds(QJsonObject Package, const QDir &Site)
{
    const QString name = Package.value(keys::Name).toString();
    QJsonArray builds = Package.value(keys::Builds).toArray();
    for (int index = 0; index < builds.size(); ++index) {
        QJsonObject build = builds.at(index).toObject();
        pin(build, keys::Url, keys::PackagePin, name, Site);
        pin(build, keys::AssetsUrl, keys::AssetsPin, name, Site);
        builds.replace(index, build);
    }
    Package.insert(keys::Builds, builds);
    return Package;
}

QJsonObject withSnapshots(QJsonObject Metadata, const QDir &Site)
{
    if (Metadata.contains(keys::Launcher))
        Metadata.insert(keys::Launcher,
                        withPinnedBuilds(Metadata.value(keys::Launcher).toObject(), Site));
    QJsonArray packages = Metadata.value(keys::Packages).toArray();
    for (int index = 0; index < packages.size(); ++index)
        packages.replace(index, withPinnedBuilds(packages.at(index).toObject(), Site));
    Metadata.insert(keys::Packages, packages);
    return Metadata;
}

} // namespace

QByteArray TMetadataWriter::metadataFromDescription(const QByteArray &Description)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(Description, &error);
    if (error.error != QJsonParseError::NoError)
        throw TPublishError(QStringLiteral("Description is not valid JSON at offset %1: %2")
                                .arg(error.offset)
                                .arg(error.errorString()));
    if (!document.isObject())
        throw TPublishError(QStringLiteral("Description must be a JSON object"));
    const QJsonObject description = document.object();
    checkKeys(description, QStringLiteral("top level"),
              {QStringLiteral("launcher"), QStringLiteral("packages"), QStringLiteral("hints"),
               QStringLiteral("funnel"), QStringLiteral("hardwareSurvey"),
               QStringLiteral("preventDefaultAutostart"), QStringLiteral("showPackageNames")});

    QJsonObject metadata;
    QSet<QString> names;
    QSet<QString> directories;
    const auto remember = [&names, &directories](const QJsonObject &Entry, const QString &Where) {
        const QString name = Entry.value(keys::Name).toString();
        const QString directory = Entry.value(keys::DirectoryName).toString();
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
        const QJsonObject launcher =
            packageEntry(description.value(QStringLiteral("launcher")), QStringLiteral("launcher"));
        remember(launcher, QStringLiteral("launcher"));
        metadata.insert(keys::Launcher, launcher);
    }
    const QJsonValue packages = description.value(QStringLiteral("packages"));
    if (!packages.isArray() || packages.toArray().isEmpty())
        throw TPublishError(
            QStringLiteral("Description: 'packages' must list at least one package"));
    QJsonArray packageEntries;
    const QJsonArray packageArray = packages.toArray();
    for (int index = 0; index < packageArray.size(); ++index) {
        const QString where = QStringLiteral("packages[%1]").arg(index);
        const QJsonObject entry = packageEntry(packageArray.at(index), where);
        remember(entry, where);
        packageEntries.append(entry);
    }
    metadata.insert(keys::Packages, packageEntries);

    if (description.contains(QStringLiteral("hardwareSurvey")))
        metadata.insert(keys::HardwareSurvey,
                        serviceAddress(description, QStringLiteral("hardwareSurvey")));
    if (description.contains(QStringLiteral("hints")))
        metadata.insert(keys::Hints, serviceAddress(description, QStringLiteral("hints")));
    if (description.contains(QStringLiteral("funnel")))
        metadata.insert(keys::Funnel, serviceAddress(description, QStringLiteral("funnel")));
    metadata.insert(keys::PreventDefaultAutostart,
                    optionalFlag(description, QStringLiteral("preventDefaultAutostart"),
                                 QStringLiteral("top level")));
    metadata.insert(
        keys::ShowPackageNames,
        optionalFlag(description, QStringLiteral("showPackageNames"), QStringLiteral("top level")));
    return QJsonDocument(metadata).toJson(QJsonDocument::Indented);
}

void TMetadataWriter::writeMetadata(const QString &DescriptionPath, const QString &OutputPath,
                                    const TReleaseSigner &Signer)
{
    QFile input(DescriptionPath);
    if (!input.open(QIODevice::ReadOnly))
        throw TPublishError(
            QStringLiteral("Could not read the description '%1': %2")
                .arg(QDir::toNativeSeparators(DescriptionPath), input.errorString()));
    const QByteArray metadata = metadataFromDescription(input.readAll());
    QJsonObject document = QJsonDocument::fromJson(metadata).object();
    if (Signer.isEnabled())
        document = withSnapshots(document, QFileInfo(OutputPath).absoluteDir());
    Signer.write(OutputPath, Signer.document(document, OutputPath,
                                             TReleaseSigner::EDocumentKind::LauncherMetadata));
}

} // namespace vorna::publisher
