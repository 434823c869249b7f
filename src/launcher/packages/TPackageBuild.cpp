#include "TPackageBuild.h"

#include "TPackageConfigurationReader.h"

#include <QSysInfo>

namespace vorna::launcher {

TPackageBuild::TPackageBuild() = default;

TPackageBuild::TPackageBuild(const ::shared::TMetadataBuild &Build, const QUrl &BaseUrl)
    : os(operatingSystemFromString(Build.os)),
      architecture(architectureFromString(Build.architecture)),
      url(resolvePackageUrlText(BaseUrl, Build.url)), packageSnapshot(Build.packagePin),
      assetsSnapshot(Build.assetsPin)
{
    if (Build.assetsUrl)
        assetsUrl = resolvePackageUrlText(BaseUrl, *Build.assetsUrl);
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
