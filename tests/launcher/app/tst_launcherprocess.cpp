#include "support/TStagedLauncher.h"

#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QtTest>

// The launcher as a process: single instance, logging and the command line.
class TestLauncherProcess : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void secondInstanceExitsQuietly_data();
    void secondInstanceExitsQuietly();
    void restartAfterSelfUpdateWaitsForItsPredecessor();
    void killedInstanceDoesNotBlockTheNextStart();
    void logIsRecreatedOnEveryStart();
    void unknownOptionsDoNotStopTheLauncher_data();
    void unknownOptionsDoNotStopTheLauncher();

private:
    std::unique_ptr<TStagedLauncher> m_launcher;
};

namespace {

const QString loadedLine = QStringLiteral("load configuration");

// An upper bound only: a loaded machine may take seconds to start a process.
constexpr int startBound = TStagedLauncher::ProcessBound;

// What a start that never logged left behind, for the failure message.
QByteArray describe(QProcess &Process)
{
    if (Process.state() != QProcess::NotRunning)
        return "still running";
    return "ended with " + QByteArray::number(Process.exitCode()) + ": " +
           Process.readAllStandardError();
}

} // namespace

void TestLauncherProcess::init()
{
    m_launcher = std::make_unique<TStagedLauncher>();
    QVERIFY(m_launcher->isValid());
    // Nothing listens on port 1: the launcher stays waiting for its metadata without traffic.
    m_launcher->writeSettings(
        TStagedLauncher::loopbackSettings(QStringLiteral("http://127.0.0.1:1/meta.json"), 600000));
}

void TestLauncherProcess::secondInstanceExitsQuietly_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("no option") << QStringList();
    // Only the restart after a self-update waits for the launcher before it.
    QTest::newRow("-s") << QStringList{QStringLiteral("-s")};
    QTest::newRow("--skip-selfupdate after an option")
        << QStringList{QStringLiteral("-u"), QStringLiteral("--skip-selfupdate")};
}

void TestLauncherProcess::secondInstanceExitsQuietly()
{
    QFETCH(QStringList, arguments);
    auto first = m_launcher->createProcess();
    first->start();
    QVERIFY(first->waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(m_launcher->readLog().contains(loadedLine.toUtf8()), startBound);
    const QByteArray firstLog = m_launcher->readLog();

    auto second = m_launcher->createProcess(arguments);
    QElapsedTimer clock;
    clock.start();
    second->start();
    QVERIFY(second->waitForFinished(startBound));
    // Below the 10 s that a restarted launcher waits for its predecessor.
    QVERIFY2(clock.elapsed() < 9000, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(second->exitStatus(), QProcess::NormalExit);
    QCOMPARE(second->exitCode(), 0);
    const QString output =
        QString::fromUtf8(second->readAllStandardError() + second->readAllStandardOutput());
    QVERIFY2(output.contains(
                 QRegularExpression(QStringLiteral("Version: +\"0\\.0\\.7\" already running"))),
             qPrintable(output));
    // The second instance leaves the first one's log alone.
    QVERIFY(m_launcher->readLog().startsWith(firstLog));
    QVERIFY(!m_launcher->readLog().contains("already running"));
    QCOMPARE(first->state(), QProcess::Running);
    TStagedLauncher::stop(*first);
}

// The old launcher starts the new one and only then ends: the new one must not give up meanwhile.
void TestLauncherProcess::restartAfterSelfUpdateWaitsForItsPredecessor()
{
    auto first = m_launcher->createProcess();
    first->start();
    QTRY_VERIFY_WITH_TIMEOUT(m_launcher->readLog().contains(loadedLine.toUtf8()), startBound);
    // Formed as the restart forms it: the old argument list, program first, then the option.
    auto restarted = m_launcher->createProcess(
        {m_launcher->executablePath(), QStringLiteral("--skip-selfupdate")});
    restarted->start();
    QVERIFY(restarted->waitForStarted());
    QVERIFY(!restarted->waitForFinished(1500));
    // The running launcher keeps its log open, which Windows does not let go: the restarted one's
    // log is told by its first line, stamped at least a second later.
    const QByteArray firstLog = m_launcher->readLog();
    const QByteArray firstLine = firstLog.left(firstLog.indexOf('\n'));
    QVERIFY(TStagedLauncher::stop(*first));
    QTRY_VERIFY_WITH_TIMEOUT(!m_launcher->readLog().startsWith(firstLine) &&
                                 m_launcher->readLog().contains(loadedLine.toUtf8()),
                             startBound);
    QCOMPARE(restarted->state(), QProcess::Running);
    TStagedLauncher::stop(*restarted);
}

void TestLauncherProcess::killedInstanceDoesNotBlockTheNextStart()
{
    auto first = m_launcher->createProcess();
    first->start();
    QTRY_VERIFY_WITH_TIMEOUT(m_launcher->readLog().contains(loadedLine.toUtf8()), startBound);
    QVERIFY(TStagedLauncher::stop(*first)); // SIGKILL: no destructor runs
    QVERIFY(QFile::remove(m_launcher->logFilePath()));

    auto next = m_launcher->createProcess();
    next->start();
    QVERIFY(next->waitForStarted());
    QTRY_VERIFY2_WITH_TIMEOUT(m_launcher->readLog().contains(loadedLine.toUtf8()),
                              describe(*next).constData(), startBound);
    QCOMPARE(next->state(), QProcess::Running);

    auto third = m_launcher->createProcess();
    third->start();
    QVERIFY(third->waitForFinished(startBound));
    QCOMPARE(third->exitCode(), 0);
    QVERIFY(third->readAllStandardError().contains("already running"));
    TStagedLauncher::stop(*next);
}

void TestLauncherProcess::logIsRecreatedOnEveryStart()
{
    for (int run = 0; run < 2; ++run) {
        auto process = m_launcher->createProcess();
        process->start();
        QTRY_VERIFY_WITH_TIMEOUT(m_launcher->readLog().contains(loadedLine.toUtf8()), startBound);
        QVERIFY(TStagedLauncher::stop(*process));
        // Replace the first run's log by a marker line: the second run must start it afresh.
        if (run == 0) {
            QFile log(m_launcher->logFilePath());
            QVERIFY(log.open(QIODevice::WriteOnly | QIODevice::Truncate));
            log.write("marker of the first run\n");
        }
    }
    const QStringList lines =
        QString::fromUtf8(m_launcher->readLog()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(lines.filter(QStringLiteral("Version: ")).size(), 1);
    QVERIFY(lines.filter(QStringLiteral("marker of the first run")).isEmpty());
    const QRegularExpression format(
        QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d \\(:0\\) Info: "));
    QVERIFY(!lines.isEmpty());
    QVERIFY2(format.match(lines.first()).hasMatch(), qPrintable(lines.first()));
    // Every line of the launcher's own names its thread once, at its end (a message of Qt's may
    // run over several lines).
    const QRegularExpression thread(QStringLiteral(" Thread: 0x[0-9a-f]+$"));
    for (const QString &line : lines.filter(QStringLiteral(") Info: ")))
        QVERIFY2(thread.match(line.trimmed()).hasMatch() &&
                     line.count(QStringLiteral("Thread:")) == 1,
                 qPrintable(line));
}

void TestLauncherProcess::unknownOptionsDoNotStopTheLauncher_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("unknown option") << QStringList{QStringLiteral("--no-such-option")};
    QTest::newRow("help") << QStringList{QStringLiteral("--help")};
    QTest::newRow("patch without value") << QStringList{QStringLiteral("--patch")};
    QTest::newRow("stray positional")
        << QStringList{QStringLiteral("/old/CorvaneLauncher"), QStringLiteral("-s")};
}

void TestLauncherProcess::unknownOptionsDoNotStopTheLauncher()
{
    QFETCH(QStringList, arguments);
    auto process = m_launcher->createProcess(arguments);
    process->start();
    QTRY_VERIFY_WITH_TIMEOUT(m_launcher->readLog().contains(loadedLine.toUtf8()), startBound);
    QCOMPARE(process->state(), QProcess::Running);
    QVERIFY(!process->readAllStandardOutput().contains("Usage"));
    TStagedLauncher::stop(*process);
}

QTEST_GUILESS_MAIN(TestLauncherProcess)
#include "tst_launcherprocess.moc"
