#include "UiTestPackages.h"
#include "configuration/TLauncherFilesystemHelper.h"
#include "download/TCloudflareCdnTrace.h"
#include "download/TPackageFileDownloader.h"
#include "installation/TInstallationManager.h"
#include "installation/TPackageInstallation.h"
#include "shared/TBandwidthLimiter.h"
#include "support/TTestHttpServer.h"
#include "support/TTestPackageBuilder.h"
#include "ui/QContextPushButton.h"
#include "ui/TClientPackageLayoutItem.h"
#include "ui/TDownloadLimitControl.h"
#include "ui/TLauncherMainWindow.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QMouseEvent>
#include <QProgressBar>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using testsupport::TTestHttpServer;
using vorna::launcher::ELocalPackageStatus;
using vorna::launcher::EPackageDownloaderError;
using vorna::launcher::TClientPackageLayoutItem;
using vorna::launcher::TCloudflareCdnTrace;
using vorna::launcher::TLauncherMainWindow;
using vorna::launcher::TPackage;

namespace {

std::vector<std::shared_ptr<TPackage>> makePackages(int Count, int DefaultIndex = -1)
{
    std::vector<std::shared_ptr<TPackage>> packages;
    for (int index = 0; index < Count; ++index) {
        uitest::TPackageOutline outline;
        outline.index = index;
        outline.name = QStringLiteral("Client %1").arg(index);
        outline.status = ELocalPackageStatus::UpToDate;
        outline.isDefault = index == DefaultIndex;
        packages.push_back(uitest::makePackage(outline));
    }
    return packages;
}

struct TWindowUnderTest
{
    explicit TWindowUnderTest(std::vector<std::shared_ptr<TPackage>> Packages,
                              const QUrl &TraceUrl = QUrl())
        : packages(std::move(Packages)), pool(uitest::makePool()),
          trace(std::make_shared<TCloudflareCdnTrace>(TraceUrl, pool)),
          window(packages, nullptr, false, pool, trace, nullptr)
    {
    }

    std::vector<std::shared_ptr<TPackage>> packages;
    std::shared_ptr<::shared::TDownloadPool> pool;
    std::shared_ptr<TCloudflareCdnTrace> trace;
    TLauncherMainWindow window;
};

const QString failedInformation = QStringLiteral("Failed to obtain information.");
const QString loading = QStringLiteral("Loading, please wait...");

QString downloadFailedText(const QString &Diagnostic)
{
    return QStringLiteral("The installation of Client 0 failed.\n\nNot all files necessary could "
                          "be downloaded. Please try again later.\n\nDiagnostic information: ") +
           Diagnostic;
}

} // namespace

class TestMainWindow final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        Q_INIT_RESOURCE(resources);
        QStandardPaths::setTestModeEnabled(true);
    }

    void windowShape()
    {
        TWindowUnderTest test(makePackages(1));
        TLauncherMainWindow &window = test.window;
        QCOMPARE(window.windowTitle(), QStringLiteral("Corvane Online"));
        // Qt adds the system menu hint itself whenever there are title bar buttons.
        QCOMPARE(int(window.windowFlags() & ~Qt::WindowType_Mask & ~Qt::WindowSystemMenuHint),
                 0x0A005100);
        QVERIFY(!(window.windowFlags() & Qt::WindowMaximizeButtonHint));
        QCOMPARE(window.minimumWidth(), 800);
        QCOMPARE(window.maximumWidth(), 800);
        QCOMPARE(window.minimumHeight(), 450);
        QCOMPARE(window.maximumHeight(), 600);
        QCOMPARE(window.versionLabel()->text(), QStringLiteral("v0.0.7"));
        QCOMPARE(window.aboutLabel()->toolTip(), QStringLiteral("About"));
        QVERIFY(!window.aboutLabel()->openExternalLinks());
        QVERIFY(!window.messageBox());
    }

    void tilesFillRowsOfFour_data()
    {
        QTest::addColumn<int>("count");
        QTest::addColumn<int>("rows");
        QTest::newRow("one") << 1 << 1;
        QTest::newRow("four") << 4 << 1;
        QTest::newRow("five") << 5 << 2;
        QTest::newRow("nine") << 9 << 3;
    }

    void tilesFillRowsOfFour()
    {
        QFETCH(int, count);
        QFETCH(int, rows);
        TWindowUnderTest test(makePackages(count));
        QGridLayout *grid = test.window.tileGrid();
        QCOMPARE(grid->count(), count);
        QCOMPARE(grid->rowCount(), rows);
        for (int index = 0; index < count; ++index) {
            TClientPackageLayoutItem *tile = test.window.tile(index);
            QVERIFY(tile);
            int row = -1, column = -1, rowSpan = 0, columnSpan = 0;
            grid->getItemPosition(grid->indexOf(tile), &row, &column, &rowSpan, &columnSpan);
            QCOMPARE(row, index / 4);
            QCOMPARE(column, index % 4);
            QCOMPARE(rowSpan, 1);
            QCOMPARE(columnSpan, 1);
        }
    }

    void oneClickYieldsOneDefaultChanged()
    {
        TWindowUnderTest test(makePackages(3, 0));
        TLauncherMainWindow &window = test.window;
        window.show();
        QCOMPARE(window.defaultPackageIndex(), 0);
        QVERIFY(window.tile(0)->defaultCheckBox()->isChecked());
        uitest::TPackageSignalRecorder changes(&window, &TLauncherMainWindow::defaultChanged);

        window.tile(2)->defaultCheckBox()->click();
        QCOMPARE(changes.count(), 1);
        QCOMPARE(changes.packages.at(0), test.packages.at(2));
        QCOMPARE(changes.flags.at(0), true);
        QCOMPARE(window.defaultPackageIndex(), 2);
        QVERIFY(!window.tile(0)->defaultCheckBox()->isChecked());
        QVERIFY(window.tile(2)->defaultCheckBox()->isChecked());

        // Unchecking the default leaves no default at all.
        window.tile(2)->defaultCheckBox()->click();
        QCOMPARE(changes.count(), 2);
        QCOMPARE(changes.packages.at(1), test.packages.at(2));
        QCOMPARE(changes.flags.at(1), false);
        QCOMPARE(window.defaultPackageIndex(), -1);
        for (int index = 0; index < 3; ++index)
            QVERIFY(!window.tile(index)->defaultCheckBox()->isChecked());
    }

    void tileClicksAreRelayed()
    {
        TWindowUnderTest test(makePackages(2));
        uitest::TPackageSignalRecorder clicks(&test.window,
                                              &TLauncherMainWindow::clientPackageButtonClicked);
        uitest::TPackageSignalRecorder verifies(
            &test.window, &TLauncherMainWindow::clientPackageVerifyButtonClicked);
        test.window.show();
        QTest::mouseClick(test.window.tile(1)->button(), Qt::LeftButton);
        test.window.tile(0)->button()->contextMenu()->actions().at(0)->trigger();
        QCOMPARE(clicks.count(), 1);
        QCOMPARE(clicks.packages.at(0), test.packages.at(1));
        QCOMPARE(verifies.count(), 1);
        QCOMPARE(verifies.packages.at(0), test.packages.at(0));
    }

    // The footer's choice starts at the settings' cap and changes the one limiter for this run.
    void downloadLimitChangesTheCap()
    {
        TWindowUnderTest test(makePackages(1));
        const auto limiter = std::make_shared<::shared::TBandwidthLimiter>(3500000);
        test.window.setBandwidthLimiter(limiter);
        test.window.show();
        QComboBox *choice = test.window.downloadLimitControl()->comboBox();
        QCOMPARE(choice->currentText(), QStringLiteral("3.5 MB/s"));
        QTest::keyClick(choice, Qt::Key_Home);
        QCOMPARE(choice->currentText(), QStringLiteral("No limit"));
        QCOMPARE(limiter->rate(), qint64(0));
        QTest::keyClick(choice, Qt::Key_Down);
        QCOMPARE(limiter->rate(), qint64(500000));
    }

    void emptyPackageListShowsConnectionProblem()
    {
        TWindowUnderTest test({});
        QMessageBox *box = test.window.messageBox();
        QVERIFY(box);
        QCOMPARE(box->windowTitle(), QStringLiteral("Connection problem"));
        QCOMPARE(box->text(),
                 QStringLiteral("Could not connect to the update service.\n\nPlease try again "
                                "later.\n"));
        QCOMPARE(box->icon(), QMessageBox::Critical);
        QVERIFY(box->isVisible());
        QVERIFY(!box->isModal());
    }

    void downloadFailedDialog_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QString>("diagnostic");

        QTest::newRow("trace received")
            << 200
            << QByteArray("fl=12f3\nh=cdn.example\nip=127.0.0.1\nts=1714564800.1\ncolo=FRA\n")
            << QStringLiteral("FL: 12f3, TS: 1714564800.1, COLO: FRA, IP: 127.0.0.1");
        QTest::newRow("trace failed") << 500 << QByteArray("no") << failedInformation;
    }

    void downloadFailedDialog()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, reply);
        QFETCH(QString, diagnostic);

        TTestHttpServer server;
        server.setFile(QStringLiteral("/cdn-cgi/trace"), reply);
        server.setFault(QStringLiteral("/cdn-cgi/trace"), TTestHttpServer::TFault::status(status));
        TWindowUnderTest test(makePackages(1), server.url(QStringLiteral("/cdn-cgi/trace")));
        test.window.show();
        test.window.showDownloadFailedDialog(QStringLiteral("Client 0"));
        QMessageBox *box = test.window.messageBox();
        QCOMPARE(box->windowTitle(), QStringLiteral("Download failed"));
        QCOMPARE(box->text(), downloadFailedText(loading));
        QVERIFY(box->isVisible());
        QVERIFY(!box->isModal());

        QTRY_COMPARE(box->text(), downloadFailedText(diagnostic));
        QCOMPARE(server.requestCount(QStringLiteral("/cdn-cgi/trace")), 1);

        // A second failure reuses the box and the stored result, without asking again.
        test.window.showDownloadFailedDialog(QStringLiteral("Client 0"));
        QCOMPARE(test.window.messageBox(), box);
        QCOMPARE(box->text(), downloadFailedText(diagnostic));
        QCOMPARE(server.requestCount(QStringLiteral("/cdn-cgi/trace")), 1);
    }

    void downloadFailedDialogWithoutTraceAddress()
    {
        TWindowUnderTest test(makePackages(1));
        test.window.showDownloadFailedDialog(QStringLiteral("Client 0"));
        QCOMPARE(test.window.messageBox()->text(), downloadFailedText(failedInformation));
    }

    void closedDialogIsNotReopenedByTheTrace()
    {
        TTestHttpServer server;
        server.setFile(QStringLiteral("/trace"), QByteArray("colo=AMS\n"));
        TWindowUnderTest test(makePackages(1), server.url(QStringLiteral("/trace")));
        test.window.show();
        test.window.showDownloadFailedDialog(QStringLiteral("Client 0"));
        test.window.messageBox()->hide();
        QSignalSpy received(test.trace.get(), &TCloudflareCdnTrace::diagnosticsTraceReceived);
        QVERIFY(received.wait());
        QVERIFY(!test.window.messageBox()->isVisible());
        QCOMPARE(test.window.messageBox()->text(), downloadFailedText(loading));
    }

    void failedInstallationDialogs_data()
    {
        QTest::addColumn<EPackageDownloaderError>("reason");
        QTest::addColumn<QString>("text");
        QTest::newRow("saving failed")
            << EPackageDownloaderError::SavingOperationFailed
            << QStringLiteral("The installation of Client 0 failed.\n\nMake sure you have enough "
                              "free disk space and the application isn't currently running, then "
                              "try again.");
        QTest::newRow("verification failed")
            << EPackageDownloaderError::VerificationFailed
            << QStringLiteral("The installation of Client 0 failed.\n\nVerification of game data "
                              "failed!");
    }

    void failedInstallationDialogs()
    {
        QFETCH(EPackageDownloaderError, reason);
        QFETCH(QString, text);

        TWindowUnderTest test(makePackages(1));
        test.window.show();
        TClientPackageLayoutItem *tile = test.window.tile(0);
        tile->startProgress(1000, 10);
        QString title;
        QString shownText;
        QTimer::singleShot(0, this, [&] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            QVERIFY(box);
            title = box->windowTitle();
            shownText = box->text();
            box->button(QMessageBox::Ok)->click();
        });
        test.window.handleInstallationFinished(test.packages.at(0), reason);
        QCOMPARE(title, QStringLiteral("Installation failed"));
        QCOMPARE(shownText, text);
        // The tile is back to its button before the box appears, ready for another try.
        QVERIFY(tile->button()->isVisible());
        QVERIFY(!tile->progressBar()->isVisible());
    }

    void successfulInstallationOnlyResetsTheTile()
    {
        TWindowUnderTest test(makePackages(1));
        test.window.show();
        TClientPackageLayoutItem *tile = test.window.tile(0);
        tile->startProgress(1000, 10);
        test.window.handleInstallationFinished(test.packages.at(0),
                                               EPackageDownloaderError::NoError);
        QVERIFY(tile->button()->isVisible());
        QCOMPARE(tile->progressBar()->value(), 0);
        QVERIFY(!test.window.messageBox());
        QVERIFY(!QApplication::activeModalWidget());
    }

    void installationOfPackageWithoutTileIsIgnored()
    {
        TWindowUnderTest test(makePackages(1));
        uitest::TPackageOutline outline;
        outline.index = TPackage::LauncherPackageIndex;
        test.window.handleInstallationFinished(uitest::makePackage(outline),
                                               EPackageDownloaderError::DownloadFailed);
        QVERIFY(!test.window.messageBox());
    }

    void draggingMovesTheWindow()
    {
        TWindowUnderTest test(makePackages(1));
        TLauncherMainWindow &window = test.window;
        window.move(100, 100);
        const QPoint start = window.pos();
        auto send = [&](QEvent::Type Type, QPoint Global) {
            QMouseEvent event(Type, QPointF(5, 5), QPointF(Global), Qt::LeftButton,
                              Type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton,
                              Qt::NoModifier);
            QApplication::sendEvent(&window, &event);
        };
        send(QEvent::MouseButtonPress, QPoint(200, 200));
        send(QEvent::MouseMove, QPoint(230, 220));
        QCOMPARE(window.pos(), start + QPoint(30, 20));
        send(QEvent::MouseMove, QPoint(240, 220));
        QCOMPARE(window.pos(), start + QPoint(40, 20));
        send(QEvent::MouseButtonRelease, QPoint(240, 220));
        send(QEvent::MouseMove, QPoint(300, 300));
        QCOMPARE(window.pos(), start + QPoint(40, 20));
    }

    // A real installation from the loopback server, followed on the tile from start to finish.
    void installationIsFollowedOnItsTile_data()
    {
        QTest::addColumn<bool>("chunkMissing");
        QTest::newRow("installed") << false;
        QTest::newRow("download failed") << true;
    }

    void installationIsFollowedOnItsTile()
    {
        QFETCH(bool, chunkMissing);

        QTemporaryDir application;
        TTestHttpServer server;
        testsupport::TTestPackageBuilder builder(server);
        const QByteArray content = testsupport::TTestPackageBuilder::randomBytes(300000, 7);
        builder.addFile(QStringLiteral("bin/client" CORVANE_EXE_SUFFIX), content, true);
        if (chunkMissing)
            server.setFault(builder.chunkPath(content), TTestHttpServer::TFault::status(404));
        const auto configuration = builder.configuration(QStringLiteral("1"));
        const std::shared_ptr<TPackage> package = testsupport::TTestPackageBuilder::makePackage(
            QStringLiteral("Client 0"), 0, &configuration);
        auto helper =
            std::make_shared<vorna::launcher::TLauncherFilesystemHelper>(application.path());
        vorna::launcher::TInstallationManager manager(nullptr, helper);
        package->setLocalPackageStatus(manager.computeLocalPackageStatus(package));

        auto pool = uitest::makePool();
        TLauncherMainWindow window({package}, &manager, false, pool,
                                   std::make_shared<TCloudflareCdnTrace>(QUrl(), pool), nullptr);
        window.show();
        TClientPackageLayoutItem *tile = window.tile(0);
        QCOMPARE(tile->button()->toolTip(), QStringLiteral("Download"));

        bool barShownAtStart = false;
        QStringList counters;
        connect(&manager, &vorna::launcher::TInstallationManager::installationOrUpdateStarted, this,
                [&](const vorna::launcher::TPackageInstallation &Installation) {
                    barShownAtStart =
                        tile->progressBar()->isVisible() && !tile->button()->isVisible();
                    connect(Installation.downloader(),
                            &vorna::launcher::TPackageFileDownloader::progress, this,
                            [&] { counters << tile->versionLabel()->text(); });
                });
        int finished = 0;
        connect(&manager, &vorna::launcher::TInstallationManager::installationOrUpdateFinished,
                this, [&] { ++finished; });

        manager.installOrUpdatePackage(package);
        QTRY_COMPARE_WITH_TIMEOUT(finished, 1, 60000);
        QVERIFY(barShownAtStart);
        QVERIFY(!counters.isEmpty());
        const QRegularExpression megabytes(QStringLiteral("^\\d+\\.\\d/\\d+\\.\\d MB$"));
        for (const QString &counter : counters)
            QVERIFY2(megabytes.match(counter).hasMatch(), qPrintable(counter));

        // Back to the button, whatever the outcome.
        QVERIFY(tile->button()->isVisible());
        QVERIFY(!tile->progressBar()->isVisible());
        QCOMPARE(tile->versionLabel()->text(), QStringLiteral("1"));
        if (chunkMissing) {
            QCOMPARE(tile->button()->toolTip(), QStringLiteral("Update"));
            QVERIFY(window.messageBox());
            QCOMPARE(window.messageBox()->windowTitle(), QStringLiteral("Download failed"));
            QVERIFY(window.messageBox()->text().endsWith(failedInformation));
        } else {
            QCOMPARE(tile->button()->toolTip(), QStringLiteral("Play"));
            QVERIFY(!window.messageBox());
        }
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
