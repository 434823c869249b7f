#include "TPackage.h"

#include "TPackageConfigurationReader.h"
#include "format/DocumentKeys.h"

#include <QJsonArray>

namespace vorna::launcher {

namespace keys = ::shared::documentkeys;

TPackage::TPackage(int Index, const QJsonObject &Entry, const QUrl &BaseUrl)
    : m_index(Index), m_name(Entry.value(keys::Name).toString()),
      m_directoryName(Entry.value(keys::DirectoryName).toString())
{
    if (Entry.contains(keys::LogoLinkTarget))
        m_logoLinkTarget = QUrl(Entry.value(keys::LogoLinkTarget).toString(), QUrl::TolerantMode);
    m_installAutomatically = Entry.value(keys::InstallAutomatically).toBool(false);

    const QJsonArray builds = Entry.value(keys::Builds).toArray();
    m_builds.reserve(static_cast<size_t>(builds.size()));
    for (const QJsonValue &build : builds)
        m_builds.push_back(std::make_unique<TPackageBuild>(build.toObject(), BaseUrl));
}

TPackage::~TPackage() = default;

TPackageBuild *TPackage::selectBuildForRunningPlatform() const
{
    for (const auto &build : m_builds) {
        if (build->matchesRunningPlatform())
            return build.get();
    }
    return nullptr;
}

const TPackageConfigurationReader *TPackage::configurationForRunningPlatform() const
{
    const TPackageBuild *build = selectBuildForRunningPlatform();
    return build ? build->configuration.get() : nullptr;
}

bool TPackage::documentsRefusedForRunningPlatform() const
{
    const TPackageBuild *build = selectBuildForRunningPlatform();
    return build && build->documentsRefused;
}

void TPackage::setLocalPackageStatus(ELocalPackageStatus Status)
{
    if (m_localPackageStatus == Status)
        return;
    m_localPackageStatus = Status;
    emit localPackageStatusChanged();
}

} // namespace vorna::launcher
