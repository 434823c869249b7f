#include "UiTestPackages.h"
#include "ui/ProgressFormatting.h"
#include "ui/QContextPushButton.h"
#include "ui/TClientPackageLayoutItem.h"
#include "ui/TTimeLeftEstimate.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QContextMenuEvent>
#include <QLabel>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>

using vorna::launcher::ELocalPackageStatus;
using vorna::launcher::TClientPackageLayoutItem;

Q_DECLARE_METATYPE(ELocalPackageStatus)

namespace {

// A tile installed on a widget, as the main window's grid does it.
struct TTileHost
{
    explicit TTileHost(const uitest::TPackageOutline &Outline, bool ShowNames = false)
        : package(uitest::makePackage(Outline)),
          tile(new TClientPackageLayoutItem(package, ShowNames))
    {
        host.setLayout(tile);
        host.show();
    }

    std::shared_ptr<vorna::launcher::TPackage> package;
    QWidget host;
    TClientPackageLayoutItem *tile;
};

uitest::TPackageOutline withStatus(ELocalPackageStatus Status)
{
    uitest::TPackageOutline outline;
    outline.status = Status;
    return outline;
}

} // namespace

class TestClientPackageTile final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { Q_INIT_RESOURCE(resources); }

    void buttonFollowsStatus_data()
    {
        QTest::addColumn<ELocalPackageStatus>("status");
        QTest::addColumn<QString>("tooltip");
        QTest::addColumn<QString>("colour");
        QTest::addColumn<QStringList>("menu");
        QTest::addColumn<bool>("checkBoxVisible");

        QTest::newRow("not determined") << ELocalPackageStatus::NotDetermined << QString()
                                        << QStringLiteral("Red") << QStringList() << false;
        QTest::newRow("not installed")
            << ELocalPackageStatus::NotInstalled << QStringLiteral("Download")
            << QStringLiteral("Blue") << QStringList() << false;
        QTest::newRow("partially installed")
            << ELocalPackageStatus::PartiallyInstalled << QStringLiteral("Update")
            << QStringLiteral("Orange") << QStringList() << false;
        QTest::newRow("update available")
            << ELocalPackageStatus::UpdateAvailable << QStringLiteral("Update")
            << QStringLiteral("Orange") << QStringList() << false;
        QTest::newRow("up to date")
            << ELocalPackageStatus::UpToDate << QStringLiteral("Play") << QStringLiteral("Green")
            << QStringList{QStringLiteral("Verify")} << true;
    }

    void buttonFollowsStatus()
    {
        QFETCH(ELocalPackageStatus, status);
        QFETCH(QString, tooltip);
        QFETCH(QString, colour);
        QFETCH(QStringList, menu);
        QFETCH(bool, checkBoxVisible);

        // Start from another status so that the change signal does the refresh.
        TTileHost host(withStatus(status == ELocalPackageStatus::NotInstalled
                                      ? ELocalPackageStatus::UpToDate
                                      : ELocalPackageStatus::NotInstalled));
        host.package->setLocalPackageStatus(status);

        QContextPushButton *button = host.tile->button();
        QCOMPARE(button->toolTip(), tooltip);
        QVERIFY(button->text().isEmpty());
        QVERIFY(button->styleSheet().contains(QStringLiteral("Button_%1_idle.png").arg(colour)));
        QVERIFY(button->styleSheet().contains(QStringLiteral("Icon_%1.png").arg(tooltip)));
        QCOMPARE(button->size(), QSize(98, 40));
        QStringList entries;
        for (const QAction *action : button->contextMenu()->actions())
            entries << action->text();
        QCOMPARE(entries, menu);
        QCOMPARE(host.tile->defaultCheckBox()->isVisible(), checkBoxVisible);
        QVERIFY(button->isVisible());
        QVERIFY(!host.tile->progressBar()->isVisible());
    }

    void verifyEntryEmitsVerifyButtonClicked()
    {
        TTileHost host(withStatus(ELocalPackageStatus::UpToDate));
        uitest::TPackageSignalRecorder verify(host.tile,
                                              &TClientPackageLayoutItem::verifyButtonClicked);
        uitest::TPackageSignalRecorder clicked(host.tile, &TClientPackageLayoutItem::buttonClicked);
        host.tile->button()->contextMenu()->actions().at(0)->trigger();
        QCOMPARE(verify.count(), 1);
        QCOMPARE(verify.packages.at(0), host.package);
        QCOMPARE(clicked.count(), 0);

        QTest::mouseClick(host.tile->button(), Qt::LeftButton);
        QCOMPARE(clicked.count(), 1);
    }

    void rightClickOnDownloadOpensNoMenu()
    {
        TTileHost host(withStatus(ELocalPackageStatus::NotInstalled));
        QContextPushButton *button = host.tile->button();
        QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(5, 5),
                                button->mapToGlobal(QPoint(5, 5)));
        QApplication::sendEvent(button, &event);
        QVERIFY(!button->contextMenu()->isVisible());

        host.package->setLocalPackageStatus(ELocalPackageStatus::UpToDate);
        QApplication::sendEvent(button, &event);
        QTRY_VERIFY(button->contextMenu()->isVisible());
        button->contextMenu()->hide();
    }

    void downloadProgress_data()
    {
        QTest::addColumn<qint64>("downloaded");
        QTest::addColumn<qint64>("totalToDownload");
        QTest::addColumn<qint64>("written");
        QTest::addColumn<qint64>("totalToWrite");
        QTest::addColumn<quint64>("speed");
        QTest::addColumn<int>("value");
        QTest::addColumn<QString>("format");
        QTest::addColumn<QString>("label");
        QTest::addColumn<bool>("paused");

        QTest::newRow("three tenths")
            << qint64(300000) << qint64(1000000) << qint64(0) << qint64(5000000) << quint64(0)
            << 3000 << QStringLiteral("0 B/s") << QStringLiteral("0.3/1.0 MB") << false;
        QTest::newRow("1024 B/s stays bytes")
            << qint64(1) << qint64(2) << qint64(0) << qint64(2) << quint64(1024) << 5000
            << QStringLiteral("1024 B/s") << QStringLiteral("0.0/0.0 MB") << false;
        QTest::newRow("1025 B/s reads kilobytes")
            << qint64(1) << qint64(2) << qint64(0) << qint64(2) << quint64(1025) << 5000
            << QStringLiteral("1.0 KB/s") << QStringLiteral("0.0/0.0 MB") << false;
        QTest::newRow("1048576 B/s stays kilobytes")
            << qint64(1) << qint64(2) << qint64(0) << qint64(2) << quint64(1048576) << 5000
            << QStringLiteral("1048.6 KB/s") << QStringLiteral("0.0/0.0 MB") << false;
        QTest::newRow("1048577 B/s reads megabytes")
            << qint64(1) << qint64(2) << qint64(0) << qint64(2) << quint64(1048577) << 5000
            << QStringLiteral("1.0 MB/s") << QStringLiteral("0.0/0.0 MB") << false;
        QTest::newRow("above 2^30 reads gigabytes")
            << qint64(1) << qint64(2) << qint64(0) << qint64(2) << quint64(1073741825) << 5000
            << QStringLiteral("1.1 GB/s") << QStringLiteral("0.0/0.0 MB") << false;
        QTest::newRow("downloaded switches to writing")
            << qint64(1000000) << qint64(1000000) << qint64(2500000) << qint64(10000000)
            << quint64(4096) << 2500 << QStringLiteral("Writing...")
            << QStringLiteral("2.5/10.0 MB") << false;
        QTest::newRow("zero totals stay in range")
            << qint64(0) << qint64(0) << qint64(0) << qint64(0) << quint64(0) << 0
            << QStringLiteral("Writing...") << QStringLiteral("0.0/0.0 MB") << false;
        QTest::newRow("written beyond total stays in range")
            << qint64(10) << qint64(10) << qint64(30) << qint64(20) << quint64(0) << 10000
            << QStringLiteral("Writing...") << QStringLiteral("0.0/0.0 MB") << false;
        QTest::newRow("paused keeps the progress and says so")
            << qint64(300000) << qint64(1000000) << qint64(0) << qint64(5000000) << quint64(250000)
            << 3000 << QStringLiteral("Paused") << QStringLiteral("0.3/1.0 MB") << true;
    }

    void downloadProgress()
    {
        QFETCH(qint64, downloaded);
        QFETCH(qint64, totalToDownload);
        QFETCH(qint64, written);
        QFETCH(qint64, totalToWrite);
        QFETCH(quint64, speed);
        QFETCH(int, value);
        QFETCH(QString, format);
        QFETCH(QString, label);
        QFETCH(bool, paused);

        TTileHost host(withStatus(ELocalPackageStatus::NotInstalled));
        host.tile->startProgress(totalToDownload, 0);
        QVERIFY(!host.tile->button()->isVisible());
        QVERIFY(host.tile->progressBar()->isVisible());
        if (paused)
            host.tile->showPaused(true);
        host.tile->showDownloadProgress(downloaded, totalToDownload, written, totalToWrite, speed);
        QProgressBar *bar = host.tile->progressBar();
        QCOMPARE(bar->maximum(), 10000);
        QCOMPARE(bar->value(), value);
        QCOMPARE(bar->format(), format);
        QCOMPARE(host.tile->versionLabel()->text(), label);
        // Pause or Resume is offered exactly while bytes are still to come.
        QCOMPARE(host.tile->pauseButton()->isVisible(), downloaded < totalToDownload);
        QCOMPARE(host.tile->pauseButton()->text(),
                 paused ? QStringLiteral("Resume") : QStringLiteral("Pause"));
    }

    // Remaining bytes and rate on each one-second tick, and the seconds the tile shows after it.
    void timeLeft_data()
    {
        QTest::addColumn<QList<qint64>>("remaining");
        QTest::addColumn<QList<qint64>>("rate");
        QTest::addColumn<QList<qint64>>("shown");
        const qint64 MB = 1000000;
        QTest::newRow("steady rate counts down second by second")
            << QList<qint64>{100 * MB, 90 * MB, 80 * MB, 70 * MB}
            << QList<qint64>{10 * MB, 10 * MB, 10 * MB, 10 * MB} << QList<qint64>{10, 9, 8, 7};
        QTest::newRow("jitter of the rate does not move it")
            << QList<qint64>{100 * MB, 90 * MB, 80 * MB, 70 * MB}
            << QList<qint64>{10 * MB, 11 * MB, 9 * MB, 10500000} << QList<qint64>{10, 9, 8, 7};
        QTest::newRow("halved rate raises it step by step, not at once")
            << QList<qint64>{100 * MB, 95 * MB, 90 * MB, 85 * MB, 80 * MB}
            << QList<qint64>{10 * MB, 5 * MB, 5 * MB, 5 * MB, 5 * MB}
            << QList<qint64>{10, 9, 10, 11, 11};
        QTest::newRow("no rate yet tells nothing")
            << QList<qint64>{100 * MB, 100 * MB} << QList<qint64>{0, 0} << QList<qint64>{-1, -1};
        QTest::newRow("done is zero")
            << QList<qint64>{10 * MB, 0} << QList<qint64>{MB, MB} << QList<qint64>{10, 0};
    }

    void timeLeft()
    {
        QFETCH(QList<qint64>, remaining);
        QFETCH(QList<qint64>, rate);
        QFETCH(QList<qint64>, shown);
        vorna::launcher::TTimeLeftEstimate estimate;
        QList<qint64> seconds;
        for (int tick = 0; tick < remaining.size(); ++tick)
            seconds << estimate.update(remaining[tick], double(rate[tick]), 1000);
        QCOMPARE(seconds, shown);
        QCOMPARE(vorna::launcher::timeLeftText(shown.constLast()).isEmpty(), shown.constLast() < 0);
    }

    void phaseProgressWithZeroTotalStaysInRange()
    {
        TTileHost host(withStatus(ELocalPackageStatus::UpdateAvailable));
        host.tile->startProgress(0, 0);
        // A maximum of 0 would turn the bar into a busy indicator.
        QVERIFY(host.tile->progressBar()->maximum() > 0);
        host.tile->showPhaseProgress(QStringLiteral("Scanning..."), 0, 0);
        QCOMPARE(host.tile->progressBar()->value(), 0);
        QCOMPARE(host.tile->progressBar()->format(), QStringLiteral("Scanning..."));
        host.tile->showPhaseProgress(QStringLiteral("Verifying..."), 1500000, 3000000);
        QCOMPARE(host.tile->progressBar()->value(), 5000);
        QCOMPARE(host.tile->versionLabel()->text(), QStringLiteral("1.5/3.0 MB"));

        host.tile->resetAfterInstallation();
        QVERIFY(host.tile->button()->isVisible());
        QVERIFY(!host.tile->progressBar()->isVisible());
        QCOMPARE(host.tile->progressBar()->value(), 0);
        QCOMPARE(host.tile->versionLabel()->text(), QStringLiteral("1.2.3"));
    }

    void versionLabel_data()
    {
        QTest::addColumn<QString>("version");
        QTest::addColumn<bool>("withBuild");
        QTest::addColumn<bool>("withConfiguration");
        QTest::addColumn<QString>("expected");

        QTest::newRow("version") << QStringLiteral("2.0") << true << true << QStringLiteral("2.0");
        QTest::newRow("empty version") << QString() << true << true << QStringLiteral("?");
        QTest::newRow("no configuration") << QStringLiteral("2.0") << true << false << QString();
        QTest::newRow("no build") << QStringLiteral("2.0") << false << false << QString();
    }

    void versionLabel()
    {
        QFETCH(QString, version);
        QFETCH(bool, withBuild);
        QFETCH(bool, withConfiguration);
        QFETCH(QString, expected);

        uitest::TPackageOutline outline;
        outline.version = version;
        outline.withBuild = withBuild;
        outline.withConfiguration = withConfiguration;
        TTileHost host(outline, true);
        QCOMPARE(host.tile->versionLabel()->text(), expected);
        QCOMPARE(host.tile->nameLabel()->text(), QStringLiteral("Corvane"));
        QCOMPARE(host.tile->logoLabel()->toolTip(), QStringLiteral("Corvane"));
    }

    void logo_data()
    {
        QTest::addColumn<ELocalPackageStatus>("status");
        QTest::addColumn<QString>("link");
        QTest::addColumn<QString>("image");

        QTest::newRow("disabled, drawn by style")
            << ELocalPackageStatus::NotInstalled << QString()
            << QStringLiteral(":/images/launcher/CorvaneLogo_QT_disabled.png");
        QTest::newRow("playable, drawn by style")
            << ELocalPackageStatus::UpToDate << QString()
            << QStringLiteral(":/images/launcher/CorvaneLogo_QT.png");
        QTest::newRow("playable, linked")
            << ELocalPackageStatus::UpToDate << QStringLiteral("https://corvane.example/news")
            << QStringLiteral(":/images/launcher/CorvaneLogo_QT.png");
    }

    void logo()
    {
        QFETCH(ELocalPackageStatus, status);
        QFETCH(QString, link);
        QFETCH(QString, image);

        uitest::TPackageOutline outline = withStatus(status);
        outline.logoLinkTarget = link;
        TTileHost host(outline);
        QLabel *logo = host.tile->logoLabel();
        QCOMPARE(logo->size(), QSize(196, 152));
        if (link.isEmpty()) {
            QVERIFY(logo->text().isEmpty());
            QVERIFY2(logo->styleSheet().contains(image), qPrintable(logo->styleSheet()));
        } else {
            QVERIFY(logo->openExternalLinks());
            QVERIFY(logo->text().contains(QStringLiteral("href=\"%1\"").arg(link)));
            QVERIFY(logo->text().contains(image));
        }
    }

    void checkBoxReportsOnlyDefiniteStates()
    {
        TTileHost host(withStatus(ELocalPackageStatus::UpToDate));
        uitest::TPackageSignalRecorder spy(host.tile, &TClientPackageLayoutItem::defaultChanged);
        QCheckBox *box = host.tile->defaultCheckBox();
        box->setTristate(true);
        box->setCheckState(Qt::PartiallyChecked);
        QCOMPARE(spy.count(), 0);
        box->setCheckState(Qt::Checked);
        box->setCheckState(Qt::Unchecked);
        QCOMPARE(spy.count(), 2);
        QCOMPARE(spy.flags, (std::vector<bool>{true, false}));
    }
};

QTEST_MAIN(TestClientPackageTile)
#include "tst_clientpackagetile.moc"
