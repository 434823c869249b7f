#include "shared/TEd25519.h"
#include "support/TLauncherSite.h"

#include <QDateTime>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

using testsupport::TLauncherSite;
using testsupport::TTestHttpServer;
using testsupport::TTestPackageBuilder;

namespace {

const QString PackageName = QStringLiteral("Corvane Online");
const QString MetadataPath = QStringLiteral("/meta.json");

QByteArray readFile(const QString &Path)
{
    QFile file(Path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The test keys of tests/data/signing: "a" and "b" are built into CorvaneLauncherTestKeys.
QByteArray privateKey(const QString &Name)
{
    return readFile(QStringLiteral(CORVANE_SOURCE_DIR "/tests/data/signing/key-%1.pem").arg(Name));
}

QByteArray signatureFile(const QByteArray &Document, const QString &Key)
{
    const QByteArray key = privateKey(Key);
    const QJsonObject entry{
        {QStringLiteral("key"),
         QString::fromLatin1(::shared::TEd25519::publicKeyOf(key).toBase64())},
        {QStringLiteral("signature"),
         QString::fromLatin1(::shared::TEd25519::sign(key, Document).toBase64())}};
    return QJsonDocument(QJsonObject{{QStringLiteral("signatures"), QJsonArray{entry}}}).toJson();
}

// A document with its "release" object, as the publisher signs it.
QByteArray withRelease(const QByteArray &Json, const QString &Kind, double Serial,
                       const QString &Package = QString(), const QString &Expires = QString())
{
    QJsonObject release{{QStringLiteral("serial"), Serial}, {QStringLiteral("document"), Kind}};
    if (!Package.isEmpty())
        release.insert(QStringLiteral("package"), Package);
    if (!Expires.isEmpty())
        release.insert(QStringLiteral("expires"), Expires);
    QJsonObject document = QJsonDocument::fromJson(Json).object();
    document.insert(QStringLiteral("release"), release);
    return QJsonDocument(document).toJson(QJsonDocument::Compact);
}

// Serves a document and its signature by Key (none without a key); with Tamper, the served
// bytes have one byte changed after signing, inside the text Tamper, so they still parse.
void serve(TTestHttpServer &Server, const QString &Path, const QByteArray &Document,
           const QString &Key, const QByteArray &Tamper = QByteArray())
{
    QByteArray served = Document;
    if (!Tamper.isEmpty()) {
        const int at = served.indexOf(Tamper);
        served[at] = char(served.at(at) ^ 1);
    }
    Server.setFile(Path, served);
    if (Key.isEmpty())
        Server.removeFile(Path + QStringLiteral(".sig"));
    else
        Server.setFile(Path + QStringLiteral(".sig"), signatureFile(Document, Key));
}

struct TRun
{
    bool exited = false;
    int exitCode = -1;
    QString dialog; // title of the first message box shown
    QByteArray log;
    QByteArray output; // standard output and error
};

// Runs the launcher until it exits, shows a message box (the test hook dismisses it) or logs
// the failed self-update; a launcher left with its window open is ended.
TRun runLauncherOnce(TLauncherSite &Site, const QStringList &Arguments, QByteArray &Output)
{
    TRun run;
    QFile::remove(Site.launcher().logFilePath());
    const QString dialogLog = Site.launcher().home() + QStringLiteral("/dialogs.jsonl");
    QFile::remove(dialogLog);
    TLauncherSite::waitForNoRunningClient();
    auto process = Site.launcher().createProcess(Arguments);
    QProcessEnvironment environment = process->processEnvironment();
    environment.insert(QStringLiteral("CORVANE_TEST_DIALOG_LOG"), dialogLog);
    process->setProcessEnvironment(environment);
    process->start();
    if (!process->waitForStarted())
        return run;
    const auto ending = TStagedLauncher::finish(
        *process,
        [&] {
            return QFile::exists(dialogLog) ||
                   Site.launcher().readLog().contains("Updating Corvane Online failed");
        },
        60000, 300);
    run.exited = ending.exited;
    run.exitCode = ending.exitCode;
    Output = process->readAllStandardError() + process->readAllStandardOutput();
    run.output = Output;
    run.log = Site.launcher().readLog();
    const QByteArray firstDialog = readFile(dialogLog).split('\n').value(0);
    run.dialog =
        QJsonDocument::fromJson(firstDialog).object().value(QStringLiteral("title")).toString();
    return run;
}

// Runs the launcher until it exits, shows a message box (the test hook dismisses it) or logs
// the failed self-update; a launcher left with its window open is ended. A launcher of another
// test on this machine holds the single-instance guard for a while: then it tries again.
TRun runLauncher(TLauncherSite &Site, const QStringList &Arguments)
{
    TRun run;
    for (int attempt = 0; attempt < 60; ++attempt) {
        QByteArray output;
        run = runLauncherOnce(Site, Arguments, output);
        if (!output.contains("already running"))
            break;
        QTest::qWait(1000);
    }
    return run;
}

} // namespace

// The attacks on an update system that apply to the launcher (after TUF's list), each through the
// real launcher binary built with trusted test keys against the loopback server: each ends in
// the failure a failed download of that document ends in, with nothing installed or started.
class TestSignedReleases final : public QObject
{
    Q_OBJECT

private slots:
    void attacks_data();
    void attacks();
    void cleanupTestCase();
};

void TestSignedReleases::cleanupTestCase()
{
    QVERIFY(TLauncherSite::waitForNoRunningClient());
}

void TestSignedReleases::attacks_data()
{
    QTest::addColumn<QString>("attack");
    QTest::addColumn<QString>("expected"); // "installed", or the failure
    const QString maintenance = QStringLiteral("Corvane Online cannot be started");
    const QString downloadFailed = QStringLiteral("Download failed");
    const QString installed = QStringLiteral("installed");
    QTest::newRow("signed by key A") << QStringLiteral("none") << installed;
    QTest::newRow("key rotation: signed by key B") << QStringLiteral("key B") << installed;
    QTest::newRow("development build, unsigned") << QStringLiteral("development") << installed;
    QTest::newRow("arbitrary package: tampered package document")
        << QStringLiteral("tampered package") << downloadFailed;
    QTest::newRow("arbitrary package: tampered metadata")
        << QStringLiteral("tampered metadata") << maintenance;
    QTest::newRow("untrusted key: package document")
        << QStringLiteral("untrusted package") << downloadFailed;
    QTest::newRow("untrusted key: metadata") << QStringLiteral("untrusted metadata") << maintenance;
    QTest::newRow("missing signature: package document")
        << QStringLiteral("unsigned package") << downloadFailed;
    QTest::newRow("missing signature: metadata")
        << QStringLiteral("unsigned metadata") << maintenance;
    QTest::newRow("rollback: lower serial at the package address")
        << QStringLiteral("rollback") << downloadFailed;
    QTest::newRow("freeze: expired metadata") << QStringLiteral("expired") << maintenance;
    QTest::newRow("mix-and-match: another package's document")
        << QStringLiteral("other package") << downloadFailed;
    QTest::newRow("mix-and-match: a package document at the metadata address")
        << QStringLiteral("package as metadata") << maintenance;
    QTest::newRow("endless data: metadata") << QStringLiteral("endless") << maintenance;
    QTest::newRow("self-update: tampered launcher document")
        << QStringLiteral("self-update") << QStringLiteral("self-update skipped");
}

void TestSignedReleases::attacks()
{
    QFETCH(QString, attack);
    QFETCH(QString, expected);
    const bool development = attack == QStringLiteral("development");
    TLauncherSite Site(QByteArray(), development ? QStringLiteral("CorvaneLauncher")
                                                 : QStringLiteral("CorvaneLauncherTestKeys"));
    QVERIFY(Site.isValid());
    Site.package().setPacking(TTestPackageBuilder::EPacking::Stored);
    Site.setFile(QStringLiteral("data/a.pak"), TTestPackageBuilder::randomBytes(60000, 1), {60000});
    Site.publish(QStringLiteral("1"));
    TTestHttpServer &server = Site.server();
    const QString packagePath = Site.packageDocumentPath();
    const QString key =
        attack == QStringLiteral("key B") ? QStringLiteral("b") : QStringLiteral("a");
    const QString tomorrow = QDateTime::currentDateTimeUtc().addDays(1).toString(Qt::ISODate);
    QByteArray metadata = withRelease(Site.metadataJson(), QStringLiteral("launchermetadata"), 1000,
                                      QString(), tomorrow);
    QByteArray package =
        withRelease(Site.packageJson(), QStringLiteral("package"), 1000, PackageName);
    QString metadataKey = development ? QString() : key;
    QString packageKey = metadataKey;
    QByteArray metadataTamper;
    QByteArray packageTamper;
    QStringList arguments{QStringLiteral("--first-launch")};

    if (attack == QStringLiteral("rollback")) {
        // The player ran the release with serial 1000; an older one with serial 999 comes back.
        serve(server, MetadataPath, metadata, key);
        serve(server, packagePath, package, key);
        const TRun previous = runLauncher(Site, arguments);
        QVERIFY2(previous.exited && previous.exitCode == 0, previous.log.right(3000).constData());
        package = withRelease(Site.packageJson(), QStringLiteral("package"), 999, PackageName);
    } else if (attack == QStringLiteral("tampered package")) {
        packageTamper = "--exit-after-ms";
    } else if (attack == QStringLiteral("tampered metadata")) {
        metadataTamper = "corvane";
    } else if (attack == QStringLiteral("untrusted package")) {
        packageKey = QStringLiteral("untrusted");
    } else if (attack == QStringLiteral("untrusted metadata")) {
        metadataKey = QStringLiteral("untrusted");
    } else if (attack == QStringLiteral("unsigned package")) {
        packageKey.clear();
    } else if (attack == QStringLiteral("unsigned metadata")) {
        metadataKey.clear();
    } else if (attack == QStringLiteral("expired")) {
        // Beyond the tolerance for a player's clock running ahead.
        metadata =
            withRelease(Site.metadataJson(), QStringLiteral("launchermetadata"), 1000, QString(),
                        QDateTime::currentDateTimeUtc().addDays(-2).toString(Qt::ISODate));
    } else if (attack == QStringLiteral("other package")) {
        package = withRelease(Site.packageJson(), QStringLiteral("package"), 1000,
                              QStringLiteral("Corvane Online Test Realm"));
    } else if (attack == QStringLiteral("package as metadata")) {
        metadata = package;
    } else if (attack == QStringLiteral("endless")) {
        metadata = "{\"packages\": [" + QByteArray(96 << 20, ' ');
    } else if (attack == QStringLiteral("self-update")) {
        // The metadata announces a new launcher whose document was changed after signing.
        QJsonObject document = QJsonDocument::fromJson(Site.metadataJson()).object();
        document.insert(
            QStringLiteral("launcher"),
            QJsonObject{{QStringLiteral("name"), QStringLiteral("Launcher")},
                        {QStringLiteral("directoryname"), QStringLiteral("launcher")},
                        {QStringLiteral("builds"),
                         QJsonArray{QJsonObject{
                             {QStringLiteral("os"), QStringLiteral("linux")},
                             {QStringLiteral("architecture"), QStringLiteral("x86_64")},
                             {QStringLiteral("url"), QStringLiteral("launcher/package.json")}}}}});
        metadata =
            withRelease(QJsonDocument(document).toJson(), QStringLiteral("launchermetadata"), 1000);
        const QByteArray launcher =
            withRelease(R"({"version": "0.0.8", "executable": "CorvaneLauncher", "files": []})",
                        QStringLiteral("package"), 1000, QStringLiteral("Launcher"));
        serve(server, QStringLiteral("/launcher/package.json"), launcher, key, "0.0.8");
        // Without --first-launch: after the failed update the launcher only shows its window.
        arguments.clear();
    }
    serve(server, MetadataPath, metadata, metadataKey, metadataTamper);
    serve(server, packagePath, package, packageKey, packageTamper);

    const QString fullMarker = Site.installationDirectory() + QStringLiteral("/package.json");
    const QByteArray markerBefore = readFile(fullMarker);
    const QByteArray launcherBefore = readFile(Site.launcher().executablePath());
    const TRun run = runLauncher(Site, arguments);
    // Qt Test cuts long messages: what decides comes first.
    const QByteArray tail = "dialog: " + run.dialog.toUtf8() +
                            ", exit code: " + QByteArray::number(run.exitCode) + '\n' +
                            run.output.right(1000) + run.log.right(2000);
    const char *const log = tail.constData();
    // Under the sanitizers the refused documents must not have been touched wrongly either.
    QVERIFY2(!run.output.contains("ERROR: AddressSanitizer") &&
                 !run.output.contains("runtime error:"),
             run.output.constData());

    if (expected == QStringLiteral("installed")) {
        QVERIFY2(run.exited && run.exitCode == 0, log);
        // The marker is the served document, which carries its "release" object.
        QStringList differences = Site.differences();
        differences.removeAll(QStringLiteral("full marker is not the published document"));
        QVERIFY2(differences.isEmpty(), qPrintable(differences.join(QLatin1Char('\n'))));
        QCOMPARE(readFile(fullMarker), package);
        QCOMPARE(run.log.contains("signatures of downloaded documents are not checked"),
                 development);
        return;
    }
    // Refused launcher documents leave a launcher whose package has no configuration.
    if (expected == QStringLiteral("self-update skipped"))
        QVERIFY2(run.log.contains("self-update skipped") && !run.log.contains("self-update from") &&
                     run.log.contains("onLauncherReadyForAction"),
                 log);
    else
        QVERIFY2(run.dialog == expected, log);
    // Endless data is cut off by the download itself, before anything looks at it.
    QVERIFY2(run.log.contains("refused") == (attack != QStringLiteral("endless")), log);
    // Nothing installed, started or replaced, and no local copy written from refused bytes.
    QVERIFY(!run.log.contains("startPackageAndExit"));
    QCOMPARE(readFile(fullMarker), markerBefore);
    QVERIFY(!QFile::exists(Site.installationDirectory() + QStringLiteral("/partial-package.json")));
    if (markerBefore.isEmpty()) {
        QVERIFY(!QFile::exists(Site.installationDirectory() + QStringLiteral("/data/a.pak")));
        // Not made the default by the first launch either.
        QVERIFY(!QFile::exists(Site.installationDirectory() + QStringLiteral("/default")));
    }
    QCOMPARE(readFile(Site.launcher().executablePath()), launcherBefore);
    if (expected == QStringLiteral("Corvane Online cannot be started"))
        QVERIFY(
            !QFile::exists(Site.launcher().directory() + QStringLiteral("/launchermetadata.json")));
}

QTEST_GUILESS_MAIN(TestSignedReleases)
#include "tst_signedreleases.moc"
