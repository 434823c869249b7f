#pragma once

#include "TDraggableMainWindow.h"
#include "download/EPackageDownloaderError.h"
#include "packages/TPackage.h"
#include "shared/THint.h"

#include <QMetaObject>

#include <map>
#include <memory>
#include <vector>

class QGridLayout;
class QGroupBox;
class QHBoxLayout;
class QLabel;
class QMessageBox;
class QSpacerItem;
class QVBoxLayout;

namespace shared {
class TBandwidthLimiter;
class TDownloadPool;
} // namespace shared

namespace vorna::launcher {

class TClientPackageLayoutItem;
class TCloudflareCdnTrace;
class TDiskSpaceCheck;
class TDownloadLimitControl;
class THintRow;
class TInstallationManager;
class TLauncherConfigurationReader;
class TPackageInstallation;

// The launcher's one window: a tile per client package, four to a row, and a footer with the hint
// row, the maker's logo, the About link and the social links. Relays the tiles' clicks and
// default-client choices, follows installations on their tiles and reports failed ones.
class TLauncherMainWindow final : public TDraggableMainWindow
{
    Q_OBJECT
    Q_DISABLE_COPY(TLauncherMainWindow)

public:
    static constexpr int TilesPerRow = 4;

    TLauncherMainWindow(std::vector<std::shared_ptr<TPackage>> Packages,
                        TInstallationManager *InstallationManager, bool ShowPackageNames,
                        std::shared_ptr<::shared::TDownloadPool> DownloadPool,
                        std::shared_ptr<TCloudflareCdnTrace> CdnTrace,
                        std::shared_ptr<TLauncherConfigurationReader> LauncherConfiguration);
    ~TLauncherMainWindow() override;

    // Read access for the application's tests and the screenshot tool.
    const std::map<int, TClientPackageLayoutItem *> &tiles() const { return m_tiles; }
    TClientPackageLayoutItem *tile(int PackageIndex) const;
    QGridLayout *tileGrid() const { return m_tileGrid; }
    QVBoxLayout *mainLayout() const { return m_mainLayout; }
    QSpacerItem *spacer() const { return m_spacer; }
    THintRow *hintRow() const { return m_hintRow; }
    QGroupBox *footerPanel() const { return m_footerPanel; }
    QMessageBox *messageBox() const { return m_messageBox; }
    QLabel *aboutLabel() const { return m_aboutLabel; }
    QLabel *versionLabel() const { return m_versionLabel; }
    int defaultPackageIndex() const { return m_defaultPackageIndex; }

    // What the installation slots do once they have read the installation.
    void handleInstallationFinished(const std::shared_ptr<TPackage> &Package,
                                    EPackageDownloaderError ErrorReason);
    void showDownloadFailedDialog(const QString &PackageName);

    // The about box, configured but not shown; the caller owns it.
    QMessageBox *createAboutBox();
    // The dialog of a package that does not fit on the disk, configured but not shown; the
    // caller owns it.
    QMessageBox *createNotEnoughDiskSpaceBox(const QString &PackageName,
                                             const TDiskSpaceCheck &Space);

    // Shows the "Download limit" control in the footer, set to the limiter's rate.
    void setBandwidthLimiter(std::shared_ptr<::shared::TBandwidthLimiter> Limiter);
    TDownloadLimitControl *downloadLimitControl() const { return m_downloadLimitControl; }

signals:
    void defaultChanged(std::shared_ptr<TPackage> pPackage, bool IsDefault);
    void clientPackageButtonClicked(std::shared_ptr<TPackage> pPackage);
    void clientPackageVerifyButtonClicked(std::shared_ptr<TPackage> pPackage);

public slots:
    void setHint(const ::shared::THint &Hint);
    void setHints(std::vector<::shared::THint> Hints);
    void onDefaultClientPackageCheckboxChanged(std::shared_ptr<TPackage> pPackage, bool IsDefault);
    void setDefault(std::shared_ptr<TPackage> pPackage, bool IsDefault);
    void onInstallationOrUpdateStarted(const TPackageInstallation &InstallationInProgress);
    void onInstallationOrUpdateFinished(const TPackageInstallation &InstallationInProgress);
    void onAboutDialogRequested(QString);

private:
    QLabel *createLinkLabel(const QString &Icon, const QString &Target, const QString &ToolTip);
    QHBoxLayout *createAboutRow();
    QHBoxLayout *createSocialRow();
    void createFooterPanel();
    void ensureMessageBox();
    void showConnectionProblem();
    void showHintRow();
    void connectInstallationManager(TInstallationManager *InstallationManager);
    void reportWindowStarted();

    std::shared_ptr<TLauncherConfigurationReader> m_launcherConfiguration;
    std::map<int, TClientPackageLayoutItem *> m_tiles;
    QSpacerItem *m_spacer = nullptr;
    QVBoxLayout *m_mainLayout = nullptr;
    QGridLayout *m_tileGrid = nullptr;
    THintRow *m_hintRow = nullptr;
    QGroupBox *m_footerPanel = nullptr;
    QVBoxLayout *m_footerLayout = nullptr;
    QLabel *m_aboutLabel = nullptr;
    QLabel *m_versionLabel = nullptr;
    QHBoxLayout *m_aboutRow = nullptr;
    TDownloadLimitControl *m_downloadLimitControl = nullptr;
    TInstallationManager *m_installationManager = nullptr;
    QMessageBox *m_messageBox = nullptr;
    int m_defaultPackageIndex = -1;
    std::shared_ptr<::shared::TDownloadPool> m_downloadPool;
    std::shared_ptr<TCloudflareCdnTrace> m_cdnTrace;
    // The dialog's wait for the CDN trace; at most one at a time.
    QMetaObject::Connection m_traceConnection;
};

} // namespace vorna::launcher
