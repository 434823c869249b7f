#include "configuration/TLauncherFilesystemHelper.h"
#include "installation/TInstallationManager.h"
#include "packages/TLauncherConfigurationReader.h"
#include "packages/TPackage.h"
#include "packages/TPackageBuild.h"
#include "packages/TPackageConfigurationReader.h"
#include "support/TestFiles.h"
#include "support/ThrownError.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

using namespace vorna::launcher;

Q_DECLARE_METATYPE(vorna::launcher::ELocalPackageStatus)

namespace {

const QUrl metadataBase(QStringLiteral("https://cdn.example.test/launcher/"));

QByteArray packageDocument(const QString &Version, const QString &Executable = QString())
{
    QJsonObject document{{QStringLiteral("version"), Version}};
    if (!Executable.isEmpty())
        document.insert(QStringLiteral("executable"), Executable);
    return QJsonDocument(document).toJson(QJsonDocument::Compact);
}

QByteArray assetDocument(const QString &Version)
{
    return QJsonDocument(QJsonObject{{QStringLiteral("version"), Version}})
        .toJson(QJsonDocument::Compact);
}

QJsonObject packageEntry(const QString &Name, const QString &DirectoryName)
{
    const QJsonObject build{
        {QStringLiteral("os"), testsupport::runningOsName()},
        {QStringLiteral("architecture"), testsupport::runningArchitectureName()},
        {QStringLiteral("url"), QStringLiteral("x/package.json")}};
    return QJsonObject{{QStringLiteral("name"), Name},
                       {QStringLiteral("directoryname"), DirectoryName},
                       {QStringLiteral("builds"), QJsonArray{build}}};
}

void setRemote(const std::shared_ptr<TPackage> &pPackage, const QByteArray &PackageJson,
               const QByteArray &AssetJson = QByteArray())
{
    pPackage->builds().front()->configuration = std::make_unique<TPackageConfigurationReader>(
        PackageJson, AssetJson, metadataBase, metadataBase);
}

QByteArray contentOf(const QString &Path)
{
    QFile file(Path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray("<missing>");
    return file.readAll();
}

void writeTo(const QString &Path, const QByteArray &Data)
{
    QDir().mkpath(QFileInfo(Path).absolutePath());
    QFile file(Path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(Data), Data.size());
}

// A launcher directory with a package list of the given (name, directory name) pairs.
class TInstallationFixture
{
public:
    explicit TInstallationFixture(const QList<QPair<QString, QString>> &Packages)
    {
        QJsonArray entries;
        for (const auto &package : Packages)
            entries.append(packageEntry(package.first, package.second));
        const QByteArray metadata =
            QJsonDocument(QJsonObject{{QStringLiteral("packages"), entries}}).toJson();
        source = std::make_shared<TLauncherConfigurationReader>(metadata, metadataBase);
        helper = std::make_shared<TLauncherFilesystemHelper>(applicationDirectory.path());
    }

    std::shared_ptr<TPackage> package(int Index) const
    {
        return source->packages().at(static_cast<size_t>(Index));
    }
    QString packagesPath() const
    {
        return applicationDirectory.filePath(QStringLiteral("packages"));
    }
    QString pathIn(const QString &DirectoryName, const QString &File) const
    {
        return packagesPath() + QLatin1Char('/') + DirectoryName + QLatin1Char('/') + File;
    }
    std::unique_ptr<TInstallationManager> manager() const
    {
        return std::make_unique<TInstallationManager>(source, helper);
    }

    QTemporaryDir applicationDirectory;
    std::shared_ptr<TLauncherConfigurationReader> source;
    std::shared_ptr<TLauncherFilesystemHelper> helper;
};

} // namespace

class TestInstalledState final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void confinesInstallationDirectory_data();
    void confinesInstallationDirectory();
    void launcherPackageLivesInApplicationDirectory();
    void derivesLocalStatus_data();
    void derivesLocalStatus();
    void fullMarkerWinsWhenReading();
    void settingsWithoutMarkerNamesNeverLookInstalled();
    void updateOfCompleteInstallationMovesMarkers();
    void markersAreReplacedWhole();
    void removingMarkerNeverFollowsLinks();
    void firstInstalledDefaultWins();
    void setDefaultPackageMovesMarker();
    void findsPackageByExecutablePath();
};

void TestInstalledState::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
}

void TestInstalledState::confinesInstallationDirectory_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("directoryName");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<bool>("warns");
    // Another package of the list, as "name|directory name", or nothing.
    QTest::addColumn<QString>("other");

    QTest::newRow("plain") << "client"
                           << "client"
                           << "client" << false << "";
    QTest::newRow("nested") << "client"
                            << "games/client"
                            << "games/client" << false << "";
    QTest::newRow("climbing keeps last name") << "client"
                                              << "../../evil"
                                              << "evil" << false << "";
    QTest::newRow("absolute path stays inside") << "client"
                                                << "/tmp/evil"
                                                << "tmp/evil" << false << "";
    QTest::newRow("parent falls back to name") << "client"
                                               << ".."
                                               << "client" << true << "";
    QTest::newRow("empty falls back to name") << "client"
                                              << ""
                                              << "client" << true << "";
    QTest::newRow("dot falls back to name") << "client"
                                            << "."
                                            << "client" << true << "";
    QTest::newRow("self-cancelling falls back to name") << "client"
                                                        << "a/.."
                                                        << "client" << true << "";
    QTest::newRow("fallback name is another package's directory")
        << "client"
        << ""
        << "package-0" << true << "other|client";
    QTest::newRow("fallback name is another package's directory by case")
        << "client"
        << ".."
        << "package-0" << true << "other|Client";
    QTest::newRow("two packages falling back to one name") << "client"
                                                           << ""
                                                           << "package-0" << true << "client|.";
    QTest::newRow("position name is another package's directory")
        << ".."
        << ""
        << "package-0-2" << true << "other|package-0";
    QTest::newRow("no usable name at all") << ".."
                                           << ".."
                                           << "package-0" << true << "";
}

void TestInstalledState::confinesInstallationDirectory()
{
    QFETCH(QString, name);
    QFETCH(QString, directoryName);
    QFETCH(QString, expected);
    QFETCH(bool, warns);
    QFETCH(QString, other);

    QList<QPair<QString, QString>> packages{{name, directoryName}};
    if (!other.isEmpty())
        packages.append(
            {other.section(QLatin1Char('|'), 0, 0), other.section(QLatin1Char('|'), 1)});
    TInstallationFixture fixture(packages);
    const auto manager = fixture.manager();
    if (warns)
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression(QStringLiteral("unusable directory")));
    const QDir directory = manager->installationDirectory(fixture.package(0));
    QCOMPARE(QDir::cleanPath(directory.absolutePath()),
             QDir::cleanPath(fixture.packagesPath() + QLatin1Char('/') + expected));
    QVERIFY(QFileInfo(fixture.packagesPath()).isDir());
}

void TestInstalledState::launcherPackageLivesInApplicationDirectory()
{
    TInstallationFixture fixture({});
    const auto manager = fixture.manager();
    const auto launcher = std::make_shared<TPackage>(
        TPackage::LauncherPackageIndex,
        packageEntry(QStringLiteral("launcher"), QStringLiteral("x")), metadataBase);
    QCOMPARE(QDir::cleanPath(manager->installationDirectory(launcher).absolutePath()),
             QDir::cleanPath(fixture.applicationDirectory.path()));
}

void TestInstalledState::derivesLocalStatus_data()
{
    QTest::addColumn<bool>("hasRemote");
    QTest::addColumn<QByteArray>("remoteAsset");
    QTest::addColumn<QByteArray>("fullMarker");
    QTest::addColumn<QByteArray>("partialMarker");
    QTest::addColumn<QByteArray>("localAsset");
    QTest::addColumn<ELocalPackageStatus>("expected");

    const QByteArray none;
    const QByteArray v1 = packageDocument(QStringLiteral("1"));
    const QByteArray v2 = packageDocument(QStringLiteral("2"));
    const QByteArray a1 = assetDocument(QStringLiteral("1"));
    const QByteArray a7 = assetDocument(QStringLiteral("7"));
    using S = ELocalPackageStatus;

    QTest::newRow("no markers") << true << a7 << none << none << none << S::NotInstalled;
    QTest::newRow("partial only") << true << a7 << none << v2 << a7 << S::PartiallyInstalled;
    QTest::newRow("partial with garbage")
        << true << a7 << none << QByteArray("{") << none << S::PartiallyInstalled;
    QTest::newRow("same version") << true << a7 << v2 << none << a7 << S::UpToDate;
    QTest::newRow("other package version") << true << a7 << v1 << none << a7 << S::UpdateAvailable;
    QTest::newRow("other asset version") << true << a7 << v2 << none << a1 << S::UpdateAvailable;
    QTest::newRow("both markers compare versions") << true << a7 << v2 << v1 << a7 << S::UpToDate;
    QTest::newRow("remote asset version 1") << true << a1 << v2 << none << a1 << S::UpdateAvailable;
    QTest::newRow("unparsable full marker")
        << true << a7 << QByteArray("{") << none << a7 << S::UpdateAvailable;
    QTest::newRow("no configuration downloaded")
        << false << a7 << v2 << v1 << a7 << S::NotInstalled;
}

void TestInstalledState::derivesLocalStatus()
{
    QFETCH(bool, hasRemote);
    QFETCH(QByteArray, remoteAsset);
    QFETCH(QByteArray, fullMarker);
    QFETCH(QByteArray, partialMarker);
    QFETCH(QByteArray, localAsset);
    QFETCH(ELocalPackageStatus, expected);

    TInstallationFixture fixture({{QStringLiteral("client"), QStringLiteral("client")}});
    if (hasRemote)
        setRemote(fixture.package(0), packageDocument(QStringLiteral("2")), remoteAsset);
    const QString directory = QStringLiteral("client");
    if (!fullMarker.isNull())
        writeTo(fixture.pathIn(directory, QStringLiteral("package.json")), fullMarker);
    if (!partialMarker.isNull())
        writeTo(fixture.pathIn(directory, QStringLiteral("partial-package.json")), partialMarker);
    if (!localAsset.isNull())
        writeTo(fixture.pathIn(directory, QStringLiteral("assets.json")), localAsset);

    if (hasRemote && fullMarker == "{")
        QTest::ignoreMessage(QtCriticalMsg,
                             QRegularExpression(QStringLiteral("could not be parsed")));
    const auto manager = fixture.manager();
    QCOMPARE(fixture.package(0)->localPackageStatus(), expected);
}

void TestInstalledState::settingsWithoutMarkerNamesNeverLookInstalled()
{
    TInstallationFixture fixture({{QStringLiteral("client"), QStringLiteral("client")}});
    writeTo(fixture.applicationDirectory.filePath(QStringLiteral("launchersettings.ini")),
            "[DIRECTORIES]\npackages=packages\n");
    fixture.helper =
        std::make_shared<TLauncherFilesystemHelper>(fixture.applicationDirectory.path());
    setRemote(fixture.package(0), packageDocument(QStringLiteral("2")), QByteArray());
    writeTo(fixture.pathIn(QStringLiteral("client"), QStringLiteral("game.bin")), "data");

    // Both marker names are empty, so both marker paths are the directory itself.
    const auto manager = fixture.manager();
    QCOMPARE(fixture.package(0)->localPackageStatus(), ELocalPackageStatus::NotInstalled);
    QVERIFY(!manager
                 ->readPackageConfigurationFromInstallationDirectory(
                     manager->installationDirectory(fixture.package(0)))
                 .isValid());
}

void TestInstalledState::fullMarkerWinsWhenReading()
{
    TInstallationFixture fixture({{QStringLiteral("client"), QStringLiteral("client")}});
    const auto manager = fixture.manager();
    const QDir directory = manager->installationDirectory(fixture.package(0));
    QVERIFY(!manager->readPackageConfigurationFromInstallationDirectory(directory).isValid());

    writeTo(directory.filePath(QStringLiteral("partial-package.json")),
            packageDocument(QStringLiteral("1")));
    QCOMPARE(manager->readPackageConfigurationFromInstallationDirectory(directory).versionString(),
             QStringLiteral("P1 A?"));

    writeTo(directory.filePath(QStringLiteral("package.json")),
            packageDocument(QStringLiteral("2")));
    writeTo(directory.filePath(QStringLiteral("assets.json")), assetDocument(QStringLiteral("5")));
    const TPackageConfigurationReader local =
        manager->readPackageConfigurationFromInstallationDirectory(directory);
    QVERIFY(local.isValid());
    QCOMPARE(local.versionString(), QStringLiteral("P2 A5"));
    QCOMPARE(local.packageBaseUrl(), QUrl::fromLocalFile(directory.absolutePath()));
}

void TestInstalledState::updateOfCompleteInstallationMovesMarkers()
{
    TInstallationFixture fixture({{QStringLiteral("client"), QStringLiteral("client")}});
    const auto package = fixture.package(0);
    const QByteArray oldPackage = packageDocument(QStringLiteral("1"));
    const QByteArray newPackage = packageDocument(QStringLiteral("2"));
    const QByteArray newAsset = assetDocument(QStringLiteral("9"));
    setRemote(package, newPackage, newAsset);
    const QString full = fixture.pathIn(QStringLiteral("client"), QStringLiteral("package.json"));
    const QString partial =
        fixture.pathIn(QStringLiteral("client"), QStringLiteral("partial-package.json"));
    const QString asset = fixture.pathIn(QStringLiteral("client"), QStringLiteral("assets.json"));
    writeTo(full, oldPackage);
    writeTo(partial, QByteArray("stale"));

    const auto manager = fixture.manager();
    QCOMPARE(package->localPackageStatus(), ELocalPackageStatus::UpdateAvailable);
    QSignalSpy statusChanges(package.get(), &TPackage::localPackageStatusChanged);

    manager->markPackageAsPartiallyInstalled(package, newPackage, newAsset);
    QVERIFY(!QFileInfo::exists(full));
    QCOMPARE(contentOf(partial), oldPackage);
    QCOMPARE(contentOf(asset), newAsset);
    QCOMPARE(package->localPackageStatus(), ELocalPackageStatus::PartiallyInstalled);
    QCOMPARE(statusChanges.count(), 1);

    // A second start (interrupted update) keeps the partial marker it finds.
    manager->markPackageAsPartiallyInstalled(package, newPackage, QByteArray());
    QCOMPARE(contentOf(partial), oldPackage);
    QCOMPARE(statusChanges.count(), 1);

    manager->updatePartiallyInstalledPackage(package, newPackage, newAsset);
    QCOMPARE(contentOf(partial), newPackage);
    QVERIFY(!QFileInfo::exists(full));
    QCOMPARE(manager->computeLocalPackageStatus(package), ELocalPackageStatus::PartiallyInstalled);

    manager->markPackageAsFullyInstalled(package, newPackage, newAsset);
    QVERIFY(!QFileInfo::exists(partial));
    QCOMPARE(contentOf(full), newPackage);
    QCOMPARE(package->localPackageStatus(), ELocalPackageStatus::UpToDate);
    QCOMPARE(manager->computeLocalPackageStatus(package), ELocalPackageStatus::UpToDate);
    QCOMPARE(statusChanges.count(), 2);
}

void TestInstalledState::markersAreReplacedWhole()
{
    TInstallationFixture fixture({{QStringLiteral("client"), QStringLiteral("client")}});
    const auto package = fixture.package(0);
    const auto manager = fixture.manager();
    const QDir directory = manager->installationDirectory(package);
    QVERIFY(!directory.exists());

    // A fresh installation: the partial marker creates the installation directory.
    manager->markPackageAsPartiallyInstalled(package, packageDocument(QStringLiteral("1")),
                                             QByteArray());
    QCOMPARE(contentOf(directory.filePath(QStringLiteral("partial-package.json"))),
             packageDocument(QStringLiteral("1")));
    QVERIFY(!QFileInfo::exists(directory.filePath(QStringLiteral("assets.json"))));

    // A full marker that cannot be written leaves the partial marker in place.
    QVERIFY(directory.mkpath(QStringLiteral("package.json/inner")));
    QCOMPARE(testsupport::thrownErrorCode([&] {
                 manager->markPackageAsFullyInstalled(package, packageDocument(QStringLiteral("2")),
                                                      QByteArray());
             }),
             shared::EErrorCode::OpenFailed);
    QCOMPARE(contentOf(directory.filePath(QStringLiteral("partial-package.json"))),
             packageDocument(QStringLiteral("1")));

    QVERIFY(QDir(directory.filePath(QStringLiteral("package.json"))).removeRecursively());
    manager->markPackageAsFullyInstalled(package, packageDocument(QStringLiteral("2")),
                                         assetDocument(QStringLiteral("3")));
    QCOMPARE(contentOf(directory.filePath(QStringLiteral("package.json"))),
             packageDocument(QStringLiteral("2")));
    QCOMPARE(contentOf(directory.filePath(QStringLiteral("assets.json"))),
             assetDocument(QStringLiteral("3")));
    // Nothing but the two documents: no temporary file was left behind.
    QCOMPARE(directory.entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList({QStringLiteral("assets.json"), QStringLiteral("package.json")}));
}

void TestInstalledState::removingMarkerNeverFollowsLinks()
{
    TInstallationFixture fixture({{QStringLiteral("client"), QStringLiteral("client")}});
    const auto package = fixture.package(0);
    const auto manager = fixture.manager();
    QTemporaryDir outside;
    const QString precious = outside.filePath(QStringLiteral("precious.txt"));
    writeTo(precious, QByteArray("keep me"));
    const QDir directory = manager->installationDirectory(package);
    QVERIFY(directory.mkpath(QStringLiteral(".")));
    LINK_OR_SKIP(outside.path(), directory.filePath(QStringLiteral("partial-package.json")));
    LINK_OR_SKIP(outside.path(), directory.filePath(QStringLiteral("default")));

    manager->markPackageAsFullyInstalled(package, packageDocument(QStringLiteral("2")),
                                         QByteArray());
    manager->clearDefaultMarkers();
    QCOMPARE(contentOf(precious), QByteArray("keep me"));
    QVERIFY(!QFileInfo(directory.filePath(QStringLiteral("partial-package.json"))).isSymLink());
    QVERIFY(!QFileInfo(directory.filePath(QStringLiteral("default"))).isSymLink());
}

void TestInstalledState::firstInstalledDefaultWins()
{
    TInstallationFixture fixture({{QStringLiteral("alpha"), QStringLiteral("alpha")},
                                  {QStringLiteral("beta"), QStringLiteral("beta")},
                                  {QStringLiteral("gamma"), QStringLiteral("gamma")}});
    for (int i = 0; i < 3; ++i)
        setRemote(fixture.package(i), packageDocument(QStringLiteral("2")));
    // alpha is not installed: its default marker is ignored.
    writeTo(fixture.pathIn(QStringLiteral("alpha"), QStringLiteral("default")), QByteArray());
    writeTo(fixture.pathIn(QStringLiteral("beta"), QStringLiteral("partial-package.json")),
            packageDocument(QStringLiteral("2")));
    writeTo(fixture.pathIn(QStringLiteral("beta"), QStringLiteral("default")), QByteArray());
    writeTo(fixture.pathIn(QStringLiteral("gamma"), QStringLiteral("package.json")),
            packageDocument(QStringLiteral("2")));
    writeTo(fixture.pathIn(QStringLiteral("gamma"), QStringLiteral("default")), QByteArray());

    const auto manager = fixture.manager();
    QVERIFY(!fixture.package(0)->isDefault());
    QVERIFY(fixture.package(1)->isDefault());
    QVERIFY(!fixture.package(2)->isDefault());
    QCOMPARE(fixture.package(2)->localPackageStatus(), ELocalPackageStatus::UpToDate);
}

void TestInstalledState::setDefaultPackageMovesMarker()
{
    TInstallationFixture fixture({{QStringLiteral("alpha"), QStringLiteral("alpha")},
                                  {QStringLiteral("beta"), QStringLiteral("beta")}});
    setRemote(fixture.package(0), packageDocument(QStringLiteral("2")));
    writeTo(fixture.pathIn(QStringLiteral("alpha"), QStringLiteral("package.json")),
            packageDocument(QStringLiteral("2")));
    writeTo(fixture.pathIn(QStringLiteral("alpha"), QStringLiteral("default")), QByteArray());
    const auto manager = fixture.manager();
    QVERIFY(fixture.package(0)->isDefault());

    manager->setDefaultPackage(fixture.package(1));
    QVERIFY(!QFileInfo::exists(fixture.pathIn(QStringLiteral("alpha"), QStringLiteral("default"))));
    QVERIFY(QFileInfo(fixture.pathIn(QStringLiteral("beta"), QStringLiteral("default"))).isFile());
    QVERIFY(!fixture.package(0)->isDefault());
    QVERIFY(fixture.package(1)->isDefault());

    manager->setDefaultPackage(nullptr);
    QVERIFY(!QFileInfo::exists(fixture.pathIn(QStringLiteral("beta"), QStringLiteral("default"))));
    QVERIFY(!fixture.package(1)->isDefault());
}

void TestInstalledState::findsPackageByExecutablePath()
{
    TInstallationFixture fixture({{QStringLiteral("noexe"), QStringLiteral("noexe")},
                                  {QStringLiteral("client"), QStringLiteral("client")},
                                  {QStringLiteral("climber"), QStringLiteral("climber")}});
    setRemote(fixture.package(0), packageDocument(QStringLiteral("1")));
    setRemote(fixture.package(1),
              packageDocument(QStringLiteral("1"), QStringLiteral("bin/client.exe")));
    setRemote(fixture.package(2), packageDocument(QStringLiteral("1"), QStringLiteral("..")));
    const auto manager = fixture.manager();

    const QString expected =
        fixture.pathIn(QStringLiteral("client"), QStringLiteral("bin/client.exe"));
    QCOMPARE(manager->executablePath(fixture.package(1)), QDir::cleanPath(expected));
    QVERIFY(manager->executablePath(fixture.package(0)).isEmpty());
    QVERIFY(manager->executablePath(fixture.package(2)).isEmpty());
    QCOMPARE(manager->findPackageByExecutablePath(
                 fixture.pathIn(QStringLiteral("client"), QStringLiteral("bin/./x/../client.exe"))),
             fixture.package(1));
    QCOMPARE(manager->findPackageByExecutablePath(QString()), std::shared_ptr<TPackage>());
    QCOMPARE(manager->findPackageByExecutablePath(QStringLiteral("/elsewhere/client.exe")),
             std::shared_ptr<TPackage>());
}

QTEST_GUILESS_MAIN(TestInstalledState)
#include "tst_installedstate.moc"
