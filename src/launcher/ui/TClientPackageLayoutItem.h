#pragma once

#include "TTimeLeftEstimate.h"
#include "packages/TPackage.h"

#include <QElapsedTimer>

#include <QVBoxLayout>

#include <memory>

class QCheckBox;
class QGroupBox;
class QLabel;
class QProgressBar;
class QPushButton;
class QContextPushButton;

namespace vorna::launcher {

class TPackageInstallation;

// The tile of one client package: logo, action button (Download, Update, Play) or progress bar,
// name and version, and the "Default Client" check box. A layout, so that the main window can
// place it in its grid; the widgets belong to whatever widget the grid is installed on.
class TClientPackageLayoutItem final : public QVBoxLayout
{
    Q_OBJECT
    Q_DISABLE_COPY(TClientPackageLayoutItem)

public:
    TClientPackageLayoutItem(std::shared_ptr<TPackage> Package, bool ShowPackageNames);
    ~TClientPackageLayoutItem() override;

    const std::shared_ptr<TPackage> &package() const { return m_package; }
    QCheckBox *defaultCheckBox() const { return m_defaultCheckBox; }
    QLabel *logoLabel() const { return m_logoLabel; }
    QLabel *nameLabel() const { return m_nameLabel; }
    QLabel *versionLabel() const { return m_versionLabel; }
    QContextPushButton *button() const { return m_button; }
    QProgressBar *progressBar() const { return m_progressBar; }
    // Pause or Resume while a download runs, with the time left beside it.
    QPushButton *pauseButton() const { return m_pauseButton; }
    QLabel *timeLeftLabel() const { return m_timeLeftLabel; }
    bool isPaused() const { return m_paused; }

    // Installing mode: the bar replaces the button, starting at Value of Maximum bytes.
    void startProgress(qint64 Maximum, qint64 Value);
    // Scanning, writing or verifying: the bar shows Word and Done of Total, the label the bytes.
    void showPhaseProgress(const QString &Word, qint64 Done, qint64 Total);
    // A downloader tick: the transfer while it runs, then the writing of what arrived.
    void showDownloadProgress(qint64 Downloaded, qint64 TotalToDownload, qint64 Written,
                              qint64 TotalToWrite, quint64 BytesPerSecond);
    // Paused: the bar keeps its progress and reads "Paused", the button offers Resume.
    void showPaused(bool Paused);

signals:
    void defaultChanged(std::shared_ptr<TPackage> pPackage, bool IsDefault);
    void buttonClicked(std::shared_ptr<TPackage> pPackage);
    void verifyButtonClicked(std::shared_ptr<TPackage> pPackage);
    // The player asked to pause (Pause true) or resume the package's download.
    void pauseRequested(std::shared_ptr<TPackage> pPackage, bool Pause);

public slots:
    void onInstallationOrUpdateStarted(const TPackageInstallation &InstallationInProgress);
    void onInstallationOrUpdateFinished(const TPackageInstallation &InstallationInProgress);
    void onLocalPackageStatusChanged();
    void updatePackageNameAndVersion();
    void updatePackageImageFromPackageStatus();
    void updateButtonFromPackageStatus();
    void updateDefaultClientCheckboxFromPackageStatus();

    // Back to idle mode, refreshed from the package status.
    void resetAfterInstallation();

private:
    void onCheckBoxStateChanged(int State);
    void followInstallation(const TPackageInstallation &InstallationInProgress);
    QWidget *createDownloadControls();
    void showDownloadControls(bool Visible);

    std::shared_ptr<TPackage> m_package;
    QCheckBox *m_defaultCheckBox = nullptr;
    QLabel *m_logoLabel = nullptr;
    QLabel *m_nameLabel = nullptr;
    QLabel *m_versionLabel = nullptr;
    QContextPushButton *m_button = nullptr;
    QProgressBar *m_progressBar = nullptr;
    QGroupBox *m_panel = nullptr;
    QWidget *m_downloadControls = nullptr;
    QLabel *m_timeLeftLabel = nullptr;
    QPushButton *m_pauseButton = nullptr;
    bool m_paused = false;
    TTimeLeftEstimate m_timeLeft;
    QElapsedTimer m_sinceLastTick;
};

} // namespace vorna::launcher
