#include "format/TDocumentReader.h"
#include "packages/TPackage.h"
#include "packages/TPackageBuild.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTest>

using namespace vorna::launcher;

namespace {

QJsonObject jsonObject(const char *Text)
{
    return QJsonDocument::fromJson(QByteArray(Text)).object();
}

QJsonObject build(const QString &Os, const QString &Architecture, const QString &Url)
{
    return QJsonObject{{QStringLiteral("os"), Os},
                       {QStringLiteral("architecture"), Architecture},
                       {QStringLiteral("url"), Url}};
}

const QUrl metadataBase(QStringLiteral("https://cdn.example.test/launcher/"));

// One element of "builds" as the metadata reader reads it.
::shared::TMetadataBuild buildEntry(const QJsonObject &Build)
{
    const QJsonObject entry{{QStringLiteral("builds"), QJsonArray{Build}}};
    return ::shared::TDocumentReader::metadataPackage(entry).builds.at(0);
}

} // namespace

class TestPackageModel final : public QObject
{
    Q_OBJECT

private slots:
    void resolvesUrls_data();
    void resolvesUrls();
    void readsPlatformNames_data();
    void readsPlatformNames();
    void detectsThisMachineAsLinuxX86_64();
    void selectsFirstBuildForRunningPlatform();
    void readsEntryKeys_data();
    void readsEntryKeys();
    void readsBuildAddresses();
    void announcesOnlyRealStatusChanges();
};

void TestPackageModel::resolvesUrls_data()
{
    QTest::addColumn<QString>("base");
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("expected");

    QTest::newRow("relative against directory") << "https://h.test/launcher/"
                                                << "client/package.json"
                                                << "https://h.test/launcher/client/package.json";
    QTest::newRow("relative against path without slash")
        << "https://h.test/launcher"
        << "client/package.json"
        << "https://h.test/launcher/client/package.json";
    QTest::newRow("both slashes are kept") << "https://h.test/launcher/"
                                           << "/x/package.json"
                                           << "https://h.test/launcher//x/package.json";
    QTest::newRow("leading slash against path without slash")
        << "https://h.test/launcher"
        << "/x/package.json"
        << "https://h.test/launcher/x/package.json";
    QTest::newRow("base query is dropped") << "https://h.test/launcher/?token=1"
                                           << "client/package.json"
                                           << "https://h.test/launcher/client/package.json";
    QTest::newRow("relative query is dropped") << "https://h.test/launcher/"
                                               << "client/package.json?v=2"
                                               << "https://h.test/launcher/client/package.json";
    QTest::newRow("absolute url unchanged") << "https://h.test/launcher/"
                                            << "http://other.test/a/b.json?v=2"
                                            << "http://other.test/a/b.json?v=2";
    QTest::newRow("encoded characters survive") << "https://h.test/my%20dir/"
                                                << "a%20b.json"
                                                << "https://h.test/my%20dir/a%20b.json";
    QTest::newRow("local file base") << "file:///opt/corvane/packages/client/"
                                     << "data/chunk1"
                                     << "file:///opt/corvane/packages/client/data/chunk1";
}

void TestPackageModel::resolvesUrls()
{
    QFETCH(QString, base);
    QFETCH(QString, url);
    QFETCH(QString, expected);
    QCOMPARE(resolvePackageUrl(QUrl(base), QUrl(url, QUrl::TolerantMode)), QUrl(expected));
}

void TestPackageModel::readsPlatformNames_data()
{
    QTest::addColumn<QString>("os");
    QTest::addColumn<QString>("architecture");
    QTest::addColumn<int>("expectedOs");
    QTest::addColumn<int>("expectedArchitecture");

    QTest::newRow("lower case") << "windows"
                                << "x86_64" << int(EOperatingSystem::Windows)
                                << int(EArchitecture::X86_64);
    QTest::newRow("mixed case") << "WinDOWS"
                                << "I386" << int(EOperatingSystem::Windows)
                                << int(EArchitecture::I386);
    QTest::newRow("abbreviation is other")
        << "win"
        << "x64" << int(EOperatingSystem::Other) << int(EArchitecture::Other);
    QTest::newRow("macos and linux")
        << "MacOS"
        << "x86_64" << int(EOperatingSystem::MacOS) << int(EArchitecture::X86_64);
    QTest::newRow("linux") << "Linux"
                           << "" << int(EOperatingSystem::Linux) << int(EArchitecture::Other);
}

void TestPackageModel::readsPlatformNames()
{
    QFETCH(QString, os);
    QFETCH(QString, architecture);
    QFETCH(int, expectedOs);
    QFETCH(int, expectedArchitecture);
    const TPackageBuild packageBuild(buildEntry(build(os, architecture, QStringLiteral("p.json"))),
                                     metadataBase);
    QCOMPARE(int(packageBuild.os), expectedOs);
    QCOMPARE(int(packageBuild.architecture), expectedArchitecture);
}

void TestPackageModel::detectsThisMachineAsLinuxX86_64()
{
    if (QSysInfo::kernelType() != QLatin1String("linux") ||
        QSysInfo::buildCpuArchitecture() != QLatin1String("x86_64"))
        QSKIP("Only meaningful on a Linux x86_64 machine");
    QCOMPARE(runningOperatingSystem(), EOperatingSystem::Linux);
    QCOMPARE(runningArchitecture(), EArchitecture::X86_64);
}

void TestPackageModel::selectsFirstBuildForRunningPlatform()
{
    const QString os = QStringLiteral("linux");
    const QString architecture = QStringLiteral("x86_64");
    if (runningOperatingSystem() != EOperatingSystem::Linux ||
        runningArchitecture() != EArchitecture::X86_64)
        QSKIP("Build entries below are written for Linux x86_64");

    QJsonObject entry{{QStringLiteral("name"), QStringLiteral("client")}};
    entry.insert(
        QStringLiteral("builds"),
        QJsonArray{build(QStringLiteral("windows"), architecture, QStringLiteral("w.json")),
                   build(os, QStringLiteral("i386"), QStringLiteral("l32.json")),
                   build(os, architecture, QStringLiteral("first.json")),
                   build(QStringLiteral("LINUX"), architecture, QStringLiteral("second.json"))});
    const TPackage package(0, entry, metadataBase);
    QCOMPARE(package.builds().size(), size_t(4));
    const TPackageBuild *selected = package.selectBuildForRunningPlatform();
    QVERIFY(selected);
    QCOMPARE(selected->url, QUrl(QStringLiteral("https://cdn.example.test/launcher/first.json")));
    QCOMPARE(package.configurationForRunningPlatform(), nullptr);

    const TPackage windowsOnly(1, jsonObject(R"({"builds":[{"os":"windows","architecture":"x86_64",
                                                 "url":"w.json"}]})"),
                               metadataBase);
    QCOMPARE(windowsOnly.selectBuildForRunningPlatform(), nullptr);
}

void TestPackageModel::readsEntryKeys_data()
{
    QTest::addColumn<QByteArray>("entry");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("directoryName");
    QTest::addColumn<QUrl>("logoLinkTarget");
    QTest::addColumn<bool>("installAutomatically");
    QTest::addColumn<int>("buildCount");

    QTest::newRow("complete") << QByteArray(R"({"name":"Corvane","directoryname":"corvane",
        "logolinktarget":"https://corvane.test/","installautomatically":true,
        "builds":[{"os":"solaris"}]})")
                              << "Corvane"
                              << "corvane" << QUrl(QStringLiteral("https://corvane.test/")) << true
                              << 1;
    QTest::newRow("empty object") << QByteArray("{}") << QString() << QString() << QUrl() << false
                                  << 0;
    QTest::newRow("empty logo link")
        << QByteArray(R"({"logolinktarget":""})") << QString() << QString() << QUrl() << false << 0;
    QTest::newRow("wrong types count as absent")
        << QByteArray(R"({"name":5,"directoryname":[],"installautomatically":"yes",
                          "builds":{"os":"linux"}})")
        << QString() << QString() << QUrl() << false << 0;
    QTest::newRow("non-object build elements") << QByteArray(R"({"builds":[1,"x",null]})")
                                               << QString() << QString() << QUrl() << false << 3;
}

void TestPackageModel::readsEntryKeys()
{
    QFETCH(QByteArray, entry);
    const TPackage package(7, QJsonDocument::fromJson(entry).object(), metadataBase);
    QCOMPARE(package.index(), 7);
    QTEST(package.name(), "name");
    QTEST(package.directoryName(), "directoryName");
    QTEST(package.logoLinkTarget(), "logoLinkTarget");
    QTEST(package.installAutomatically(), "installAutomatically");
    QTEST(int(package.builds().size()), "buildCount");
    QCOMPARE(package.localPackageStatus(), ELocalPackageStatus::NotDetermined);
    QVERIFY(!package.isDefault());
    QVERIFY(!package.verificationDone());
    for (const auto &packageBuild : package.builds()) {
        QCOMPARE(packageBuild->os, EOperatingSystem::Other);
        QVERIFY(packageBuild->url.isEmpty());
    }
}

void TestPackageModel::readsBuildAddresses()
{
    const TPackageBuild withAssets(
        buildEntry(jsonObject(
            R"({"url":"client/package.json","assetsurl":"https://assets.test/a.json?x=1"})")),
        QUrl(QStringLiteral("https://cdn.example.test/launcher/?q=1")));
    QCOMPARE(withAssets.url,
             QUrl(QStringLiteral("https://cdn.example.test/launcher/client/package.json")));
    QCOMPARE(withAssets.assetsUrl, QUrl(QStringLiteral("https://assets.test/a.json?x=1")));
    QVERIFY(!withAssets.configuration);

    // A build that names no document must not resolve to the metadata directory itself.
    const TPackageBuild withoutAddresses(buildEntry(jsonObject(R"({"url":""})")), metadataBase);
    QVERIFY(withoutAddresses.url.isEmpty());
    QVERIFY(withoutAddresses.assetsUrl.isEmpty());
}

void TestPackageModel::announcesOnlyRealStatusChanges()
{
    TPackage package(0, QJsonObject(), metadataBase);
    QSignalSpy changes(&package, &TPackage::localPackageStatusChanged);
    package.setLocalPackageStatus(ELocalPackageStatus::NotInstalled);
    package.setLocalPackageStatus(ELocalPackageStatus::NotInstalled);
    package.setLocalPackageStatus(ELocalPackageStatus::UpToDate);
    QCOMPARE(changes.count(), 2);
    QCOMPARE(int(package.localPackageStatus()), 4);
}

QTEST_GUILESS_MAIN(TestPackageModel)
#include "tst_packagemodel.moc"
