#include "installation/TInstallationManager.h"
#include "installation/TPackageInstallation.h"
#include "packages/TPackage.h"
#include "packages/TPackageBuild.h"
#include "shared/TDownloadPool.h"
#include "support/TLockingFilesystemHelper.h"
#include "support/TSentinelDirectory.h"
#include "support/TTestHttpServer.h"
#include "support/TTestPackageBuilder.h"
#include "support/TestFiles.h"

#include <QDir>
#include <QFile>
#include <QMap>
#include <QPointer>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <climits>
#include <memory>

using namespace vorna::launcher;
using testsupport::readAll;
using testsupport::TLockingFilesystemHelper;
using testsupport::TTestHttpServer;
using testsupport::TTestPackageBuilder;
using testsupport::writeAll;
using TFault = TTestHttpServer::TFault;

namespace {

// What an installation reported when it finished, read during the emission.
struct TFinish
{
    QString package;
    bool succeeded = false;
    EPackageDownloaderError errorReason = EPackageDownloaderError::NoError;
};

} // namespace

class TInstallationManagerTest final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void freshInstallMovesTheMarkers();
    void updateReusesMovedChunksAndDownloadsTheRest();
    void secondRequestWhileInProgressIsIgnored();
    void packageWithoutConfigurationIsIgnored();
    void documentThatDoesNotParseEndsAsFailedDownload_data();
    void documentThatDoesNotParseEndsAsFailedDownload();
    void failedDownloadLeavesThePackagePartiallyInstalled();
    void verificationOfDamagedFileThenRepair();
    void emptyDifferenceEndsUpToDate_data();
    void emptyDifferenceEndsUpToDate();
    void finishNotificationWithoutInstallation();
    void pauseKeepsWhatIsWrittenAndGoesOn_data();
    void pauseKeepsWhatIsWrittenAndGoesOn();
    void selfUpdateMovesTheRunningLauncherAside_data();
    void selfUpdateMovesTheRunningLauncherAside();

private:
    void makeHelper(const QByteArray &SettingsLines = QByteArray());
    std::unique_ptr<TInstallationManager> makeManager();
    void connectFinishes(TInstallationManager &Manager);
    // Installs (or updates) and waits for the end; returns the finish record.
    TFinish runToEnd(TInstallationManager &Manager, const std::shared_ptr<TPackage> &pPackage,
                     bool Verify = false);
    std::shared_ptr<TPackage> publish(const QString &Version);
    QDir directory(const TInstallationManager &Manager) const
    {
        return Manager.installationDirectory(m_client);
    }

    std::unique_ptr<QTemporaryDir> m_application;
    std::shared_ptr<TLockingFilesystemHelper> m_helper;
    std::unique_ptr<TTestHttpServer> m_server;
    std::unique_ptr<TTestPackageBuilder> m_package;
    std::shared_ptr<TPackage> m_client;
    QList<TFinish> m_finishes;
    int m_allFinished = 0;
};

void TInstallationManagerTest::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
}

void TInstallationManagerTest::init()
{
    m_application = std::make_unique<QTemporaryDir>();
    m_server = std::make_unique<TTestHttpServer>();
    m_package = std::make_unique<TTestPackageBuilder>(*m_server);
    m_finishes.clear();
    m_allFinished = 0;
    makeHelper();
}

void TInstallationManagerTest::makeHelper(const QByteArray &SettingsLines)
{
    if (!SettingsLines.isEmpty())
        testsupport::writeLauncherSettings(m_application->path(), SettingsLines);
    m_helper = std::make_shared<TLockingFilesystemHelper>(m_application->path());
}

std::unique_ptr<TInstallationManager> TInstallationManagerTest::makeManager()
{
    auto Manager = std::make_unique<TInstallationManager>(nullptr, m_helper);
    connectFinishes(*Manager);
    return Manager;
}

void TInstallationManagerTest::connectFinishes(TInstallationManager &Manager)
{
    connect(&Manager, &TInstallationManager::installationOrUpdateFinished, this,
            [this](const TPackageInstallation &Installation) {
                m_finishes.append({Installation.package()->name(), Installation.succeeded(),
                                   Installation.errorReason()});
            });
    connect(&Manager, &TInstallationManager::allStartedUpdatesFinished, this,
            [this] { ++m_allFinished; });
}

std::shared_ptr<TPackage> TInstallationManagerTest::publish(const QString &Version)
{
    const auto Configuration = m_package->configuration(Version);
    if (!m_client) {
        m_client = TTestPackageBuilder::makePackage(QStringLiteral("Client"), 0, &Configuration);
    } else {
        m_client->selectBuildForRunningPlatform()->configuration =
            std::make_unique<TPackageConfigurationReader>(Configuration);
    }
    return m_client;
}

TFinish TInstallationManagerTest::runToEnd(TInstallationManager &Manager,
                                           const std::shared_ptr<TPackage> &pPackage, bool Verify)
{
    const int Before = m_finishes.size();
    if (Verify)
        Manager.verifyPackage(pPackage);
    else
        Manager.installOrUpdatePackage(pPackage);
    if (!QTest::qWaitFor([&] { return m_finishes.size() > Before; }, 60000))
        return {};
    return m_finishes.last();
}

void TInstallationManagerTest::freshInstallMovesTheMarkers()
{
    const QByteArray Client = TTestPackageBuilder::compressibleBytes(300000, 1);
    m_package->addFile(QStringLiteral("bin/client" CORVANE_EXE_SUFFIX), Client, true,
                       {100000, 200000});
    m_package->addFile(QStringLiteral("data/a.pak"), TTestPackageBuilder::randomBytes(5000, 2));
    const auto Package = publish(QStringLiteral("1"));
    const auto Manager = makeManager();
    const QDir Directory = directory(*Manager);
    const auto [Partial, Full] = Manager->markerPaths(Directory);
    QCOMPARE(Manager->computeLocalPackageStatus(Package), ELocalPackageStatus::NotInstalled);

    QSignalSpy Started(Manager.get(), &TInstallationManager::installationOrUpdateStarted);
    Manager->installOrUpdatePackage(Package);
    // At once: listed, started, partial marker holding the server's document.
    QCOMPARE(Started.size(), 1);
    QCOMPARE(Manager->installationsInProgress().size(), std::size_t(1));
    QCOMPARE(readAll(Partial), m_package->packageJson(QStringLiteral("1")));
    QVERIFY(!QFile::exists(Full));
    QCOMPARE(Package->localPackageStatus(), ELocalPackageStatus::PartiallyInstalled);
    QPointer<TPackageInstallation> Installation(Manager->installationsInProgress().front().get());

    QTRY_COMPARE_WITH_TIMEOUT(m_finishes.size(), 1, 20000);
    QVERIFY(m_finishes.first().succeeded);
    QCOMPARE(m_finishes.first().errorReason, EPackageDownloaderError::NoError);
    QCOMPARE(m_allFinished, 1);
    QCOMPARE(readAll(Full), m_package->packageJson(QStringLiteral("1")));
    QVERIFY(!QFile::exists(Partial));
    QCOMPARE(Package->localPackageStatus(), ELocalPackageStatus::UpToDate);
    QCOMPARE(Manager->computeLocalPackageStatus(Package), ELocalPackageStatus::UpToDate);
    QVERIFY(Package->verificationDone());
    QCOMPARE(readAll(Directory.filePath(QStringLiteral("bin/client" CORVANE_EXE_SUFFIX))), Client);
    QVERIFY(Manager->installationsInProgress().empty());
    // Released with deferred deletion.
    QTRY_VERIFY(!Installation);
    QCOMPARE(m_allFinished, 1);
}

void TInstallationManagerTest::updateReusesMovedChunksAndDownloadsTheRest()
{
    // Large enough for several chunks of the launcher's content-defined chunking.
    m_package->setPacking(TTestPackageBuilder::EPacking::Stored);
    const QByteArray Big = TTestPackageBuilder::randomBytes(26 << 20, 11);
    m_package->addFile(QStringLiteral("data/big.pak"), Big);
    m_package->addFile(QStringLiteral("obsolete.txt"), "to be removed", false, {13});
    const int FirstChunks = int(m_package->chunksOf(QStringLiteral("data/big.pak")).size());
    QVERIFY(FirstChunks >= 3);
    const auto Manager = makeManager();
    QVERIFY(runToEnd(*Manager, publish(QStringLiteral("1"))).succeeded);
    const QDir Directory = directory(*Manager);
    const auto [Partial, Full] = Manager->markerPaths(Directory);
    const QByteArray FirstJson = m_package->packageJson(QStringLiteral("1"));

    // Version 2: new bytes in front shift every chunk of the file; one file gone, one new.
    const QByteArray Front = TTestPackageBuilder::randomBytes(300000, 12);
    m_package->addFile(QStringLiteral("data/big.pak"), Front + Big);
    m_package->removeFile(QStringLiteral("obsolete.txt"));
    m_package->addFile(QStringLiteral("new.txt"), "new file", false, {8});
    const auto Package = publish(QStringLiteral("2"));
    QCOMPARE(Manager->computeLocalPackageStatus(Package), ELocalPackageStatus::UpdateAvailable);
    m_server->clearRequests();

    Manager->installOrUpdatePackage(Package);
    // The complete configuration so far became the partial marker.
    QCOMPARE(readAll(Partial), FirstJson);
    QVERIFY(!QFile::exists(Full));
    QTRY_COMPARE_WITH_TIMEOUT(m_finishes.size(), 2, 60000);
    QVERIFY(m_finishes.last().succeeded);
    QCOMPARE(readAll(Directory.filePath(QStringLiteral("data/big.pak"))), Front + Big);
    QCOMPARE(readAll(Directory.filePath(QStringLiteral("new.txt"))), QByteArray("new file"));
    QVERIFY(!QFile::exists(Directory.filePath(QStringLiteral("obsolete.txt"))));
    QCOMPARE(readAll(Full), m_package->packageJson(QStringLiteral("2")));

    // Only the chunks whose content is new were fetched.
    const auto NewChunks = m_package->chunksOf(QStringLiteral("data/big.pak"));
    QStringList Fetched;
    for (const auto &Request : m_server->requests())
        Fetched << Request.path;
    QVERIFY2(Fetched.size() <= 3, qPrintable(Fetched.join(QLatin1Char(' '))));
    QVERIFY(Fetched.contains(m_package->chunkPath(NewChunks.front())));
    QVERIFY(Fetched.contains(m_package->chunkPath("new file")));
    QVERIFY(!Fetched.contains(m_package->chunkPath(NewChunks.back())));
}

void TInstallationManagerTest::secondRequestWhileInProgressIsIgnored()
{
    m_package->addFile(QStringLiteral("a"), "aaaa", false, {4});
    m_server->setFault(m_package->chunkPath("aaaa"), TFault::delay(200));
    const auto Package = publish(QStringLiteral("1"));
    const auto Manager = makeManager();
    QSignalSpy Started(Manager.get(), &TInstallationManager::installationOrUpdateStarted);
    Manager->installOrUpdatePackage(Package);
    Manager->installOrUpdatePackage(Package);
    Manager->verifyPackage(Package);
    QCOMPARE(Started.size(), 1);
    QTRY_COMPARE_WITH_TIMEOUT(m_finishes.size(), 1, 20000);
    QCOMPARE(m_server->requests().size(), 1);
}

void TInstallationManagerTest::packageWithoutConfigurationIsIgnored()
{
    const auto Package = TTestPackageBuilder::makePackage(QStringLiteral("Bare"), 1, nullptr);
    const auto Manager = makeManager();
    QSignalSpy Started(Manager.get(), &TInstallationManager::installationOrUpdateStarted);
    Manager->installOrUpdatePackage(Package);
    Manager->verifyPackage(Package);
    QCOMPARE(Started.size(), 0);
    QVERIFY(!QFile::exists(Manager->installationDirectory(Package).path()));
}

void TInstallationManagerTest::documentThatDoesNotParseEndsAsFailedDownload_data()
{
    QTest::addColumn<QByteArray>("packageJson");
    QTest::addColumn<bool>("refused"); // failed its signature check
    QTest::newRow("document that does not parse") << QByteArray("<html>502</html>") << false;
    QTest::newRow("refused documents") << QByteArray(R"({"files":[]})") << true;
}

// Refused, markers untouched, yet ended like any installation: after the request returned.
void TInstallationManagerTest::documentThatDoesNotParseEndsAsFailedDownload()
{
    QFETCH(QByteArray, packageJson);
    QFETCH(bool, refused);
    const TPackageConfigurationReader Broken(packageJson, QByteArray(), QUrl(), QUrl());
    const auto Package = TTestPackageBuilder::makePackage(QStringLiteral("Broken"), 1, &Broken);
    Package->selectBuildForRunningPlatform()->documentsRefused = refused;
    const auto Manager = makeManager();
    Manager->installOrUpdatePackage(Package);
    QCOMPARE(m_finishes.size(), 0);
    QTRY_COMPARE(m_allFinished, 1);
    QCOMPARE(m_finishes.size(), 1);
    QCOMPARE(m_finishes.constFirst().succeeded, false);
    QCOMPARE(m_finishes.constFirst().errorReason, EPackageDownloaderError::DownloadFailed);
    QVERIFY(Manager->installationsInProgress().empty());
    const auto [Partial, Full] = Manager->markerPaths(Manager->installationDirectory(Package));
    QVERIFY(!QFile::exists(Partial) && !QFile::exists(Full));
}

void TInstallationManagerTest::failedDownloadLeavesThePackagePartiallyInstalled()
{
    m_package->addFile(QStringLiteral("a"), "content a", false, {9});
    m_package->addFile(QStringLiteral("b"), "content b", false, {9});
    m_server->setFault(m_package->chunkPath("content b"), TFault::status(500));
    const auto Package = publish(QStringLiteral("1"));
    const auto Manager = makeManager();
    const TFinish Finish = runToEnd(*Manager, Package);
    QCOMPARE(Finish.package, QStringLiteral("Client"));
    QVERIFY(!Finish.succeeded);
    QCOMPARE(Finish.errorReason, EPackageDownloaderError::DownloadFailed);
    QCOMPARE(m_allFinished, 1);
    QCOMPARE(m_server->requestCount(m_package->chunkPath("content b")), 4);
    const auto [Partial, Full] = Manager->markerPaths(directory(*Manager));
    QVERIFY(QFile::exists(Partial));
    QVERIFY(!QFile::exists(Full));
    QCOMPARE(Package->localPackageStatus(), ELocalPackageStatus::PartiallyInstalled);
    QCOMPARE(Manager->computeLocalPackageStatus(Package), ELocalPackageStatus::PartiallyInstalled);
}

void TInstallationManagerTest::verificationOfDamagedFileThenRepair()
{
    const QByteArray A = TTestPackageBuilder::compressibleBytes(40000, 5);
    const QByteArray B = TTestPackageBuilder::compressibleBytes(30000, 6);
    // Cut like the launcher cuts local files, so that an intact file is recognised.
    m_package->addFile(QStringLiteral("a.pak"), A);
    m_package->addFile(QStringLiteral("b.pak"), B, false, {30000});
    const auto Package = publish(QStringLiteral("1"));
    const auto Manager = makeManager();
    QVERIFY(runToEnd(*Manager, Package).succeeded);
    const QDir Directory = directory(*Manager);
    const auto [Partial, Full] = Manager->markerPaths(Directory);

    QByteArray Damaged = B;
    Damaged[100] = 'X';
    writeAll(Directory.filePath(QStringLiteral("b.pak")), Damaged);
    const TFinish Verified = runToEnd(*Manager, Package, true);
    QVERIFY(!Verified.succeeded);
    QCOMPARE(Verified.errorReason, EPackageDownloaderError::VerificationFailed);
    QCOMPARE(Package->localPackageStatus(), ELocalPackageStatus::PartiallyInstalled);
    QCOMPARE(readAll(Partial), m_package->packageJson(QStringLiteral("1")));
    QVERIFY(!QFile::exists(Full));

    m_server->clearRequests();
    const TFinish Repaired = runToEnd(*Manager, Package);
    QVERIFY(Repaired.succeeded);
    QCOMPARE(readAll(Directory.filePath(QStringLiteral("b.pak"))), B);
    QCOMPARE(m_server->requests().size(), 1);
    QCOMPARE(Package->localPackageStatus(), ELocalPackageStatus::UpToDate);
    QCOMPARE(readAll(Full), m_package->packageJson(QStringLiteral("1")));

    // An explicit verification of the repaired package passes and restores the full marker.
    QVERIFY(runToEnd(*Manager, Package, true).succeeded);
    QCOMPARE(Package->localPackageStatus(), ELocalPackageStatus::UpToDate);
    QVERIFY(!QFile::exists(Partial));
}

void TInstallationManagerTest::emptyDifferenceEndsUpToDate_data()
{
    QTest::addColumn<QByteArray>("settings");
    // An asset document left by an earlier build that had one.
    QTest::addColumn<QByteArray>("earlierAssets");
    QTest::newRow("verification skipped") << QByteArray() << QByteArray();
    QTest::newRow("verification after the download")
        << QByteArray("[OPTIONS]\nskipVerification=false\n") << QByteArray();
    QTest::newRow("build that stopped shipping its asset document")
        << QByteArray() << QByteArray(R"({"version":3})");
}

void TInstallationManagerTest::emptyDifferenceEndsUpToDate()
{
    QFETCH(QByteArray, settings);
    QFETCH(QByteArray, earlierAssets);
    makeHelper(settings);
    m_package->addFile(QStringLiteral("a"), "content a", false, {9});
    const auto Package = publish(QStringLiteral("1"));
    const auto Manager = makeManager();
    writeAll(directory(*Manager).filePath(QStringLiteral("a")), "content a");
    if (!earlierAssets.isEmpty())
        writeAll(directory(*Manager).filePath(QStringLiteral("assets.json")), earlierAssets);
    const TFinish Finish = runToEnd(*Manager, Package);
    QVERIFY(Finish.succeeded);
    QCOMPARE(m_server->requests().size(), 0);
    QCOMPARE(Package->localPackageStatus(), ELocalPackageStatus::UpToDate);
    // What the next start reads from the disk says the same.
    QCOMPARE(Manager->computeLocalPackageStatus(Package), ELocalPackageStatus::UpToDate);
    QVERIFY(!QFile::exists(directory(*Manager).filePath(QStringLiteral("assets.json"))));
    QTest::qWait(20);
    // One end, announced once.
    QCOMPARE(m_finishes.size(), 1);
    QCOMPARE(m_allFinished, 1);
}

void TInstallationManagerTest::finishNotificationWithoutInstallation()
{
    const auto Manager = makeManager();
    const auto Package = publish(QStringLiteral("1"));
    Manager->onDownloadFinished(Package);
    QCOMPARE(m_allFinished, 1);
    Manager->onVerificationFinished(Package);
    QCOMPARE(m_allFinished, 2);
    QVERIFY(m_finishes.isEmpty());
}

void TInstallationManagerTest::pauseKeepsWhatIsWrittenAndGoesOn_data()
{
    QTest::addColumn<bool>("quitWhilePaused");
    QTest::newRow("pause and resume") << false;
    QTest::newRow("quit while paused, then a new run resumes") << true;
}

void TInstallationManagerTest::pauseKeepsWhatIsWrittenAndGoesOn()
{
    QFETCH(bool, quitWhilePaused);
    makeHelper("[OPTIONS]\nmaxConcurrentDownloads=2\n");
    m_package->setPacking(TTestPackageBuilder::EPacking::Stored);
    constexpr int Files = 12;
    QMap<QString, QByteArray> Contents;
    for (int Index = 0; Index < Files; ++Index) {
        const QString Name = QStringLiteral("data/f%1.bin").arg(Index);
        Contents.insert(Name, TTestPackageBuilder::randomBytes(65536, quint32(40 + Index)));
        m_package->addFile(Name, Contents.value(Name));
    }
    const auto Package = publish(QStringLiteral("1"));
    // Slow chunks, so that the pause comes while the first ones are on their way.
    for (const QByteArray &Content : qAsConst(Contents))
        m_server->setFault(m_package->chunkPath(Content), TFault::delay(400));
    auto Manager = makeManager();
    Manager->installOrUpdatePackage(Package);
    QTRY_VERIFY_WITH_TIMEOUT(!m_server->requests().isEmpty(), 30000);
    Manager->setPaused(Package, true);
    QPointer<TPackageInstallation> Installation = Manager->installationsInProgress().front().get();
    QVERIFY(Installation->isPaused());
    // The requests in flight end and are written; no new one starts.
    QTRY_VERIFY_WITH_TIMEOUT(!Installation || Installation->pool()->activeDownloads() == 0, 30000);
    QVERIFY(Installation);
    const int RequestsBeforeResume = m_server->requests().size();
    QVERIFY(RequestsBeforeResume < Files);
    QVERIFY(m_finishes.isEmpty());

    if (quitWhilePaused) {
        Manager.reset();
        QTRY_VERIFY(!Installation);
        Manager = makeManager();
        QVERIFY(runToEnd(*Manager, Package).succeeded);
    } else {
        Manager->setPaused(Package, false);
        QTRY_COMPARE_WITH_TIMEOUT(m_finishes.size(), 1, 60000);
        QVERIFY(m_finishes.last().succeeded);
    }
    for (auto It = Contents.cbegin(); It != Contents.cend(); ++It)
        QCOMPARE(readAll(directory(*Manager).filePath(It.key())), It.value());
    // Every chunk crossed the wire once, pause or not: what was written before was kept.
    QCOMPARE(m_server->requests().size(), Files);
}

void TInstallationManagerTest::selfUpdateMovesTheRunningLauncherAside_data()
{
    QTest::addColumn<bool>("linkAtOld");
    QTest::newRow("older launcher at the .old place") << false;
    QTest::newRow("directory link at the .old place") << true;
}

void TInstallationManagerTest::selfUpdateMovesTheRunningLauncherAside()
{
    QFETCH(bool, linkAtOld);
    QTemporaryDir Outside;
    const testsupport::TSentinelDirectory Sentinel(Outside.filePath(QStringLiteral("sentinel")));
    const QByteArray NewLauncher = TTestPackageBuilder::compressibleBytes(20000, 9);
    m_package->addFile(QStringLiteral("CorvaneLauncher" CORVANE_EXE_SUFFIX), NewLauncher, true,
                       {10000, 10000});
    const auto Configuration = m_package->configuration(QStringLiteral("0.0.8"));
    const auto Launcher =
        TTestPackageBuilder::makePackage(QStringLiteral("Launcher"), INT_MAX, &Configuration);
    const QString Running =
        QDir(m_application->path()).filePath(QStringLiteral("CorvaneLauncher" CORVANE_EXE_SUFFIX));
    writeAll(Running, "the running launcher");
    if (linkAtOld)
        LINK_OR_SKIP(Sentinel.path(), Running + QStringLiteral(".old"));
    else
        writeAll(Running + QStringLiteral(".old"), "an older launcher");
    m_helper->lock(Running);

    const auto Manager = makeManager();
    Manager->setInstallationMode(int(EInstallationMode::SelfUpdate));
    const TFinish Finish = runToEnd(*Manager, Launcher);
    QVERIFY(Finish.succeeded);
    QCOMPARE(readAll(Running), NewLauncher);
    QCOMPARE(readAll(Running + QStringLiteral(".old")), QByteArray("the running launcher"));
    QVERIFY(QFile::permissions(Running) & QFileDevice::ExeOwner);
    QCOMPARE(readAll(QDir(m_application->path()).filePath(QStringLiteral("package.json"))),
             m_package->packageJson(QStringLiteral("0.0.8")));
    const QStringList Changes = Sentinel.changes();
    QVERIFY2(Changes.isEmpty(), qPrintable(Changes.join(QLatin1Char('\n'))));
}

QTEST_GUILESS_MAIN(TInstallationManagerTest)

#include "tst_installationmanager.moc"
