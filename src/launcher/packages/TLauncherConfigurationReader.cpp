#include "TLauncherConfigurationReader.h"

#include "configuration/TLauncherConfigurationException.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>

namespace vorna::launcher {

namespace {

QUrl serviceUrl(const QJsonObject &Document, const char *Key)
{
    const QJsonValue value = Document.value(QLatin1String(Key));
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

    const QJsonValue launcher = root.value(QLatin1String("launcher"));
    if (launcher.isObject())
        m_launcherPackage = std::make_shared<TPackage>(TPackage::LauncherPackageIndex,
                                                       launcher.toObject(), m_baseUrl);

    const QJsonArray packages = root.value(QLatin1String("packages")).toArray();
    for (int index = 0; index < packages.size(); ++index)
        m_packages.push_back(
            std::make_shared<TPackage>(index, packages.at(index).toObject(), m_baseUrl));

    m_hardwareSurveyUrl = serviceUrl(root, "hardwaresurvey");
    m_hintsUrl = serviceUrl(root, "hints");
    m_funnelUrl = serviceUrl(root, "funnel");
    m_preventDefaultAutostart = root.value(QLatin1String("preventdefaultautostart")).toBool(false);
    m_showPackageNames = root.value(QLatin1String("showpackagenames")).toBool(false);
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
