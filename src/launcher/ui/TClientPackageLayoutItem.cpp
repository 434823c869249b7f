#include "TClientPackageLayoutItem.h"

#include "ProgressFormatting.h"
#include "QContextPushButton.h"
#include "UiStyle.h"
#include "download/TPackageFileDownloader.h"
#include "installation/TPackageInstallation.h"
#include "packages/TPackageConfigurationReader.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>

#include <limits>

namespace vorna::launcher {

namespace {

struct TButtonLook
{
    QString colour;
    QString text;
    bool verifyEntry = false;
};

TButtonLook buttonLook(ELocalPackageStatus Status)
{
    switch (Status) {
    case ELocalPackageStatus::NotDetermined:
        return {QStringLiteral("Red"), QString(), false};
    case ELocalPackageStatus::NotInstalled:
        return {QStringLiteral("Blue"), QStringLiteral("Download"), false};
    case ELocalPackageStatus::PartiallyInstalled:
    case ELocalPackageStatus::UpdateAvailable:
        return {QStringLiteral("Orange"), QStringLiteral("Update"), false};
    case ELocalPackageStatus::UpToDate:
        break;
    }
    return {QStringLiteral("Green"), QStringLiteral("Play"), true};
}

QString buttonBorder(const QString &Colour, const char *State)
{
    return QStringLiteral("border-image: url(%1) 4 4 4 4 repeat stretch; "
                          "border-top: 4px transparent; border-left: 4px transparent; "
                          "border-bottom: 4px transparent; border-right: 4px transparent;")
        .arg(launcherImage(QStringLiteral("Button_%1_%2.png").arg(Colour, QLatin1String(State))));
}

QString buttonStyleSheet(const TButtonLook &Look)
{
    return QStringLiteral("QPushButton { %1 image: url(%2); }\n"
                          "QPushButton:hover { %3 }\n"
                          "QPushButton:pressed { %4 padding-top: 1px; padding-left: 1px; "
                          "padding-bottom: -1px; padding-right: -1px; }\n"
                          "QToolTip { %5 border: 1px solid black; background: #c0c0c0; "
                          "padding: 1px; font-size: 11px; color: #3F3F3F; }")
        .arg(buttonBorder(Look.colour, "idle"),
             launcherImage(QStringLiteral("Icon_%1.png").arg(Look.text)),
             buttonBorder(Look.colour, "hover"), buttonBorder(Look.colour, "pressed"),
             launcherFontStyle());
}

QSize imageSize(const QString &Name, QSize Fallback)
{
    const QPixmap pixmap(launcherImage(Name));
    return pixmap.isNull() ? Fallback : pixmap.size();
}

int clampToInt(qint64 Value)
{
    return static_cast<int>(qBound<qint64>(0, Value, std::numeric_limits<int>::max()));
}

QString logoWord(const TPackageConfigurationReader *Configuration)
{
    if (!Configuration)
        return QStringLiteral("QT");
    if (Configuration->generation() == EGeneration::First)
        return QStringLiteral("Classic");
    switch (Configuration->variant()) {
    case EVariant::Preview:
        return QStringLiteral("Preview");
    case EVariant::Beta:
        return QStringLiteral("Beta");
    case EVariant::Test:
        return QStringLiteral("Test");
    default:
        return QStringLiteral("QT");
    }
}

} // namespace

TClientPackageLayoutItem::TClientPackageLayoutItem(std::shared_ptr<TPackage> Package,
                                                   bool ShowPackageNames)
    : m_package(std::move(Package))
{
    m_logoLabel = new QLabel;
    m_logoLabel->setFixedSize(imageSize(QStringLiteral("LauncherLogo_QT.png"), QSize(196, 152)));
    updatePackageImageFromPackageStatus();

    m_panel = new QGroupBox;
    auto *panelLayout = new QVBoxLayout(m_panel);

    m_button = new QContextPushButton;
    m_button->setFixedSize(imageSize(QStringLiteral("Button_Blue_idle.png"), QSize(98, 40)));
    updateButtonFromPackageStatus();

    m_progressBar = new QProgressBar;
    m_progressBar->setFixedSize(m_button->size());
    m_progressBar->setRange(0, 100);
    m_progressBar->setValue(0);
    m_progressBar->setTextVisible(true);
    m_progressBar->setStyleSheet(
        QStringLiteral("QProgressBar { border-image: url(%1); %2 font-size: 13px; color: #DADABC; "
                       "text-align: center; border-top: 2px; border-left: 2px; "
                       "border-bottom: 2px; border-right: 2px; }\n"
                       "QProgressBar::chunk { border-image: url(%3); }")
            .arg(launcherImage(QStringLiteral("ProgressBar_BG.png")), launcherFontStyle(),
                 launcherImage(QStringLiteral("ProgressBar.png"))));

    const QString labelStyle =
        QStringLiteral("QLabel { %1 font-size: 13px; color: #DADABC; }").arg(launcherFontStyle());
    if (ShowPackageNames) {
        m_nameLabel = new QLabel;
        m_nameLabel->setStyleSheet(labelStyle);
    }
    m_versionLabel = new QLabel;
    m_versionLabel->setStyleSheet(labelStyle);
    updatePackageNameAndVersion();

    m_defaultCheckBox = new QCheckBox(QStringLiteral("Default Client"));
    QSizePolicy checkBoxPolicy = m_defaultCheckBox->sizePolicy();
    checkBoxPolicy.setRetainSizeWhenHidden(true);
    m_defaultCheckBox->setSizePolicy(checkBoxPolicy);
    m_defaultCheckBox->setStyleSheet(
        QStringLiteral("QCheckBox { %1 font-size: 13px; color: #DADABC; }\n"
                       "QCheckBox::indicator:unchecked { image: url(%2); }\n"
                       "QCheckBox::indicator:checked { image: url(%3); }")
            .arg(launcherFontStyle(), launcherImage(QStringLiteral("checkbox-unchecked.png")),
                 launcherImage(QStringLiteral("checkbox-checked.png"))));

    m_panel->setAlignment(Qt::AlignHCenter);
    m_panel->setStyleSheet(
        QStringLiteral("QGroupBox { border-image: url(%1) 16 16 16 16 repeat repeat; "
                       "border-top: 16px transparent; border-left: 16px transparent; "
                       "border-bottom: 16px transparent; border-right: 16px transparent; "
                       "background-attachment: fixed; padding-top: -6px; padding-left: -2px; "
                       "padding-bottom: -8px; padding-right: -2px; }")
            .arg(launcherImage(QStringLiteral("clientpackage-background.png"))));
    panelLayout->setSpacing(0);
    panelLayout->addWidget(m_progressBar, 0, Qt::AlignHCenter);
    panelLayout->addWidget(m_button, 0, Qt::AlignHCenter);
    panelLayout->addSpacing(6);
    if (m_nameLabel)
        panelLayout->addWidget(m_nameLabel, 0, Qt::AlignHCenter);
    panelLayout->addWidget(m_versionLabel, 0, Qt::AlignHCenter);
    panelLayout->addWidget(m_defaultCheckBox, 0, Qt::AlignHCenter);
    panelLayout->addWidget(createDownloadControls(), 0, Qt::AlignHCenter);

    addWidget(m_logoLabel, 0, Qt::AlignHCenter | Qt::AlignTop);
    addSpacing(6);
    addWidget(m_panel, 0, Qt::AlignHCenter | Qt::AlignTop);

    connect(m_button, &QPushButton::clicked, this, [this] { emit buttonClicked(m_package); });
    connect(m_button, &QContextPushButton::contextTriggered, this,
            [this] { emit verifyButtonClicked(m_package); });
    connect(m_defaultCheckBox, &QCheckBox::stateChanged, this,
            &TClientPackageLayoutItem::onCheckBoxStateChanged);
    connect(m_package.get(), &TPackage::localPackageStatusChanged, this,
            &TClientPackageLayoutItem::onLocalPackageStatusChanged);

    m_progressBar->setVisible(false);
    m_button->setVisible(true);
    m_downloadControls->setVisible(false);
    updateDefaultClientCheckboxFromPackageStatus();
}

QWidget *TClientPackageLayoutItem::createDownloadControls()
{
    m_downloadControls = new QWidget;
    auto *layout = new QHBoxLayout(m_downloadControls);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(8);
    m_timeLeftLabel = new QLabel;
    m_timeLeftLabel->setStyleSheet(
        QStringLiteral("QLabel { %1 font-size: 11px; color: #DADABC; }").arg(launcherFontStyle()));
    m_pauseButton = new QPushButton(QStringLiteral("Pause"));
    m_pauseButton->setCursor(Qt::PointingHandCursor);
    m_pauseButton->setFlat(true);
    m_pauseButton->setStyleSheet(
        QStringLiteral("QPushButton { %1 font-size: 11px; color: #DADABC; background: transparent; "
                       "border: none; padding: 0px; text-decoration: underline; }\n"
                       "QPushButton:hover { color: #FFFFFF; }")
            .arg(launcherFontStyle()));
    layout->addWidget(m_timeLeftLabel);
    layout->addWidget(m_pauseButton);
    connect(m_pauseButton, &QPushButton::clicked, this,
            [this] { emit pauseRequested(m_package, !m_paused); });
    return m_downloadControls;
}

// The controls take the place of the "Default Client" check box, which an installing package
// never shows, so the tile keeps its height.
void TClientPackageLayoutItem::showDownloadControls(bool Visible)
{
    QSizePolicy checkBoxPolicy = m_defaultCheckBox->sizePolicy();
    checkBoxPolicy.setRetainSizeWhenHidden(!Visible);
    m_defaultCheckBox->setSizePolicy(checkBoxPolicy);
    if (Visible)
        m_defaultCheckBox->setVisible(false);
    m_downloadControls->setVisible(Visible);
}

void TClientPackageLayoutItem::showPaused(bool Paused)
{
    m_paused = Paused;
    m_pauseButton->setText(Paused ? QStringLiteral("Resume") : QStringLiteral("Pause"));
    m_timeLeft.reset();
    m_timeLeftLabel->clear();
    m_timeLeftLabel->setVisible(!Paused);
    if (Paused)
        m_progressBar->setFormat(QStringLiteral("Paused"));
    showDownloadControls(true);
}

TClientPackageLayoutItem::~TClientPackageLayoutItem() = default;

void TClientPackageLayoutItem::onCheckBoxStateChanged(int State)
{
    if (State == Qt::Unchecked)
        emit defaultChanged(m_package, false);
    else if (State == Qt::Checked)
        emit defaultChanged(m_package, true);
}

void TClientPackageLayoutItem::startProgress(qint64 Maximum, qint64 Value)
{
    // A bar whose maximum is 0 turns into Qt's busy indicator; an empty download has nothing to
    // animate, so it gets the ordinary range instead.
    const int maximum = Maximum > 0 ? clampToInt(Maximum) : ProgressBarMaximum;
    m_progressBar->setMaximum(maximum);
    m_progressBar->setValue(qMin(clampToInt(Value), maximum));
    m_progressBar->setFormat(QString());
    m_button->setVisible(false);
    m_progressBar->setVisible(true);
}

void TClientPackageLayoutItem::showPhaseProgress(const QString &Word, qint64 Done, qint64 Total)
{
    showDownloadControls(false);
    m_progressBar->setMaximum(ProgressBarMaximum);
    m_progressBar->setValue(progressBarValue(Done, Total));
    m_progressBar->setFormat(Word);
    m_versionLabel->setText(megabytesText(Done, Total));
}

void TClientPackageLayoutItem::showDownloadProgress(qint64 Downloaded, qint64 TotalToDownload,
                                                    qint64 Written, qint64 TotalToWrite,
                                                    quint64 BytesPerSecond)
{
    m_progressBar->setMaximum(ProgressBarMaximum);
    const qint64 elapsed = m_sinceLastTick.isValid() ? m_sinceLastTick.restart() : 0;
    if (!m_sinceLastTick.isValid())
        m_sinceLastTick.start();
    if (Downloaded < TotalToDownload) {
        m_progressBar->setValue(progressBarValue(Downloaded, TotalToDownload));
        m_versionLabel->setText(megabytesText(Downloaded, TotalToDownload));
        if (m_downloadControls->isHidden())
            showDownloadControls(true);
        if (m_paused) {
            m_progressBar->setFormat(QStringLiteral("Paused"));
            return;
        }
        m_progressBar->setFormat(speedText(BytesPerSecond));
        m_timeLeftLabel->setText(timeLeftText(m_timeLeft.update(
            TotalToDownload - Downloaded, static_cast<double>(BytesPerSecond), elapsed)));
    } else {
        showDownloadControls(false);
        m_progressBar->setValue(progressBarValue(Written, TotalToWrite));
        m_progressBar->setFormat(QStringLiteral("Writing..."));
        m_versionLabel->setText(megabytesText(Written, TotalToWrite));
    }
}

void TClientPackageLayoutItem::onInstallationOrUpdateStarted(
    const TPackageInstallation &InstallationInProgress)
{
    followInstallation(InstallationInProgress);
    m_button->setVisible(false);
    m_progressBar->setVisible(true);
}

void TClientPackageLayoutItem::onInstallationOrUpdateFinished(const TPackageInstallation &)
{
    resetAfterInstallation();
}

void TClientPackageLayoutItem::resetAfterInstallation()
{
    showDownloadControls(false);
    m_paused = false;
    m_pauseButton->setText(QStringLiteral("Pause"));
    m_timeLeft.reset();
    m_sinceLastTick.invalidate();
    m_timeLeftLabel->clear();
    m_timeLeftLabel->setVisible(true);
    updateDefaultClientCheckboxFromPackageStatus();
    m_progressBar->setVisible(false);
    m_button->setVisible(true);
    m_progressBar->setValue(0);
    updatePackageImageFromPackageStatus();
    updateButtonFromPackageStatus();
    updatePackageNameAndVersion();
}

void TClientPackageLayoutItem::onLocalPackageStatusChanged()
{
    updatePackageImageFromPackageStatus();
    updateButtonFromPackageStatus();
    updatePackageNameAndVersion();
    updateDefaultClientCheckboxFromPackageStatus();
}

void TClientPackageLayoutItem::updatePackageNameAndVersion()
{
    if (m_nameLabel)
        m_nameLabel->setText(m_package->name());
    const TPackageConfigurationReader *configuration = m_package->configurationForRunningPlatform();
    if (!configuration) {
        m_versionLabel->clear();
        return;
    }
    const QString version = configuration->packageVersion();
    m_versionLabel->setText(version.isEmpty() ? QStringLiteral("?") : version);
}

void TClientPackageLayoutItem::updatePackageImageFromPackageStatus()
{
    const bool upToDate = m_package->localPackageStatus() == ELocalPackageStatus::UpToDate;
    const QString path =
        launcherImage(QStringLiteral("CorvaneLogo_%1%2.png")
                          .arg(logoWord(m_package->configurationForRunningPlatform()),
                               upToDate ? QString() : QStringLiteral("_disabled")));
    const QUrl &target = m_package->logoLinkTarget();
    if (target.isEmpty()) {
        m_logoLabel->setStyleSheet(QStringLiteral("QLabel { image: url(%1); }").arg(path));
    } else {
        m_logoLabel->setTextFormat(Qt::RichText);
        m_logoLabel->setText(QStringLiteral("<a href=\"%1\"><img src=\"%2\"/></a>")
                                 .arg(target.toString().toHtmlEscaped(), path));
        m_logoLabel->setOpenExternalLinks(true);
    }
    m_logoLabel->setToolTip(m_package->name());
}

void TClientPackageLayoutItem::updateButtonFromPackageStatus()
{
    const TButtonLook look = buttonLook(m_package->localPackageStatus());
    QMenu *menu = m_button->contextMenu();
    // The actions belong to the button, so clearing the menu alone would pile them up.
    const QList<QAction *> oldActions = menu->actions();
    menu->clear();
    qDeleteAll(oldActions);
    if (look.verifyEntry)
        menu->addAction(new QAction(QStringLiteral("Verify"), m_button));
    m_button->setToolTip(look.text);
    m_button->setFixedSize(98, 40);
    m_button->setStyleSheet(buttonStyleSheet(look));
}

void TClientPackageLayoutItem::updateDefaultClientCheckboxFromPackageStatus()
{
    m_defaultCheckBox->setVisible(m_package->localPackageStatus() == ELocalPackageStatus::UpToDate);
}

// The installation's objects are the senders, so these connections end with them.
void TClientPackageLayoutItem::followInstallation(
    const TPackageInstallation &InstallationInProgress)
{
    const TPackageFileDownloader *downloader = InstallationInProgress.downloader();
    qint64 total = 0;
    for (const TChunkToDownload &chunk : downloader->allChunks())
        total += static_cast<qint64>(chunk.packedSize);
    // A fresh installation has not downloaded anything yet.
    startProgress(total, 0);

    // Scan and verification progress comes from worker threads.
    connect(
        &InstallationInProgress, &TPackageInstallation::scanProgress, this,
        [this](TFileSize Done, TFileSize Total) {
            showPhaseProgress(QStringLiteral("Scanning..."), Done, Total);
        },
        Qt::QueuedConnection);
    connect(
        &InstallationInProgress, &TPackageInstallation::writeProgress, this,
        [this](TFileSize Done, TFileSize Total) {
            showPhaseProgress(QStringLiteral("Writing..."), Done, Total);
        },
        Qt::QueuedConnection);
    connect(
        &InstallationInProgress, &TPackageInstallation::verificationProgress, this,
        [this](TFileSize Done, TFileSize Total) {
            showPhaseProgress(QStringLiteral("Verifying..."), Done, Total);
        },
        Qt::QueuedConnection);
    connect(&InstallationInProgress, &TPackageInstallation::pausedChanged, this,
            &TClientPackageLayoutItem::showPaused);
    connect(downloader, &TPackageFileDownloader::progress, this,
            [this, downloader](TFileSize Downloaded, TFileSize TotalToDownload, TFileSize Written,
                               TFileSize TotalToWrite) {
                const TRunningStatistics &statistics = downloader->downloadStatistics();
                showDownloadProgress(Downloaded, TotalToDownload, Written, TotalToWrite,
                                     bytesPerSecond(statistics.count, statistics.mean));
            });
}

} // namespace vorna::launcher
