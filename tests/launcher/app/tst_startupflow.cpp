#include "format/BlobContainer.h"
#include "shared/FirstInstanceTester.h"
#include "shared/platform/TNamedFileMapping.h"
#include "support/TStagedLauncher.h"
#include "support/TTestHttpServer.h"
#include "support/TestFiles.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

#ifdef Q_OS_UNIX
#include <csignal>
#include <sys/types.h>
#else
#include <windows.h>
#endif

using testsupport::TTestHttpServer;

// Ends the calling test when the launcher did not end with the expected code.
#define WAIT_FOR_EXIT(Process, ExpectedCode)                                                       \
    do {                                                                                           \
        waitForExit(Process, ExpectedCode);                                                        \
        if (QTest::currentTestFailed())                                                            \
            return;                                                                                \
    } while (false)

// The start-up flow of the real CorvaneLauncher, run as a process against packages published with
// corvane-publish on the loopback server. The packages carry corvane-democlient as their client,
// which records how it was started. Message boxes are answered by the launcher's dialog test hook,
// which writes each box to a file before it closes it.
class TestStartupFlow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void firstLaunchInstallsAndStartsDefaultThenNextStartGoesStraightToClient();
    void showUiShowsWindowAndStartsNothing();
    void forcePatchFileUpdatesItsPackage();
    void patchWithUnknownPathComplains();
    void patchWithClientPathUpdatesAndStartsIt();
    void preventDefaultAutostartKeepsTheWindow();
    void silentClientEndsLauncherAfterTimeout();
    void metadataFailureShowsMaintenanceMessage_data();
    void metadataFailureShowsMaintenanceMessage();
    void selfUpdateReplacesLauncherAndRestarts_data();
    void selfUpdateReplacesLauncherAndRestarts();
    void failedSelfUpdateRestoresExecutableAndGoesOn_data();
    void failedSelfUpdateRestoresExecutableAndGoesOn();
    void oldFilesAreRemovedAtNextStart_data();
    void oldFilesAreRemovedAtNextStart();

private:
    bool publish(const QString &Name, const QString &Version, const QString &Executable,
                 const QStringList &Parameters, const QMap<QString, QByteArray> &Files);
    bool writeMetadata(const QString &Name, const QJsonObject &Description);
    void useMetadata(const QString &Name, int ClientStartTimeout = 10000);
    std::unique_ptr<QProcess> startLauncher(const QStringList &Arguments);
    void waitForExit(QProcess &Process, int ExpectedCode);
    void firstLaunch();
    void stopClient();
    QString packageDirectory(const QString &Directory) const;
    QString readVersion(const QString &Directory) const;
    QSet<int> chunkCodecs(const QString &Published) const;
    QJsonObject readRecord() const;
    QList<QJsonObject> dialogs() const;
    QString log() const { return QString::fromUtf8(m_launcher->readLog()); }

    QTemporaryDir m_site;
    TTestHttpServer m_server;
    std::unique_ptr<TStagedLauncher> m_launcher;
    std::unique_ptr<QTemporaryDir> m_work;
    std::vector<std::unique_ptr<QProcess>> m_processes;
    QByteArray m_launcherBytes;
    QByteArray m_alphaV2Data;
};

namespace {

const QByteArray clientMarker = QByteArrayLiteral("Corvane-52f3fb16-0d45-45d4-978a-149b5692b074");
const QString instanceKey = QStringLiteral("1b7a377a-e61e-4016-a479-7054bc72a4f8");
const QString showMainWindowLine = QStringLiteral("showMainWindow");
// Generous: everything below runs several processes on a loaded machine, under sanitizers too.
constexpr int processTimeout = 90000;

QString binary(const QString &Name)
{
    return QStringLiteral(CORVANE_BIN_DIR "/") + Name + QStringLiteral(CORVANE_EXE_SUFFIX);
}

QByteArray readFile(const QString &Path)
{
    QFile file(Path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString &Path, const QByteArray &Bytes)
{
    if (!QDir().mkpath(QFileInfo(Path).absolutePath()))
        return false;
    QFile file(Path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(Bytes) == Bytes.size();
}

bool runTool(const QStringList &Arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    // The publisher only prepares the test's data; a sanitizer build's leak report at its exit
    // would turn its success into failure.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("ASAN_OPTIONS"), QStringLiteral("detect_leaks=0"));
    process.setProcessEnvironment(environment);
    process.start(binary(QStringLiteral("corvane-publish")), Arguments);
    if (!process.waitForFinished(120000) || process.exitStatus() != QProcess::NormalExit ||
        process.exitCode() != 0) {
        qWarning().noquote() << Arguments.join(QLatin1Char(' ')) << process.readAll();
        return false;
    }
    return true;
}

QJsonObject linuxBuild(const QString &Name)
{
    return QJsonObject{
        {QStringLiteral("os"), testsupport::runningOsName()},
        {QStringLiteral("architecture"), testsupport::runningArchitectureName()},
        {QStringLiteral("package"), QString(Name + QStringLiteral("/package.json"))}};
}

QJsonObject packageEntry(const QString &Name, const QString &Directory, const QString &Published,
                         bool Automatic)
{
    return QJsonObject{{QStringLiteral("name"), Name},
                       {QStringLiteral("directory"), Directory},
                       {QStringLiteral("installAutomatically"), Automatic},
                       {QStringLiteral("builds"), QJsonArray{linuxBuild(Published)}}};
}

QJsonObject launcherEntry(const QString &Published)
{
    return QJsonObject{{QStringLiteral("name"), QStringLiteral("Launcher")},
                       {QStringLiteral("directory"), QStringLiteral("launcher")},
                       {QStringLiteral("builds"), QJsonArray{linuxBuild(Published)}}};
}

// No other launcher holds the single-instance segment (a detached launcher has ended).
bool noLauncherRuns()
{
    shared::FirstInstanceTester tester(instanceKey);
    return tester.isFirstInstance();
}

} // namespace

bool TestStartupFlow::publish(const QString &Name, const QString &Version,
                              const QString &Executable, const QStringList &Parameters,
                              const QMap<QString, QByteArray> &Files)
{
    QTemporaryDir source;
    for (auto file = Files.cbegin(); file != Files.cend(); ++file) {
        const QString path = source.filePath(file.key());
        if (!writeFile(path, file.value()))
            return false;
        if (file.key() == Executable)
            QFile::setPermissions(path, QFile::permissions(path) | QFile::ExeOwner);
    }
    QStringList arguments{QStringLiteral("package"),
                          QStringLiteral("--source"),
                          source.path(),
                          QStringLiteral("--out"),
                          m_site.filePath(Name),
                          QStringLiteral("--version"),
                          Version,
                          QStringLiteral("--executable"),
                          Executable};
    // The launcher's own package in the container every launcher reads, the clients in zstd, as
    // a studio publishes them; fast levels, the content does not matter.
    if (Name.startsWith(QStringLiteral("launcher")))
        arguments << QStringLiteral("--launcher") << QStringLiteral("--level=0");
    else
        arguments << QStringLiteral("--level=1");
    for (const QString &parameter : Parameters)
        arguments << QStringLiteral("--parameter=%1").arg(parameter);
    return runTool(arguments);
}

bool TestStartupFlow::writeMetadata(const QString &Name, const QJsonObject &Description)
{
    const QString description = m_site.filePath(Name + QStringLiteral(".description"));
    return writeFile(description, QJsonDocument(Description).toJson()) &&
           runTool({QStringLiteral("metadata"), QStringLiteral("--description"), description,
                    QStringLiteral("--out"), m_site.filePath(Name + QStringLiteral(".json"))});
}

void TestStartupFlow::initTestCase()
{
    for (const QString &name :
         {QStringLiteral("CorvaneLauncher"), QStringLiteral("corvane-democlient"),
          QStringLiteral("corvane-publish")})
        QVERIFY2(QFile::exists(binary(name)), qPrintable(name + QStringLiteral(" is not built")));
    QVERIFY2(!shared::TNamedFileMapping::canOpenForReading(clientMarker),
             "a client's running marker exists already; these tests cannot tell theirs apart");
    QVERIFY(m_site.isValid());
    QVERIFY(m_server.isListening());
    m_server.serveDirectory(m_site.path());

    const QByteArray client = readFile(binary(QStringLiteral("corvane-democlient")));
    QVERIFY(!client.isEmpty());
    const QString clientExecutable = QStringLiteral("bin/corvane-democlient" CORVANE_EXE_SUFFIX);
    const QStringList parameters{QStringLiteral("-windowed"),
                                 QStringLiteral("--exit-after-ms=60000")};
    m_alphaV2Data = QByteArrayLiteral("alpha data of the second version\n");
    QVERIFY(publish(QStringLiteral("alpha1"), QStringLiteral("1"), clientExecutable, parameters,
                    {{clientExecutable, client}, {QStringLiteral("data/alpha.txt"), "alpha 1\n"}}));
    QVERIFY(
        publish(QStringLiteral("alpha2"), QStringLiteral("2"), clientExecutable, parameters,
                {{clientExecutable, client}, {QStringLiteral("data/alpha.txt"), m_alphaV2Data}}));
    QVERIFY(publish(QStringLiteral("beta1"), QStringLiteral("1"), clientExecutable, parameters,
                    {{clientExecutable, client}, {QStringLiteral("data/beta.txt"), "beta\n"}}));
    QVERIFY(publish(QStringLiteral("gamma1"), QStringLiteral("1"), clientExecutable, parameters,
                    {{clientExecutable, client}, {QStringLiteral("data/gamma.txt"), "gamma\n"}}));
    QVERIFY(publish(QStringLiteral("silent1"), QStringLiteral("1"), clientExecutable,
                    {QStringLiteral("--no-marker"), QStringLiteral("--exit-after-ms=60000")},
                    {{clientExecutable, client}}));

    // The launcher's own package: the built launcher, told apart from the staged copy by a tail
    // that the executable format ignores.
    m_launcherBytes = readFile(binary(QStringLiteral("CorvaneLauncher")));
    QVERIFY(!m_launcherBytes.isEmpty());
    const QString launcherExecutable = QStringLiteral("CorvaneLauncher" CORVANE_EXE_SUFFIX);
    QVERIFY(publish(QStringLiteral("launcher8"), QStringLiteral("0.0.8"), launcherExecutable, {},
                    {{launcherExecutable, m_launcherBytes + "\ncorvane launcher 0.0.8\n"}}));
    // The same update published after the running version into one output directory: its
    // changed last chunk comes as a delta from the running launcher's own.
    QVERIFY(publish(QStringLiteral("launcher8-delta"), QStringLiteral("0.0.7"), launcherExecutable,
                    {}, {{launcherExecutable, m_launcherBytes}}));
    QVERIFY(publish(QStringLiteral("launcher8-delta"), QStringLiteral("0.0.8"), launcherExecutable,
                    {}, {{launcherExecutable, m_launcherBytes + "\ncorvane launcher 0.0.8\n"}}));
    // Packages whose content does not matter because no update installs them.
    QVERIFY(publish(QStringLiteral("launcher7-small"), QStringLiteral("0.0.7"), launcherExecutable,
                    {}, {{launcherExecutable, "not installed"}}));
    QVERIFY(publish(QStringLiteral("launcher8-small"), QStringLiteral("0.0.8"), launcherExecutable,
                    {}, {{launcherExecutable, "not installed"}}));
    // An update that cannot complete: the chunk of its second file is missing on the server.
    const QByteArray lostContent = QByteArrayLiteral("this chunk never arrives\n");
    QVERIFY(publish(
        QStringLiteral("launcher8-broken"), QStringLiteral("0.0.8"), launcherExecutable, {},
        {{launcherExecutable, "a broken launcher"}, {QStringLiteral("zz-lost.bin"), lostContent}}));
    const QString lostName = QString::fromLatin1(
        QCryptographicHash::hash(lostContent, QCryptographicHash::Sha256).toHex());
    QDirIterator chunks(m_site.filePath(QStringLiteral("launcher8-broken")), QDir::Files,
                        QDirIterator::Subdirectories);
    bool removed = false;
    while (chunks.hasNext()) {
        const QString path = chunks.next();
        if (path.contains(lostName))
            removed = QFile::remove(path);
        // The pack holds the chunk too; without it the launcher turns to the chunk's own file.
        else if (path.endsWith(QStringLiteral(".pack")))
            QVERIFY(QFile::remove(path));
    }
    QVERIFY(removed);

    // Gamma comes first but is not automatic: the first automatic package becomes the default.
    const QJsonArray standardPackages{packageEntry(QStringLiteral("Gamma"), QStringLiteral("gamma"),
                                                   QStringLiteral("gamma1"), false),
                                      packageEntry(QStringLiteral("Alpha"), QStringLiteral("alpha"),
                                                   QStringLiteral("alpha1"), true),
                                      packageEntry(QStringLiteral("Beta"), QStringLiteral("beta"),
                                                   QStringLiteral("beta1"), true)};
    const QJsonObject standard{{QStringLiteral("packages"), standardPackages}};
    QVERIFY(writeMetadata(QStringLiteral("standard"), standard));

    QJsonArray updatedPackages = standardPackages;
    updatedPackages[1] = packageEntry(QStringLiteral("Alpha"), QStringLiteral("alpha"),
                                      QStringLiteral("alpha2"), true);
    QVERIFY(
        writeMetadata(QStringLiteral("updated"), {{QStringLiteral("packages"), updatedPackages}}));

    QJsonObject prevent = standard;
    prevent.insert(QStringLiteral("preventDefaultAutostart"), true);
    QVERIFY(writeMetadata(QStringLiteral("prevent"), prevent));

    QVERIFY(
        writeMetadata(QStringLiteral("silent"),
                      {{QStringLiteral("packages"),
                        QJsonArray{packageEntry(QStringLiteral("Silent"), QStringLiteral("silent"),
                                                QStringLiteral("silent1"), true)}}}));

    // A web server's error page, served with status 200 in place of the launcher's document.
    QVERIFY(writeFile(m_site.filePath(QStringLiteral("launcherhtml/package.json")),
                      "<html><body><h1>502 Bad Gateway</h1></body></html>\n"));
    const std::pair<QString, QString> launcherVariants[] = {
        {QStringLiteral("htmlupdate"), QStringLiteral("launcherhtml")},
        {QStringLiteral("selfupdate"), QStringLiteral("launcher8")},
        {QStringLiteral("selfupdatedelta"), QStringLiteral("launcher8-delta")},
        {QStringLiteral("current"), QStringLiteral("launcher7-small")},
        {QStringLiteral("newer"), QStringLiteral("launcher8-small")},
        {QStringLiteral("brokenupdate"), QStringLiteral("launcher8-broken")}};
    for (const auto &[name, published] : launcherVariants) {
        QJsonObject withLauncher = standard;
        withLauncher.insert(QStringLiteral("launcher"), launcherEntry(published));
        QVERIFY(writeMetadata(name, withLauncher));
    }
}

void TestStartupFlow::init()
{
    m_launcher = std::make_unique<TStagedLauncher>();
    QVERIFY(m_launcher->isValid());
    m_work = std::make_unique<QTemporaryDir>();
    QVERIFY(m_work->isValid());
}

void TestStartupFlow::cleanup()
{
    stopClient();
    for (const auto &process : m_processes) {
        if (process->state() != QProcess::NotRunning) {
            process->kill();
            QTRY_COMPARE_WITH_TIMEOUT(process->state(), QProcess::NotRunning, processTimeout);
        }
    }
    m_processes.clear();
    // A launcher restarted by a self-update is no child of ours; the next test must not meet it.
    QTRY_VERIFY_WITH_TIMEOUT(noLauncherRuns(), processTimeout);
    QTRY_VERIFY_WITH_TIMEOUT(!shared::TNamedFileMapping::canOpenForReading(clientMarker), 30000);
    m_server.clearFaults();
    m_launcher.reset();
    m_work.reset();
}

void TestStartupFlow::useMetadata(const QString &Name, int ClientStartTimeout)
{
    m_launcher->writeSettings(TStagedLauncher::loopbackSettings(
        m_server.url(QStringLiteral("/%1.json").arg(Name)).toString(), 5000, ClientStartTimeout));
}

std::unique_ptr<QProcess> TestStartupFlow::startLauncher(const QStringList &Arguments)
{
    // Each launcher starts its log afresh; removing the last one keeps a test from reading an
    // earlier run's lines before the new process has truncated the file.
    QFile::remove(m_launcher->logFilePath());
    auto process = m_launcher->createProcess(Arguments);
    QProcessEnvironment environment = m_launcher->environment();
    environment.insert(QStringLiteral("CORVANE_DEMOCLIENT_RECORD"),
                       m_work->filePath(QStringLiteral("record.json")));
    environment.insert(QStringLiteral("CORVANE_TEST_DIALOG_LOG"),
                       m_work->filePath(QStringLiteral("dialogs.jsonl")));
    // Qt's offscreen platform plugin never frees its screen; in a sanitizer build that leak
    // report would turn every exit code into a failure. Leaks of the launcher's own still count.
    const QString suppressions = m_work->filePath(QStringLiteral("lsan.supp"));
    writeFile(suppressions, "leak:libqoffscreen.so\n");
    environment.insert(QStringLiteral("LSAN_OPTIONS"),
                       QStringLiteral("suppressions=%1:print_suppressions=0").arg(suppressions));
    process->setProcessEnvironment(environment);
    process->setProcessChannelMode(QProcess::ForwardedChannels);
    process->start();
    process->waitForStarted();
    return process;
}

// The server lives on this thread: waiting must keep the event loop running.
void TestStartupFlow::waitForExit(QProcess &Process, int ExpectedCode)
{
    QTRY_COMPARE_WITH_TIMEOUT(Process.state(), QProcess::NotRunning, processTimeout);
    if (Process.exitStatus() != QProcess::NormalExit || Process.exitCode() != ExpectedCode)
        qWarning().noquote() << "launcher exit code" << Process.exitCode() << "log:\n" << log();
    QCOMPARE(Process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(Process.exitCode(), ExpectedCode);
}

void TestStartupFlow::stopClient()
{
    const QJsonObject record = readRecord();
    const qint64 pid = record.value(QStringLiteral("pid")).toVariant().toLongLong();
    // The record is written before the marker and before the client handles termination: a
    // client stopped in between would leave its marker behind for every later test.
    if (record.value(QStringLiteral("marker")).toBool())
        QTRY_VERIFY_WITH_TIMEOUT(shared::TNamedFileMapping::canOpenForReading(clientMarker), 30000);
#ifdef Q_OS_UNIX
    // Terminated, not killed: the client removes its running marker on the way out.
    if (pid > 0)
        ::kill(static_cast<pid_t>(pid), SIGTERM);
#else
    // Windows removes a named mapping with its last handle, so a killed client leaves none.
    if (pid > 0) {
        if (HANDLE process = ::OpenProcess(PROCESS_TERMINATE, FALSE, DWORD(pid))) {
            ::TerminateProcess(process, 1);
            ::CloseHandle(process);
        }
    }
#endif
    QFile::remove(m_work->filePath(QStringLiteral("record.json")));
}

QString TestStartupFlow::packageDirectory(const QString &Directory) const
{
    return QDir(m_launcher->directory()).filePath(QStringLiteral("packages/") + Directory);
}

QString TestStartupFlow::readVersion(const QString &Directory) const
{
    const QByteArray document =
        readFile(QDir(packageDirectory(Directory)).filePath(QStringLiteral("package.json")));
    return QJsonDocument::fromJson(document).object().value(QStringLiteral("version")).toString();
}

// The container codecs of the chunks a published package lies in.
QSet<int> TestStartupFlow::chunkCodecs(const QString &Published) const
{
    QSet<int> codecs;
    QDirIterator chunks(m_site.filePath(Published + QStringLiteral("/chunks")), QDir::Files,
                        QDirIterator::Subdirectories);
    while (chunks.hasNext())
        codecs.insert(shared::blobContainerCodec(readFile(chunks.next())).value_or(-1));
    return codecs;
}

QJsonObject TestStartupFlow::readRecord() const
{
    return QJsonDocument::fromJson(readFile(m_work->filePath(QStringLiteral("record.json"))))
        .object();
}

QList<QJsonObject> TestStartupFlow::dialogs() const
{
    QList<QJsonObject> entries;
    const QList<QByteArray> lines =
        readFile(m_work->filePath(QStringLiteral("dialogs.jsonl"))).split('\n');
    for (const QByteArray &line : lines) {
        if (!line.isEmpty())
            entries.append(QJsonDocument::fromJson(line).object());
    }
    return entries;
}

// Installs the standard packages with --first-launch and ends the client it started.
void TestStartupFlow::firstLaunch()
{
    useMetadata(QStringLiteral("standard"));
    auto launcher = startLauncher({QStringLiteral("--first-launch")});
    WAIT_FOR_EXIT(*launcher, 0);
    QCOMPARE(readVersion(QStringLiteral("alpha")), QStringLiteral("1"));
    stopClient();
    QTRY_VERIFY_WITH_TIMEOUT(!shared::TNamedFileMapping::canOpenForReading(clientMarker), 30000);
}

void TestStartupFlow::firstLaunchInstallsAndStartsDefaultThenNextStartGoesStraightToClient()
{
    useMetadata(QStringLiteral("standard"));
    auto launcher = startLauncher({QStringLiteral("--first-launch")});
    WAIT_FOR_EXIT(*launcher, 0);
    // Exit code 0 only once the client announced itself, so it is still running now.
    QVERIFY(shared::TNamedFileMapping::canOpenForReading(clientMarker));
    QVERIFY(log().contains(showMainWindowLine));

    QCOMPARE(readVersion(QStringLiteral("alpha")), QStringLiteral("1"));
    QCOMPARE(readVersion(QStringLiteral("beta")), QStringLiteral("1"));
    QCOMPARE(readVersion(QStringLiteral("gamma")), QString());
    QVERIFY(QFile::exists(
        QDir(packageDirectory(QStringLiteral("alpha"))).filePath(QStringLiteral("default"))));
    QVERIFY(!QFile::exists(
        QDir(packageDirectory(QStringLiteral("beta"))).filePath(QStringLiteral("default"))));

    // The installation ends with the (skipped) verification pass, which the client is told of.
    QJsonObject record = readRecord();
    QCOMPARE(record.value(QStringLiteral("arguments")).toVariant().toStringList(),
             (QStringList{QStringLiteral("-windowed"), QStringLiteral("--exit-after-ms=60000"),
                          QStringLiteral("--package-is-up-to-date")}));
    const QString clientDirectory =
        QDir(packageDirectory(QStringLiteral("alpha"))).filePath(QStringLiteral("bin"));
    QCOMPARE(QDir(record.value(QStringLiteral("workingDirectory")).toString()).canonicalPath(),
             QDir(clientDirectory).canonicalPath());
    QCOMPARE(QFileInfo(record.value(QStringLiteral("program")).toString()).canonicalFilePath(),
             QFileInfo(clientDirectory + QStringLiteral("/corvane-democlient" CORVANE_EXE_SUFFIX))
                 .canonicalFilePath());
    stopClient();
    QTRY_VERIFY_WITH_TIMEOUT(!shared::TNamedFileMapping::canOpenForReading(clientMarker), 30000);

    // The default package is up to date: no window, straight to the client.
    auto next = startLauncher({});
    WAIT_FOR_EXIT(*next, 0);
    QVERIFY(log().contains(QStringLiteral("startPackageAndExit")));
    QVERIFY2(!log().contains(showMainWindowLine), qPrintable(log()));
    record = readRecord();
    QCOMPARE(record.value(QStringLiteral("arguments")).toVariant().toStringList(),
             (QStringList{QStringLiteral("-windowed"), QStringLiteral("--exit-after-ms=60000")}));
    QVERIFY(dialogs().isEmpty());
}

void TestStartupFlow::showUiShowsWindowAndStartsNothing()
{
    firstLaunch();
    if (QTest::currentTestFailed())
        return;
    auto launcher = startLauncher({QStringLiteral("-u")});
    m_processes.push_back(std::move(launcher));
    QTRY_VERIFY_WITH_TIMEOUT(log().contains(showMainWindowLine), processTimeout);
    // The decision was made together with showing the window.
    QVERIFY(!log().contains(QStringLiteral("startPackageAndExit")));
    QVERIFY(readRecord().isEmpty());
    QCOMPARE(m_processes.back()->state(), QProcess::Running);
}

void TestStartupFlow::forcePatchFileUpdatesItsPackage()
{
    firstLaunch();
    if (QTest::currentTestFailed())
        return;
    useMetadata(QStringLiteral("updated"));
    const QString forcePatch =
        QDir(packageDirectory(QStringLiteral("alpha"))).filePath(QStringLiteral("FORCE_PATCH"));
    QVERIFY(writeFile(forcePatch, {}));

    m_processes.push_back(startLauncher({}));
    QTRY_COMPARE_WITH_TIMEOUT(readVersion(QStringLiteral("alpha")), QStringLiteral("2"),
                              processTimeout);
    QVERIFY(!QFile::exists(forcePatch));
    QCOMPARE(readFile(QDir(packageDirectory(QStringLiteral("alpha")))
                          .filePath(QStringLiteral("data/alpha.txt"))),
             m_alphaV2Data);
    QTRY_VERIFY_WITH_TIMEOUT(log().contains(QStringLiteral("onAllStartedUpdatesFinished")),
                             processTimeout);
    QVERIFY(log().contains(showMainWindowLine));
    // Nothing asked for a start: the window stays.
    QVERIFY(!log().contains(QStringLiteral("startPackageAndExit")));
    QCOMPARE(m_processes.back()->state(), QProcess::Running);
    QVERIFY(dialogs().isEmpty());
}

void TestStartupFlow::patchWithUnknownPathComplains()
{
    useMetadata(QStringLiteral("standard"));
    m_processes.push_back(startLauncher(
        {QStringLiteral("--patch"), m_work->filePath(QStringLiteral("no/such/client"))}));
    QTRY_COMPARE_WITH_TIMEOUT(dialogs().size(), 1, processTimeout);
    QCOMPARE(dialogs().constFirst().value(QStringLiteral("title")).toString(),
             QStringLiteral("Client patching failed"));
    QCOMPARE(dialogs().constFirst().value(QStringLiteral("text")).toString(),
             QStringLiteral("Could not determine patch information. Your client might no longer be "
                            "supported."));
    QVERIFY(log().contains(showMainWindowLine));
    // The message does not end the launcher, and nothing was installed.
    QCOMPARE(m_processes.back()->state(), QProcess::Running);
    QCOMPARE(readVersion(QStringLiteral("alpha")), QString());
}

void TestStartupFlow::patchWithClientPathUpdatesAndStartsIt()
{
    firstLaunch();
    if (QTest::currentTestFailed())
        return;
    useMetadata(QStringLiteral("updated"));
    const QString executable =
        QDir(packageDirectory(QStringLiteral("alpha")))
            .filePath(QStringLiteral("bin/../bin/corvane-democlient" CORVANE_EXE_SUFFIX));
    auto launcher = startLauncher({QStringLiteral("-p"), executable});
    WAIT_FOR_EXIT(*launcher, 0);
    QCOMPARE(readVersion(QStringLiteral("alpha")), QStringLiteral("2"));
    QVERIFY(!readRecord().isEmpty());
    QVERIFY(dialogs().isEmpty());
}

void TestStartupFlow::preventDefaultAutostartKeepsTheWindow()
{
    useMetadata(QStringLiteral("prevent"));
    m_processes.push_back(startLauncher({QStringLiteral("--first-launch")}));
    QTRY_VERIFY_WITH_TIMEOUT(log().contains(QStringLiteral("onAllStartedUpdatesFinished")),
                             processTimeout);
    QCOMPARE(readVersion(QStringLiteral("alpha")), QStringLiteral("1"));
    QCOMPARE(readVersion(QStringLiteral("beta")), QStringLiteral("1"));
    QVERIFY(QFile::exists(
        QDir(packageDirectory(QStringLiteral("alpha"))).filePath(QStringLiteral("default"))));
    QVERIFY(!log().contains(QStringLiteral("startPackageAndExit")));
    QVERIFY(readRecord().isEmpty());
    QCOMPARE(m_processes.back()->state(), QProcess::Running);
}

void TestStartupFlow::silentClientEndsLauncherAfterTimeout()
{
    constexpr int timeout = 2000;
    useMetadata(QStringLiteral("silent"), timeout);
    auto launcher = startLauncher({QStringLiteral("--first-launch")});
    QTRY_VERIFY_WITH_TIMEOUT(!readRecord().isEmpty(), processTimeout);
    QElapsedTimer sinceClientStart;
    sinceClientStart.start();
    QCOMPARE(readRecord().value(QStringLiteral("marker")).toBool(true), false);
    WAIT_FOR_EXIT(*launcher, 1);
    // The launcher's clock started a little before the client wrote its record.
    QVERIFY2(sinceClientStart.elapsed() >= timeout / 2,
             qPrintable(QString::number(sinceClientStart.elapsed())));
    QVERIFY(log().contains(QStringLiteral("startPackageAndExit")));
}

void TestStartupFlow::metadataFailureShowsMaintenanceMessage_data()
{
    QTest::addColumn<TTestHttpServer::TFault>("fault");
    QTest::addColumn<QByteArray>("settings"); // empty: the standard metadata on the server
    QTest::addColumn<QByteArray>("localCopy");
    QTest::addColumn<bool>("criticalFileError"); // else the maintenance message
    const TTestHttpServer::TFault none;
    const QByteArray timing("[TIMING]\nwaitNotificationTimeout=500\ndownloadErrorTimeout=5000\n");
    QTest::newRow("not found") << TTestHttpServer::TFault::status(404) << QByteArray()
                               << QByteArray() << false;
    QTest::newRow("access denied")
        << TTestHttpServer::TFault::status(403) << QByteArray() << QByteArray() << false;
    QTest::newRow("empty body") << TTestHttpServer::TFault::replaceBody({}) << QByteArray()
                                << QByteArray() << false;
    // The request fails before the event loop runs; the dialog must still end the launcher.
    QTest::newRow("settings hold only timing") << none << timing << QByteArray() << false;
    QTest::newRow("invalid address")
        << none << QByteArray("[URLS]\nlauncherConfiguration=http://[broken/meta.json\n")
        << QByteArray() << false;
    QTest::newRow("settings hold only timing, damaged local copy")
        << none << timing << QByteArray("{\"packages\": [") << true;
}

void TestStartupFlow::metadataFailureShowsMaintenanceMessage()
{
    QFETCH(TTestHttpServer::TFault, fault);
    QFETCH(QByteArray, settings);
    QFETCH(QByteArray, localCopy);
    QFETCH(bool, criticalFileError);
    useMetadata(QStringLiteral("standard"));
    if (!settings.isEmpty())
        m_launcher->writeSettings(settings);
    if (!localCopy.isEmpty())
        QVERIFY(writeFile(
            QDir(m_launcher->directory()).filePath(QStringLiteral("launchermetadata.json")),
            localCopy));
    m_server.setFault(QStringLiteral("/standard.json"), fault);
    auto launcher = startLauncher({QStringLiteral("--first-launch")});
    WAIT_FOR_EXIT(*launcher, 1);
    const QList<QJsonObject> shown = dialogs();
    QCOMPARE(shown.size(), 1);
    const QString title = shown.constFirst().value(QStringLiteral("title")).toString();
    const QString text = shown.constFirst().value(QStringLiteral("text")).toString();
    if (criticalFileError) {
        QCOMPARE(title, QStringLiteral("Corvane Online cannot start"));
        QVERIFY2(
            text.startsWith(QStringLiteral("A critical error occurred while accessing a file")),
            qPrintable(text));
    } else {
        QCOMPARE(title, QStringLiteral("Corvane Online cannot be started"));
        QCOMPARE(text, QStringLiteral("Corvane Online is currently down for maintenance. Please "
                                      "try again later."));
    }
    QVERIFY(!log().contains(showMainWindowLine));
}

void TestStartupFlow::selfUpdateReplacesLauncherAndRestarts_data()
{
    QTest::addColumn<QString>("metadata");
    QTest::newRow("whole LZMA chunks, then a zstd client") << QStringLiteral("selfupdate");
    QTest::newRow("through deltas") << QStringLiteral("selfupdatedelta");
}

void TestStartupFlow::selfUpdateReplacesLauncherAndRestarts()
{
    QFETCH(QString, metadata);
    m_server.clearRequests();
    useMetadata(metadata);
    auto launcher = startLauncher({QStringLiteral("--first-launch")});
    WAIT_FOR_EXIT(*launcher, 0);
    // The restarted launcher carries on with the first launch and starts the client.
    QTRY_VERIFY_WITH_TIMEOUT(!readRecord().isEmpty(), processTimeout);
    QTRY_VERIFY_WITH_TIMEOUT(noLauncherRuns(), processTimeout);
    // Compared as a whole: a failing QCOMPARE would print megabytes.
    QVERIFY(readFile(m_launcher->executablePath()) ==
            m_launcherBytes + "\ncorvane launcher 0.0.8\n");
    QCOMPARE(readVersion(QStringLiteral("alpha")), QStringLiteral("1"));

    const QString restartLog = log();
    const QString options = QStringLiteral("\"--first-launch\", \"--skip-selfupdate\")");
    QVERIFY2(restartLog.contains(options), qPrintable(restartLog));
    QVERIFY(!restartLog.contains(QStringLiteral("startSelfUpdate")));
    QVERIFY(restartLog.contains(QStringLiteral("cleanupOldLauncherVersion")));
    // The running executable was kept aside during the update; the restart removed it.
    QVERIFY(!QFile::exists(m_launcher->executablePath() + QStringLiteral(".old")));
    if (metadata == QStringLiteral("selfupdate")) {
        // A launcher that reads only LZMA can take the update, and then the client as the
        // updated launcher installed it.
        QVERIFY(!chunkCodecs(QStringLiteral("launcher8")).contains(shared::BlobCodecZstd));
        QVERIFY(chunkCodecs(QStringLiteral("alpha1")).contains(shared::BlobCodecZstd));
    }
    if (metadata != QStringLiteral("selfupdatedelta"))
        return;
    // The changed chunk came as its delta, built on the running launcher's own bytes.
    const QJsonObject document =
        QJsonDocument::fromJson(
            readFile(m_site.filePath(QStringLiteral("launcher8-delta/package.json"))))
            .object();
    int deltas = 0;
    for (const QJsonValue &value : document.value(QStringLiteral("chunks")).toArray()) {
        const QJsonObject chunk = value.toObject();
        const QJsonArray offered = chunk.value(QStringLiteral("deltas")).toArray();
        if (offered.isEmpty())
            continue;
        const QString prefix = QStringLiteral("/launcher8-delta/");
        QCOMPARE(m_server.requestCount(prefix + chunk.value(QStringLiteral("url")).toString()), 0);
        // Fetched once: by its own address, or as a range of the pack that holds it too.
        const QJsonObject delta = offered.first().toObject();
        const QString pack = delta.value(QStringLiteral("pack")).toString();
        QCOMPARE(m_server.requestCount(prefix + delta.value(QStringLiteral("url")).toString()) +
                     (pack.isEmpty() ? 0 : m_server.requestCount(prefix + pack)),
                 1);
        ++deltas;
    }
    QVERIFY(deltas > 0);
}

void TestStartupFlow::failedSelfUpdateRestoresExecutableAndGoesOn_data()
{
    QTest::addColumn<QString>("metadata");
    // The broken update writes its own executable before its second file fails for good.
    QTest::newRow("chunk missing on the server") << QStringLiteral("brokenupdate");
    // Refused before anything is written; the launcher still goes on with its old version.
    QTest::newRow("package document is an HTML page") << QStringLiteral("htmlupdate");
}

void TestStartupFlow::failedSelfUpdateRestoresExecutableAndGoesOn()
{
    QFETCH(QString, metadata);
    useMetadata(metadata);
    auto launcher = startLauncher({QStringLiteral("--first-launch")});
    WAIT_FOR_EXIT(*launcher, 0);
    QVERIFY(log().contains(QStringLiteral("Updating Corvane Online failed: Error")));
    QVERIFY(readFile(m_launcher->executablePath()) == m_launcherBytes);
    QVERIFY(!QFile::exists(m_launcher->executablePath() + QStringLiteral(".old")));
    // The old launcher went on with its first launch.
    QCOMPARE(readVersion(QStringLiteral("alpha")), QStringLiteral("1"));
    // The launcher ended once the client announced itself, not when its window closed.
    QVERIFY(log().contains(QStringLiteral("client started")));
    QVERIFY(!readRecord().isEmpty());
    QVERIFY(dialogs().isEmpty());
}

void TestStartupFlow::oldFilesAreRemovedAtNextStart_data()
{
    QTest::addColumn<QString>("metadata");
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("no launcher package")
        << QStringLiteral("standard") << QStringList{QStringLiteral("-u")};
    QTest::newRow("launcher package current")
        << QStringLiteral("current") << QStringList{QStringLiteral("--show-ui")};
    QTest::newRow("newer launcher but update skipped")
        << QStringLiteral("newer") << QStringList{QStringLiteral("-u"), QStringLiteral("-s")};
}

void TestStartupFlow::oldFilesAreRemovedAtNextStart()
{
    QFETCH(QString, metadata);
    QFETCH(QStringList, arguments);
    const QDir directory(m_launcher->directory());
    const QStringList removed{QStringLiteral("CorvaneLauncher.old"),
                              QStringLiteral("library.so.old")};
    const QStringList kept{QStringLiteral("settings.OLD"), QStringLiteral("notes.old.txt"),
                           QStringLiteral("sub/inner.old")};
    for (const QString &name : removed + kept)
        QVERIFY(writeFile(directory.filePath(name), "left over"));

    useMetadata(metadata);
    m_processes.push_back(startLauncher(arguments));
    QTRY_VERIFY_WITH_TIMEOUT(log().contains(showMainWindowLine), processTimeout);
    for (const QString &name : removed)
        QVERIFY2(!QFile::exists(directory.filePath(name)), qPrintable(name));
    for (const QString &name : kept)
        QVERIFY2(QFile::exists(directory.filePath(name)), qPrintable(name));
    QVERIFY(readFile(m_launcher->executablePath()) == m_launcherBytes);
    QVERIFY(!log().contains(QStringLiteral("startSelfUpdate")));
}

QTEST_GUILESS_MAIN(TestStartupFlow)
#include "tst_startupflow.moc"
