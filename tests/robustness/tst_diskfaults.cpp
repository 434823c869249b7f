#include "download/EPackageDownloaderError.h"
#include "support/TLauncherSite.h"
#include "support/TTmpfsMount.h"
#include "support/TestFiles.h"

#include <QFile>
#include <QRegularExpression>
#include <QtTest>

#include <algorithm>

using testsupport::TLauncherSite;
using testsupport::TTestHttpServer;
using testsupport::TTestPackageBuilder;
using testsupport::TTmpfsMount;
using vorna::launcher::EPackageDownloaderError;
using TFault = TTestHttpServer::TFault;

namespace {

constexpr qint64 MiB = 1 << 20;

// The end of an installation as the main window logs it.
const QRegularExpression finishedLine(QStringLiteral("error reason: ([1-9])"));

struct TRun
{
    bool exited = false;
    int exitCode = -1;
    int errorReason = -1;           // from the log, when a failed installation was reported
    bool criticalFileError = false; // the launcher stopped at its critical file error
    QByteArray log;
    QByteArray output; // what the process wrote to standard output and error

    bool reportedFailure() const { return errorReason > 0 || criticalFileError; }
};

// One run of the real launcher with --first-launch. It ends by starting the client (exit code 0)
// or waits in a message box after a failure, where the run is cut short.
class TLauncherRun final
{
public:
    // With a DialogLog the launcher records and dismisses its message boxes there, and the run
    // ends only once one was recorded.
    TLauncherRun(TLauncherSite &Site, const QString &TemporaryDirectory = QString(),
                 const QStringList &Arguments = {QStringLiteral("--first-launch")},
                 const QString &DialogLog = QString())
        : m_site(Site), m_dialogLog(DialogLog)
    {
        // The new process recreates its log; the previous run's lines must not be read as its own.
        QFile::remove(Site.launcher().logFilePath());
        TLauncherSite::waitForNoRunningClient();
        m_process = Site.launcher().createProcess(Arguments);
        if (!TemporaryDirectory.isEmpty()) {
            QProcessEnvironment Environment = m_process->processEnvironment();
            Environment.insert(QStringLiteral("TMPDIR"), TemporaryDirectory);
            m_process->setProcessEnvironment(Environment);
        }
        if (!DialogLog.isEmpty()) {
            QFile::remove(DialogLog);
            QProcessEnvironment Environment = m_process->processEnvironment();
            Environment.insert(QStringLiteral("CORVANE_TEST_DIALOG_LOG"), DialogLog);
            m_process->setProcessEnvironment(Environment);
        }
        m_process->start();
        m_started = m_process->waitForStarted();
    }

    bool isRunning() const { return m_process->state() == QProcess::Running; }
    QByteArray log() const { return m_site.launcher().readLog(); }

    TRun finish(int TimeoutMs = 40000)
    {
        TRun Run;
        if (!m_started)
            return Run;
        const auto ended = [this] {
            const QByteArray Log = log();
            // A dialog counts once its line is whole: the hook creates the file before writing.
            return (Log.contains("critical file error") ||
                    finishedLine.match(QString::fromUtf8(Log)).hasMatch()) &&
                   (m_dialogLog.isEmpty() || testsupport::readAll(m_dialogLog).contains('\n'));
        };
        const auto Ending = TStagedLauncher::finish(*m_process, ended, TimeoutMs);
        Run.exited = Ending.exited;
        Run.exitCode = Ending.exitCode;
        Run.log = log();
        Run.output = m_process->readAllStandardOutput() + m_process->readAllStandardError();
        Run.criticalFileError = Run.log.contains("critical file error");
        const auto Match = finishedLine.match(QString::fromUtf8(Run.log));
        if (Match.hasMatch())
            Run.errorReason = Match.captured(1).toInt();
        return Run;
    }

private:
    TLauncherSite &m_site;
    QString m_dialogLog;
    std::unique_ptr<QProcess> m_process;
    bool m_started = false;
};

QByteArray tail(const TRun &Run)
{
    return Run.log.right(4000);
}

// Whether a line of the log holds both texts (the log quotes and spaces its pieces freely).
bool hasLineWith(const QByteArray &Log, const QByteArray &Text, const QByteArray &Other)
{
    const QList<QByteArray> Lines = Log.split('\n');
    return std::any_of(Lines.cbegin(), Lines.cend(), [&](const QByteArray &Line) {
        return Line.contains(Text) && Line.contains(Other);
    });
}

QString packagesDirectory(TLauncherSite &Site)
{
    return Site.launcher().directory() + QStringLiteral("/packages");
}

bool fileExists(TLauncherSite &Site, const QString &Name)
{
    return QFile::exists(Site.installationDirectory() + QLatin1Char('/') + Name);
}

} // namespace

// The real launcher on a small tmpfs that runs full or turns read-only: every such fault ends in
// the saving error (or the critical file error for markers), never in "installed"; what was good
// before stays good where the engine can keep it, and a later run with space completes.
class TestDiskFaults final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void diskFullDuringDownload_data();
    void diskFullDuringDownload();
    void diskFullInPendingChunkOverflow_data();
    void diskFullInPendingChunkOverflow();
    void diskFullWhileWritingMarkers();
    void readOnlyInstallationDirectory();
    void cleanupTestCase();

private:
    void expectRepairedWithSpace(TLauncherSite &Site, const QString &TemporaryDirectory = {});
};

void TestDiskFaults::initTestCase()
{
    QTemporaryDir Directory;
    QVERIFY(Directory.isValid());
    TTmpfsMount Probe;
    if (!Probe.mount(Directory.filePath(QStringLiteral("probe")), MiB))
        QSKIP(qPrintable(QStringLiteral("disk fault tests mount a tmpfs and need root and a "
                                        "sandbox that allows mounting: ") +
                         Probe.errorText()));
}

void TestDiskFaults::cleanupTestCase()
{
    QVERIFY(TLauncherSite::waitForNoRunningClient());
}

void TestDiskFaults::expectRepairedWithSpace(TLauncherSite &Site, const QString &TemporaryDirectory)
{
    Site.server().clearFaults();
    const TRun Repair = TLauncherRun(Site, TemporaryDirectory).finish();
    QVERIFY2(Repair.exited && Repair.exitCode == 0, tail(Repair).constData());
    const QStringList Differences = Site.differences();
    QVERIFY2(Differences.isEmpty(),
             qPrintable(Differences.join(QLatin1Char('\n')) + QLatin1Char('\n') +
                        QString::fromUtf8(tail(Repair) + Repair.output)));
}

void TestDiskFaults::diskFullDuringDownload_data()
{
    QTest::addColumn<bool>("update");
    // false: too little space from the start; true: another program fills the disk while the
    // last chunk is on its way.
    QTest::addColumn<bool>("filledWhileDownloading");
    QTest::newRow("fresh install larger than the disk is refused before writing") << false << false;
    QTest::newRow("update larger than the free space is refused before writing") << true << false;
    QTest::newRow("disk filled by another program during a fresh install") << false << true;
    QTest::newRow("disk filled by another program during an update") << true << true;
}

void TestDiskFaults::diskFullDuringDownload()
{
    QFETCH(bool, update);
    QFETCH(bool, filledWhileDownloading);
    TLauncherSite Site;
    QVERIFY(Site.isValid());
    TTmpfsMount Disk;
    Site.package().setPacking(TTestPackageBuilder::EPacking::Stored);
    const QByteArray Client =
        Site.expectedFiles().value(QStringLiteral("bin/client" CORVANE_EXE_SUFFIX));
    const QByteArray Keep = TTestPackageBuilder::randomBytes(300000, 1);
    Site.setFile(QStringLiteral("data/keep.bin"), Keep, {150000, 150000});
    const qint64 Base = TTmpfsMount::roundUpToPages(Client.size()) +
                        TTmpfsMount::roundUpToPages(Keep.size()) + MiB / 2;
    // Filled later, the disk first has room for the four megabytes to come.
    const qint64 DiskSize = Base + (filledWhileDownloading ? 8 * MiB : 2 * MiB);
    const QByteArray OldPak = TTestPackageBuilder::randomBytes(MiB, 2);
    if (update) {
        // A complete version 1 first.
        Site.setFile(QStringLiteral("data/a.pak"), OldPak, {MiB / 4, MiB / 4, MiB / 4, MiB / 4});
        Site.publish(QStringLiteral("1"));
        QVERIFY2(Disk.mount(packagesDirectory(Site), DiskSize), qPrintable(Disk.errorText()));
        const TRun First = TLauncherRun(Site).finish();
        QVERIFY2(First.exited && First.exitCode == 0, tail(First).constData());
        QVERIFY(Site.differences().isEmpty());
    } else {
        QVERIFY2(Disk.mount(packagesDirectory(Site), DiskSize), qPrintable(Disk.errorText()));
    }
    const QByteArray OldDocument = Site.packageJson();

    // Four megabytes of new content: more than is free, or than will be.
    Site.setFile(QStringLiteral("data/a.pak"), TTestPackageBuilder::randomBytes(4 * MiB, 3),
                 {MiB, MiB, MiB, MiB});
    Site.publish(QStringLiteral("2"));
    const QByteArray Last = Site.package().chunksOf(QStringLiteral("data/a.pak")).back();
    if (filledWhileDownloading)
        Site.server().setFault(Site.package().chunkPath(Last), TFault::delay(3000));
    const QString Dialogs = Site.launcher().home() + QStringLiteral("/dialogs.jsonl");
    TLauncherRun Launch(Site, QString(), {QStringLiteral("--first-launch")}, Dialogs);
    if (filledWhileDownloading) {
        const int OtherChunks = update ? 3 : Site.package().chunkCount() - 1;
        QTRY_VERIFY_WITH_TIMEOUT(Launch.log().count("processFinishedData found") >= OtherChunks ||
                                     !Launch.isRunning(),
                                 30000);
        QVERIFY(Launch.isRunning());
        QVERIFY(Disk.fillLeaving(0));
    }
    const TRun Run = Launch.finish();
    QVERIFY2(!Run.exited, tail(Run).constData());
    // Refused or run full, the player is told the same: the package, what it needs, what is free.
    QCOMPARE(Run.errorReason, int(EPackageDownloaderError::NotEnoughDiskSpace));
    const QByteArray Dialog = testsupport::readAll(Dialogs);
    QVERIFY2(Dialog.contains("\"title\":\"Not enough disk space\"") &&
                 QRegularExpression(
                     QStringLiteral("does not fit on the disk: needs [0-9.]+ ([KMG]B|bytes), "
                                    "[0-9.]+ ([KMG]B|bytes) free on %1\\.")
                         .arg(QRegularExpression::escape(Disk.directory())))
                     .match(QString::fromUtf8(Dialog))
                     .hasMatch(),
             Dialog.constData());
    QCOMPARE(Run.log.contains("Failed to save file downloaded from"), filledWhileDownloading);
    QVERIFY(!Run.log.contains("startPackageAndExit"));
    QVERIFY(!fileExists(Site, QStringLiteral("package.json")) ||
            (update && !filledWhileDownloading));
    if (!filledWhileDownloading) {
        // Nothing was written: no marker moved, no file was touched.
        QVERIFY(!fileExists(Site, QStringLiteral("partial-package.json")));
        QVERIFY(!fileExists(Site, QStringLiteral("data/a.pak")) || update);
        if (update) {
            QCOMPARE(Site.readInstalled(QStringLiteral("package.json")), OldDocument);
            QCOMPARE(Site.readInstalled(QStringLiteral("data/a.pak")), OldPak);
        }
    } else {
        QVERIFY(fileExists(Site, QStringLiteral("partial-package.json")));
    }

    if (update) {
        // The files this update does not touch stay byte-exact, and the partial marker keeps
        // version 1's document, so that the next run compares against what is really there.
        QCOMPARE(Site.readInstalled(QStringLiteral("data/keep.bin")), Keep);
        QCOMPARE(Site.readInstalled(QStringLiteral("bin/client" CORVANE_EXE_SUFFIX)), Client);
        if (filledWhileDownloading)
            QCOMPARE(Site.readInstalled(QStringLiteral("partial-package.json")), OldDocument);
    }

    QVERIFY2(Disk.resize(200 * MiB), qPrintable(Disk.errorText()));
    expectRepairedWithSpace(Site);
}

void TestDiskFaults::diskFullInPendingChunkOverflow_data()
{
    QTest::addColumn<qint64>("pieceSize");
    QTest::newRow("chunks larger than the write buffer") << qint64(100000);
    // Small writes only reach the disk when the buffer is flushed.
    QTest::newRow("chunks smaller than the write buffer") << qint64(8000);
}

void TestDiskFaults::diskFullInPendingChunkOverflow()
{
    QFETCH(qint64, pieceSize);
    // Every early chunk beyond the first goes to a temporary file, on a disk too small for one.
    TLauncherSite Site("[OPTIONS]\nmaxCachedChunks=0\n");
    QVERIFY(Site.isValid());
    QTemporaryDir Temporary;
    QVERIFY(Temporary.isValid());
    TTmpfsMount TemporaryDisk;
    const QString TemporaryPath = Temporary.filePath(QStringLiteral("tmp"));
    QVERIFY2(TemporaryDisk.mount(TemporaryPath, TTmpfsMount::PageSize),
             qPrintable(TemporaryDisk.errorText()));
    Site.package().setPacking(TTestPackageBuilder::EPacking::Stored);
    const qint64 Piece = pieceSize;
    Site.setFile(QStringLiteral("data/a.pak"), TTestPackageBuilder::randomBytes(6 * Piece, 4),
                 {Piece, Piece, Piece, Piece, Piece, Piece});
    Site.publish(QStringLiteral("1"));
    // The first chunk comes late, so the five behind it arrive early and wait in the cache.
    const std::vector<QByteArray> Chunks = Site.package().chunksOf(QStringLiteral("data/a.pak"));
    Site.server().setFault(Site.package().chunkPath(Chunks[0]), TFault::delay(1500));

    const TRun Run = TLauncherRun(Site, TemporaryDisk.directory()).finish();
    QVERIFY2(!Run.exited, tail(Run).constData());
    QCOMPARE(Run.errorReason, int(EPackageDownloaderError::SavingOperationFailed));
    // The failure is the temporary file's, not the target's.
    QVERIFY2(Run.log.contains(TemporaryDisk.directory().toUtf8()) &&
                 Run.log.contains("couldn't write chunk file"),
             tail(Run).constData());
    QVERIFY(!fileExists(Site, QStringLiteral("package.json")));
    QVERIFY(fileExists(Site, QStringLiteral("partial-package.json")));
    QCOMPARE(Site.fullMarkerInconsistency(), QString());
    QVERIFY(!Run.log.contains("startPackageAndExit"));

    // With room for the overflow a late arrival installs byte-exact through it. The first two
    // chunks were written when the first one came; the third is late this time.
    QVERIFY2(TemporaryDisk.resize(16 * MiB), qPrintable(TemporaryDisk.errorText()));
    Site.server().clearFaults();
    Site.server().setFault(Site.package().chunkPath(Chunks[2]), TFault::delay(1500));
    const TRun Repair = TLauncherRun(Site, TemporaryDisk.directory()).finish();
    QVERIFY2(Repair.exited && Repair.exitCode == 0, tail(Repair).constData());
    QVERIFY(Repair.log.contains("from temp file to"));
    const QStringList Differences = Site.differences();
    QVERIFY2(Differences.isEmpty(),
             qPrintable(Differences.join(QLatin1Char('\n')) + QLatin1Char('\n') +
                        QString::fromUtf8(tail(Repair) + Repair.output)));
}

void TestDiskFaults::diskFullWhileWritingMarkers()
{
    TLauncherSite Site;
    QVERIFY(Site.isValid());
    TTmpfsMount Disk;
    Site.package().setPacking(TTestPackageBuilder::EPacking::Stored);
    const QByteArray Client =
        Site.expectedFiles().value(QStringLiteral("bin/client" CORVANE_EXE_SUFFIX));
    Site.setFile(QStringLiteral("data/a.pak"), TTestPackageBuilder::randomBytes(200000, 5),
                 {200000});
    // The last file fills whole pages, so that it can take exactly the space left.
    const qint64 LastSize = 16 * TTmpfsMount::PageSize;
    Site.setFile(QStringLiteral("last.bin"), TTestPackageBuilder::randomBytes(LastSize, 6),
                 {LastSize});
    Site.publish(QStringLiteral("1"));
    const QByteArray Last = Site.package().chunksOf(QStringLiteral("last.bin"))[0];
    const QString LastPath = Site.package().chunkPath(Last);
    Site.server().setFault(LastPath, TFault::delay(3000));
    QVERIFY2(Disk.mount(packagesDirectory(Site), TTmpfsMount::roundUpToPages(Client.size()) + MiB),
             qPrintable(Disk.errorText()));

    TLauncherRun Launch(Site);
    // Every other chunk is saved while the last one is held back by the server; then the disk is
    // filled so that exactly the last file fits and no marker does.
    const int OtherChunks = Site.package().chunkCount() - 1;
    QTRY_VERIFY_WITH_TIMEOUT(Launch.log().count("processFinishedData found") >= OtherChunks ||
                                 !Launch.isRunning(),
                             30000);
    QVERIFY(Launch.isRunning());
    QVERIFY(Disk.fillLeaving(LastSize));
    const QByteArray LastUrl = Site.server().url(LastPath).toEncoded();
    QVERIFY2(!hasLineWith(Launch.log(), "saveDownloadedData chunk", LastUrl),
             "the last chunk was saved before the disk was filled");

    const TRun Run = Launch.finish();
    QVERIFY2(Run.reportedFailure() && !(Run.exited && Run.exitCode == 0), tail(Run).constData());
    // The files were all written; only the marker found no room.
    QVERIFY(hasLineWith(Run.log, "processFinishedData found", LastUrl));
    QVERIFY2(Run.log.contains("No space left on device"), tail(Run).constData());
    QVERIFY(!Run.log.contains("startPackageAndExit"));
    QVERIFY(!Run.log.contains("error reason: 0"));
    QVERIFY(!fileExists(Site, QStringLiteral("package.json")));
    QVERIFY(fileExists(Site, QStringLiteral("partial-package.json")));
    // The markers are replaced whole or not at all: no truncated document is left behind.
    QCOMPARE(Site.readInstalled(QStringLiteral("partial-package.json")), Site.packageJson());

    QVERIFY2(Disk.resize(200 * MiB), qPrintable(Disk.errorText()));
    expectRepairedWithSpace(Site);
}

void TestDiskFaults::readOnlyInstallationDirectory()
{
    TLauncherSite Site;
    QVERIFY(Site.isValid());
    TTmpfsMount Disk;
    Site.package().setPacking(TTestPackageBuilder::EPacking::Stored);
    Site.setFile(QStringLiteral("data/a.pak"), TTestPackageBuilder::randomBytes(300000, 7),
                 {100000, 100000, 100000});
    Site.publish(QStringLiteral("1"));
    QVERIFY2(Disk.mount(packagesDirectory(Site), 64 * MiB), qPrintable(Disk.errorText()));
    const TRun First = TLauncherRun(Site).finish();
    QVERIFY2(First.exited && First.exitCode == 0, tail(First).constData());
    const QMap<QString, QByteArray> Installed = Site.expectedFiles();
    const QByteArray InstalledDocument = Site.packageJson();

    QVERIFY2(Disk.setReadOnly(true), qPrintable(Disk.errorText()));
    Site.setFile(QStringLiteral("data/a.pak"), TTestPackageBuilder::randomBytes(300000, 8),
                 {100000, 100000, 100000});
    Site.publish(QStringLiteral("2"));
    // Asked to patch the client, as the client itself does, so that the installation is the
    // first thing to meet the read-only disk.
    const TRun Run = TLauncherRun(Site, QString(),
                                  {QStringLiteral("--patch"),
                                   Site.installationDirectory() +
                                       QStringLiteral("/bin/client" CORVANE_EXE_SUFFIX)})
                         .finish();
    QVERIFY2(!Run.exited, tail(Run).constData());
    // The full marker cannot become the partial one, so the update stops before it begins,
    // naming the marker, instead of rewriting files that the full marker calls complete.
    QVERIFY2(Run.criticalFileError && hasLineWith(Run.log, "package.json", "Could not rename"),
             tail(Run).constData());
    QVERIFY(!Run.log.contains("startPackageAndExit"));
    // Nothing could change: version 1 is still complete and described by its marker.
    for (auto It = Installed.cbegin(); It != Installed.cend(); ++It)
        QCOMPARE(Site.readInstalled(It.key()), It.value());
    QCOMPARE(Site.readInstalled(QStringLiteral("package.json")), InstalledDocument);

    QVERIFY2(Disk.setReadOnly(false), qPrintable(Disk.errorText()));
    expectRepairedWithSpace(Site);
}

QTEST_GUILESS_MAIN(TestDiskFaults)
#include "tst_diskfaults.moc"
