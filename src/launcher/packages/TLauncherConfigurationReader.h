#pragma once

#include "TPackage.h"

#include <QByteArray>
#include <QUrl>

#include <memory>
#include <vector>

namespace vorna::launcher {

// The parsed launcher metadata: the launcher's own package, the client packages and the
// addresses of the services. Shared for the whole run; only the builds' configurations change
// after parsing.
class TLauncherConfigurationReader final
{
public:
    // Throws TLauncherConfigurationException when Data is not JSON. A document of any other shape
    // never fails: keys of the wrong type count as absent.
    TLauncherConfigurationReader(const QByteArray &Data, const QUrl &BaseUrl);
    TLauncherConfigurationReader(const TLauncherConfigurationReader &) = delete;
    TLauncherConfigurationReader &operator=(const TLauncherConfigurationReader &) = delete;

    const QUrl &baseUrl() const { return m_baseUrl; }
    const QByteArray &rawDocument() const { return m_rawDocument; }
    // Null when the document has no "launcher" entry.
    const std::shared_ptr<TPackage> &launcherPackage() const { return m_launcherPackage; }
    const std::vector<std::shared_ptr<TPackage>> &packages() const { return m_packages; }
    // The packages whose build for the running machine has a configuration, in document order.
    std::vector<std::shared_ptr<TPackage>> availablePackages() const;
    const QUrl &hardwareSurveyUrl() const { return m_hardwareSurveyUrl; }
    const QUrl &hintsUrl() const { return m_hintsUrl; }
    const QUrl &funnelUrl() const { return m_funnelUrl; }
    bool preventDefaultAutostart() const { return m_preventDefaultAutostart; }
    bool showPackageNames() const { return m_showPackageNames; }

private:
    QUrl m_baseUrl;
    QByteArray m_rawDocument;
    std::shared_ptr<TPackage> m_launcherPackage;
    std::vector<std::shared_ptr<TPackage>> m_packages;
    QUrl m_hardwareSurveyUrl;
    QUrl m_hintsUrl;
    QUrl m_funnelUrl;
    bool m_preventDefaultAutostart = false;
    bool m_showPackageNames = false;
};

} // namespace vorna::launcher
