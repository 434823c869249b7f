#include "shared/platform/TNamedFileMapping.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QByteArray clientMarker = QByteArrayLiteral("Corvane-52f3fb16-0d45-45d4-978a-149b5692b074");
// An upper bound only: a loaded machine may take seconds to start or reap a process.
constexpr int processBound = 60000;

QString democlientPath()
{
    return QStringLiteral(CORVANE_BIN_DIR "/corvane-democlient" CORVANE_EXE_SUFFIX);
}

QJsonObject readRecord(const QString &Path)
{
    QFile file(Path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QJsonDocument::fromJson(file.readAll()).object();
}

} // namespace

class tst_democlient final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void recordsStartAndAnnouncesItself_data();
    void recordsStartAndAnnouncesItself();
    void endsByItselfAfterTimeOut();
    void noMarkerWhenAskedNotToAnnounce();
    void recordDefaultsToWorkingDirectory();
    void markerOfKilledClientCountsAsAbsent();
    void toolsAnswerHelp_data();
    void toolsAnswerHelp();

private:
    void start(QProcess &Process, const QStringList &Arguments, const QString &WorkingDirectory,
               const QString &RecordPath);
};

void tst_democlient::initTestCase()
{
    QVERIFY2(QFile::exists(democlientPath()), "corvane-democlient is not built");
    QVERIFY2(!shared::TNamedFileMapping::canOpenForReading(clientMarker),
             "a client's running marker exists already; these tests cannot tell theirs apart");
}

void tst_democlient::start(QProcess &Process, const QStringList &Arguments,
                           const QString &WorkingDirectory, const QString &RecordPath)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("CORVANE_DEMOCLIENT_RECORD"));
    if (!RecordPath.isEmpty())
        environment.insert(QStringLiteral("CORVANE_DEMOCLIENT_RECORD"), RecordPath);
    Process.setProcessEnvironment(environment);
    Process.setWorkingDirectory(WorkingDirectory);
    Process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    Process.start(democlientPath(), Arguments);
    QVERIFY(Process.waitForStarted());
}

void tst_democlient::recordsStartAndAnnouncesItself_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("no arguments") << QStringList();
    QTest::newRow("start parameters")
        << QStringList{QStringLiteral("-windowed"), QStringLiteral("--lang=en")};
    QTest::newRow("unknown options and verification flag")
        << QStringList{QStringLiteral("--no-such-option"), QStringLiteral("-x"),
                       QStringLiteral("5"), QStringLiteral("--package-is-up-to-date")};
    QTest::newRow("spaces and non-ASCII")
        << QStringList{QStringLiteral("two words"), QStringLiteral("Gr\u00FC\u00DFe \u20AC")};
    QTest::newRow("time-out option without value")
        << QStringList{QStringLiteral("--exit-after-ms")};
}

// The client is closed from outside, as a test or a user would: it must still remove its marker,
// or every later launcher would take the stale marker for a running client.
void tst_democlient::recordsStartAndAnnouncesItself()
{
    QFETCH(QStringList, arguments);
    QTemporaryDir directory;
    QVERIFY(directory.isValid());
    const QString recordPath = directory.filePath(QStringLiteral("record.json"));
    // A far time-out keeps the default from ending the client during the test, and also checks
    // that the client's own options come after unknown ones without confusing it.
    const QStringList allArguments =
        arguments + QStringList{QStringLiteral("--exit-after-ms=120000")};

    QProcess client;
    start(client, allArguments, directory.path(), recordPath);
    QTRY_VERIFY_WITH_TIMEOUT(shared::TNamedFileMapping::canOpenForReading(clientMarker),
                             processBound);
    QCOMPARE(client.state(), QProcess::Running);

    const QJsonObject record = readRecord(recordPath);
    QCOMPARE(record.value(QStringLiteral("arguments")).toArray().toVariantList(),
             QVariant(allArguments).toList());
    QCOMPARE(QDir(record.value(QStringLiteral("workingDirectory")).toString()).canonicalPath(),
             QDir(directory.path()).canonicalPath());
    QCOMPARE(record.value(QStringLiteral("pid")).toVariant().toLongLong(), client.processId());

    client.terminate();
    QVERIFY(client.waitForFinished(processBound));
    QCOMPARE(client.exitStatus(), QProcess::NormalExit);
    QCOMPARE(client.exitCode(), 0);
    QVERIFY(!shared::TNamedFileMapping::canOpenForReading(clientMarker));
}

void tst_democlient::endsByItselfAfterTimeOut()
{
    QTemporaryDir directory;
    QVERIFY(directory.isValid());
    QProcess client;
    start(client, {QStringLiteral("--exit-after-ms"), QStringLiteral("300")}, directory.path(),
          directory.filePath(QStringLiteral("record.json")));
    QVERIFY(client.waitForFinished(processBound));
    QCOMPARE(client.exitStatus(), QProcess::NormalExit);
    QCOMPARE(client.exitCode(), 0);
    QVERIFY(!shared::TNamedFileMapping::canOpenForReading(clientMarker));
}

void tst_democlient::noMarkerWhenAskedNotToAnnounce()
{
    QTemporaryDir directory;
    QVERIFY(directory.isValid());
    const QString recordPath = directory.filePath(QStringLiteral("record.json"));
    QProcess client;
    start(client, {QStringLiteral("--no-marker"), QStringLiteral("--exit-after-ms=120000")},
          directory.path(), recordPath);
    // The record is written before the marker would be, so once it is there the decision is made.
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(recordPath), processBound);
    QCOMPARE(readRecord(recordPath).value(QStringLiteral("marker")).toBool(true), false);
    QCOMPARE(client.state(), QProcess::Running);
    QVERIFY(!shared::TNamedFileMapping::canOpenForReading(clientMarker));

    client.terminate();
    QVERIFY(client.waitForFinished(processBound));
    QCOMPARE(client.exitCode(), 0);
}

void tst_democlient::recordDefaultsToWorkingDirectory()
{
    QTemporaryDir directory;
    QVERIFY(directory.isValid());
    QProcess client;
    start(client, {QStringLiteral("--exit-after-ms=1")}, directory.path(), QString());
    QVERIFY(client.waitForFinished(processBound));
    QCOMPARE(client.exitCode(), 0);
    const QJsonObject record =
        readRecord(directory.filePath(QStringLiteral("democlient-run.json")));
    QCOMPARE(QDir(record.value(QStringLiteral("workingDirectory")).toString()).canonicalPath(),
             QDir(directory.path()).canonicalPath());
}

void tst_democlient::markerOfKilledClientCountsAsAbsent()
{
    QTemporaryDir directory;
    QVERIFY(directory.isValid());
    QProcess client;
    start(client, {QStringLiteral("--exit-after-ms"), QStringLiteral("0")}, directory.path(),
          directory.filePath(QStringLiteral("record.json")));
    QTRY_VERIFY_WITH_TIMEOUT(shared::TNamedFileMapping::canOpenForReading(clientMarker),
                             processBound);
    // SIGKILL: the client cannot remove its marker, which must not pass for a running client.
    client.kill();
    QVERIFY(client.waitForFinished(processBound));
    QVERIFY(!shared::TNamedFileMapping::canOpenForReading(clientMarker));
    const shared::TNamedFileMapping again(clientMarker, true);
    QVERIFY(again.isOwner());
}

void tst_democlient::toolsAnswerHelp_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("usage");

    QTest::newRow("democlient --help")
        << QStringLiteral("corvane-democlient") << QStringList{QStringLiteral("--help")}
        << QStringLiteral("Usage: corvane-democlient");
    QTest::newRow("democlient -h among start parameters")
        << QStringLiteral("corvane-democlient")
        << QStringList{QStringLiteral("-windowed"), QStringLiteral("-h")}
        << QStringLiteral("--exit-after-ms");
    QTest::newRow("surveydump --help")
        << QStringLiteral("corvane-surveydump") << QStringList{QStringLiteral("--help")}
        << QStringLiteral("Usage: corvane-surveydump [--compact]");
    QTest::newRow("publish package --help")
        << QStringLiteral("corvane-publish")
        << QStringList{QStringLiteral("package"), QStringLiteral("--help")}
        << QStringLiteral("Usage: corvane-publish package [options]");
    QTest::newRow("publish package marks required options")
        << QStringLiteral("corvane-publish")
        << QStringList{QStringLiteral("package"), QStringLiteral("-h")}
        << QStringLiteral("Package version text. Required.");
    QTest::newRow("publish metadata --help gives an example")
        << QStringLiteral("corvane-publish")
        << QStringList{QStringLiteral("metadata"), QStringLiteral("--help")}
        << QStringLiteral("Example:\n  corvane-publish metadata --description");
    QTest::newRow("publish --help lists the commands")
        << QStringLiteral("corvane-publish") << QStringList{QStringLiteral("--help")}
        << QStringLiteral("Commands:\n  package");
}

// Asking a tool for its usage prints it and does nothing else: the stand-in client writes no
// record and announces no running client.
void tst_democlient::toolsAnswerHelp()
{
    QFETCH(QString, program);
    QFETCH(QStringList, arguments);
    QFETCH(QString, usage);

    QTemporaryDir directory;
    QVERIFY(directory.isValid());
    QProcess tool;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("CORVANE_DEMOCLIENT_RECORD"));
    tool.setProcessEnvironment(environment);
    tool.setWorkingDirectory(directory.path());
    tool.start(QStringLiteral(CORVANE_BIN_DIR "/") + program, arguments);
    QVERIFY(tool.waitForFinished(30000));
    QCOMPARE(tool.exitStatus(), QProcess::NormalExit);
    QCOMPARE(tool.exitCode(), 0);
    // Standard output is text: lines end the platform's way.
    const QString output = QString::fromLocal8Bit(tool.readAllStandardOutput())
                               .replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    QVERIFY2(output.contains(usage), qPrintable(output));
    QVERIFY(!output.contains(QStringLiteral(CORVANE_BIN_DIR)));
    QCOMPARE(QDir(directory.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
             QStringList());
    QVERIFY(!shared::TNamedFileMapping::canOpenForReading(clientMarker));
}

QTEST_GUILESS_MAIN(tst_democlient)
#include "tst_democlient.moc"
