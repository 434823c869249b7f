#include "TPackageBuild.h"

#include "TPackageConfigurationReader.h"
#include "format/DocumentKeys.h"

#include <QSysInfo>

namespace vorna::launcher {

namespace keys = ::shared::documentkeys;

namespace {

// A snapshot is used only whole: a hash of the right length and a whole, non-negative size.
TDocumentSnapshot snapshotOf(const QJsonObject &Build, const QString &Prefix)
{
    const QByteArray hash =
        QByteArray::fromHex(Build.value(Prefix + keys::Sha256).toString().toLatin1());
    const QJsonValue size = Build.value(Prefix + keys::Size);
    TDocumentSnapshot snapshot;
    if (hash.size() != 32 || !size.isDouble() || size.toDouble() < 0 ||
        size.toDouble() > 9007199254740991.0)
        return snapshot;
    snapshot.sha256 = hash;
    snapshot.size = static_cast<qint64>(size.toDouble());
    return snapshot;
}

} // namespace

TPackageBuild::TPackageBuild() = default;

TPackageBuild::TPackageBuild(const QJsonObject &Build, const QUrl &BaseUrl)
    : os(operatingSystemFromString(Build.value(keys::Os).toString())),
      architecture(architectureFromString(Build.value(keys::Architecture).toString())),
      url(resolvePackageUrlText(BaseUrl, Build.value(keys::Url).toString()))
{
    if (Build.contains(keys::AssetsUrl))
        assetsUrl = resolvePackageUrlText(BaseUrl, Build.value(keys::AssetsUrl).toString());
    packageSnapshot = snapshotOf(Build, keys::PackagePin);
    assetsSnapshot = snapshotOf(Build, keys::AssetsPin);
}

TPackageBuild::~TPackageBuild() = default;
TPackageBuild::TPackageBuild(TPackageBuild &&) noexcept = default;
TPackageBuild &TPackageBuild::operator=(TPackageBuild &&) noexcept = default;

bool TPackageBuild::matchesRunningPlatform() const
{
    return os == runningOperatingSystem() && architecture == runningArchitecture();
}

EOperatingSystem operatingSystemFromString(const QString &Text)
{
    if (Text.compare(QLatin1String("windows"), Qt::CaseInsensitive) == 0)
        return EOperatingSystem::Windows;
    if (Text.compare(QLatin1String("macos"), Qt::CaseInsensitive) == 0)
        return EOperatingSystem::MacOS;
    if (Text.compare(QLatin1String("linux"), Qt::CaseInsensitive) == 0)
        return EOperatingSystem::Linux;
    return EOperatingSystem::Other;
}

EArchitecture architectureFromString(const QString &Text)
{
    if (Text.compare(QLatin1String("i386"), Qt::CaseInsensitive) == 0)
        return EArchitecture::I386;
    if (Text.compare(QLatin1String("x86_64"), Qt::CaseInsensitive) == 0)
        return EArchitecture::X86_64;
    return EArchitecture::Other;
}

EOperatingSystem runningOperatingSystem()
{
    const QString product = QSysInfo::productType();
    if (product == QLatin1String("windows"))
        return EOperatingSystem::Windows;
    // Qt 5.15 calls macOS "macos"; older releases said "osx".
    if (product == QLatin1String("osx") || product == QLatin1String("darwin") ||
        product == QLatin1String("macos"))
        return EOperatingSystem::MacOS;
    if (QSysInfo::kernelType() == QLatin1String("linux"))
        return EOperatingSystem::Linux;
    return EOperatingSystem::Other;
}

EArchitecture runningArchitecture()
{
    const QString architecture = QSysInfo::buildCpuArchitecture();
    if (architecture == QLatin1String("i386"))
        return EArchitecture::I386;
    if (architecture == QLatin1String("x86_64"))
        return EArchitecture::X86_64;
    return EArchitecture::Other;
}

QUrl resolvePackageUrl(const QUrl &Base, const QUrl &Url)
{
    if (!Url.isRelative())
        return Url;

    const QString basePath = Base.path(QUrl::FullyDecoded);
    const QString relativePath = Url.path(QUrl::FullyDecoded);
    const bool needsSeparator =
        !basePath.endsWith(QLatin1Char('/')) && !relativePath.startsWith(QLatin1Char('/'));

    QUrl result = Base;
    result.setPath(basePath + (needsSeparator ? QStringLiteral("/") : QString()) + relativePath,
                   QUrl::DecodedMode);
    result.setQuery(QString());
    return result;
}

QUrl resolvePackageUrlText(const QUrl &Base, const QString &Text)
{
    if (Text.isEmpty())
        return {};
    return resolvePackageUrl(Base, QUrl(Text, QUrl::TolerantMode));
}

} // namespace vorna::launcher
