#include "HintImages.h"
#include "UiTestPackages.h"
#include "download/TCloudflareCdnTrace.h"
#include "packages/TDiskSpaceCheck.h"
#include "shared/TBandwidthLimiter.h"
#include "support/TTestHttpServer.h"
#include "ui/TClientPackageLayoutItem.h"
#include "ui/THintRow.h"
#include "ui/TLauncherMainWindow.h"

#include <QDir>
#include <QMessageBox>
#include <QProgressBar>
#include <QSignalSpy>
#include <QTest>

using testsupport::TTestHttpServer;
using vorna::launcher::ELocalPackageStatus;
using vorna::launcher::THintRow;
using vorna::launcher::TLauncherMainWindow;

// Renders the main window as a player sees it during an update, for the documentation and for a
// look by eye: one package to download, one updating, one ready to play, and a full hint row.
class TestMainWindowScreenshot final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { Q_INIT_RESOURCE(resources); }

    void rendersMainWindow()
    {
        TTestHttpServer server;
        server.setFile(QStringLiteral("/hints/1.png"),
                       uitest::hintImagePng(QColor(40, 70, 110), QColor(150, 90, 40)));
        server.setFile(QStringLiteral("/hints/2.png"),
                       uitest::hintImagePng(QColor(60, 100, 50), QColor(30, 40, 60)));
        server.setFile(QStringLiteral("/hints/3.png"),
                       uitest::hintImagePng(QColor(110, 40, 50), QColor(50, 50, 90)));

        std::vector<std::shared_ptr<vorna::launcher::TPackage>> packages;
        const struct
        {
            const char *name;
            ELocalPackageStatus status;
            const char *version;
        } rows[] = {{"Corvane", ELocalPackageStatus::NotInstalled, "1.4.0"},
                    {"Corvane Preview", ELocalPackageStatus::UpdateAvailable, "1.5.0"},
                    {"Corvane Classic", ELocalPackageStatus::UpToDate, "0.9.8"}};
        int index = 0;
        for (const auto &row : rows) {
            uitest::TPackageOutline outline;
            outline.index = index++;
            outline.name = QLatin1String(row.name);
            outline.status = row.status;
            outline.version = QLatin1String(row.version);
            outline.isDefault = row.status == ELocalPackageStatus::UpToDate;
            packages.push_back(uitest::makePackage(outline));
        }
        auto pool = uitest::makePool();
        auto trace = std::make_shared<vorna::launcher::TCloudflareCdnTrace>(QUrl(), pool);
        TLauncherMainWindow window(packages, nullptr, true, pool, trace, nullptr);
        window.setBandwidthLimiter(std::make_shared<::shared::TBandwidthLimiter>(0));
        window.show();
        // Layouts settle once the window shows. grab() renders it whether or not the platform
        // exposes it: the offscreen platform of Qt for Windows never does.
        const bool exposed = QTest::qWaitForWindowExposed(&window, 1000);
        Q_UNUSED(exposed)

        std::vector<::shared::THint> hints;
        const char *captions[] = {"<b>Season of Storms</b> begins today",
                                  "Patch notes: <a href=\"#\">what changed</a>",
                                  "Join the community tournament"};
        for (int slot = 0; slot < 3; ++slot) {
            ::shared::THint hint;
            hint.richText = QStringLiteral("<style>a { color: #c0c0c0; }</style>") +
                            QLatin1String(captions[slot]);
            hint.imageUrl = server.url(QStringLiteral("/hints/%1.png").arg(slot + 1)).toString();
            hint.category = QStringLiteral("cat%1").arg(slot + 1);
            hint.url = QStringLiteral("https://corvane.example/news/%1").arg(slot + 1);
            hints.push_back(hint);
        }
        QSignalSpy settled(window.hintRow(), &THintRow::hintImageSettled);
        window.setHints(hints);
        QTRY_COMPARE(settled.count(), 3);

        vorna::launcher::TClientPackageLayoutItem *updating = window.tile(1);
        updating->startProgress(48000000, 0);
        updating->showDownloadProgress(19700000, 48000000, 12000000, 150000000, 2400000);

        updating->showDownloadProgress(19800000, 48000000, 12000000, 150000000, 2400000);

        // Let deferred deletions and layout requests settle before grabbing; a layout request
        // climbs one parent per pass.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        for (int pass = 0; pass < 4; ++pass)
            QCoreApplication::processEvents();

        const QDir directory(QStringLiteral(CORVANE_BIN_DIR "/../screenshots"));
        QVERIFY(directory.mkpath(QStringLiteral(".")));
        const QString path = directory.filePath(QStringLiteral("mainwindow.png"));
        const QPixmap shot = window.grab();
        QVERIFY(shot.save(path));
        QCOMPARE(shot.width(), 800);
        QVERIFY(window.hintRow()->isVisible());

        // The same update paused: the progress stays, the tile offers Resume.
        updating->showPaused(true);
        updating->showDownloadProgress(19700000, 48000000, 12000000, 150000000, 0);
        for (int pass = 0; pass < 4; ++pass)
            QCoreApplication::processEvents();
        QVERIFY(window.grab().save(directory.filePath(QStringLiteral("mainwindow-paused.png"))));
        QCOMPARE(updating->progressBar()->format(), QStringLiteral("Paused"));

        vorna::launcher::TDiskSpaceCheck space;
        space.volume = QStringLiteral("D:");
        space.bytesNeeded = 12400000000;
        space.bytesFree = 3100000000;
        std::unique_ptr<QMessageBox> box(
            window.createNotEnoughDiskSpaceBox(QStringLiteral("Corvane Preview"), space));
        QVERIFY(box->text().contains(QStringLiteral("needs 12.4 GB, 3.1 GB free on D:")));
        box->show();
        const bool boxExposed = QTest::qWaitForWindowExposed(box.get(), 1000);
        Q_UNUSED(boxExposed)
        QVERIFY(box->grab().save(directory.filePath(QStringLiteral("not-enough-space.png"))));
    }
};

QTEST_MAIN(TestMainWindowScreenshot)
#include "tst_mainwindowscreenshot.moc"
