#include "ArtworkPreview.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QMainWindow>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTextBrowser>
#include <QVBoxLayout>

namespace {

const QString fontRule = QStringLiteral(
    "font-family: \"Liberation Sans\"; font-variant: small-caps; font-weight: bold;");

QString buttonSheet(const QString &Directory, const QString &Colour, const QString &State,
                    const QString &Icon)
{
    return QStringLiteral("QPushButton { border-image: url(%1/Button_%2_%3.png) 4 4 4 4 repeat "
                          "scale; border: 4px transparent; image: url(%1/Icon_%4.png); }")
        .arg(Directory, Colour, State, Icon);
}

QWidget *tile(QWidget *Parent, const QString &Directory, bool Enabled, const QString &Colour,
              const QString &Icon, int Progress)
{
    auto *tileWidget = new QWidget(Parent);
    auto *layout = new QVBoxLayout(tileWidget);
    layout->setContentsMargins(0, 0, 0, 0);
    auto *logo = new QLabel(tileWidget);
    logo->setFixedSize(196, 152);
    logo->setStyleSheet(QStringLiteral("QLabel { image: url(%1/CorvaneLogo_QT%2.png); }")
                            .arg(Directory, Enabled ? QString() : QStringLiteral("_disabled")));
    layout->addWidget(logo, 0, Qt::AlignHCenter | Qt::AlignTop);
    layout->addSpacing(6);

    auto *panel = new QGroupBox(tileWidget);
    panel->setStyleSheet(
        QStringLiteral("QGroupBox { border-image: url(%1/clientpackage-background.png) 16 16 16 16 "
                       "repeat repeat; border: 16px transparent; padding-top: -6px; "
                       "padding-left: -2px; padding-bottom: -8px; padding-right: -2px; }")
            .arg(Directory));
    auto *panelLayout = new QVBoxLayout(panel);
    panelLayout->setSpacing(0);
    if (Progress >= 0) {
        auto *bar = new QProgressBar(panel);
        bar->setFixedSize(98, 40);
        bar->setRange(0, 100);
        bar->setValue(Progress);
        bar->setFormat(QStringLiteral("1.2 MB/s"));
        bar->setStyleSheet(
            QStringLiteral("QProgressBar { border-image: url(%1/ProgressBar_BG.png); %2 "
                           "font-size: 13px; color: #DADABC; text-align: center; border: 2px; } "
                           "QProgressBar::chunk { border-image: url(%1/ProgressBar.png); }")
                .arg(Directory, fontRule));
        panelLayout->addWidget(bar, 0, Qt::AlignHCenter);
    } else {
        auto *button = new QPushButton(panel);
        button->setFixedSize(98, 40);
        button->setStyleSheet(buttonSheet(Directory, Colour, QStringLiteral("idle"), Icon));
        panelLayout->addWidget(button, 0, Qt::AlignHCenter);
    }
    panelLayout->addSpacing(6);
    const QString labelSheet =
        QStringLiteral("QLabel, QCheckBox { %1 font-size: 13px; color: #DADABC; }").arg(fontRule);
    auto *version =
        new QLabel(Progress >= 0 ? QStringLiteral("12.4/80.0 MB") : QStringLiteral("1.0.3"), panel);
    version->setStyleSheet(labelSheet);
    panelLayout->addWidget(version, 0, Qt::AlignHCenter);
    auto *check = new QCheckBox(QStringLiteral("Default Client"), panel);
    check->setChecked(Enabled);
    check->setStyleSheet(labelSheet + QStringLiteral(" QCheckBox::indicator:unchecked { image: "
                                                     "url(%1/checkbox-unchecked.png); } "
                                                     "QCheckBox::indicator:checked { image: "
                                                     "url(%1/checkbox-checked.png); }")
                                          .arg(Directory));
    panelLayout->addWidget(check, 0, Qt::AlignHCenter);
    layout->addWidget(panel, 0, Qt::AlignHCenter | Qt::AlignTop);
    return tileWidget;
}

QWidget *hintBrowser(QWidget *Parent, const QString &Directory)
{
    auto *browser = new QTextBrowser(Parent);
    browser->setFixedSize(280, 104);
    browser->setText(QStringLiteral(
        "<p>The winter festival begins at the Bronze Gate. Gather frost lilies and trade them for "
        "lanterns, capes and a raven companion.</p><p>Servers restart at dawn.</p>"
        "<p>New quests wait in the Hollow Marches for heroes of level 30 and above.</p>"));
    browser->setStyleSheet(
        QStringLiteral("QTextBrowser { %1 font-size: 11px; color: #DADABC; "
                       "border-style: none; background: rgba(20, 16, 40, 120); }")
            .arg(fontRule));
    browser->verticalScrollBar()->setStyleSheet(
        QStringLiteral(
            "QScrollBar:vertical { border-image: url(%1/scrollbar-texture-vertical.png) 0 0 0 0 "
            "repeat; border: 0px; background: none; width: 12px; margin: 12px 0 12px 0; } "
            "QScrollBar::handle:vertical { border-image: url(%1/scrollbar-handle-vertical.png) 6 "
            "6 6 6; border: 6px transparent; min-height: 12px; } "
            "QScrollBar::add-line:vertical { border: 0px; background: none; height: 12px; "
            "subcontrol-position: bottom; subcontrol-origin: margin; } "
            "QScrollBar::sub-line:vertical { border: 0px; background: none; height: 12px; "
            "subcontrol-position: top; subcontrol-origin: margin; } "
            "QScrollBar::up-arrow:vertical { image: url(%1/scrollbar-buttonup-up.png); } "
            "QScrollBar::down-arrow:vertical { image: url(%1/scrollbar-buttondown-up.png); } "
            "QScrollBar::add-page:vertical, QScrollBar::sub-page:vertical { background: none; }")
            .arg(Directory));
    return browser;
}

QImage mainWindow(const QString &Directory)
{
    QMainWindow window;
    window.setAttribute(Qt::WA_DontShowOnScreen);
    window.setFixedSize(800, 450);
    window.setStyleSheet(QStringLiteral("QMainWindow { border-image: url(%1/BackgroundImage.jpg) 0 "
                                        "0 450 0; border: 0px transparent; "
                                        "border-bottom: 450px transparent; }")
                             .arg(Directory));
    auto *central = new QWidget(&window);
    auto *mainLayout = new QVBoxLayout(central);
    mainLayout->setSpacing(11);
    auto *tileRow = new QHBoxLayout;
    tileRow->addStretch(1);
    auto *grid = new QGridLayout;
    grid->addWidget(
        tile(central, Directory, true, QStringLiteral("Green"), QStringLiteral("Play"), -1), 0, 0);
    grid->addWidget(
        tile(central, Directory, false, QStringLiteral("Blue"), QStringLiteral("Download"), -1), 0,
        1);
    grid->addWidget(
        tile(central, Directory, false, QStringLiteral("Orange"), QStringLiteral("Update"), 45), 0,
        2);
    tileRow->addLayout(grid);
    tileRow->addStretch(1);
    mainLayout->addLayout(tileRow);
    mainLayout->addStretch(1);

    auto *footer = new QGroupBox(central);
    footer->setMinimumWidth(780);
    footer->setMaximumWidth(790);
    footer->setStyleSheet(
        QStringLiteral("QGroupBox { border-image: url(%1/hint-background.png) 5 5 0 5 repeat; "
                       "border: 5px transparent; border-bottom: 0px; %2 font-size: 11px; "
                       "color: #DADABC; } QLabel { %2 font-size: 11px; color: #DADABC; }")
            .arg(Directory, fontRule));
    auto *footerLayout = new QVBoxLayout(footer);
    footerLayout->setContentsMargins(6, 6, 6, 2);
    auto *hints = new QHBoxLayout;
    for (int i = 0; i < 3; ++i)
        hints->addWidget(hintBrowser(footer, Directory));
    footerLayout->addLayout(hints);
    auto *bottomRow = new QHBoxLayout;
    auto *maker = new QLabel(footer);
    maker->setPixmap(QPixmap(Directory + QStringLiteral("/KelmontLogo.png")));
    bottomRow->addWidget(maker);
    bottomRow->addStretch(1);
    auto *about = new QLabel(footer);
    about->setPixmap(QPixmap(Directory + QStringLiteral("/icircle.png")));
    bottomRow->addWidget(about);
    bottomRow->addWidget(new QLabel(QStringLiteral("v0.0.7"), footer));
    bottomRow->addStretch(1);
    for (const char *name : {"Twitter", "Discord"}) {
        auto *social = new QLabel(footer);
        social->setPixmap(QPixmap(Directory + QStringLiteral("/%1.png").arg(QLatin1String(name))));
        bottomRow->addWidget(social);
    }
    footerLayout->addLayout(bottomRow);
    mainLayout->addWidget(footer, 0, Qt::AlignHCenter);
    window.setCentralWidget(central);
    window.show();
    QApplication::processEvents();
    return window.grab().toImage();
}

// Every button colour and state at the size the launcher uses, and the three splash screens.
QImage partsSheet(const QString &Directory)
{
    QWidget sheet;
    sheet.setAttribute(Qt::WA_DontShowOnScreen);
    sheet.setFixedSize(800, 340);
    sheet.setStyleSheet(QStringLiteral("background: #1a1530;"));
    auto *layout = new QGridLayout(&sheet);
    const QString colours[] = {QStringLiteral("Red"), QStringLiteral("Blue"),
                               QStringLiteral("Orange"), QStringLiteral("Green")};
    const QString icons[] = {QString(), QStringLiteral("Download"), QStringLiteral("Update"),
                             QStringLiteral("Play")};
    const QString states[] = {QStringLiteral("idle"), QStringLiteral("hover"),
                              QStringLiteral("pressed")};
    for (int c = 0; c < 4; ++c) {
        for (int s = 0; s < 3; ++s) {
            auto *button = new QPushButton(&sheet);
            button->setFixedSize(98, 40);
            button->setStyleSheet(buttonSheet(Directory, colours[c], states[s], icons[c]));
            layout->addWidget(button, s, c);
        }
    }
    const QString splashes[] = {QStringLiteral("LauncherLogo_QT"),
                                QStringLiteral("LauncherLogo_UpdatingLauncher"),
                                QStringLiteral("CorvaneLogo_LaunchingClient")};
    auto *splashRow = new QHBoxLayout;
    for (const QString &splash : splashes) {
        auto *label = new QLabel(&sheet);
        label->setPixmap(QPixmap(Directory + QLatin1Char('/') + splash + QStringLiteral(".png")));
        splashRow->addWidget(label);
    }
    layout->addLayout(splashRow, 3, 0, 1, 4);
    sheet.show();
    QApplication::processEvents();
    return sheet.grab().toImage();
}

} // namespace

QImage ArtworkPreview::render(const QString &Directory)
{
    const QString directory = QDir(Directory).absolutePath();
    const QImage window = mainWindow(directory);
    const QImage parts = partsSheet(directory);
    QImage result(800, window.height() + parts.height(), QImage::Format_RGB32);
    result.fill(Qt::black);
    QPainter painter(&result);
    painter.drawImage(0, 0, window);
    painter.drawImage(0, window.height(), parts);
    return result;
}
