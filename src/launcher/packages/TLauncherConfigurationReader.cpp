#include "TLauncherConfigurationReader.h"

#include "configuration/TLauncherConfigurationException.h"
#include "format/TDocumentReader.h"

namespace vorna::launcher {

namespace {

QUrl serviceUrl(const std::optional<QString> &Address)
{
    return Address ? QUrl(*Address, QUrl::TolerantMode) : QUrl();
}

} // namespace

TLauncherConfigurationReader::TLauncherConfigurationReader(const QByteArray &Data,
                                                           const QUrl &BaseUrl)
    : m_baseUrl(BaseUrl), m_rawDocument(Data)
{
    ::shared::TMetadataDocument document;
    QString error;
    if (!::shared::TDocumentReader::read(Data, document, &error))
        throw TLauncherConfigurationException(error);

    if (document.launcher)
        m_launcherPackage = std::make_shared<TPackage>(TPackage::LauncherPackageIndex,
                                                       *document.launcher, m_baseUrl);
    for (std::size_t index = 0; index < document.packages.size(); ++index)
        m_packages.push_back(
            std::make_shared<TPackage>(int(index), document.packages[index], m_baseUrl));

    m_hardwareSurveyUrl = serviceUrl(document.hardwareSurvey);
    m_hintsUrl = serviceUrl(document.hints);
    m_funnelUrl = serviceUrl(document.funnel);
    m_preventDefaultAutostart = document.preventDefaultAutostart;
    m_showPackageNames = document.showPackageNames;
}

std::vector<std::shared_ptr<TPackage>> TLauncherConfigurationReader::availablePackages() const
{
    std::vector<std::shared_ptr<TPackage>> available;
    for (const auto &package : m_packages) {
        if (package->configurationForRunningPlatform())
            available.push_back(package);
    }
    return available;
}

} // namespace vorna::launcher
