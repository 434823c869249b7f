#include "download/TPackageFileDownloader.h"
#include "format/TSha256.h"
#include "installation/TPackageInstallation.h"
#include "packages/TPackage.h"
#include "support/TLockingFilesystemHelper.h"
#include "support/TTestHttpServer.h"
#include "support/TTestPackageBuilder.h"
#include "support/TestFiles.h"

#include <QDir>
#include <QFile>
#include <QPointer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace vorna::launcher;
using testsupport::readAll;
using testsupport::TLockingFilesystemHelper;
using testsupport::TTestHttpServer;
using testsupport::TTestPackageBuilder;
using testsupport::writeAll;
using TFault = TTestHttpServer::TFault;

namespace {

TFileInPackage listed(const QString &LocalFile)
{
    TFileInPackage File;
    File.localFile = LocalFile;
    return File;
}

} // namespace

class TPackageInstallationTest final : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void emptyDifferenceCompletesAtOnceAndDeletesObsoleteFiles();
    void selfUpdateMovesUndeletableObsoleteFileAside();
    void freshInstallDownloadsEverything();
    void downloadFailuresReachErrorReason_data();
    void downloadFailuresReachErrorReason();
    void verification_data();
    void verification();
    void skippedVerificationReadsNothing();
    void verificationStopsTakingFilesAfterAFailure();
    void installationSurvivesItsOwnMilestones();

private:
    void makeHelper(const QByteArray &SettingsLines);
    std::shared_ptr<TPackageInstallation> makeInstallation();
    QString target(const QString &LocalFile) const { return m_directory.filePath(LocalFile); }

    std::unique_ptr<QTemporaryDir> m_application;
    std::unique_ptr<QTemporaryDir> m_installation;
    QDir m_directory;
    std::shared_ptr<TLockingFilesystemHelper> m_helper;
    std::unique_ptr<TTestHttpServer> m_server;
    std::unique_ptr<TTestPackageBuilder> m_package;
};

void TPackageInstallationTest::init()
{
    m_application = std::make_unique<QTemporaryDir>();
    m_installation = std::make_unique<QTemporaryDir>();
    m_directory = QDir(m_installation->path());
    m_server = std::make_unique<TTestHttpServer>();
    m_package = std::make_unique<TTestPackageBuilder>(*m_server);
    makeHelper(QByteArray());
}

void TPackageInstallationTest::makeHelper(const QByteArray &SettingsLines)
{
    if (!SettingsLines.isEmpty())
        testsupport::writeLauncherSettings(m_application->path(), SettingsLines);
    m_helper = std::make_shared<TLockingFilesystemHelper>(m_application->path());
}

std::shared_ptr<TPackageInstallation> TPackageInstallationTest::makeInstallation()
{
    const auto Configuration = m_package->configuration(QStringLiteral("1"));
    auto Installation = TPackageInstallation::makeInstallation(
        TTestPackageBuilder::makePackage(QStringLiteral("Client"), 0, &Configuration), m_helper);
    Installation->setInstallationDirectory(m_directory);
    return Installation;
}

void TPackageInstallationTest::emptyDifferenceCompletesAtOnceAndDeletesObsoleteFiles()
{
    writeAll(target(QStringLiteral("old.dll")), "old");
    writeAll(target(QStringLiteral("maps/old/a.map")), "old map");
    writeAll(target(QStringLiteral("kept.txt")), "kept");
    const QString Outside = QFileInfo(m_directory.absolutePath()).absolutePath() +
                            QStringLiteral("/outside-") + QFileInfo(m_directory.path()).fileName();
    writeAll(Outside, "not ours");

    const auto Installation = makeInstallation();
    QSignalSpy Finished(Installation.get(), &TPackageInstallation::downloadFinished);
    TPackageDifference Changes;
    const QStringList Names{QStringLiteral("old.dll"), QStringLiteral("maps/old"),
                            QStringLiteral("../outside-") +
                                QFileInfo(m_directory.path()).fileName(),
                            QString(), QStringLiteral("maps/..")};
    for (const QString &Name : Names)
        Changes.filesToDelete.push_back(listed(Name));
    Installation->onRequiredChangesComputedForInstallation(Changes);

    QCOMPARE(Finished.size(), 1);
    QVERIFY(Installation->succeeded());
    QCOMPARE(Installation->errorReason(), EPackageDownloaderError::NoError);
    QVERIFY(!QFile::exists(target(QStringLiteral("old.dll"))));
    QVERIFY(!QFile::exists(target(QStringLiteral("maps/old"))));
    QVERIFY(QFile::exists(target(QStringLiteral("kept.txt"))));
    QCOMPARE(readAll(Outside), QByteArray("not ours"));
    QFile::remove(Outside);
}

void TPackageInstallationTest::selfUpdateMovesUndeletableObsoleteFileAside()
{
    writeAll(target(QStringLiteral("plugin.dll")), "in use");
    writeAll(target(QStringLiteral("plugin.dll.old")), "older");
    m_helper->lock(target(QStringLiteral("plugin.dll")));
    TPackageDifference Changes;
    Changes.filesToDelete.push_back(listed(QStringLiteral("plugin.dll")));

    const auto Normal = makeInstallation();
    QSignalSpy DiskAccessFailed(Normal.get(), &TPackageInstallation::diskAccessFailed);
    QSignalSpy NormalFinished(Normal.get(), &TPackageInstallation::downloadFinished);
    Normal->onRequiredChangesComputedForInstallation(Changes);
    QCOMPARE(DiskAccessFailed.size(), 1);
    QVERIFY(DiskAccessFailed.first().first().toString().startsWith(
        QStringLiteral("Failed to delete file ")));
    QCOMPARE(NormalFinished.size(), 0);

    const auto SelfUpdate = makeInstallation();
    SelfUpdate->setInstallationMode(EInstallationMode::SelfUpdate);
    QSignalSpy Finished(SelfUpdate.get(), &TPackageInstallation::downloadFinished);
    SelfUpdate->onRequiredChangesComputedForInstallation(Changes);
    QCOMPARE(Finished.size(), 1);
    QVERIFY(!QFile::exists(target(QStringLiteral("plugin.dll"))));
    QCOMPARE(readAll(target(QStringLiteral("plugin.dll.old"))), QByteArray("in use"));
}

void TPackageInstallationTest::freshInstallDownloadsEverything()
{
    const QByteArray Client = TTestPackageBuilder::compressibleBytes(50000, 3);
    m_package->addFile(QStringLiteral("bin/client" CORVANE_EXE_SUFFIX), Client, true,
                       {20000, 30000});
    m_package->addFile(QStringLiteral("data/x.pak"), TTestPackageBuilder::randomBytes(9000, 4));
    const auto Installation = makeInstallation();
    QSignalSpy Finished(Installation.get(), &TPackageInstallation::downloadFinished);
    QSignalSpy Scan(Installation.get(), &TPackageInstallation::scanProgress);
    Installation->startRequiredChangesComputation(m_package->configuration(QStringLiteral("1")),
                                                  TPackageConfigurationReader(), false);
    QVERIFY(Finished.wait(20000));
    QVERIFY(Installation->succeeded());
    QCOMPARE(Installation->filesToDownload().size(), std::size_t(2));
    QCOMPARE(readAll(target(QStringLiteral("bin/client" CORVANE_EXE_SUFFIX))), Client);
    QCOMPARE(m_server->requests().size(), 3);
}

void TPackageInstallationTest::downloadFailuresReachErrorReason_data()
{
    QTest::addColumn<bool>("blockDirectory");
    QTest::addColumn<bool>("readOnlyDirectory");
    QTest::addColumn<EPackageDownloaderError>("errorReason");
    QTest::newRow("chunk server fails")
        << false << false << EPackageDownloaderError::DownloadFailed;
    QTest::newRow("file where a directory is needed")
        << true << false << EPackageDownloaderError::SavingOperationFailed;
    QTest::newRow("read-only installation directory")
        << false << true << EPackageDownloaderError::SavingOperationFailed;
}

void TPackageInstallationTest::downloadFailuresReachErrorReason()
{
    QFETCH(bool, blockDirectory);
    QFETCH(bool, readOnlyDirectory);
    QFETCH(EPackageDownloaderError, errorReason);
    const QByteArray Content = TTestPackageBuilder::compressibleBytes(4000, 5);
    m_package->addFile(QStringLiteral("bin/client" CORVANE_EXE_SUFFIX), Content, true, {4000});
    if (errorReason == EPackageDownloaderError::DownloadFailed)
        m_server->setFault(m_package->chunkPath(Content), TFault::status(500));
    if (blockDirectory)
        writeAll(target(QStringLiteral("bin")), "a file");
    if (readOnlyDirectory) {
        QFile::setPermissions(m_directory.path(), QFile::ReadOwner | QFile::ExeOwner);
        const bool Enforced = !QFile(target(QStringLiteral("probe"))).open(QIODevice::WriteOnly);
        if (!Enforced) {
            QFile::setPermissions(m_directory.path(),
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
            QSKIP("permissions are not enforced for this user");
        }
    }
    const auto Installation = makeInstallation();
    QSignalSpy Finished(Installation.get(), &TPackageInstallation::downloadFinished);
    Installation->onRequiredChangesComputedForInstallation({m_package->allMissing(), {}});
    QVERIFY(Finished.wait(20000));
    QFile::setPermissions(m_directory.path(),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QVERIFY(!Installation->succeeded());
    QCOMPARE(Installation->errorReason(), errorReason);
}

void TPackageInstallationTest::verification_data()
{
    QTest::addColumn<QString>("damage");
    QTest::addColumn<bool>("expected");
    QTest::newRow("intact") << QString() << true;
    QTest::newRow("a byte changed") << QStringLiteral("change") << false;
    QTest::newRow("file missing") << QStringLiteral("remove") << false;
    QTest::newRow("file longer") << QStringLiteral("append") << false;
    QTest::newRow("unlisted file present") << QStringLiteral("extra") << true;
    QTest::newRow("empty list") << QStringLiteral("nothing listed") << true;
}

void TPackageInstallationTest::verification()
{
    QFETCH(QString, damage);
    QFETCH(bool, expected);
    // Larger than one read of the verification; nothing is downloaded, so nothing is packed.
    m_package->setPacking(TTestPackageBuilder::EPacking::Plain);
    const QByteArray A = TTestPackageBuilder::randomBytes(11 << 20, 1);
    const QByteArray B = "small file";
    if (damage != QLatin1String("nothing listed")) {
        m_package->addFile(QStringLiteral("big.pak"), A);
        m_package->addFile(QStringLiteral("sub/small.txt"), B);
    }
    writeAll(target(QStringLiteral("big.pak")), A);
    writeAll(target(QStringLiteral("sub/small.txt")), B);
    if (damage == QLatin1String("change")) {
        QByteArray Changed = A;
        Changed[int(A.size() - 1)] = char(Changed[int(A.size() - 1)] ^ 1);
        writeAll(target(QStringLiteral("big.pak")), Changed);
    } else if (damage == QLatin1String("remove")) {
        QFile::remove(target(QStringLiteral("sub/small.txt")));
    } else if (damage == QLatin1String("append")) {
        writeAll(target(QStringLiteral("sub/small.txt")), B + "!");
    } else if (damage == QLatin1String("extra")) {
        writeAll(target(QStringLiteral("unlisted.bin")), "whatever");
    }

    const auto Installation = makeInstallation();
    QSignalSpy Finished(Installation.get(), &TPackageInstallation::verificationFinished);
    QSignalSpy Progress(Installation.get(), &TPackageInstallation::verificationProgress);
    Installation->startVerification(m_package->configuration(QStringLiteral("1")), true);
    QVERIFY(Finished.wait(20000));
    QCOMPARE(Installation->succeeded(), expected);
    QCOMPARE(Installation->errorReason(), expected ? EPackageDownloaderError::NoError
                                                   : EPackageDownloaderError::VerificationFailed);
    if (damage.isEmpty()) {
        QTRY_VERIFY(!Progress.isEmpty());
        QCOMPARE(Progress.last().at(0).value<TFileSize>(), TFileSize(A.size() + B.size()));
        QCOMPARE(Progress.last().at(1).value<TFileSize>(), TFileSize(A.size() + B.size()));
    }
}

void TPackageInstallationTest::skippedVerificationReadsNothing()
{
    m_package->addFile(QStringLiteral("missing.bin"), "never written");
    const auto Installation = makeInstallation();
    QSignalSpy Finished(Installation.get(), &TPackageInstallation::verificationFinished);
    Installation->startVerification(m_package->configuration(QStringLiteral("1")), false);
    QCOMPARE(Finished.size(), 1);
    QVERIFY(Installation->succeeded());

    makeHelper("[OPTIONS]\nskipVerification=false\n");
    const auto Checked = makeInstallation();
    QSignalSpy CheckedFinished(Checked.get(), &TPackageInstallation::verificationFinished);
    Checked->startVerification(m_package->configuration(QStringLiteral("1")), false);
    QVERIFY(CheckedFinished.wait(20000));
    QVERIFY(!Checked->succeeded());
}

void TPackageInstallationTest::verificationStopsTakingFilesAfterAFailure()
{
    // Forty files, the first one missing: the six workers take at most their first file each.
    m_package->setPacking(TTestPackageBuilder::EPacking::Plain);
    for (int Index = 0; Index < 40; ++Index) {
        const QString Name = QStringLiteral("f%1").arg(Index, 2, 10, QLatin1Char('0'));
        const QByteArray Content = TTestPackageBuilder::randomBytes(200000, quint32(Index));
        m_package->addFile(Name, Content);
        if (Index > 0)
            writeAll(target(Name), Content);
    }
    const auto Installation = makeInstallation();
    QSignalSpy Finished(Installation.get(), &TPackageInstallation::verificationFinished);
    QSignalSpy Progress(Installation.get(), &TPackageInstallation::verificationProgress);
    Installation->startVerification(m_package->configuration(QStringLiteral("1")), true);
    QVERIFY(Finished.wait(20000));
    QVERIFY(!Installation->succeeded());
    QVERIFY(Progress.size() < 39);
}

void TPackageInstallationTest::installationSurvivesItsOwnMilestones()
{
    // The holder drops its last reference inside the milestone, as the manager does.
    auto Installation = makeInstallation();
    QPointer<TPackageInstallation> Watch(Installation.get());
    connect(Installation.get(), &TPackageInstallation::downloadFinished, this,
            [&Installation] { Installation.reset(); });
    Installation->onRequiredChangesComputedForInstallation({});
    QVERIFY(!Installation);
    QVERIFY(Watch);
    QTRY_VERIFY(!Watch);
}

QTEST_GUILESS_MAIN(TPackageInstallationTest)

#include "tst_packageinstallation.moc"
