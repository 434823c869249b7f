#include "download/EPackageDownloaderError.h"
#include "format/BlobContainer.h"
#include "support/TLauncherSite.h"
#include "support/TestFiles.h"

#include <QDirIterator>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSet>
#include <QtTest>

#include <functional>
#include <memory>

using testsupport::readAll;
using testsupport::TLauncherSite;
using testsupport::TTestHttpServer;
using testsupport::TTestPackageBuilder;
using vorna::launcher::EPackageDownloaderError;
using TFault = TTestHttpServer::TFault;

namespace {

// The end of an installation as the main window logs it.
const QRegularExpression finishedLine(QStringLiteral("error reason: ([1-9])"));

struct TRun
{
    bool exited = false;
    int exitCode = -1;
    int errorReason =
        -1; // as the log gives it, when the installation ended without the client start
    QByteArray log;
};

// Runs the launcher with --first-launch until it exits or reports the end of its installation
// (a failed installation waits in a message box, which nobody closes here).
// While waiting, WhileRunning is called on every poll.
TRun runFirstLaunch(TLauncherSite &Site, int TimeoutMs = 60000,
                    const std::function<void()> &WhileRunning = {})
{
    TRun Run;
    // The new process recreates its log; the previous run's lines must not be read as its own.
    QFile::remove(Site.launcher().logFilePath());
    TLauncherSite::waitForNoRunningClient();
    auto Process = Site.launcher().createProcess({QStringLiteral("--first-launch")});
    Process->start();
    if (!Process->waitForStarted())
        return Run;
    const auto Ending = TStagedLauncher::finish(
        *Process,
        [&] {
            if (WhileRunning)
                WhileRunning();
            return finishedLine.match(QString::fromUtf8(Site.launcher().readLog())).hasMatch();
        },
        TimeoutMs, 100);
    Run.exited = Ending.exited;
    Run.exitCode = Ending.exitCode;
    Run.log = Site.launcher().readLog();
    const auto Match = finishedLine.match(QString::fromUtf8(Run.log));
    if (Match.hasMatch())
        Run.errorReason = Match.captured(1).toInt();
    return Run;
}

} // namespace

// The real launcher against a loopback server that misbehaves: every fault ends either in a
// byte-exact installation or in a reported failure that leaves the package partially installed.
class TestLauncherFaults final : public QObject
{
    Q_OBJECT

private slots:
    void chunkFaults_data();
    void chunkFaults();
    void documentFaults_data();
    void documentFaults();
    void updateThroughDeltas_data();
    void updateThroughDeltas();
    void defaultStartWithoutProgramShowsWindow_data();
    void defaultStartWithoutProgramShowsWindow();
    void settingsGapsTakeBuiltInValues_data();
    void settingsGapsTakeBuiltInValues();
    void downloadRateCap_data();
    void downloadRateCap();
    void redirectToAnotherServer();
    void metadataChangesBetweenRuns();
    void cleanupTestCase();

private:
    void publishSample(TLauncherSite &Site);
    int m_faults = 0;
};

void TestLauncherFaults::cleanupTestCase()
{
    // The last client must be gone before the next process test looks for its own.
    QVERIFY(TLauncherSite::waitForNoRunningClient());
    qInfo().noquote() << QStringLiteral("faults injected into launcher runs: %1").arg(m_faults);
}

void TestLauncherFaults::publishSample(TLauncherSite &Site)
{
    Site.package().setPacking(TTestPackageBuilder::EPacking::Stored);
    Site.setFile(QStringLiteral("data/a.pak"), TTestPackageBuilder::randomBytes(300000, 1),
                 {100000, 100000, 100000});
    Site.setFile(QStringLiteral("data/readme.txt"),
                 TTestPackageBuilder::compressibleBytes(20000, 2), {20000});
    Site.publish(QStringLiteral("1"));
}

void TestLauncherFaults::chunkFaults_data()
{
    QTest::addColumn<QString>("kind");
    // NoError: installs and starts the client.
    QTest::addColumn<EPackageDownloaderError>("expectedReason");
    const auto Failed = EPackageDownloaderError::DownloadFailed;
    const auto Installs = EPackageDownloaderError::NoError;
    QTest::newRow("reset mid-chunk on every try") << QStringLiteral("reset") << Failed;
    QTest::newRow("reset mid-chunk twice, then fine") << QStringLiteral("reset twice") << Installs;
    QTest::newRow("404") << QStringLiteral("404") << Failed;
    QTest::newRow("500") << QStringLiteral("500") << Failed;
    QTest::newRow("503 on every try") << QStringLiteral("503") << Failed;
    QTest::newRow("503 three times, then fine") << QStringLiteral("503 thrice") << Installs;
    QTest::newRow("stalling server") << QStringLiteral("hang") << Failed;
    QTest::newRow("stalling once, then fine") << QStringLiteral("hang once") << Installs;
    QTest::newRow("body longer than declared") << QStringLiteral("longer") << Failed;
    QTest::newRow("body shorter than declared") << QStringLiteral("shorter") << Failed;
    QTest::newRow("right size, wrong bytes") << QStringLiteral("wrong bytes") << Failed;
    QTest::newRow("right size, wrong bytes once") << QStringLiteral("wrong bytes once") << Installs;
    QTest::newRow("slow but steady") << QStringLiteral("trickle") << Installs;
    QTest::newRow("each chunk dropped once mid-body")
        << QStringLiteral("drop each once") << Installs;
    QTest::newRow("endless chunk body") << QStringLiteral("endless") << Failed;
    QTest::newRow("packed: one range request") << QStringLiteral("packed") << Installs;
    QTest::newRow("packed, server answers another range")
        << QStringLiteral("packed, wrong ranges") << Installs;
    QTest::newRow("paused by the player mid-download, then resumed")
        << QStringLiteral("pause") << Installs;
}

void TestLauncherFaults::chunkFaults()
{
    QFETCH(QString, kind);
    QFETCH(EPackageDownloaderError, expectedReason);
    const auto Unpause = qScopeGuard([] { qunsetenv("CORVANE_TEST_PAUSE_MS"); });
    // Short transfer timeout so that a stalling server fails within seconds.
    TLauncherSite Site("[OPTIONS]\ntransferTimeout=1500\n");
    QVERIFY(Site.isValid());
    publishSample(Site);
    const QByteArray Middle = Site.package().chunksOf(QStringLiteral("data/a.pak"))[1];
    const QString Path = Site.package().chunkPath(Middle);
    const QByteArray Packed = ::shared::encodeBlobContainer(Middle, 0);
    QByteArray Damaged = Packed;
    Damaged[Damaged.size() - 1] = char(Damaged.at(Damaged.size() - 1) ^ 0x5a);

    TFault Fault;
    if (kind == QStringLiteral("reset")) {
        Fault = TFault::closeAfter(Packed.size() / 2);
    } else if (kind == QStringLiteral("reset twice")) {
        Fault = TFault::closeAfter(Packed.size() / 2);
        Fault.times = 2;
    } else if (kind == QStringLiteral("503 thrice")) {
        Fault = TFault::status(503);
        Fault.times = 3;
    } else if (kind.at(0).isDigit()) {
        Fault = TFault::status(kind.toInt());
    } else if (kind == QStringLiteral("hang")) {
        Fault = TFault::hang();
    } else if (kind == QStringLiteral("hang once")) {
        Fault = TFault::hang();
        Fault.times = 1;
    } else if (kind == QStringLiteral("longer")) {
        Fault = TFault::wrongContentLength(Packed.size() - 7);
    } else if (kind == QStringLiteral("shorter")) {
        Fault = TFault::wrongContentLength(Packed.size() + 7);
    } else if (kind == QStringLiteral("wrong bytes")) {
        Fault = TFault::replaceBody(Damaged);
    } else if (kind == QStringLiteral("wrong bytes once")) {
        Fault = TFault::replaceBody(Damaged);
        Fault.times = 1;
    } else if (kind == QStringLiteral("trickle")) {
        Fault = TFault::trickle(20000, 20);
    } else if (kind == QStringLiteral("endless")) {
        Fault = TFault::endlessBody();
    } else if (kind == QStringLiteral("drop each once")) {
        // More chunks than the launcher fetches at once, each cut off once by the server.
        Site.setFile(QStringLiteral("data/b.pak"), TTestPackageBuilder::randomBytes(4800000, 5),
                     std::vector<qint64>(24, 200000));
        Site.publish(QStringLiteral("1"));
        for (const QString &File : Site.expectedFiles().keys()) {
            for (const QByteArray &Chunk : Site.package().chunksOf(File)) {
                TFault Drop = TFault::closeAfter(Chunk.size() / 2);
                Drop.times = 1;
                Site.server().setFault(Site.package().chunkPath(Chunk), Drop);
            }
        }
        Fault = TFault::closeAfter(Packed.size() / 2);
        Fault.times = 1;
    } else if (kind == QStringLiteral("pause")) {
        // More chunks than the launcher fetches at once, each slow enough for the hook's click
        // on Pause to come while the first ones are on their way; Resume 1.5 s later.
        Site.setFile(QStringLiteral("data/b.pak"), TTestPackageBuilder::randomBytes(4800000, 5),
                     std::vector<qint64>(24, 200000));
        Site.publish(QStringLiteral("1"));
        for (const QString &File : Site.expectedFiles().keys()) {
            for (const QByteArray &Chunk : Site.package().chunksOf(File))
                Site.server().setFault(Site.package().chunkPath(Chunk), TFault::delay(400));
        }
        Fault = TFault::delay(400);
        qputenv("CORVANE_TEST_PAUSE_MS", "1500");
    }
    QString PackPath;
    if (kind.startsWith(QStringLiteral("packed"))) {
        PackPath = Site.package().packAll();
        Site.publish(QStringLiteral("1"));
        if (kind.endsWith(QStringLiteral("wrong ranges")))
            Site.server().setFault(PackPath, TFault::shiftedRange(1));
    } else {
        Site.server().setFault(Path, Fault);
    }
    ++m_faults;

    // Chunk requests the server had when the launcher logged its pause.
    QStringList ChunkPaths;
    for (const QString &File : Site.expectedFiles().keys()) {
        for (const QByteArray &Chunk : Site.package().chunksOf(File))
            ChunkPaths << Site.package().chunkPath(Chunk);
    }
    int RequestsAtPause = -1;
    const TRun Run = runFirstLaunch(Site, 60000, [&] {
        if (kind == QStringLiteral("pause") && RequestsAtPause < 0 &&
            Site.launcher().readLog().contains("pause: ")) {
            RequestsAtPause = 0;
            for (const QString &ChunkPath : qAsConst(ChunkPaths))
                RequestsAtPause += Site.server().requestCount(ChunkPath);
        }
    });
    QVERIFY2(Run.exited || Run.errorReason >= 0, Run.log.right(3000).constData());
    QVERIFY(!Run.log.contains("critical file error"));
    if (expectedReason == EPackageDownloaderError::NoError) {
        QVERIFY2(Run.exitCode == 0, Run.log.right(3000).constData());
        const QStringList Differences = Site.differences();
        QVERIFY2(Differences.isEmpty(), qPrintable(Differences.join(QLatin1Char('\n'))));
        // Packed chunks come in one range request, or each by its own address after it.
        if (!PackPath.isEmpty()) {
            QCOMPARE(Site.server().requestCount(PackPath), 1);
            QCOMPARE(Site.server().requestCount(Path), kind.endsWith(QStringLiteral("ranges")));
        }
        // A drop costs the dropped request one try, and no other request anything.
        if (kind == QStringLiteral("drop each once")) {
            for (const QByteArray &Chunk : Site.package().chunksOf(QStringLiteral("data/b.pak")))
                QCOMPARE(Site.server().requestCount(Site.package().chunkPath(Chunk)), 2);
        }
        // Paused with chunks still to fetch and resumed: the chunk bodies on the wire, each
        // counted whole however often it was asked for, stay within 1.05 times one install's.
        if (kind == QStringLiteral("pause")) {
            QVERIFY2(Run.log.contains("resume: ") && RequestsAtPause >= 0 &&
                         RequestsAtPause < ChunkPaths.size(),
                     qPrintable(QString::number(RequestsAtPause)));
            qint64 Once = 0;
            qint64 Wire = 0;
            for (const QString &File : Site.expectedFiles().keys()) {
                for (const QByteArray &Chunk : Site.package().chunksOf(File)) {
                    const qint64 Size = ::shared::encodeBlobContainer(Chunk, 0).size();
                    Once += Size;
                    Wire += Size * Site.server().requestCount(Site.package().chunkPath(Chunk));
                }
            }
            qInfo().noquote() << QStringLiteral("paused at %1 of %2 chunk requests; %3 bytes on "
                                                "the wire, %4 times one install")
                                     .arg(RequestsAtPause)
                                     .arg(ChunkPaths.size())
                                     .arg(Wire)
                                     .arg(double(Wire) / double(Once), 0, 'f', 3);
            QVERIFY(Wire * 100 <= Once * 105);
        }
    } else {
        QVERIFY(!Run.exited);
        QCOMPARE(Run.errorReason, int(expectedReason));
        // Reported, not installed: the partial marker stays, the full marker never came.
        QVERIFY(!QFile::exists(Site.installationDirectory() + QStringLiteral("/package.json")));
        QVERIFY(
            QFile::exists(Site.installationDirectory() + QStringLiteral("/partial-package.json")));
        // A transfer fault uses the chunk's retry budget: four tries, no more.
        QVERIFY(Site.server().requestCount(Path) <= 4);

        // Once the server behaves, the next start completes without fetching what it has.
        Site.server().clearFaults();
        Site.server().clearRequests();
        const TRun Repair = runFirstLaunch(Site);
        QVERIFY2(Repair.exited && Repair.exitCode == 0, Repair.log.right(3000).constData());
        const QStringList Differences = Site.differences();
        QVERIFY2(Differences.isEmpty(), qPrintable(Differences.join(QLatin1Char('\n'))));
        QCOMPARE(Site.server().requestCount(Site.package().chunkPath(
                     Site.package().chunksOf(QStringLiteral("data/readme.txt"))[0])),
                 0);
    }
}

void TestLauncherFaults::documentFaults_data()
{
    QTest::addColumn<QString>("document");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("dialog"); // the title of the box the launcher must show, if any
    const QString maintenance = QStringLiteral("Corvane Online cannot be started");
    QTest::newRow("metadata 404") << QStringLiteral("metadata") << 404 << maintenance;
    QTest::newRow("metadata 500") << QStringLiteral("metadata") << 500 << maintenance;
    QTest::newRow("metadata 503") << QStringLiteral("metadata") << 503 << maintenance;
    QTest::newRow("metadata not JSON") << QStringLiteral("metadata") << 0 << maintenance;
    // A package without its document is not offered.
    QTest::newRow("package document 404") << QStringLiteral("package") << 404 << QString();
    QTest::newRow("package document 500") << QStringLiteral("package") << 500 << QString();
    QTest::newRow("package document 503") << QStringLiteral("package") << 503 << QString();
    // One whose document does not parse is offered, but its installation fails visibly.
    QTest::newRow("package document not JSON")
        << QStringLiteral("package") << 0 << QStringLiteral("Download failed");
    // A file where the packages directory belongs: the critical error names the directory, below
    // the staged launcher's non-ASCII path, as it is.
    QTest::newRow("packages directory blocked by a file")
        << QStringLiteral("packages") << 0 << QStringLiteral("Failed to create folder: '%1");
}

void TestLauncherFaults::documentFaults()
{
    QFETCH(QString, document);
    QFETCH(int, status);
    QFETCH(QString, dialog);
    TLauncherSite Site("[OPTIONS]\ntransferTimeout=1500\n");
    QVERIFY(Site.isValid());
    publishSample(Site);
    const QString Path = document == QStringLiteral("metadata") ? QStringLiteral("/meta.json")
                                                                : Site.packageDocumentPath();
    if (document == QStringLiteral("packages")) {
        const QString Packages =
            QDir(Site.launcher().directory()).filePath(QStringLiteral("packages"));
        QVERIFY(testsupport::writeAll(Packages, "a file, not a directory"));
        dialog = dialog.arg(QDir::toNativeSeparators(Packages));
    } else {
        Site.server().setFault(Path, status ? TFault::status(status)
                                            : TFault::replaceBody("{\"packages\": [ truncated"));
        ++m_faults;
    }

    auto Process = Site.launcher().createProcess({QStringLiteral("--first-launch")});
    const QString Dialogs = Site.launcher().home() + QStringLiteral("/dialogs.jsonl");
    QProcessEnvironment Environment = Process->processEnvironment();
    Environment.insert(QStringLiteral("CORVANE_TEST_DIALOG_LOG"), Dialogs);
    Process->setProcessEnvironment(Environment);
    Process->start();
    QVERIFY(Process->waitForStarted());
    // Titles and texts of the boxes shown, read back from their JSON lines.
    const auto Shown = [&Dialogs] {
        QString Texts;
        for (const QByteArray &Line : readAll(Dialogs).split('\n')) {
            const QJsonObject Box = QJsonDocument::fromJson(Line).object();
            Texts += Box.value(QStringLiteral("title")).toString() + QLatin1Char('\n') +
                     Box.value(QStringLiteral("text")).toString() + QLatin1Char('\n');
        }
        return Texts;
    };
    if (!dialog.isEmpty())
        QTRY_VERIFY2_WITH_TIMEOUT(Shown().contains(dialog),
                                  Site.launcher().readLog().right(3000).constData(),
                                  TStagedLauncher::ProcessBound);
    if (document == QStringLiteral("packages"))
        QVERIFY(QString::fromUtf8(Site.launcher().readLog()).contains(dialog));
    // The launcher gives up on the document (or shows its window without the package) and
    // installs nothing; it neither crashes nor reports success.
    const QByteArray Expected = document == QStringLiteral("metadata")
                                    ? QByteArray("configuration")
                                    : QByteArray("onLauncherReadyForAction");
    QTRY_VERIFY2_WITH_TIMEOUT(
        Site.launcher().readLog().contains(Expected) && Site.server().requestCount(Path) > 0,
        Site.launcher().readLog().right(3000).constData(), TStagedLauncher::ProcessBound);
    QTest::qWait(300);
    QVERIFY(Process->state() == QProcess::Running || Process->exitStatus() == QProcess::NormalExit);
    if (Process->state() == QProcess::NotRunning)
        QVERIFY(Process->exitCode() != 0);
    QVERIFY(TStagedLauncher::stop(*Process));
    QVERIFY(!QFile::exists(Site.installationDirectory() + QStringLiteral("/package.json")));
    QVERIFY(!QFile::exists(Site.installationDirectory() +
                           QStringLiteral("/bin/client" CORVANE_EXE_SUFFIX)));
    QVERIFY(!Site.launcher().readLog().contains("startPackageAndExit"));
}

void TestLauncherFaults::updateThroughDeltas_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("expectedDeltas");
    QTest::addColumn<int>("expectedFallbacks");
    QTest::newRow("one version behind") << QStringLiteral("fine") << 3 << 0;
    QTest::newRow("two versions behind") << QStringLiteral("two behind") << 3 << 0;
    QTest::newRow("missing delta falls back") << QStringLiteral("404") << 2 << 1;
    QTest::newRow("corrupt delta falls back") << QStringLiteral("corrupt") << 2 << 1;
    QTest::newRow("bases changed before the deltas arrived fall back")
        << QStringLiteral("base changed") << 0 << 3;
    QTest::newRow("document without deltas installs whole chunks")
        << QStringLiteral("no deltas") << 0 << 0;
}

void TestLauncherFaults::updateThroughDeltas()
{
    QFETCH(QString, kind);
    QFETCH(int, expectedDeltas);
    QFETCH(int, expectedFallbacks);
    TLauncherSite Site;
    QVERIFY(Site.isValid());
    publishSample(Site);
    const TRun First = runFirstLaunch(Site);
    QVERIFY2(First.exited && First.exitCode == 0, First.log.right(3000).constData());
    const auto OldPak = Site.package().chunksOf(QStringLiteral("data/a.pak"));
    const QByteArray OldReadme = Site.package().chunksOf(QStringLiteral("data/readme.txt"))[0];

    // A release that changes the start and the end of the large file and inserts a line into
    // the small one: three chunks change in a few bytes each.
    QStringList Deltas;
    const auto changed = [&](const QByteArray &Chunk, int At, char Mark) {
        QByteArray Bytes = Chunk;
        Bytes[At] = Mark;
        return Bytes;
    };
    const auto release = [&](const QString &Version, char Mark) {
        const QByteArray Head = changed(OldPak[0], 10, Mark);
        const QByteArray Tail = changed(OldPak[2], OldPak[2].size() - 10, Mark);
        const QByteArray Readme = QByteArray("changed in ") + Mark + '\n' + OldReadme;
        Site.setFile(QStringLiteral("data/a.pak"), Head + OldPak[1] + Tail,
                     {100000, 100000, 100000});
        Site.setFile(QStringLiteral("data/readme.txt"), Readme, {qint64(Readme.size())});
        if (kind != QStringLiteral("no deltas")) {
            Deltas = QStringList{Site.package().addDelta(Head, {OldPak[0]}),
                                 Site.package().addDelta(Tail, {OldPak[2]}),
                                 Site.package().addDelta(Readme, {OldReadme})};
        }
        Site.publish(Version);
    };
    release(QStringLiteral("2"), 'x');
    if (kind == QStringLiteral("two behind")) {
        // The player skipped 2: the head of 3 also has a delta from 2, offered first, whose
        // base this player does not have.
        const QByteArray Skipped = Site.package().chunksOf(QStringLiteral("data/a.pak"))[0];
        Site.package().addDelta(changed(OldPak[0], 10, 'y'), {Skipped});
        release(QStringLiteral("3"), 'y');
    }
    const auto NewPak = Site.package().chunksOf(QStringLiteral("data/a.pak"));
    const QString HeadChunk = Site.package().chunkPath(NewPak[0]);
    const QString HeadDelta = Deltas.value(0);
    const QString Staging = Site.installationDirectory() + QStringLiteral("/.corvane-delta-bases");
    std::function<void()> WhileRunning;
    if (kind == QStringLiteral("404")) {
        Site.server().setFault(HeadDelta, TFault::status(404));
    } else if (kind == QStringLiteral("corrupt")) {
        Site.server().setFault(HeadDelta, TFault::replaceBody("not a delta"));
    } else if (kind == QStringLiteral("base changed")) {
        // Held back until the test has overwritten the staged bases.
        for (const QString &Delta : Deltas)
            Site.server().setFault(Delta, TFault::delay(1500));
        // Each base is opened once: on Windows a file the test holds open cannot be deleted,
        // and the launcher removes the staging directory at the end.
        auto Overwritten = std::make_shared<QSet<QString>>();
        WhileRunning = [Staging, Overwritten] {
            QDirIterator Files(Staging, QDir::Files);
            while (Files.hasNext()) {
                const QString Path = Files.next();
                if (Overwritten->contains(Path))
                    continue;
                QFile Base(Path);
                if (!Base.open(QIODevice::ReadWrite))
                    continue;
                const QByteArray Bytes = Base.readAll();
                if (Bytes.count('\0') != Bytes.size() && Base.seek(0))
                    Base.write(QByteArray(Bytes.size(), '\0'));
                Overwritten->insert(Path);
            }
        };
    }
    ++m_faults;
    Site.server().clearRequests();
    const TRun Update = runFirstLaunch(Site, 60000, WhileRunning);
    QVERIFY2(Update.exited && Update.exitCode == 0, Update.log.right(3000).constData());
    const QStringList Differences = Site.differences();
    QVERIFY2(Differences.isEmpty(), qPrintable(Differences.join(QLatin1Char('\n')) +
                                               QString::fromUtf8(Update.log.right(3000))));
    QVERIFY(!QFileInfo::exists(Staging));

    const QRegularExpression Summary(QStringLiteral(
        "download summary: (\\d+) bytes in (\\d+) deltas, (\\d+) bytes in (\\d+) full "
        "chunks, (\\d+) deltas fell back"));
    const auto Match = Summary.match(QString::fromUtf8(Update.log));
    QVERIFY2(Match.hasMatch(), Update.log.right(3000).constData());
    QCOMPARE(Match.captured(2).toInt(), expectedDeltas);
    QCOMPARE(Match.captured(5).toInt(), expectedFallbacks);
    // A delta that worked spares its chunk; one that did not costs one download of it.
    QCOMPARE(Site.server().requestCount(HeadChunk), expectedDeltas == 3 ? 0 : 1);
    const bool TailWhole =
        kind == QStringLiteral("no deltas") || kind == QStringLiteral("base changed");
    QCOMPARE(Site.server().requestCount(Site.package().chunkPath(NewPak[2])), TailWhole ? 1 : 0);
    if (expectedDeltas == 3)
        QVERIFY(Match.captured(1).toLongLong() < 5000);
}

void TestLauncherFaults::defaultStartWithoutProgramShowsWindow_data()
{
    QTest::addColumn<bool>("documentNamesExecutable");
    QTest::newRow("executable missing on disk") << true;
    QTest::newRow("package document names no executable") << false;
}

void TestLauncherFaults::defaultStartWithoutProgramShowsWindow()
{
    QFETCH(bool, documentNamesExecutable);
    TLauncherSite Site;
    QVERIFY(Site.isValid());
    publishSample(Site);
    if (!documentNamesExecutable) {
        QJsonObject Document = QJsonDocument::fromJson(Site.packageJson()).object();
        Document.remove(QStringLiteral("executable"));
        Site.server().setFile(Site.packageDocumentPath(),
                              QJsonDocument(Document).toJson(QJsonDocument::Compact));
    }
    // The first launch installs the package and makes it the default.
    QVERIFY(TLauncherSite::waitForNoRunningClient());
    auto First = Site.launcher().createProcess({QStringLiteral("--first-launch")});
    First->start();
    QTRY_VERIFY_WITH_TIMEOUT(Site.launcher().readLog().contains("startPackageAndExit"), 60000);
    if (documentNamesExecutable)
        QVERIFY(First->waitForFinished(30000));
    QVERIFY(TStagedLauncher::stop(*First));
    QVERIFY(TLauncherSite::waitForNoRunningClient());
    // Windows refuses to delete a program that is still running; the client ends just after its
    // marker goes.
    const QString Program =
        Site.installationDirectory() + QStringLiteral("/bin/client" CORVANE_EXE_SUFFIX);
    QVERIFY(QFile::exists(Program) || !documentNamesExecutable);
    QTRY_VERIFY(!QFile::exists(Program) || QFile::remove(Program));

    // Started plainly, the up-to-date default has nothing to start: the window must show.
    QFile::remove(Site.launcher().logFilePath());
    auto Next = Site.launcher().createProcess();
    Next->start();
    QTRY_VERIFY_WITH_TIMEOUT(Site.launcher().readLog().contains("showMainWindow"),
                             TStagedLauncher::ProcessBound);
    QVERIFY(Site.launcher().readLog().contains("startPackageAndExit"));
    QCOMPARE(Next->state(), QProcess::Running);
    QVERIFY(TStagedLauncher::stop(*Next));
}

void TestLauncherFaults::settingsGapsTakeBuiltInValues_data()
{
    QTest::addColumn<QByteArray>("settings"); // %1 stands for the metadata address
    // Without a packages directory the packages lie beside the executable, a layout of its own.
    const QByteArray address(
        "[URLS]\nlauncherConfiguration=%1\n[DIRECTORIES]\npackages=packages\n");
    QTest::newRow("only the metadata address and the packages directory") << address;
    QTest::newRow("zero time-outs, empty names")
        << address + "[FILES]\npackageFile=\npartialPackageFile=\n"
                     "assetFile=\n[TIMING]\nwaitNotificationTimeout=0\ndownloadErrorTimeout=0\n"
                     "clientStartTimeout=0\n";
    QTest::newRow("no download slots") << address + "[OPTIONS]\nmaxConcurrentDownloads=0\n";
    QTest::newRow("download slots not a number")
        << address + "[OPTIONS]\nmaxConcurrentDownloads=all\n";
}

void TestLauncherFaults::settingsGapsTakeBuiltInValues()
{
    QFETCH(QByteArray, settings);
    TLauncherSite Site;
    QVERIFY(Site.isValid());
    publishSample(Site);
    Site.launcher().writeSettings(
        QString::fromUtf8(settings)
            .arg(Site.server().url(QStringLiteral("/meta.json")).toString())
            .toUtf8());
    const TRun Run = runFirstLaunch(Site, 30000);
    QVERIFY2(Run.exited && Run.exitCode == 0, Run.log.right(3000).constData());
    const QStringList Differences = Site.differences();
    QVERIFY2(Differences.isEmpty(), qPrintable(Differences.join(QLatin1Char('\n'))));
    QVERIFY(Run.log.contains("using the built-in value"));
}

void TestLauncherFaults::downloadRateCap_data()
{
    QTest::addColumn<int>("kilobytesPerSecond"); // the setting maxDownloadRate
    QTest::addColumn<qint64>("size");
    QTest::addColumn<double>("minimumSeconds");
    QTest::addColumn<double>("maximumSeconds");
    QTest::newRow("20 MB/s on a 200 MB install") << 20000 << qint64(200000000) << 9.0 << 12.0;
}

void TestLauncherFaults::downloadRateCap()
{
    QFETCH(int, kilobytesPerSecond);
    QFETCH(qint64, size);
    QFETCH(double, minimumSeconds);
    QFETCH(double, maximumSeconds);
    TLauncherSite Site(
        QStringLiteral("[OPTIONS]\nmaxDownloadRate=%1\n").arg(kilobytesPerSecond).toUtf8());
    QVERIFY(Site.isValid());
    Site.package().setPacking(TTestPackageBuilder::EPacking::Stored);
    constexpr qint64 Piece = 8000000;
    Site.setFile(QStringLiteral("data/big.pak"), TTestPackageBuilder::randomBytes(size, 5),
                 std::vector<qint64>(std::size_t(size / Piece), Piece));
    Site.publish(QStringLiteral("1"));
    // The install is timed from its first chunk request to the launcher's exit.
    QSet<QString> Chunks;
    for (const QByteArray &Chunk : Site.package().chunksOf(QStringLiteral("data/big.pak")))
        Chunks.insert(Site.package().chunkPath(Chunk));
    QElapsedTimer Clock;
    QObject Context;
    connect(&Site.server(), &TTestHttpServer::requestReceived, &Context, [&](const QString &Path) {
        if (!Clock.isValid() && Chunks.contains(Path))
            Clock.start();
    });
    const TRun Run = runFirstLaunch(Site, 60000);
    const double Seconds = Clock.isValid() ? double(Clock.elapsed()) / 1000.0 : 0.0;
    QVERIFY2(Run.exited && Run.exitCode == 0, Run.log.right(3000).constData());
    qInfo().noquote() << QStringLiteral("%1 MB at a cap of %2 kB/s took %3 s")
                             .arg(double(size) / 1e6)
                             .arg(kilobytesPerSecond)
                             .arg(Seconds, 0, 'f', 2);
    QVERIFY2(Seconds >= minimumSeconds && Seconds <= maximumSeconds,
             qPrintable(QString::number(Seconds)));
    QVERIFY(Site.differences().isEmpty());
}

void TestLauncherFaults::redirectToAnotherServer()
{
    TLauncherSite Site;
    QVERIFY(Site.isValid());
    publishSample(Site);
    // A second loopback server holds the real bytes of one chunk; the first redirects to it.
    TTestHttpServer Mirror;
    const QByteArray First = Site.package().chunksOf(QStringLiteral("data/a.pak"))[0];
    const QString Path = Site.package().chunkPath(First);
    Mirror.setFile(QStringLiteral("/mirror/chunk"), ::shared::encodeBlobContainer(First, 0));
    Site.server().setFault(
        Path, TFault::redirect(Mirror.url(QStringLiteral("/mirror/chunk")).toEncoded()));
    ++m_faults;
    const TRun Run = runFirstLaunch(Site);
    QVERIFY2(Run.exited && Run.exitCode == 0, Run.log.right(3000).constData());
    QCOMPARE(Mirror.requestCount(QStringLiteral("/mirror/chunk")), 1);
    const QStringList Differences = Site.differences();
    QVERIFY2(Differences.isEmpty(), qPrintable(Differences.join(QLatin1Char('\n'))));
}

void TestLauncherFaults::metadataChangesBetweenRuns()
{
    TLauncherSite Site;
    QVERIFY(Site.isValid());
    publishSample(Site);
    const TRun First = runFirstLaunch(Site);
    QVERIFY2(First.exited && First.exitCode == 0, First.log.right(3000).constData());
    QVERIFY(Site.differences().isEmpty());

    // A new release: the metadata now points at another document, one file changed, one gone.
    const QByteArray Readme = TTestPackageBuilder::compressibleBytes(25000, 3);
    Site.setFile(QStringLiteral("data/readme.txt"), Readme, {25000});
    Site.package().removeFile(QStringLiteral("data/a.pak"));
    Site.setFile(QStringLiteral("data/b.pak"), TTestPackageBuilder::randomBytes(50000, 4), {50000});
    Site.publish(QStringLiteral("2"));
    ++m_faults;
    Site.server().clearRequests();
    const TRun Second = runFirstLaunch(Site);
    QVERIFY2(Second.exited && Second.exitCode == 0, Second.log.right(3000).constData());
    QCOMPARE(Site.readInstalled(QStringLiteral("data/readme.txt")), Readme);
    QVERIFY(!QFile::exists(Site.installationDirectory() + QStringLiteral("/data/a.pak")));
    QVERIFY(Site.readInstalled(QStringLiteral("package.json")).contains("\"version\":\"2\""));
    // The client binary did not change and was not fetched again.
    QCOMPARE(Site.server().requestCount(Site.package().chunkPath(
                 Site.package().chunksOf(QStringLiteral("bin/client" CORVANE_EXE_SUFFIX))[0])),
             0);
}

QTEST_GUILESS_MAIN(TestLauncherFaults)
#include "tst_launcherfaults.moc"
