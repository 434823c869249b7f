#include "TLauncherMainWindow.h"

#include "InstallationFailureText.h"
#include "LauncherVersion.h"
#include "ProgressFormatting.h"
#include "TClientPackageLayoutItem.h"
#include "TDownloadLimitControl.h"
#include "THintRow.h"
#include "UiStyle.h"
#include "configuration/FunnelEvents.h"
#include "download/TCloudflareCdnTrace.h"
#include "installation/TInstallationManager.h"
#include "installation/TPackageInstallation.h"
#include "packages/TLauncherConfigurationReader.h"
#include "shared/LogCategories.h"

#include <QCheckBox>
#include <QDate>
#include <QDebug>
#include <QGridLayout>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QSpacerItem>
#include <QVBoxLayout>

namespace vorna::launcher {

namespace {

// Addresses of the maker and the product's community pages.
const char *const makerWebSite = "https://www.kelmont.example/";
const char *const twitterPage = "https://twitter.com/CorvaneOnline";
const char *const discordInvitation = "https://discord.gg/corvane";
// What the about text links to: the licence of Qt and where its source is.
const char *const lgplAddress = "https://www.gnu.org/licenses/lgpl-3.0.html";
const char *const qtBaseRepository = "https://code.qt.io/cgit/qt/qtbase.git/";

} // namespace

TLauncherMainWindow::TLauncherMainWindow(
    std::vector<std::shared_ptr<TPackage>> Packages, TInstallationManager *InstallationManager,
    bool ShowPackageNames, std::shared_ptr<::shared::TDownloadPool> DownloadPool,
    std::shared_ptr<TCloudflareCdnTrace> CdnTrace,
    std::shared_ptr<TLauncherConfigurationReader> LauncherConfiguration)
    : m_launcherConfiguration(std::move(LauncherConfiguration)),
      m_downloadPool(std::move(DownloadPool)), m_cdnTrace(std::move(CdnTrace))
{
    setWindowTitle(QStringLiteral("Corvane Online"));
    setWindowFlags(Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    setFixedWidth(800);
    setMaximumHeight(600);
    setMinimumHeight(450);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::MinimumExpanding);
    if (const QScreen *screen = QGuiApplication::primaryScreen()) {
        const QRect available = screen->geometry();
        move((available.width() - width()) / 2, (available.height() - height()) / 2);
    }
    // The background image covers the bottom 450 pixels; a taller window shows the colour of its
    // top edge above it instead of the platform's default grey or white.
    setStyleSheet(QStringLiteral("QMainWindow { background-color: #0D0E24; "
                                 "border-image: url(%1) 0 0 450 0; "
                                 "border-top: 0px transparent; border-left: 0px transparent; "
                                 "border-right: 0px transparent; "
                                 "border-bottom: 450px transparent; }")
                      .arg(launcherImage(QStringLiteral("BackgroundImage.jpg"))));

    auto *central = new QWidget(this);
    auto *tileRow = new QHBoxLayout;
    m_tileGrid = new QGridLayout;
    tileRow->addStretch(1);
    tileRow->addLayout(m_tileGrid);
    tileRow->addStretch(1);

    int row = 0;
    int column = 0;
    for (const std::shared_ptr<TPackage> &package : Packages) {
        auto *tile = new TClientPackageLayoutItem(package, ShowPackageNames);
        m_tiles[package->index()] = tile;
        tile->defaultCheckBox()->setChecked(package->isDefault());
        m_tileGrid->addLayout(tile, row, column, 1, 1);
        if (++column == TilesPerRow) {
            column = 0;
            ++row;
        }
        connect(tile, &TClientPackageLayoutItem::defaultChanged, this,
                &TLauncherMainWindow::onDefaultClientPackageCheckboxChanged);
        connect(tile, &TClientPackageLayoutItem::buttonClicked, this,
                &TLauncherMainWindow::clientPackageButtonClicked);
        connect(tile, &TClientPackageLayoutItem::pauseRequested, this,
                [this](std::shared_ptr<TPackage> pPackage, bool Pause) {
                    if (m_installationManager)
                        m_installationManager->setPaused(pPackage, Pause);
                });
        connect(tile, &TClientPackageLayoutItem::verifyButtonClicked, this,
                &TLauncherMainWindow::clientPackageVerifyButtonClicked);
    }

    m_spacer = new QSpacerItem(700, 84, QSizePolicy::Minimum, QSizePolicy::Minimum);
    m_mainLayout = new QVBoxLayout;
    m_mainLayout->addSpacing(11);
    m_mainLayout->addLayout(tileRow);
    if (Packages.empty()) {
        m_mainLayout->addSpacing(300);
        showConnectionProblem();
    }
    m_mainLayout->addSpacing(6);
    m_mainLayout->addSpacerItem(m_spacer);
    createFooterPanel();
    m_mainLayout->addWidget(m_footerPanel, 0, Qt::AlignHCenter);
    m_mainLayout->addSpacing(-14);

    central->setLayout(m_mainLayout);
    setCentralWidget(central);

    connectInstallationManager(InstallationManager);
    // The metadata's own list decides, as it does for the installation manager; without metadata
    // (the window on its own) the tiles' packages stand in.
    const std::vector<std::shared_ptr<TPackage>> &allPackages =
        m_launcherConfiguration ? m_launcherConfiguration->packages() : Packages;
    for (const std::shared_ptr<TPackage> &package : allPackages) {
        if (package->isDefault()) {
            m_defaultPackageIndex = package->index();
            break;
        }
    }
    reportWindowStarted();
}

TLauncherMainWindow::~TLauncherMainWindow()
{
    // The spacer is owned by the main layout only while it is in it.
    if (m_mainLayout->indexOf(m_spacer) < 0)
        delete m_spacer;
}

TClientPackageLayoutItem *TLauncherMainWindow::tile(int PackageIndex) const
{
    const auto found = m_tiles.find(PackageIndex);
    return found == m_tiles.end() ? nullptr : found->second;
}

QLabel *TLauncherMainWindow::createLinkLabel(const QString &Icon, const QString &Target,
                                             const QString &ToolTip)
{
    auto *label = new QLabel(this);
    label->setText(QStringLiteral("<a href=\"%1\"><img src=\"%2\"/></a>")
                       .arg(Target.toHtmlEscaped(), Icon.toHtmlEscaped()));
    label->setTextFormat(Qt::RichText);
    label->setToolTip(ToolTip);
    label->setOpenExternalLinks(true);
    return label;
}

QHBoxLayout *TLauncherMainWindow::createAboutRow()
{
    auto *aboutRow = new QHBoxLayout;
    m_aboutRow = aboutRow;
    aboutRow->addStretch(0);
    m_aboutLabel = createLinkLabel(launcherImage(QStringLiteral("icircle.png")),
                                   QStringLiteral("about"), QStringLiteral("About"));
    m_aboutLabel->setOpenExternalLinks(false);
    connect(m_aboutLabel, &QLabel::linkActivated, this,
            &TLauncherMainWindow::onAboutDialogRequested);
    aboutRow->addWidget(m_aboutLabel);
    m_versionLabel = new QLabel(QStringLiteral("v") + launcherVersion(), this);
    m_versionLabel->setStyleSheet(
        QStringLiteral("QLabel { %1 font-size: 11px; color: #DADABC; }").arg(launcherFontStyle()));
    aboutRow->addWidget(m_versionLabel);
    return aboutRow;
}

QHBoxLayout *TLauncherMainWindow::createSocialRow()
{
    auto *socialRow = new QHBoxLayout;
    socialRow->addStretch(0);
    socialRow->addWidget(createLinkLabel(launcherImage(QStringLiteral("Twitter.png")),
                                         QLatin1String(twitterPage),
                                         QStringLiteral("Follow us on Twitter")));
    socialRow->addWidget(createLinkLabel(launcherImage(QStringLiteral("Discord.png")),
                                         QLatin1String(discordInvitation),
                                         QStringLiteral("Follow us on Discord")));
    socialRow->addStretch(0);
    return socialRow;
}

void TLauncherMainWindow::createFooterPanel()
{
    m_footerPanel = new QGroupBox(this);
    m_footerPanel->setMinimumWidth(780);
    m_footerPanel->setMaximumWidth(790);
    m_footerPanel->setAlignment(Qt::AlignHCenter);
    m_footerPanel->setStyleSheet(
        QStringLiteral("QGroupBox { border-image: url(%1) 5 5 0 5 repeat; "
                       "border-top: 5px transparent; border-left: 5px transparent; "
                       "border-bottom: 5px transparent; border-right: 5px transparent; "
                       "background-attachment: fixed; %2 font-size: 11px; color: #DADABC; }\n"
                       "QGroupBox::title { color: #DADABC; margin-top: 2px; "
                       "background-color: transparent; }")
            .arg(launcherImage(QStringLiteral("hint-background.png")), launcherFontStyle()));
    m_footerLayout = new QVBoxLayout(m_footerPanel);

    m_hintRow = new THintRow(this, m_downloadPool);

    m_footerLayout->addSpacing(8);
    auto *makerLogo = new QLabel(this);
    makerLogo->setTextFormat(Qt::RichText);
    makerLogo->setText(
        QStringLiteral("<a href=\"%1\"><img src=\"%2\"/></a>")
            .arg(QLatin1String(makerWebSite), launcherImage(QStringLiteral("KelmontLogo.png"))));
    makerLogo->setToolTip(QLatin1String(makerWebSite));
    makerLogo->setOpenExternalLinks(true);
    m_footerLayout->addWidget(makerLogo, 0, Qt::AlignLeft);
    m_footerLayout->addSpacing(-22);
    m_footerLayout->addLayout(createAboutRow());
    m_footerLayout->addSpacing(-34);
    m_footerLayout->addLayout(createSocialRow());
    m_footerLayout->addSpacing(8);
}

void TLauncherMainWindow::ensureMessageBox()
{
    if (!m_messageBox)
        m_messageBox = new QMessageBox(this);
}

void TLauncherMainWindow::showConnectionProblem()
{
    ensureMessageBox();
    m_messageBox->setWindowTitle(QStringLiteral("Connection problem"));
    m_messageBox->setTextFormat(Qt::PlainText);
    m_messageBox->setText(
        QStringLiteral("Could not connect to the update service.\n\nPlease try again later.\n"));
    m_messageBox->setIcon(QMessageBox::Critical);
    m_messageBox->setWindowModality(Qt::NonModal);
    m_messageBox->show();
}

void TLauncherMainWindow::onDefaultClientPackageCheckboxChanged(std::shared_ptr<TPackage> pPackage,
                                                                bool IsDefault)
{
    const bool isCurrentDefault = m_defaultPackageIndex == pPackage->index();
    if (IsDefault == isCurrentDefault)
        return;
    setDefault(pPackage, IsDefault);
    emit defaultChanged(pPackage, IsDefault);
}

void TLauncherMainWindow::setDefault(std::shared_ptr<TPackage> pPackage, bool IsDefault)
{
    m_defaultPackageIndex = IsDefault ? pPackage->index() : -1;
    // The boxes changed here report back through their tiles; the index is already up to date
    // then, so those reports end early and the user's click yields one defaultChanged.
    for (const auto &[index, tile] : m_tiles) {
        const bool checked = IsDefault && index == pPackage->index();
        if (tile->defaultCheckBox()->isChecked() != checked)
            tile->defaultCheckBox()->setChecked(checked);
    }
}

void TLauncherMainWindow::handleInstallationFinished(const std::shared_ptr<TPackage> &Package,
                                                     EPackageDownloaderError ErrorReason)
{
    qCInfo(lcUi).noquote().nospace()
        << "onInstallationOrUpdateFinished package: " << Package->name()
        << " error reason: " << int(ErrorReason);
    TClientPackageLayoutItem *packageTile = tile(Package->index());
    // The launcher's own package has no tile.
    if (!packageTile)
        return;
    packageTile->resetAfterInstallation();

    switch (ErrorReason) {
    case EPackageDownloaderError::DownloadFailed:
        showDownloadFailedDialog(Package->name());
        break;
    case EPackageDownloaderError::SavingOperationFailed:
    case EPackageDownloaderError::VerificationFailed: {
        const TInstallationFailureText failure =
            installationFailureText(ErrorReason, Package->name());
        QMessageBox::critical(this, failure.title, failure.text, QMessageBox::Ok);
        break;
    }
    case EPackageDownloaderError::NoError:
    case EPackageDownloaderError::NotEnoughDiskSpace:
        // A full disk has a dialog of its own, with the sizes of the installation.
        break;
    }
}

void TLauncherMainWindow::showDownloadFailedDialog(const QString &PackageName)
{
    ensureMessageBox();
    QString diagnostic;
    if (m_cdnTrace && !m_cdnTrace->isReceived() && !m_cdnTrace->isFailed()) {
        m_cdnTrace->request();
        // Only our own wait is ended here; other listeners of the trace keep theirs.
        if (!m_traceConnection) {
            m_traceConnection =
                connect(m_cdnTrace.get(), &TCloudflareCdnTrace::diagnosticsTraceReceived, this,
                        [this, PackageName] {
                            disconnect(m_traceConnection);
                            m_traceConnection = {};
                            if (m_messageBox->isVisible())
                                showDownloadFailedDialog(PackageName);
                        });
        }
        diagnostic = cdnDiagnosticPlaceholder(true);
    }
    if (!m_cdnTrace)
        diagnostic = cdnDiagnosticPlaceholder(false);
    else if (m_cdnTrace->isReceived())
        diagnostic = m_cdnTrace->toDisplayString();
    else if (m_cdnTrace->isFailed())
        diagnostic = cdnDiagnosticPlaceholder(false);

    const TInstallationFailureText failure =
        installationFailureText(EPackageDownloaderError::DownloadFailed, PackageName, {diagnostic});
    m_messageBox->setWindowTitle(failure.title);
    m_messageBox->setTextFormat(Qt::PlainText);
    m_messageBox->setText(failure.text);
    m_messageBox->setIcon(QMessageBox::Critical);
    m_messageBox->setWindowModality(Qt::NonModal);
    m_messageBox->show();
}

void TLauncherMainWindow::showHintRow()
{
    if (m_footerLayout->indexOf(m_hintRow) < 0)
        m_footerLayout->insertWidget(0, m_hintRow);
    m_footerLayout->setContentsMargins(0, 0, 0, 0);
    m_hintRow->show();
}

void TLauncherMainWindow::setHints(std::vector<::shared::THint> Hints)
{
    m_footerPanel->hide();
    bool shown[THintRow::SlotCount] = {false, false, false};
    if (!Hints.empty()) {
        showHintRow();
        for (const ::shared::THint &hint : Hints) {
            const int slot = THintRow::slotOfCategory(hint.category);
            if (slot < 0)
                continue;
            m_hintRow->showHint(slot, hint);
            shown[slot] = true;
        }
    }
    if (shown[0] && shown[1] && shown[2]) {
        // The row takes the spacer's place.
        if (m_mainLayout->indexOf(m_spacer) >= 0)
            m_mainLayout->removeItem(m_spacer);
    } else {
        m_hintRow->hide();
    }
    m_footerPanel->show();
}

void TLauncherMainWindow::setHint(const ::shared::THint &Hint)
{
    showHintRow();
    m_hintRow->showHint(0, Hint);
}

QMessageBox *TLauncherMainWindow::createAboutBox()
{
    auto *box = new QMessageBox(this);
    box->setWindowTitle(qtTrId("launcher.about.title"));
    box->setIcon(QMessageBox::Information);
    box->setTextFormat(Qt::RichText);
    box->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::LinksAccessibleByMouse);
    const QString licence = QLatin1String(lgplAddress);
    const QString repository = QLatin1String(qtBaseRepository);
    QString text = qtTrId("launcher.about.text");
    // Without a catalogue the identifier itself is shown, and it has nothing to substitute.
    if (text != QLatin1String("launcher.about.text"))
        text = text.arg(QString::number(2002), QString::number(QDate::currentDate().year()),
                        licence, licence, repository, repository);
    box->setText(text);
    return box;
}

void TLauncherMainWindow::onAboutDialogRequested(QString)
{
    QMessageBox *box = createAboutBox();
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->exec();
}

void TLauncherMainWindow::reportWindowStarted()
{
    sendFunnelEvent(QStringLiteral("launcher_started"), QStringLiteral("FunnelStartedFirst"));
}

void TLauncherMainWindow::connectInstallationManager(TInstallationManager *InstallationManager)
{
    m_installationManager = InstallationManager;
    if (!InstallationManager)
        return;
    connect(InstallationManager, &TInstallationManager::installationOrUpdateStarted, this,
            &TLauncherMainWindow::onInstallationOrUpdateStarted);
    connect(InstallationManager, &TInstallationManager::installationOrUpdateFinished, this,
            &TLauncherMainWindow::onInstallationOrUpdateFinished);
}

void TLauncherMainWindow::onInstallationOrUpdateStarted(
    const TPackageInstallation &InstallationInProgress)
{
    // The launcher's own package has no tile.
    if (TClientPackageLayoutItem *packageTile = tile(InstallationInProgress.package()->index()))
        packageTile->onInstallationOrUpdateStarted(InstallationInProgress);
}

void TLauncherMainWindow::onInstallationOrUpdateFinished(
    const TPackageInstallation &InstallationInProgress)
{
    handleInstallationFinished(InstallationInProgress.package(),
                               InstallationInProgress.errorReason());
    if (InstallationInProgress.errorReason() == EPackageDownloaderError::NotEnoughDiskSpace &&
        tile(InstallationInProgress.package()->index())) {
        QMessageBox *box = createNotEnoughDiskSpaceBox(InstallationInProgress.package()->name(),
                                                       InstallationInProgress.diskSpace());
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->exec();
    }
}

QMessageBox *TLauncherMainWindow::createNotEnoughDiskSpaceBox(const QString &PackageName,
                                                              const TDiskSpaceCheck &Space)
{
    auto *box = new QMessageBox(this);
    const TInstallationFailureText failure =
        installationFailureText(EPackageDownloaderError::NotEnoughDiskSpace, PackageName,
                                {sizeText(Space.bytesNeeded),
                                 sizeText(std::max<qint64>(0, Space.bytesFree)), Space.volume});
    box->setWindowTitle(failure.title);
    box->setIcon(QMessageBox::Warning);
    box->setTextFormat(Qt::PlainText);
    box->setText(failure.text);
    box->setStandardButtons(QMessageBox::Ok);
    box->setStyleSheet(QStringLiteral("QMessageBox { background-color: #0D0E24; }\n"
                                      "QLabel { %1 font-size: 13px; color: #DADABC; }")
                           .arg(launcherFontStyle()));
    // The button's own sheet: a message box styles its buttons before a sheet on the box reaches
    // them.
    box->button(QMessageBox::Ok)
        ->setStyleSheet(
            QStringLiteral("QPushButton { %1 font-size: 13px; color: #DADABC; min-width: 80px; "
                           "min-height: 24px; border-image: url(%2) 4 4 4 4 repeat stretch; "
                           "border-top: 4px transparent; border-left: 4px transparent; "
                           "border-bottom: 4px transparent; border-right: 4px transparent; }\n"
                           "QPushButton:hover { border-image: url(%3) 4 4 4 4 repeat stretch; }")
                .arg(launcherFontStyle(), launcherImage(QStringLiteral("Button_Blue_idle.png")),
                     launcherImage(QStringLiteral("Button_Blue_hover.png"))));
    return box;
}

void TLauncherMainWindow::setBandwidthLimiter(std::shared_ptr<::shared::TBandwidthLimiter> Limiter)
{
    if (m_downloadLimitControl || !m_aboutRow)
        return;
    m_downloadLimitControl = new TDownloadLimitControl(std::move(Limiter), this);
    // Left of the About link, where the footer has room.
    m_aboutRow->insertWidget(1, m_downloadLimitControl);
    m_aboutRow->insertSpacing(2, 12);
}

} // namespace vorna::launcher
