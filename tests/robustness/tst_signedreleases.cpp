#include "format/TEd25519.h"
#include "support/TLauncherSite.h"
#include "support/TestFiles.h"

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

// The metadata with its first package's build pinned to Package, as the publisher pins it.
QByteArray withSnapshot(const QByteArray &Metadata, const QByteArray &Package)
{
    QJsonObject document = QJsonDocument::fromJson(Metadata).object();
    QJsonArray packages = document.value(QStringLiteral("packages")).toArray();
    QJsonObject entry = packages.at(0).toObject();
    QJsonArray builds = entry.value(QStringLiteral("builds")).toArray();
    QJsonObject build = builds.at(0).toObject();
    build.insert(
        QStringLiteral("packagesha256"),
        QString::fromLatin1(QCryptographicHash::hash(Package, QCryptographicHash::Sha256).toHex()));
    build.insert(QStringLiteral("packagesize"), double(Package.size()));
    builds.replace(0, build);
    entry.insert(QStringLiteral("builds"), builds);
    packages.replace(0, entry);
    document.insert(QStringLiteral("packages"), packages);
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
            // After the maintenance message the launcher ends by itself: its exit code counts.
            // A dialog counts once its line is whole: the hook creates the file before writing.
            const QByteArray log = Site.launcher().readLog();
            const QByteArray dialogs = readFile(dialogLog);
            return (dialogs.contains('\n') &&
                    !dialogs.contains("Corvane Online cannot be started")) ||
                   log.contains("Updating Corvane Online failed") || log.contains("Hint shown");
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
    QTest::newRow("endless data: metadata without Content-Length, closed")
        << QStringLiteral("endless stream") << maintenance;
    QTest::newRow("slow retrieval: package signature at a byte a second")
        << QStringLiteral("slow signature") << downloadFailed;
    QTest::newRow("mix-and-match: another variant's package document")
        << QStringLiteral("other variant") << downloadFailed;
    QTest::newRow("mix-and-match: metadata signed for another site")
        << QStringLiteral("other site") << maintenance;
    QTest::newRow("freeze: stale package document beside fresh metadata")
        << QStringLiteral("stale package") << downloadFailed;
    QTest::newRow("rollback: another document with an equal serial")
        << QStringLiteral("equal serial") << downloadFailed;
    QTest::newRow("rollback: settings store not writable, installed copy as floor")
        << QStringLiteral("unwritable settings") << downloadFailed;
    QTest::newRow("bad serial: beyond 2^53 - 1, where numbers stop being exact")
        << QStringLiteral("serial too large") << downloadFailed;
    QTest::newRow("bad serial: far-future serial left by signing with key B")
        << QStringLiteral("serial recovery") << installed;
    QTest::newRow("unsigned hints: file link, file image, local image in the caption")
        << QStringLiteral("file hint") << QStringLiteral("hint refused");
    QTest::newRow("self-update: tampered launcher document")
        << QStringLiteral("self-update") << QStringLiteral("self-update skipped");
}

void TestSignedReleases::attacks()
{
    QFETCH(QString, attack);
    QFETCH(QString, expected);
    const bool development = attack == QStringLiteral("development");
    // A short deadline for the slow row; the others keep the built-in one.
    const QByteArray settings = attack == QStringLiteral("slow signature")
                                    ? QByteArray("[OPTIONS]\ndocumentTimeout=3000\n")
                                    : QByteArray();
    TLauncherSite Site(settings, development ? QStringLiteral("CorvaneLauncher")
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

    const bool twoRuns = attack == QStringLiteral("rollback") ||
                         attack == QStringLiteral("equal serial") ||
                         attack == QStringLiteral("unwritable settings") ||
                         attack == QStringLiteral("serial recovery");
    if (twoRuns) {
        // The player ran the release with serial 1000 (or, for the recovery, one far beyond).
        const double first = attack == QStringLiteral("serial recovery") ? 9e15 : 1000;
        serve(server, MetadataPath,
              withRelease(Site.metadataJson(), QStringLiteral("launchermetadata"), first, QString(),
                          tomorrow),
              key);
        serve(server, packagePath,
              withRelease(Site.packageJson(), QStringLiteral("package"), first, PackageName), key);
        const TRun previous = runLauncher(Site, arguments);
        QVERIFY2(previous.exited && previous.exitCode == 0, previous.log.right(3000).constData());
    }
    if (attack == QStringLiteral("rollback")) {
        // An older release with serial 999 comes back.
        package = withRelease(Site.packageJson(), QStringLiteral("package"), 999, PackageName);
    } else if (attack == QStringLiteral("equal serial")) {
        // Other bytes under the serial accepted before.
        QJsonObject changed = QJsonDocument::fromJson(Site.packageJson()).object();
        changed.insert(QStringLiteral("parameters"), QJsonArray{QStringLiteral("--cheat")});
        package = withRelease(QJsonDocument(changed).toJson(), QStringLiteral("package"), 1000,
                              PackageName);
    } else if (attack == QStringLiteral("unwritable settings")) {
        // Nothing can be remembered any more (nor read back); the installed copy still counts.
#ifdef Q_OS_WIN
        QSKIP("the settings store is the registry on Windows; this row blocks a settings file");
#endif
        const QString store =
            Site.launcher().home() + QStringLiteral("/.config/Kelmont GmbH/Corvane Online.conf");
        QVERIFY(QFile::remove(store));
        QVERIFY(QDir().mkpath(store + QStringLiteral("/blocked")));
        package = withRelease(Site.packageJson(), QStringLiteral("package"), 999, PackageName);
    } else if (attack == QStringLiteral("serial recovery")) {
        // Key A published a serial nothing can follow; the studio goes on with key B alone,
        // which starts its own serial space.
        metadataKey = packageKey = QStringLiteral("b");
    } else if (attack == QStringLiteral("serial too large")) {
        package = withRelease(Site.packageJson(), QStringLiteral("package"), 1e16, PackageName);
    } else if (attack == QStringLiteral("endless stream")) {
        server.setFault(MetadataPath, TTestHttpServer::TFault::endlessBody());
    } else if (attack == QStringLiteral("slow signature")) {
        server.setFault(packagePath + QStringLiteral(".sig"),
                        TTestHttpServer::TFault::trickle(1, 1000));
    } else if (attack == QStringLiteral("other variant")) {
        // The test realm's document of the same package, signed by the same key.
        QJsonObject test = QJsonDocument::fromJson(Site.packageJson()).object();
        test.insert(QStringLiteral("variant"), QStringLiteral("test"));
        const QByteArray production = package;
        package =
            withRelease(QJsonDocument(test).toJson(), QStringLiteral("package"), 1001, PackageName);
        metadata = withSnapshot(metadata, production);
    } else if (attack == QStringLiteral("other site")) {
        QJsonObject staging = QJsonDocument::fromJson(metadata).object();
        QJsonObject release = staging.value(QStringLiteral("release")).toObject();
        release.insert(QStringLiteral("site"),
                       QStringLiteral("https://staging.corvane.example/launcher/meta.json"));
        staging.insert(QStringLiteral("release"), release);
        metadata = QJsonDocument(staging).toJson(QJsonDocument::Compact);
    } else if (attack == QStringLiteral("stale package")) {
        // Fresh metadata names the newer document; the server keeps the old one.
        metadata = withSnapshot(metadata, withRelease(Site.packageJson(), QStringLiteral("package"),
                                                      1001, PackageName));
    } else if (attack == QStringLiteral("file hint")) {
        QJsonObject document = QJsonDocument::fromJson(Site.metadataJson()).object();
        document.insert(QStringLiteral("hints"),
                        server.url(QStringLiteral("/hints.json")).toString());
        metadata = withRelease(QJsonDocument(document).toJson(), QStringLiteral("launchermetadata"),
                               1000, QString(), tomorrow);
        const QJsonObject hint{
            {QStringLiteral("richText"),
             QStringLiteral("News<img src='file:///dev/zero'><img src='/dev/zero'>")},
            {QStringLiteral("imageUrl"), QStringLiteral("file:///dev/zero")},
            {QStringLiteral("category"), QStringLiteral("cat1")},
            {QStringLiteral("url"), QStringLiteral("file:///tmp/payload.sh")}};
        server.setFile(QStringLiteral("/hints.json"), QJsonDocument(QJsonArray{hint}).toJson());
        arguments.clear();
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
            QJsonObject{
                {QStringLiteral("name"), QStringLiteral("Launcher")},
                {QStringLiteral("directoryname"), QStringLiteral("launcher")},
                {QStringLiteral("builds"),
                 QJsonArray{QJsonObject{
                     {QStringLiteral("os"), testsupport::runningOsName()},
                     {QStringLiteral("architecture"), testsupport::runningArchitectureName()},
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

    if (expected == QStringLiteral("hint refused")) {
        // Nothing local was read for the hint: the window showed it, link and pictures refused.
        QVERIFY2(run.log.contains("Hint link refused: file:///tmp/payload.sh") &&
                     run.log.contains("Hint image refused: file:///dev/zero") &&
                     run.log.contains("Hint caption names resources") &&
                     run.log.contains("Hint shown"),
                 log);
        QVERIFY2(!run.output.contains("bad_alloc"), log);
        return;
    }
    if (expected == QStringLiteral("installed")) {
        QVERIFY2(run.exited && run.exitCode == 0, log);
        QVERIFY2(!run.log.contains("refused"), log);
        if (attack == QStringLiteral("serial recovery"))
            return;
        // The marker is the served document, which carries its "release" object.
        QStringList differences = Site.differences();
        differences.removeAll(QStringLiteral("full marker is not the published document"));
        QVERIFY2(differences.isEmpty(), qPrintable(differences.join(QLatin1Char('\n'))));
        QCOMPARE(readFile(fullMarker), package);
        QCOMPARE(run.log.count("signatures of downloaded documents are not checked"),
                 development ? 1 : 0);
        return;
    }
    // Refused launcher documents leave a launcher whose package has no configuration.
    if (expected == QStringLiteral("self-update skipped"))
        QVERIFY2(run.log.contains("self-update skipped") && !run.log.contains("self-update from") &&
                     run.log.contains("onLauncherReadyForAction"),
                 log);
    else
        QVERIFY2(run.dialog == expected, log);
    // The maintenance message ends the launcher with exit code 1, without a crash.
    if (expected == QStringLiteral("Corvane Online cannot be started"))
        QVERIFY2(run.exited && run.exitCode == 1, log);
    // Endless data is cut off by the download itself, before anything looks at it.
    QVERIFY2(run.log.contains("refused") != attack.startsWith(QStringLiteral("endless")), log);
    if (attack == QStringLiteral("slow signature"))
        QVERIFY2(run.log.contains("deadline of 3000 ms"), log);
    if (attack == QStringLiteral("serial too large"))
        QVERIFY2(run.log.contains("no valid serial"), log);
    if (attack == QStringLiteral("unwritable settings"))
        QVERIFY2(run.log.contains("cannot be written") && run.log.contains("installed copy"), log);
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
