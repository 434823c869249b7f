#include "TPackage.h"

#include "TPackageConfigurationReader.h"
#include "format/TDocumentReader.h"

namespace vorna::launcher {

TPackage::TPackage(int Index, const ::shared::TMetadataPackage &Entry, const QUrl &BaseUrl)
    : m_index(Index), m_name(Entry.name), m_directoryName(Entry.directoryName),
      m_installAutomatically(Entry.installAutomatically)
{
    if (Entry.logoLinkTarget)
        m_logoLinkTarget = QUrl(*Entry.logoLinkTarget, QUrl::TolerantMode);
    m_builds.reserve(Entry.builds.size());
    for (const ::shared::TMetadataBuild &build : Entry.builds)
        m_builds.push_back(std::make_unique<TPackageBuild>(build, BaseUrl));
}

TPackage::TPackage(int Index, const QJsonObject &Entry, const QUrl &BaseUrl)
    : TPackage(Index, ::shared::TDocumentReader::metadataPackage(Entry), BaseUrl)
{
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
