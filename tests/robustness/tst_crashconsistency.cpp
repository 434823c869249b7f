#include "support/TLauncherSite.h"

#include <QFile>
#include <QtTest>

using testsupport::TLauncherSite;
using testsupport::TTestHttpServer;
using testsupport::TTestPackageBuilder;
using TFault = TTestHttpServer::TFault;

namespace {

int occurrences(const QByteArray &Log, const QByteArray &Text)
{
    return Log.count(Text);
}

} // namespace

// SIGKILL at many points of an install and of an update, a restart after each: the final tree is
// byte-exact and the full marker never stands beside files that do not match it.
class TestCrashConsistency final : public QObject
{
    Q_OBJECT

private slots:
    void killedInstallAndUpdateEndByteExact();

private:
    // Starts the launcher and kills it once the log holds Count occurrences of Text (or the
    // process ended on its own); returns whether the kill happened before the end.
    bool killAt(TLauncherSite &Site, const QByteArray &Text, int Count);
    void checkConsistent(TLauncherSite &Site, const QString &Where);
    int m_kills = 0;
};

bool TestCrashConsistency::killAt(TLauncherSite &Site, const QByteArray &Text, int Count)
{
    TLauncherSite::waitForNoRunningClient();
    auto Process = Site.launcher().createProcess({QStringLiteral("--first-launch")});
    Process->start();
    if (!Process->waitForStarted())
        return false;
    // Polled tightly: the log grows while we watch, and the kill should land right behind it.
    (void)QTest::qWaitFor(
        [&] {
            return Process->state() == QProcess::NotRunning ||
                   occurrences(Site.launcher().readLog(), Text) >= Count;
        },
        60000);
    const bool Killed = Process->state() == QProcess::Running;
    TStagedLauncher::stop(*Process);
    if (Killed)
        ++m_kills;
    return Killed;
}

void TestCrashConsistency::checkConsistent(TLauncherSite &Site, const QString &Where)
{
    const QString Problem = Site.fullMarkerInconsistency();
    QVERIFY2(Problem.isEmpty(), qPrintable(Where + QStringLiteral(": ") + Problem));
}

void TestCrashConsistency::killedInstallAndUpdateEndByteExact()
{
    TLauncherSite Site;
    QVERIFY(Site.isValid());
    Site.package().setPacking(TTestPackageBuilder::EPacking::Stored);
    // A large file cut by the content-defined chunker, so that an update can move its chunks.
    const QByteArray Big = TTestPackageBuilder::randomBytes(18 << 20, 21);
    Site.setFile(QStringLiteral("data/big.pak"), Big);
    for (int Index = 0; Index < 6; ++Index)
        Site.setFile(QStringLiteral("data/part%1.bin").arg(Index),
                     TTestPackageBuilder::randomBytes(200000, 30 + quint32(Index)),
                     {50000, 50000, 50000, 50000});
    Site.publish(QStringLiteral("1"));
    QVERIFY(Site.package().chunksOf(QStringLiteral("data/big.pak")).size() >= 2);
    // Slow transfers, so that kills land between and inside chunk writes.
    const auto slowDown = [&Site] {
        for (const QString &File : Site.expectedFiles().keys()) {
            for (const QByteArray &Chunk : Site.package().chunksOf(File))
                Site.server().setFault(Site.package().chunkPath(Chunk),
                                       TFault::trickle(256 << 10, 5));
        }
    };
    slowDown();

    // Install: kills while markers change, while chunks arrive and while they are written.
    const QList<QPair<QByteArray, int>> InstallPoints{
        {"markPackageAsPartiallyInstalled", 1},
        {"saveDownloadedData chunk ", 1},
        {"saveDownloadedData chunk ", 3},
        {"saveDownloadedData chunk ", 6},
        {"saveDownloadedData chunk ", 9},
        {" to ", 2},
        {"Wait for chunk", 1},
        {"processDownloadedData verify", 4},
        {"saveDownloadedData chunk ", 14},
        {"onDownloadCompleted", 1},
    };
    int Point = 0;
    for (const auto &[Text, Count] : InstallPoints) {
        killAt(Site, Text, Count);
        checkConsistent(Site, QStringLiteral("install point %1").arg(Point++));
    }
    // Left alone, the next start completes.
    QVERIFY(!killAt(Site, "no such line", 1));
    QStringList Differences = Site.differences();
    QVERIFY2(Differences.isEmpty(), qPrintable(Differences.join(QLatin1Char('\n'))));

    // Update: new bytes in front of the big file shift its chunks, which are moved in place;
    // every small file changes its second piece.
    const QByteArray Front = TTestPackageBuilder::randomBytes(700000, 22);
    Site.setFile(QStringLiteral("data/big.pak"), Front + Big);
    for (int Index = 0; Index < 6; ++Index) {
        QByteArray Content =
            Site.expectedFiles().value(QStringLiteral("data/part%1.bin").arg(Index));
        Content.replace(50000, 50000, TTestPackageBuilder::randomBytes(50000, 60 + quint32(Index)));
        Site.setFile(QStringLiteral("data/part%1.bin").arg(Index), Content,
                     {50000, 50000, 50000, 50000});
    }
    Site.publish(QStringLiteral("2"));
    slowDown();
    const QList<QPair<QByteArray, int>> UpdatePoints{
        {"markPackageAsPartiallyInstalled", 1},
        {"reuseable chunk on wrong position found", 1},
        {"reuseable chunk on correct position found", 1},
        {"onRequiredChangesComputedForInstallation", 1},
        {"saveDownloadedData chunk ", 1},
        {"saveDownloadedData chunk ", 3},
        {" to ", 4},
        {"processDownloadedData verify", 6},
        {"saveDownloadedData chunk ", 7},
        {"onDownloadCompleted", 1},
    };
    for (const auto &[Text, Count] : UpdatePoints) {
        killAt(Site, Text, Count);
        checkConsistent(Site, QStringLiteral("update point %1").arg(Point++));
    }
    // Left alone, the next start completes.
    QVERIFY(!killAt(Site, "no such line", 1));
    Differences = Site.differences();
    QVERIFY2(Differences.isEmpty(), qPrintable(Differences.join(QLatin1Char('\n'))));
    qInfo().noquote()
        << QStringLiteral("kill points: %1, kills before the end: %2").arg(Point).arg(m_kills);
    // Most points must have hit a running launcher, or the test checks nothing.
    QVERIFY(m_kills >= 12);
    QVERIFY(TLauncherSite::waitForNoRunningClient());
}

QTEST_GUILESS_MAIN(TestCrashConsistency)
#include "tst_crashconsistency.moc"
