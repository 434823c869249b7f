#pragma once

#include "TPackageBuild.h"
#include "TPackageEnumerations.h"

#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QUrl>

#include <climits>
#include <memory>
#include <vector>

namespace vorna::launcher {

// One installable unit of the launcher metadata: a game client or the launcher itself. Always
// held by std::shared_ptr and identified by its name.
class TPackage final : public QObject
{
    Q_OBJECT

public:
    // The index that marks the launcher's own package.
    static constexpr int LauncherPackageIndex = INT_MAX;

    // One package entry; relative build addresses resolve against BaseUrl, the address of the
    // metadata document without its file name.
    TPackage(int Index, const ::shared::TMetadataPackage &Entry, const QUrl &BaseUrl);
    // The same for an entry as JSON, read as the metadata reader reads it.
    TPackage(int Index, const QJsonObject &Entry, const QUrl &BaseUrl);
    ~TPackage() override;
    Q_DISABLE_COPY(TPackage)

    int index() const { return m_index; }
    bool isLauncherPackage() const { return m_index == LauncherPackageIndex; }
    const QString &name() const { return m_name; }
    const QString &directoryName() const { return m_directoryName; }
    const QUrl &logoLinkTarget() const { return m_logoLinkTarget; }
    bool installAutomatically() const { return m_installAutomatically; }
    const std::vector<std::unique_ptr<TPackageBuild>> &builds() const { return m_builds; }

    // The first build for the running machine, or null.
    TPackageBuild *selectBuildForRunningPlatform() const;
    // The configuration of that build, or null when there is no build or no configuration yet.
    const TPackageConfigurationReader *configurationForRunningPlatform() const;
    // Whether that build's documents failed their signature check: nothing may be installed
    // from them, and the package counts as one without configuration.
    bool documentsRefusedForRunningPlatform() const;

    // Local state, written by the installation manager only.
    bool verificationDone() const { return m_verificationDone; }
    void setVerificationDone() { m_verificationDone = true; }
    bool isDefault() const { return m_isDefault; }
    void setDefault(bool IsDefault) { m_isDefault = IsDefault; }
    ELocalPackageStatus localPackageStatus() const { return m_localPackageStatus; }
    // Emits localPackageStatusChanged() when the value really changes.
    void setLocalPackageStatus(ELocalPackageStatus Status);

signals:
    void localPackageStatusChanged();

private:
    int m_index = 0;
    QString m_name;
    QString m_directoryName;
    QUrl m_logoLinkTarget;
    bool m_installAutomatically = false;
    bool m_verificationDone = false;
    bool m_isDefault = false;
    std::vector<std::unique_ptr<TPackageBuild>> m_builds;
    ELocalPackageStatus m_localPackageStatus = ELocalPackageStatus::NotDetermined;
};

} // namespace vorna::launcher
