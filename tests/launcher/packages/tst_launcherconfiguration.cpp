#include "configuration/TLauncherConfigurationException.h"
#include "configuration/TLauncherFilesystemHelper.h"
#include "packages/TLauncherConfigurationHandler.h"
#include "packages/TLauncherConfigurationReader.h"
#include "packages/TPackageConfigurationReader.h"
#include "shared/QNetworkAccessManagerWrapper.h"
#include "shared/TDownloadPool.h"
#include "support/TTestHttpServer.h"
#include "support/TestFiles.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

using namespace vorna::launcher;
using testsupport::TTestHttpServer;

namespace {

const QString metadataPath = QStringLiteral("/launcher/metadata.json");

// A package entry whose single build is for this machine; empty addresses are left out.
QJsonObject package(const QString &Name, const QString &Url, const QString &AssetsUrl = QString())
{
    QJsonObject build{{QStringLiteral("os"), testsupport::runningOsName()},
                      {QStringLiteral("architecture"), testsupport::runningArchitectureName()}};
    if (!Url.isEmpty())
        build.insert(QStringLiteral("url"), Url);
    if (!AssetsUrl.isEmpty())
        build.insert(QStringLiteral("assetsurl"), AssetsUrl);
    return QJsonObject{{QStringLiteral("name"), Name},
                       {QStringLiteral("directoryname"), Name},
                       {QStringLiteral("builds"), QJsonArray{build}}};
}

QByteArray metadata(const QJsonArray &Packages, const QJsonObject &Extra = QJsonObject())
{
    QJsonObject root = Extra;
    root.insert(QStringLiteral("packages"), Packages);
    return QJsonDocument(root).toJson();
}

QByteArray packageDocument(const QString &Version)
{
    return QJsonDocument(QJsonObject{{QStringLiteral("version"), Version},
                                     {QStringLiteral("executable"), QStringLiteral("client")}})
        .toJson();
}

std::shared_ptr<TPackage> packageNamed(const TLauncherConfigurationReader &Reader,
                                       const QString &Name)
{
    for (const auto &entry : Reader.packages()) {
        if (entry->name() == Name)
            return entry;
    }
    return {};
}

QString versionOf(const TLauncherConfigurationReader &Reader, const QString &Name)
{
    const std::shared_ptr<TPackage> entry = packageNamed(Reader, Name);
    const TPackageConfigurationReader *configuration =
        entry ? entry->configurationForRunningPlatform() : nullptr;
    return configuration ? configuration->versionString() : QString();
}

void writeFile(const QString &Path, const QByteArray &Data)
{
    QDir().mkpath(QFileInfo(Path).absolutePath());
    QFile file(Path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(Data), Data.size());
}

QByteArray readFile(const QString &Path)
{
    QFile file(Path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// One launcher installation in a temporary directory, talking to the loopback server.
struct TFixture
{
    explicit TFixture(const QUrl &ConfigurationUrl, int ErrorTimeout = 10000, bool Nocache = false)
    {
        writeFile(directory.filePath(QStringLiteral("launchersettings.ini")),
                  QStringLiteral("[URLS]\nlauncherConfiguration=%1\nappendNocacheToPackageUrls=%2\n"
                                 "[DIRECTORIES]\npackages=packages\n"
                                 "[FILES]\npackageFile=package.json\nassetFile=assets.json\n"
                                 "partialPackageFile=partial-package.json\n"
                                 "[TIMING]\ndownloadErrorTimeout=%3\n")
                      .arg(ConfigurationUrl.toString(),
                           Nocache ? QStringLiteral("true") : QStringLiteral("false"))
                      .arg(ErrorTimeout)
                      .toUtf8());
        filesystemHelper = std::make_shared<TLauncherFilesystemHelper>(directory.path());
        pool = std::make_shared<::shared::TDownloadPool>(
            6, std::make_shared<::shared::QNetworkAccessManagerWrapper>(
                   std::make_shared<QNetworkAccessManager>()));
        handler = std::make_unique<TLauncherConfigurationHandler>(pool, filesystemHelper);
    }

    QString localCopyPath() const
    {
        return directory.filePath(QStringLiteral("launchermetadata.json"));
    }
    QString installedFile(const QString &Package, const QString &File) const
    {
        return directory.filePath(QStringLiteral("packages/") + Package + QLatin1Char('/') + File);
    }

    QTemporaryDir directory;
    std::shared_ptr<TLauncherFilesystemHelper> filesystemHelper;
    std::shared_ptr<::shared::TDownloadPool> pool;
    std::unique_ptr<TLauncherConfigurationHandler> handler;
};

} // namespace

class TestLauncherConfiguration final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void readerReadsDocument();
    void readerToleratesOtherShapes_data();
    void readerToleratesOtherShapes();
    void readerRejectsInvalidJson();
    void loadsMetadataOnlineAndSavesLocalCopy();
    void metadataFailures_data();
    void metadataFailures();
    void slowServerFallsBackToLocalCopyAndIgnoresLateAnswer();
    void invalidAddressLoadsLocalCopyOnce();
    void damagedLocalCopyIsDiskAccessFailure();
    void downloadsPackageConfigurations();
    void appendsNocacheToPackageAddresses();
    void emptyPackageListFinishesSynchronously();
    void announcesCurrentHints();
};

void TestLauncherConfiguration::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    if (runningOperatingSystem() == EOperatingSystem::Other ||
        runningArchitecture() == EArchitecture::Other)
        QSKIP("No build entry can name this machine");
}

void TestLauncherConfiguration::readerReadsDocument()
{
    const QByteArray document = R"({
        "launcher": {"name": "launcher", "builds": [{"os": "windows", "url": "self/package.json"}]},
        "packages": [{"name": "first"}, 5, {"name": "third"}],
        "hardwaresurvey": "https://survey.test/post", "hints": "https://web.test/hints.json",
        "funnel": "https://funnel.test/", "preventdefaultautostart": true,
        "showpackagenames": true, "unknown": [1] })";
    const QUrl base(QStringLiteral("https://web.test/launcher/"));
    const TLauncherConfigurationReader reader(document, base);

    QCOMPARE(reader.rawDocument(), document);
    QVERIFY(reader.launcherPackage());
    QCOMPARE(reader.launcherPackage()->index(), 2147483647);
    QCOMPARE(reader.launcherPackage()->builds().at(0)->url,
             QUrl(QStringLiteral("https://web.test/launcher/self/package.json")));
    QCOMPARE(reader.packages().size(), size_t(3));
    QCOMPARE(reader.packages()[0]->name(), QStringLiteral("first"));
    QCOMPARE(reader.packages()[1]->index(), 1);
    QVERIFY(reader.packages()[1]->name().isEmpty());
    QCOMPARE(reader.packages()[2]->index(), 2);
    QCOMPARE(reader.hardwareSurveyUrl(), QUrl(QStringLiteral("https://survey.test/post")));
    QCOMPARE(reader.hintsUrl(), QUrl(QStringLiteral("https://web.test/hints.json")));
    QCOMPARE(reader.funnelUrl(), QUrl(QStringLiteral("https://funnel.test/")));
    QVERIFY(reader.preventDefaultAutostart());
    QVERIFY(reader.showPackageNames());
    QVERIFY(reader.availablePackages().empty());
}

void TestLauncherConfiguration::readerToleratesOtherShapes_data()
{
    QTest::addColumn<QByteArray>("document");
    QTest::newRow("array") << QByteArray("[1,2]");
    QTest::newRow("wrong types") << QByteArray(R"({"launcher":"self","packages":{"a":1},
        "hints":5,"hardwaresurvey":null,"preventdefaultautostart":"true","showpackagenames":1})");
}

void TestLauncherConfiguration::readerToleratesOtherShapes()
{
    QFETCH(QByteArray, document);
    const TLauncherConfigurationReader reader(document, QUrl());
    QVERIFY(!reader.launcherPackage());
    QVERIFY(reader.packages().empty());
    QVERIFY(reader.hintsUrl().isEmpty());
    QVERIFY(reader.hardwareSurveyUrl().isEmpty());
    QVERIFY(!reader.preventDefaultAutostart());
    QVERIFY(!reader.showPackageNames());
}

void TestLauncherConfiguration::readerRejectsInvalidJson()
{
    QVERIFY_EXCEPTION_THROWN(TLauncherConfigurationReader(QByteArray("<html>"), QUrl()),
                             TLauncherConfigurationException);
    try {
        TLauncherConfigurationReader reader(QByteArray(R"({"packages": [)"), QUrl());
        QFAIL("no exception");
    } catch (const std::runtime_error &exception) {
        QVERIFY(!QString::fromStdString(exception.what()).isEmpty());
    }
}

void TestLauncherConfiguration::loadsMetadataOnlineAndSavesLocalCopy()
{
    TTestHttpServer server;
    const QByteArray document =
        metadata({package(QStringLiteral("client"), QStringLiteral("c.json"))});
    server.setFile(metadataPath, document);
    TFixture fixture(server.url(metadataPath));
    writeFile(fixture.localCopyPath(), "{\"packages\":[]}");

    QSignalSpy loaded(fixture.handler.get(),
                      &TLauncherConfigurationHandler::mainConfigurationLoaded);
    fixture.handler->requestLauncherConfiguration();
    QVERIFY(fixture.handler->isErrorTimerActive());
    QVERIFY(loaded.wait());
    QVERIFY(!fixture.handler->isErrorTimerActive());
    QVERIFY(!fixture.handler->isOffline());
    const auto configuration = fixture.handler->launcherConfiguration();
    QVERIFY(configuration);
    QCOMPARE(configuration->baseUrl(), server.url(QStringLiteral("/launcher/")));
    QCOMPARE(configuration->packages().at(0)->builds().at(0)->url,
             server.url(QStringLiteral("/launcher/c.json")));
    QCOMPARE(readFile(fixture.localCopyPath()), document);
}

void TestLauncherConfiguration::metadataFailures_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<bool>("replaceBody");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("hasLocalCopy");
    QTest::addColumn<bool>("expectLoaded");

    QTest::newRow("403 is access denied") << 403 << false << QByteArray() << true << false;
    QTest::newRow("404 is content not found") << 404 << false << QByteArray() << true << false;
    QTest::newRow("empty body counts as not found") << 0 << true << QByteArray() << true << false;
    QTest::newRow("not JSON fails without using the local copy")
        << 0 << true << QByteArray("<html>maintenance</html>") << true << false;
    QTest::newRow("server error falls back to local copy")
        << 500 << false << QByteArray() << true << true;
    QTest::newRow("server error without local copy")
        << 500 << false << QByteArray() << false << false;
}

void TestLauncherConfiguration::metadataFailures()
{
    QFETCH(int, status);
    QFETCH(bool, replaceBody);
    QFETCH(QByteArray, body);
    QFETCH(bool, hasLocalCopy);
    QFETCH(bool, expectLoaded);

    TTestHttpServer server;
    server.setFile(metadataPath, metadata({}));
    TTestHttpServer::TFault fault;
    fault.statusCode = status;
    if (replaceBody)
        fault.body = body;
    server.setFault(metadataPath, fault);
    TFixture fixture(server.url(metadataPath));
    const QByteArray localCopy = metadata({}, {{QStringLiteral("showpackagenames"), true}});
    if (hasLocalCopy)
        writeFile(fixture.localCopyPath(), localCopy);

    QSignalSpy loaded(fixture.handler.get(),
                      &TLauncherConfigurationHandler::mainConfigurationLoaded);
    QSignalSpy failed(fixture.handler.get(),
                      &TLauncherConfigurationHandler::mainConfigurationDownloadFailed);
    QSignalSpy diskFailed(fixture.handler.get(), &TLauncherConfigurationHandler::diskAccessFailed);
    QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(QStringLiteral(".")));
    fixture.handler->requestLauncherConfiguration();
    QTRY_COMPARE(loaded.count() + failed.count(), 1);
    QCOMPARE(loaded.count(), expectLoaded ? 1 : 0);
    QCOMPARE(diskFailed.count(), 0);
    QVERIFY(!fixture.handler->isErrorTimerActive());
    QCOMPARE(fixture.handler->isOffline(), expectLoaded);
    if (expectLoaded)
        QVERIFY(fixture.handler->launcherConfiguration()->showPackageNames());
    // A failed online document never replaces the copy of the last good one.
    QCOMPARE(readFile(fixture.localCopyPath()), hasLocalCopy ? localCopy : QByteArray());
}

void TestLauncherConfiguration::slowServerFallsBackToLocalCopyAndIgnoresLateAnswer()
{
    TTestHttpServer server;
    TTestHttpServer::TFault slow = TTestHttpServer::TFault::delay(1500);
    server.setFile(metadataPath,
                   metadata({package(QStringLiteral("online"), QStringLiteral("o.json"))}));
    server.setFault(metadataPath, slow);
    TFixture fixture(server.url(metadataPath), 100);

    // The copy of the last run: one installed package with assets, one without, one that is not
    // installed, and the launcher's own package, which is never read offline.
    QJsonObject root{
        {QStringLiteral("launcher"),
         package(QStringLiteral("launcher"), server.url(QStringLiteral("/self.json")).toString())}};
    const QByteArray localCopy = metadata(
        {package(QStringLiteral("withassets"), QStringLiteral("p.json"), QStringLiteral("a.json")),
         package(QStringLiteral("plain"), QStringLiteral("p.json")),
         package(QStringLiteral("missing"), QStringLiteral("p.json"))},
        root);
    writeFile(fixture.localCopyPath(), localCopy);
    writeFile(fixture.installedFile(QStringLiteral("withassets"), QStringLiteral("package.json")),
              packageDocument(QStringLiteral("5")));
    writeFile(fixture.installedFile(QStringLiteral("withassets"), QStringLiteral("assets.json")),
              R"({"version": 9})");
    writeFile(fixture.installedFile(QStringLiteral("plain"), QStringLiteral("package.json")),
              packageDocument(QStringLiteral("2")));

    QSignalSpy loaded(fixture.handler.get(),
                      &TLauncherConfigurationHandler::mainConfigurationLoaded);
    QSignalSpy finished(fixture.handler.get(),
                        &TLauncherConfigurationHandler::packageConfigurationDownloadsFinished);
    QSignalSpy poolSuccess(fixture.pool.get(), &::shared::TDownloadPool::success);
    fixture.handler->requestLauncherConfiguration();
    QVERIFY(loaded.wait());
    QVERIFY(fixture.handler->isOffline());
    const auto configuration = fixture.handler->launcherConfiguration();
    QCOMPARE(configuration->packages().size(), size_t(3));

    QTest::ignoreMessage(
        QtCriticalMsg, QRegularExpression(QStringLiteral("^Download of package configuration/asset "
                                                         "from configuration .*missing")));
    fixture.handler->downloadPackageConfigurations();
    QVERIFY(finished.wait());
    QCOMPARE(versionOf(*configuration, QStringLiteral("withassets")), QStringLiteral("P5 A9"));
    QCOMPARE(versionOf(*configuration, QStringLiteral("plain")), QStringLiteral("P2 A?"));
    QCOMPARE(versionOf(*configuration, QStringLiteral("missing")), QString());
    QCOMPARE(server.requestCount(QStringLiteral("/self.json")), 0);

    // The slow answer finally arrives and changes nothing.
    QTRY_VERIFY_WITH_TIMEOUT(poolSuccess.count() > 0 &&
                                 poolSuccess.last().at(0).toUrl() == server.url(metadataPath),
                             10000);
    QCOMPARE(loaded.count(), 1);
    QCOMPARE(finished.count(), 1);
    QCOMPARE(fixture.handler->launcherConfiguration(), configuration);
    QVERIFY(fixture.handler->isOffline());
    QCOMPARE(readFile(fixture.localCopyPath()), localCopy);
}

void TestLauncherConfiguration::invalidAddressLoadsLocalCopyOnce()
{
    TFixture fixture(QUrl(), 0);
    writeFile(fixture.localCopyPath(), metadata({}));
    QSignalSpy loaded(fixture.handler.get(),
                      &TLauncherConfigurationHandler::mainConfigurationLoaded);
    QTest::ignoreMessage(QtCriticalMsg, "Download of configuration failed: Invalid URL");
    fixture.handler->requestLauncherConfiguration();
    QCOMPARE(loaded.count(), 1);
    // The error timer would load the copy a second time.
    QVERIFY(!fixture.handler->isErrorTimerActive());
    QCoreApplication::processEvents();
    QCOMPARE(loaded.count(), 1);
}

void TestLauncherConfiguration::damagedLocalCopyIsDiskAccessFailure()
{
    TTestHttpServer server;
    server.setFault(metadataPath, TTestHttpServer::TFault::status(500));
    TFixture fixture(server.url(metadataPath));
    writeFile(fixture.localCopyPath(), "{ damaged");
    QSignalSpy diskFailed(fixture.handler.get(), &TLauncherConfigurationHandler::diskAccessFailed);
    QSignalSpy loaded(fixture.handler.get(),
                      &TLauncherConfigurationHandler::mainConfigurationLoaded);
    QTest::ignoreMessage(QtCriticalMsg,
                         QRegularExpression(QStringLiteral("^Download of configuration failed")));
    fixture.handler->requestLauncherConfiguration();
    QVERIFY(diskFailed.wait());
    QVERIFY(!diskFailed.at(0).at(0).toString().isEmpty());
    QCOMPARE(loaded.count(), 0);
}

void TestLauncherConfiguration::downloadsPackageConfigurations()
{
    TTestHttpServer server;
    const QByteArray shared = packageDocument(QStringLiteral("1"));
    server.setFile(QStringLiteral("/launcher/self/package.json"),
                   packageDocument(QStringLiteral("0.0.8")));
    server.setFile(QStringLiteral("/launcher/shared.json"), shared);
    server.setFile(QStringLiteral("/launcher/dropped/package.json"),
                   packageDocument(QStringLiteral("4")));
    server.setFault(QStringLiteral("/launcher/dropped/assets.json"),
                    TTestHttpServer::TFault::status(404));
    server.setFile(QStringLiteral("/launcher/same.json"), R"({"version":"6","files":[]})");
    server.setFile(QStringLiteral("/launcher/empty.json"), QByteArray());

    QJsonObject otherPlatform = package(QStringLiteral("otherplatform"), QStringLiteral("x.json"));
    otherPlatform.insert(
        QStringLiteral("builds"),
        QJsonArray{QJsonObject{{QStringLiteral("os"), QStringLiteral("beos")},
                               {QStringLiteral("url"), QStringLiteral("x.json")}}});
    const QByteArray document = metadata(
        {package(QStringLiteral("first"), QStringLiteral("shared.json")),
         package(QStringLiteral("second"), QStringLiteral("shared.json")),
         package(QStringLiteral("dropped"), QStringLiteral("dropped/package.json"),
                 QStringLiteral("dropped/assets.json")),
         package(QStringLiteral("same"), QStringLiteral("same.json"), QStringLiteral("same.json")),
         package(QStringLiteral("noaddress"), QString()),
         package(QStringLiteral("emptybody"), QStringLiteral("empty.json")), otherPlatform},
        {{QStringLiteral("launcher"),
          package(QStringLiteral("launcher"), QStringLiteral("self/package.json"))}});
    server.setFile(metadataPath, document);
    TFixture fixture(server.url(metadataPath));

    QSignalSpy loaded(fixture.handler.get(),
                      &TLauncherConfigurationHandler::mainConfigurationLoaded);
    QSignalSpy finished(fixture.handler.get(),
                        &TLauncherConfigurationHandler::packageConfigurationDownloadsFinished);
    fixture.handler->requestLauncherConfiguration();
    QVERIFY(loaded.wait());
    QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(QStringLiteral("dropped/assets.json")));
    QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(QStringLiteral(
                                            "empty.json failed: Data stream is empty")));
    fixture.handler->downloadPackageConfigurations();
    QCOMPARE(fixture.handler->pendingConfigurationDownloads(), 6);
    QVERIFY(finished.wait());
    QCOMPARE(fixture.handler->pendingConfigurationDownloads(), 0);

    const auto configuration = fixture.handler->launcherConfiguration();
    QCOMPARE(configuration->launcherPackage()->configurationForRunningPlatform()->packageVersion(),
             QStringLiteral("0.0.8"));
    QCOMPARE(versionOf(*configuration, QStringLiteral("first")), QStringLiteral("P1 A?"));
    QCOMPARE(versionOf(*configuration, QStringLiteral("second")), QStringLiteral("P1 A?"));
    QCOMPARE(server.requestCount(QStringLiteral("/launcher/shared.json")), 1);
    QCOMPARE(versionOf(*configuration, QStringLiteral("same")), QStringLiteral("P6 A6"));
    QCOMPARE(versionOf(*configuration, QStringLiteral("dropped")), QString());
    QCOMPARE(versionOf(*configuration, QStringLiteral("noaddress")), QString());
    QCOMPARE(versionOf(*configuration, QStringLiteral("emptybody")), QString());

    QStringList available;
    for (const auto &entry : configuration->availablePackages())
        available.append(entry->name());
    QCOMPARE(available, QStringList({QStringLiteral("first"), QStringLiteral("second"),
                                     QStringLiteral("same")}));
    QTRY_COMPARE(fixture.pool->outstandingDownloads(), qint64(0));
    QCOMPARE(finished.count(), 1);
}

void TestLauncherConfiguration::appendsNocacheToPackageAddresses()
{
    TTestHttpServer server;
    server.setFile(metadataPath,
                   metadata({package(QStringLiteral("client"), QStringLiteral("client/p.json"))}));
    server.setFile(QStringLiteral("/launcher/client/p.json"),
                   R"({"version":"3","chunks":[{"url":"chunks/1"}]})");
    TFixture fixture(server.url(metadataPath), 10000, true);
    QSignalSpy loaded(fixture.handler.get(),
                      &TLauncherConfigurationHandler::mainConfigurationLoaded);
    QSignalSpy finished(fixture.handler.get(),
                        &TLauncherConfigurationHandler::packageConfigurationDownloadsFinished);
    fixture.handler->requestLauncherConfiguration();
    QVERIFY(loaded.wait());
    fixture.handler->downloadPackageConfigurations();
    QVERIFY(finished.wait());

    QCOMPARE(server.requests(metadataPath).at(0).query, QString());
    const QString query = server.requests(QStringLiteral("/launcher/client/p.json")).at(0).query;
    QVERIFY2(
        QRegularExpression(QStringLiteral("^nocache=[A-Za-z0-9]{32}$")).match(query).hasMatch(),
        qPrintable(query));
    // The token never leaks into the addresses resolved against the document.
    const auto client =
        packageNamed(*fixture.handler->launcherConfiguration(), QStringLiteral("client"));
    QCOMPARE(client->configurationForRunningPlatform()->chunks().at(0).url,
             server.url(QStringLiteral("/launcher/client/chunks/1")));
}

void TestLauncherConfiguration::emptyPackageListFinishesSynchronously()
{
    TTestHttpServer server;
    server.setFile(metadataPath, metadata({}));
    TFixture fixture(server.url(metadataPath));
    QSignalSpy loaded(fixture.handler.get(),
                      &TLauncherConfigurationHandler::mainConfigurationLoaded);
    QSignalSpy finished(fixture.handler.get(),
                        &TLauncherConfigurationHandler::packageConfigurationDownloadsFinished);
    fixture.handler->downloadPackageConfigurations();
    QCOMPARE(finished.count(), 0); // nothing loaded yet
    fixture.handler->requestLauncherConfiguration();
    QVERIFY(loaded.wait());
    fixture.handler->downloadPackageConfigurations();
    QCOMPARE(finished.count(), 1);
}

void TestLauncherConfiguration::announcesCurrentHints()
{
    TTestHttpServer server;
    server.setFile(metadataPath,
                   metadata({}, {{QStringLiteral("hints"),
                                  server.url(QStringLiteral("/hints.json")).toString()}}));
    server.setFile(QStringLiteral("/hints.json"),
                   R"([{"richText":"old","displayUntil":"2000-01-01T00:00:00Z"},
                       {"richText":"now","category":"cat1","displayAfter":"2000-01-01T00:00:00Z"}])");
    TFixture fixture(server.url(metadataPath));
    QSignalSpy loaded(fixture.handler.get(),
                      &TLauncherConfigurationHandler::mainConfigurationLoaded);
    fixture.handler->requestLauncherConfiguration();
    QVERIFY(loaded.wait());

    QSignalSpy hint(fixture.handler.get(), &TLauncherConfigurationHandler::hintAreaDataReceived);
    QSignalSpy hints(fixture.handler.get(), &TLauncherConfigurationHandler::hintsAreaDataReceived);
    fixture.pool->enqueue(server.url(QStringLiteral("/hints.json")));
    QVERIFY(hints.wait());
    QCOMPARE(hint.count(), 1);
    QVERIFY(fixture.handler->currentHint().richText.endsWith(QStringLiteral("now")));
    const auto list = hints.at(0).at(0).value<std::vector<::shared::THint>>();
    QCOMPARE(list.size(), size_t(2));
    QCOMPARE(fixture.handler->hints().size(), size_t(2));
}

QTEST_GUILESS_MAIN(TestLauncherConfiguration)
#include "tst_launcherconfiguration.moc"
