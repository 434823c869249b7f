#include "TLauncherConfigurationReader.h"

#include "configuration/TLauncherConfigurationException.h"
#include "format/DocumentKeys.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>

namespace vorna::launcher {

namespace keys = ::shared::documentkeys;

namespace {

QUrl serviceUrl(const QJsonObject &Document, QLatin1String Key)
{
    const QJsonValue value = Document.value(Key);
    if (!value.isString())
        return {};
    return QUrl(value.toString(), QUrl::TolerantMode);
}

} // namespace

TLauncherConfigurationReader::TLauncherConfigurationReader(const QByteArray &Data,
                                                           const QUrl &BaseUrl)
    : m_baseUrl(BaseUrl), m_rawDocument(Data)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(Data, &error);
    if (error.error != QJsonParseError::NoError)
        throw TLauncherConfigurationException(error.errorString());
    if (!document.isObject())
        return;
    const QJsonObject root = document.object();

    const QJsonValue launcher = root.value(keys::Launcher);
    if (launcher.isObject())
        m_launcherPackage = std::make_shared<TPackage>(TPackage::LauncherPackageIndex,
                                                       launcher.toObject(), m_baseUrl);

    const QJsonArray packages = root.value(keys::Packages).toArray();
    for (int index = 0; index < packages.size(); ++index)
        m_packages.push_back(
            std::make_shared<TPackage>(index, packages.at(index).toObject(), m_baseUrl));

    m_hardwareSurveyUrl = serviceUrl(root, keys::HardwareSurvey);
    m_hintsUrl = serviceUrl(root, keys::Hints);
    m_funnelUrl = serviceUrl(root, keys::Funnel);
    m_preventDefaultAutostart = root.value(keys::PreventDefaultAutostart).toBool(false);
    m_showPackageNames = root.value(keys::ShowPackageNames).toBool(false);
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
