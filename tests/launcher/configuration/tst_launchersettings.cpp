#include "configuration/TLauncherFilesystemHelper.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

using vorna::launcher::TLauncherFilesystemHelper;
using vorna::launcher::TLauncherSettings;

class TestLauncherSettings : public QObject
{
    Q_OBJECT

private slots:
    void builtInValuesApplyWithoutFile();
    void fileBesideExecutableReplacesBuiltIn();
    void values_data();
    void values();
    void packagesDirectoryIsCreatedInsideApplicationDirectory();
    void writeFileCreatingDirectory();
};

namespace {

void writeIni(const QString &Directory, const QByteArray &Contents)
{
    QFile file(Directory + QStringLiteral("/launchersettings.ini"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(Contents);
}

} // namespace

void TestLauncherSettings::builtInValuesApplyWithoutFile()
{
    QTemporaryDir application;
    const TLauncherFilesystemHelper helper(application.path());
    QCOMPARE(helper.settingsFilePath(), QStringLiteral(":/settings/launchersettings.ini"));
    const auto settings = helper.settings();
    QCOMPARE(settings->launcherConfiguration.scheme(), QStringLiteral("https"));
    QCOMPARE(settings->launcherConfiguration.path(), QStringLiteral("/launcher/kelmetadata.json"));
    QVERIFY(settings->cdnDiagnosticsTrace.isEmpty());
    QCOMPARE(settings->appendNocacheToPackageUrls, false);
    QCOMPARE(settings->packages, QStringLiteral("packages"));
    QCOMPARE(settings->packageFile, QStringLiteral("package.json"));
    QCOMPARE(settings->partialPackageFile, QStringLiteral("partial-package.json"));
    QCOMPARE(settings->assetFile, QStringLiteral("assets.json"));
    QCOMPARE(settings->waitNotificationTimeout, 500);
    QCOMPARE(settings->downloadErrorTimeout, 10000);
    QCOMPARE(settings->clientStartTimeout, 30000);
    QCOMPARE(settings->fastScan, true);
    QCOMPARE(settings->skipVerification, true);
    QCOMPARE(settings->chunkVerification, false);
    QCOMPARE(settings->maxCachedChunks, 100);
    QCOMPARE(settings->maxConcurrentDownloads, 10);

    // The built-in file holds exactly the four groups.
    QSettings builtIn(helper.settingsFilePath(), QSettings::IniFormat);
    QCOMPARE(builtIn.childGroups(),
             (QStringList{QStringLiteral("DIRECTORIES"), QStringLiteral("FILES"),
                          QStringLiteral("TIMING"), QStringLiteral("URLS")}));
}

void TestLauncherSettings::fileBesideExecutableReplacesBuiltIn()
{
    QTemporaryDir application;
    writeIni(application.path(), "[TIMING]\nwaitNotificationTimeout=7\n");
    const TLauncherFilesystemHelper helper(application.path());
    const auto settings = helper.settings();
    QCOMPARE(settings->waitNotificationTimeout, 7);
    QVERIFY(settings->launcherConfiguration.isEmpty());
    // What the launcher cannot work without comes from the built-in file, and is noted.
    QCOMPARE(settings->packageFile, QStringLiteral("package.json"));
    QCOMPARE(settings->downloadErrorTimeout, 10000);
    QCOMPARE(settings->fallbackNotes.size(), 5);
    QVERIFY(settings->fallbackNotes.first().contains(QStringLiteral("FILES/packageFile")));
}

void TestLauncherSettings::values_data()
{
    QTest::addColumn<QByteArray>("ini");
    QTest::addColumn<QString>("field");
    QTest::addColumn<QVariant>("expected");

    QTest::newRow("non-numeric timeout takes the built-in value")
        << QByteArray("[TIMING]\ndownloadErrorTimeout=soon\n") << "downloadErrorTimeout"
        << QVariant(10000);
    QTest::newRow("zero timeout takes the built-in value")
        << QByteArray("[TIMING]\nclientStartTimeout=0\n") << "clientStartTimeout"
        << QVariant(30000);
    QTest::newRow("negative timeout takes the built-in value")
        << QByteArray("[TIMING]\ndownloadErrorTimeout=-5\n") << "downloadErrorTimeout"
        << QVariant(10000);
    QTest::newRow("waitNotificationTimeout 0 shows the splash at once")
        << QByteArray("[TIMING]\nwaitNotificationTimeout=0\n") << "waitNotificationTimeout"
        << QVariant(0);
    QTest::newRow("empty packages directory is the executable's")
        << QByteArray("[DIRECTORIES]\npackages=\n") << "packages" << QVariant(QString());
    QTest::newRow("empty marker name takes the built-in value")
        << QByteArray("[FILES]\npartialPackageFile=\n") << "partialPackageFile"
        << QVariant(QStringLiteral("partial-package.json"));
    QTest::newRow("missing asset name takes the built-in value")
        << QByteArray("[URLS]\n") << "assetFile" << QVariant(QStringLiteral("assets.json"));
    QTest::newRow("maxConcurrentDownloads 0 takes the built-in value")
        << QByteArray("[OPTIONS]\nmaxConcurrentDownloads=0\n") << "maxConcurrentDownloads"
        << QVariant(10);
    QTest::newRow("negative maxConcurrentDownloads takes the built-in value")
        << QByteArray("[OPTIONS]\nmaxConcurrentDownloads=-2\n") << "maxConcurrentDownloads"
        << QVariant(10);
    QTest::newRow("non-numeric maxConcurrentDownloads takes the built-in value")
        << QByteArray("[OPTIONS]\nmaxConcurrentDownloads=many\n") << "maxConcurrentDownloads"
        << QVariant(10);
    QTest::newRow("skipVerification absent is true")
        << QByteArray("[OPTIONS]\nfastScan=false\n") << "skipVerification" << QVariant(true);
    QTest::newRow("skipVerification false") << QByteArray("[OPTIONS]\nskipVerification=false\n")
                                            << "skipVerification" << QVariant(false);
    QTest::newRow("fastScan false")
        << QByteArray("[OPTIONS]\nfastScan=false\n") << "fastScan" << QVariant(false);
    QTest::newRow("any other string is true")
        << QByteArray("[OPTIONS]\nfastScan=nope\n") << "fastScan" << QVariant(true);
    QTest::newRow("maxCachedChunks")
        << QByteArray("[OPTIONS]\nmaxCachedChunks=0\n") << "maxCachedChunks" << QVariant(0);
    QTest::newRow("maxConcurrentDownloads") << QByteArray("[OPTIONS]\nmaxConcurrentDownloads=3\n")
                                            << "maxConcurrentDownloads" << QVariant(3);
    QTest::newRow("chunkVerification")
        << QByteArray("[DEBUG]\nchunkVerification=true\n") << "chunkVerification" << QVariant(true);
    QTest::newRow("nocache") << QByteArray("[URLS]\nappendNocacheToPackageUrls=true\n")
                             << "appendNocacheToPackageUrls" << QVariant(true);
    QTest::newRow("trace url") << QByteArray("[URLS]\ncdnDiagnosticsTrace=http://127.0.0.1:1/t\n")
                               << "cdnDiagnosticsTrace"
                               << QVariant(QStringLiteral("http://127.0.0.1:1/t"));
    QTest::newRow("download rate absent is no limit")
        << QByteArray("[OPTIONS]\n") << "maxDownloadRate" << QVariant(0);
    QTest::newRow("download rate in kilobytes per second")
        << QByteArray("[OPTIONS]\nmaxDownloadRate=20000\n") << "maxDownloadRate" << QVariant(20000);
    QTest::newRow("negative download rate is no limit")
        << QByteArray("[OPTIONS]\nmaxDownloadRate=-5\n") << "maxDownloadRate" << QVariant(0);
}

void TestLauncherSettings::values()
{
    QFETCH(QByteArray, ini);
    QFETCH(QString, field);
    QFETCH(QVariant, expected);
    QTemporaryDir application;
    writeIni(application.path(), ini);
    const auto settings = TLauncherFilesystemHelper(application.path()).settings();
    const QMap<QString, QVariant> fields = {
        {QStringLiteral("downloadErrorTimeout"), settings->downloadErrorTimeout},
        {QStringLiteral("clientStartTimeout"), settings->clientStartTimeout},
        {QStringLiteral("waitNotificationTimeout"), settings->waitNotificationTimeout},
        {QStringLiteral("packages"), settings->packages},
        {QStringLiteral("partialPackageFile"), settings->partialPackageFile},
        {QStringLiteral("assetFile"), settings->assetFile},
        {QStringLiteral("skipVerification"), settings->skipVerification},
        {QStringLiteral("fastScan"), settings->fastScan},
        {QStringLiteral("maxCachedChunks"), settings->maxCachedChunks},
        {QStringLiteral("maxConcurrentDownloads"), settings->maxConcurrentDownloads},
        {QStringLiteral("chunkVerification"), settings->chunkVerification},
        {QStringLiteral("appendNocacheToPackageUrls"), settings->appendNocacheToPackageUrls},
        {QStringLiteral("cdnDiagnosticsTrace"), settings->cdnDiagnosticsTrace.toString()},
        {QStringLiteral("maxDownloadRate"), settings->maxDownloadRate},
    };
    QCOMPARE(fields.value(field).toString(), expected.toString());
}

void TestLauncherSettings::packagesDirectoryIsCreatedInsideApplicationDirectory()
{
    QTemporaryDir application;
    writeIni(application.path(), "[DIRECTORIES]\npackages=../../outside/packages\n");
    const TLauncherFilesystemHelper helper(application.path());
    const QDir packages = helper.packagesDirectory();
    QVERIFY(packages.exists());
    QCOMPARE(QDir::cleanPath(packages.absolutePath()),
             QDir::cleanPath(application.filePath(QStringLiteral("packages"))));
}

void TestLauncherSettings::writeFileCreatingDirectory()
{
    QTemporaryDir application;
    const TLauncherFilesystemHelper helper(application.path());
    const QString path = application.filePath(QStringLiteral("a/b/default"));
    helper.writeFileCreatingDirectory(path, QByteArray());
    QVERIFY(QFile::exists(path));
}

QTEST_GUILESS_MAIN(TestLauncherSettings)
#include "tst_launchersettings.moc"
