#include "configuration/TLauncherFilesystemHelper.h"
#include "format/BlobContainer.h"
#include "format/TSha256.h"
#include "installation/TInstallationManager.h"
#include "installation/TPackageInstallation.h"
#include "packages/TPackage.h"
#include "packages/TPackageBuild.h"
#include "packages/TPackageConfigurationReader.h"
#include "support/TSentinelDirectory.h"
#include "support/TTestHttpServer.h"
#include "support/TTestPackageBuilder.h"
#include "support/TestFiles.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace vorna::launcher;
using testsupport::listTree;
using testsupport::TSentinelDirectory;
using testsupport::TTestHttpServer;
using testsupport::TTestPackageBuilder;

namespace {

// Peak resident memory of this process since the last reset, in bytes (0 where unknown).
qint64 peakResidentBytes()
{
    QFile Status(QStringLiteral("/proc/self/status"));
    if (!Status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &Line : Status.readAll().split('\n')) {
        if (Line.startsWith("VmHWM:"))
            return Line.mid(6).trimmed().split(' ').first().toLongLong() * 1024;
    }
    return 0;
}

void resetPeakResidentBytes()
{
    QFile ClearRefs(QStringLiteral("/proc/self/clear_refs"));
    if (ClearRefs.open(QIODevice::WriteOnly))
        ClearRefs.write("5");
}

std::shared_ptr<TPackage> makePackage(const QString &DirectoryName, const QByteArray &PackageJson,
                                      const QUrl &Base)
{
    const QString Os = testsupport::runningOsName();
    const QString Architecture = testsupport::runningArchitectureName();
    const QJsonObject Entry{
        {QStringLiteral("name"), QStringLiteral("Client")},
        {QStringLiteral("directoryname"), DirectoryName},
        {QStringLiteral("builds"),
         QJsonArray{QJsonObject{{QStringLiteral("os"), Os},
                                {QStringLiteral("architecture"), Architecture},
                                {QStringLiteral("url"), QStringLiteral("package.json")}}}},
    };
    auto Package = std::make_shared<TPackage>(0, Entry, Base);
    Package->selectBuildForRunningPlatform()->configuration =
        std::make_unique<TPackageConfigurationReader>(PackageJson, QByteArray(), Base, Base);
    return Package;
}

QJsonObject parse(const QByteArray &Json)
{
    return QJsonDocument::fromJson(Json).object();
}

QByteArray serialise(const QJsonObject &Document)
{
    return QJsonDocument(Document).toJson(QJsonDocument::Compact);
}

} // namespace

// Documents written to do harm: names that climb out of the installation directory, indices and
// sizes that do not fit, a symbolic link that leads outside. Whatever the document says, the
// launcher fails clearly or writes inside its installation directory, and never crashes.
class TestMaliciousDocuments final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void hostileFileNames_data();
    void hostileFileNames();
    void hostileStructure_data();
    void hostileStructure();
    void hostileDirectoryName_data();
    void hostileDirectoryName();
    void symbolicLinkLeadingOutside_data();
    void symbolicLinkLeadingOutside();
    void inconsistentDocumentsAreRefused_data();
    void inconsistentDocumentsAreRefused();
    void containerBombStaysBounded_data();
    void containerBombStaysBounded();
    void hundredMegabytesOfJson();
    void cleanupTestCase();

private:
    struct TOutcome
    {
        bool finished = false;
        bool succeeded = false;
        EPackageDownloaderError errorReason = EPackageDownloaderError::NoError;
        QString diskError;
    };
    TOutcome install(const std::shared_ptr<TPackage> &pPackage);
    QString applicationDirectory() const { return m_root->filePath(QStringLiteral("app")); }
    QString installationDirectory() const
    {
        return applicationDirectory() + QStringLiteral("/packages/client");
    }
    // Entries of the whole tree that lie outside the installation directory.
    QStringList outside() const;
    void verifyNothingOutsideChanged();

    std::unique_ptr<QTemporaryDir> m_root;
    std::unique_ptr<TTestHttpServer> m_server;
    std::unique_ptr<TSentinelDirectory> m_besideInstallation;
    std::unique_ptr<TSentinelDirectory> m_besideApplication;
    QStringList m_outsideBefore;
    int m_documents = 0;
};

void TestMaliciousDocuments::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
}

void TestMaliciousDocuments::init()
{
    m_root = std::make_unique<QTemporaryDir>();
    QVERIFY(m_root->isValid());
    m_server = std::make_unique<TTestHttpServer>();
    QDir().mkpath(installationDirectory());
    m_besideInstallation = std::make_unique<TSentinelDirectory>(
        applicationDirectory() + QStringLiteral("/packages/neighbour"));
    m_besideApplication =
        std::make_unique<TSentinelDirectory>(m_root->filePath(QStringLiteral("sentinel")));
    m_outsideBefore = outside();
}

void TestMaliciousDocuments::cleanup()
{
    m_server.reset();
}

void TestMaliciousDocuments::cleanupTestCase()
{
    qInfo().noquote() << QStringLiteral("hostile documents tried: %1").arg(m_documents);
}

QStringList TestMaliciousDocuments::outside() const
{
    QStringList Entries;
    for (const QString &Name : listTree(m_root->path())) {
        if (!Name.startsWith(QStringLiteral("app/packages/client/")) &&
            Name != QStringLiteral("app/packages/client/"))
            Entries << Name;
    }
    return Entries;
}

void TestMaliciousDocuments::verifyNothingOutsideChanged()
{
    QStringList Changes = m_besideInstallation->changes() + m_besideApplication->changes();
    QVERIFY2(Changes.isEmpty(), qPrintable(Changes.join(QLatin1Char('\n'))));
    QCOMPARE(outside(), m_outsideBefore);
}

TestMaliciousDocuments::TOutcome
TestMaliciousDocuments::install(const std::shared_ptr<TPackage> &pPackage)
{
    ++m_documents;
    TOutcome Outcome;
    auto Helper = std::make_shared<TLauncherFilesystemHelper>(applicationDirectory());
    TInstallationManager Manager(nullptr, Helper);
    connect(&Manager, &TInstallationManager::installationOrUpdateFinished, this,
            [&Outcome](const TPackageInstallation &Installation) {
                Outcome.finished = true;
                Outcome.succeeded = Installation.succeeded();
                Outcome.errorReason = Installation.errorReason();
            });
    connect(&Manager, &TInstallationManager::diskAccessFailed, this,
            [&Outcome](const QString &Message) { Outcome.diskError = Message; });
    try {
        Manager.installOrUpdatePackage(pPackage);
    } catch (const std::exception &Error) {
        Outcome.diskError = QString::fromUtf8(Error.what());
    }
    (void)QTest::qWaitFor([&] { return Outcome.finished || !Outcome.diskError.isEmpty(); }, 60000);
    // Let the workers of an installation that reported a disk error settle before it goes.
    QTest::qWait(50);
    return Outcome;
}

void TestMaliciousDocuments::hostileFileNames_data()
{
    QTest::addColumn<QStringList>("names");
    const QString AbsoluteSentinel = QStringLiteral("%SENTINEL%/victim.txt");
    QTest::newRow("parent") << QStringList{QStringLiteral("..")};
    QTest::newRow("climbing into the sibling")
        << QStringList{QStringLiteral("../neighbour/victim.txt")};
    QTest::newRow("climbing far") << QStringList{QStringLiteral("../../../sentinel/victim.txt")};
    QTest::newRow("climbing after a name") << QStringList{QStringLiteral("a/../../sentinel/x")};
    QTest::newRow("absolute into the sibling") << QStringList{AbsoluteSentinel};
    QTest::newRow("absolute root") << QStringList{QStringLiteral("/")};
    QTest::newRow("drive letter") << QStringList{QStringLiteral("C:/Windows/victim.txt")};
    QTest::newRow("drive relative") << QStringList{QStringLiteral("C:victim.txt")};
    QTest::newRow("backslashes climbing")
        << QStringList{QStringLiteral("..\\neighbour\\victim.txt")};
    QTest::newRow("UNC") << QStringList{QStringLiteral("\\\\server\\share\\victim.txt")};
    QTest::newRow("NUL inside") << QStringList{QStringLiteral("a") + QChar(0) +
                                               QStringLiteral("/../../sentinel/x")};
    QTest::newRow("empty") << QStringList{QString()};
    QTest::newRow("dot") << QStringList{QStringLiteral(".")};
    QTest::newRow("marker name") << QStringList{QStringLiteral("package.json")};
    QTest::newRow("duplicates") << QStringList{QStringLiteral("a"), QStringLiteral("a")};
    QTest::newRow("file and directory of one name")
        << QStringList{QStringLiteral("d"), QStringLiteral("d/inner")};
    QTest::newRow("directory then file of one name")
        << QStringList{QStringLiteral("e/inner"), QStringLiteral("e")};
    QTest::newRow("very long name") << QStringList{QString(5000, QLatin1Char('n'))};
    QTest::newRow("many parents") << QStringList{QStringLiteral("../").repeated(200) +
                                                 QStringLiteral("sentinel/x")};
    // Beyond the 260 characters of MAX_PATH once below the installation directory.
    QTest::newRow("path longer than MAX_PATH")
        << QStringList{QString(QString(40, QLatin1Char('d')) + QLatin1Char('/')).repeated(6) +
                       QStringLiteral("deep.dat")};
    QTest::newRow("device names") << QStringList{QStringLiteral("CON"), QStringLiteral("aux.txt")};
    QTest::newRow("non-ASCII names")
        << QStringList{QStringLiteral("Zo\u00EB/\u30C7\u30FC\u30BF.pak")};
}

void TestMaliciousDocuments::hostileFileNames()
{
    QFETCH(QStringList, names);
    TTestPackageBuilder Builder(*m_server);
    for (int Index = 0; Index < names.size(); ++Index) {
        const QByteArray Content = "hostile content " + QByteArray::number(Index);
        Builder.addFile(QStringLiteral("f%1").arg(Index), Content, false, {Content.size()});
    }
    QJsonObject Document = parse(Builder.packageJson(QStringLiteral("1")));
    QJsonArray Files = Document.value(QStringLiteral("files")).toArray();
    for (int Index = 0; Index < names.size(); ++Index) {
        QJsonObject File = Files[Index].toObject();
        QString Name = names[Index];
        Name.replace(QStringLiteral("%SENTINEL%"), m_besideInstallation->path());
        File.insert(QStringLiteral("localfile"), Name);
        Files[Index] = File;
    }
    Document.insert(QStringLiteral("files"), Files);

    const TOutcome Outcome = install(makePackage(QStringLiteral("client"), serialise(Document),
                                                 m_server->url(QStringLiteral("/cdn/"))));
    QVERIFY2(Outcome.finished || !Outcome.diskError.isEmpty(), "the installation never ended");
    verifyNothingOutsideChanged();
    // Whatever was written is a regular file or directory inside; no marker was overwritten by
    // package content.
    QFile Marker(installationDirectory() + QStringLiteral("/package.json"));
    if (Marker.open(QIODevice::ReadOnly))
        QVERIFY(!Marker.readAll().startsWith("hostile content"));
}

void TestMaliciousDocuments::hostileStructure_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<bool>("mayInstall");
    QTest::newRow("chunk index out of range") << QStringLiteral("index 99") << false;
    QTest::newRow("negative chunk index") << QStringLiteral("index -1") << false;
    QTest::newRow("huge chunk index") << QStringLiteral("index 4294967296") << false;
    QTest::newRow("file size near 2^64") << QStringLiteral("file size") << false;
    QTest::newRow("chunk size near 2^64") << QStringLiteral("chunk size") << false;
    QTest::newRow("chunk size negative") << QStringLiteral("chunk size negative") << false;
    QTest::newRow("packed size near 2^64") << QStringLiteral("packed size") << true;
    QTest::newRow("chunks not an array") << QStringLiteral("chunks object") << false;
    QTest::newRow("file entry not an object") << QStringLiteral("file number") << false;
    QTest::newRow("hash not hexadecimal") << QStringLiteral("bad hash") << false;
    QTest::newRow("chunk url climbing the server") << QStringLiteral("url") << false;
    QTest::newRow("chunk url of another scheme") << QStringLiteral("file url") << false;
    QTest::newRow("deltas not an array") << QStringLiteral("deltas number") << false;
    QTest::newRow("delta on 100000 base chunks") << QStringLiteral("delta bases") << false;
    QTest::newRow("delta url climbing the server") << QStringLiteral("delta url") << false;
}

void TestMaliciousDocuments::hostileStructure()
{
    QFETCH(QString, change);
    QFETCH(bool, mayInstall);
    TTestPackageBuilder Builder(*m_server);
    Builder.addFile(QStringLiteral("a.bin"), "first piece|second piece", false, {12, 13});
    QJsonObject Document = parse(Builder.packageJson(QStringLiteral("1")));
    QJsonArray Files = Document.value(QStringLiteral("files")).toArray();
    QJsonArray Chunks = Document.value(QStringLiteral("chunks")).toArray();
    QJsonObject File = Files[0].toObject();
    QJsonObject Chunk = Chunks[0].toObject();
    const QString Near64 = QStringLiteral("18446744073709551615");
    if (change.startsWith(QStringLiteral("index "))) {
        File.insert(QStringLiteral("chunks"), QJsonArray{0, change.mid(6).toDouble()});
    } else if (change == QStringLiteral("file size")) {
        File.insert(QStringLiteral("unpackedsize"), Near64);
    } else if (change == QStringLiteral("chunk size")) {
        Chunk.insert(QStringLiteral("unpackedsize"), Near64);
    } else if (change == QStringLiteral("chunk size negative")) {
        Chunk.insert(QStringLiteral("unpackedsize"), QStringLiteral("-12"));
    } else if (change == QStringLiteral("packed size")) {
        Chunk.insert(QStringLiteral("packedsize"), Near64);
    } else if (change == QStringLiteral("chunks object")) {
        Document.insert(QStringLiteral("chunks"), QJsonObject{{QStringLiteral("0"), Chunk}});
    } else if (change == QStringLiteral("file number")) {
        Files.append(42);
    } else if (change == QStringLiteral("bad hash")) {
        Chunk.insert(QStringLiteral("unpackedhash"), QStringLiteral("zz"));
    } else if (change == QStringLiteral("url")) {
        Chunk.insert(QStringLiteral("url"), QStringLiteral("../../../../etc/passwd"));
    } else if (change == QStringLiteral("file url")) {
        Chunk.insert(QStringLiteral("url"), QStringLiteral("file:///etc/passwd"));
    } else if (change == QStringLiteral("deltas number")) {
        Chunk.insert(QStringLiteral("deltas"), 42);
    } else if (change.startsWith(QStringLiteral("delta "))) {
        // The player has nothing to build on yet; whatever the deltas say, the chunks install.
        QJsonArray Base;
        for (int Index = 0; Index < (change == QStringLiteral("delta bases") ? 100000 : 1); ++Index)
            Base.append(Chunk.value(QStringLiteral("unpackedhash")));
        Chunk.insert(
            QStringLiteral("deltas"),
            QJsonArray{QJsonObject{{QStringLiteral("url"), QStringLiteral("../../../etc/passwd")},
                                   {QStringLiteral("packedsize"), Near64},
                                   {QStringLiteral("basesize"), Near64},
                                   {QStringLiteral("base"), Base}}});
    }
    Files[0] = File;
    Chunks[0] = Chunk;
    if (!Document.value(QStringLiteral("chunks")).isObject())
        Document.insert(QStringLiteral("chunks"), Chunks);
    Document.insert(QStringLiteral("files"), Files);

    const TOutcome Outcome = install(makePackage(QStringLiteral("client"), serialise(Document),
                                                 m_server->url(QStringLiteral("/cdn/"))));
    verifyNothingOutsideChanged();
    if (Outcome.finished && Outcome.succeeded && !mayInstall) {
        // Success is only acceptable when what is on disk is the file the document describes.
        QFile Installed(installationDirectory() + QStringLiteral("/a.bin"));
        QVERIFY(Installed.open(QIODevice::ReadOnly));
        if (!Installed.isOpen())
            return;
        QCOMPARE(Installed.readAll(), QByteArray("first piece|second piece"));
    }
    QVERIFY2(Outcome.finished || !Outcome.diskError.isEmpty(), "the installation never ended");
}

void TestMaliciousDocuments::hostileDirectoryName_data()
{
    QTest::addColumn<QString>("directoryName");
    QTest::newRow("parent") << QStringLiteral("..");
    QTest::newRow("empty") << QString();
    QTest::newRow("climbing out of the packages") << QStringLiteral("../../sentinel");
    QTest::newRow("climbing after a name") << QStringLiteral("x/../../../sentinel");
    QTest::newRow("absolute") << QStringLiteral("%ROOT%/sentinel");
    QTest::newRow("dot") << QStringLiteral(".");
}

void TestMaliciousDocuments::hostileDirectoryName()
{
    QFETCH(QString, directoryName);
    directoryName.replace(QStringLiteral("%ROOT%"), m_root->path());
    TTestPackageBuilder Builder(*m_server);
    Builder.addFile(QStringLiteral("victim.txt"), "package content", false, {15});
    Builder.addFile(QStringLiteral("package.json"), "not a marker", false, {12});
    const auto Package = makePackage(directoryName, Builder.packageJson(QStringLiteral("1")),
                                     m_server->url(QStringLiteral("/cdn/")));
    const TOutcome Outcome = install(Package);
    QVERIFY(Outcome.finished || !Outcome.diskError.isEmpty());
    // The package lands in a directory of its own below the packages directory.
    QStringList Changes = m_besideInstallation->changes() + m_besideApplication->changes();
    QVERIFY2(Changes.isEmpty(), qPrintable(Changes.join(QLatin1Char('\n'))));
    const QString Packages = QDir::cleanPath(applicationDirectory() + QStringLiteral("/packages"));
    for (const QString &Name : listTree(m_root->path())) {
        if (Name.endsWith(QLatin1Char('/')) || !m_outsideBefore.contains(Name))
            QVERIFY2(Name.startsWith(QStringLiteral("app/packages/")) ||
                         m_outsideBefore.contains(Name),
                     qPrintable(Name));
    }
    QVERIFY(!QFile::exists(Packages + QStringLiteral("/victim.txt")));
}

void TestMaliciousDocuments::symbolicLinkLeadingOutside_data()
{
    QTest::addColumn<QString>("link");
    QTest::addColumn<QString>("target");
    QTest::addColumn<QString>("localFile");
    QTest::addColumn<bool>("obsolete");
    QTest::newRow("directory link") << QStringLiteral("data") << QStringLiteral("%SIBLING%")
                                    << QStringLiteral("data/victim.txt") << false;
    QTest::newRow("obsolete file behind a directory link")
        << QStringLiteral("data") << QStringLiteral("%SIBLING%")
        << QStringLiteral("data/victim.txt") << true;
    QTest::newRow("obsolete directory behind a directory link")
        << QStringLiteral("data") << QStringLiteral("%SIBLING%") << QStringLiteral("data/inner")
        << true;
    QTest::newRow("directory link, new file")
        << QStringLiteral("data") << QStringLiteral("%SIBLING%") << QStringLiteral("data/new.txt")
        << false;
    QTest::newRow("file link") << QStringLiteral("victim.txt")
                               << QStringLiteral("%SIBLING%/victim.txt")
                               << QStringLiteral("victim.txt") << false;
    QTest::newRow("obsolete entry that is a directory link")
        << QStringLiteral("data") << QStringLiteral("%SIBLING%") << QStringLiteral("data") << true;
    QTest::newRow("nested directory link") << QStringLiteral("a") << QStringLiteral("%SIBLING%")
                                           << QStringLiteral("a/inner/victim.txt") << false;
}

void TestMaliciousDocuments::symbolicLinkLeadingOutside()
{
    QFETCH(QString, link);
    QFETCH(QString, target);
    QFETCH(QString, localFile);
    QFETCH(bool, obsolete);
    target.replace(QStringLiteral("%SIBLING%"), m_besideInstallation->path());
    LINK_OR_SKIP(target, installationDirectory() + QLatin1Char('/') + link);
    m_outsideBefore = outside();
    TTestPackageBuilder Builder(*m_server);
    // Two chunks, so that the scan tries to reuse and rearrange what it finds.
    Builder.addFile(localFile, "sentinel replaced|by the package", false, {17, 15});
    if (obsolete) {
        // The installed configuration lists the file; the new one no longer does.
        QFile Marker(installationDirectory() + QStringLiteral("/partial-package.json"));
        QVERIFY(Marker.open(QIODevice::WriteOnly));
        Marker.write(Builder.packageJson(QStringLiteral("0")));
        Marker.close();
        Builder.removeFile(localFile);
        Builder.addFile(QStringLiteral("other.txt"), "other", false, {5});
        m_outsideBefore = outside();
    }
    const TOutcome Outcome =
        install(makePackage(QStringLiteral("client"), Builder.packageJson(QStringLiteral("1")),
                            m_server->url(QStringLiteral("/cdn/"))));
    QVERIFY(Outcome.finished || !Outcome.diskError.isEmpty());
    verifyNothingOutsideChanged();
}

void TestMaliciousDocuments::inconsistentDocumentsAreRefused_data()
{
    QTest::addColumn<QString>("change");
    QTest::newRow("one address for two contents") << QStringLiteral("address");
    QTest::newRow("one file twice with different content") << QStringLiteral("./f0");
    QTest::newRow("file and directory of one name") << QStringLiteral("f0/inner");
    // Two files where letter case counts (a kernel ships xt_DSCP.ko beside xt_dscp.ko).
    QTest::newRow("names differing only in letter case") << QStringLiteral("F0");
    // Names Windows cannot give a file: refused there, a file like any other elsewhere.
    QTest::newRow("device name on Windows") << QStringLiteral("bin/con.txt");
    QTest::newRow("name ending in a dot") << QStringLiteral("f1.");
    // A place every update with deltas empties: refused before anything is written, where a
    // complete installation would otherwise lose its full marker.
    QTest::newRow("file in the delta staging directory")
        << QStringLiteral(".corvane-delta-bases/f1");
}

void TestMaliciousDocuments::inconsistentDocumentsAreRefused()
{
    QFETCH(QString, change);
    TTestPackageBuilder Builder(*m_server);
    Builder.addFile(QStringLiteral("f0"), "first content", false, {13});
    Builder.addFile(QStringLiteral("f1"), "second content", false, {14});
    QJsonObject Document = parse(Builder.packageJson(QStringLiteral("1")));
    QJsonArray Files = Document.value(QStringLiteral("files")).toArray();
    QJsonArray Chunks = Document.value(QStringLiteral("chunks")).toArray();
    if (change == QStringLiteral("address")) {
        QJsonObject Second = Chunks[1].toObject();
        Second.insert(QStringLiteral("url"), Chunks[0].toObject().value(QStringLiteral("url")));
        Chunks[1] = Second;
    } else {
        QJsonObject Second = Files[1].toObject();
        Second.insert(QStringLiteral("localfile"), change);
        Files[1] = Second;
    }
    Document.insert(QStringLiteral("files"), Files);
    Document.insert(QStringLiteral("chunks"), Chunks);

    const TOutcome Outcome = install(makePackage(QStringLiteral("client"), serialise(Document),
                                                 m_server->url(QStringLiteral("/cdn/"))));
    QCOMPARE(Outcome.diskError, QString());
    QVERIFY(Outcome.finished);
    const bool CaseCounts =
        TLauncherFilesystemHelper(applicationDirectory())
            .fileNameCaseSensitivity(installationDirectory()) == Qt::CaseSensitive;
    const bool WindowsName = change == QStringLiteral("bin/con.txt") || change.endsWith(u'.');
    if ((change == QStringLiteral("F0") && CaseCounts) ||
        (WindowsName && !TPackageConfigurationReader::windowsFileNames())) {
        QVERIFY(Outcome.succeeded);
        QCOMPARE(testsupport::readAll(installationDirectory() + u'/' + change),
                 QByteArray("second content"));
    } else {
        // A failed download, refused before anything was written: not even a marker.
        QVERIFY(!Outcome.succeeded);
        QCOMPARE(Outcome.errorReason, EPackageDownloaderError::DownloadFailed);
        QCOMPARE(listTree(installationDirectory()), QStringList());
        QCOMPARE(m_server->requests().size(), 0);
    }
    verifyNothingOutsideChanged();
}

void TestMaliciousDocuments::containerBombStaysBounded_data()
{
    QTest::addColumn<int>("codec");
    QTest::addColumn<int>("level");
    QTest::newRow("LZMA") << ::shared::BlobCodecLzma << 0;
    QTest::newRow("zstd") << ::shared::BlobCodecZstd << 1;
}

void TestMaliciousDocuments::containerBombStaysBounded()
{
    QFETCH(int, codec);
    QFETCH(int, level);
    // A container that unpacks to 512 MiB, declared as a chunk of 4 KiB.
    const QByteArray Bomb = [codec, level] {
        const QByteArray Zeros(512 << 20, '\0');
        return ::shared::encodeBlobContainer(Zeros, codec, level);
    }();
    QVERIFY(Bomb.size() < 8 << 20);
    const QByteArray Declared(4096, '\0');
    m_server->setFile(QStringLiteral("/cdn/bomb"), Bomb);
    const QJsonObject Document{
        {QStringLiteral("version"), QStringLiteral("1")},
        {QStringLiteral("chunks"),
         QJsonArray{QJsonObject{
             {QStringLiteral("url"), m_server->url(QStringLiteral("/cdn/bomb")).toString()},
             {QStringLiteral("packedsize"), QString::number(Bomb.size())},
             {QStringLiteral("packedhash"), QString::fromLatin1(::shared::sha256(Bomb).toHex())},
             {QStringLiteral("unpackedsize"), QStringLiteral("4096")},
             {QStringLiteral("unpackedhash"),
              QString::fromLatin1(::shared::sha256(Declared).toHex())},
             {QStringLiteral("unpack"), true}}}},
        {QStringLiteral("files"),
         QJsonArray{QJsonObject{{QStringLiteral("localfile"), QStringLiteral("bomb.bin")},
                                {QStringLiteral("unpackedsize"), QStringLiteral("4096")},
                                {QStringLiteral("unpackedhash"),
                                 QString::fromLatin1(::shared::sha256(Declared).toHex())},
                                {QStringLiteral("chunks"), QJsonArray{0}}}}},
    };
    const auto Package = makePackage(QStringLiteral("client"), serialise(Document),
                                     m_server->url(QStringLiteral("/cdn/")));
    const qint64 Before = peakResidentBytes();
    resetPeakResidentBytes();
    const TOutcome Outcome = install(Package);
    const qint64 Peak = peakResidentBytes();
    QVERIFY(Outcome.finished);
    QVERIFY(!Outcome.succeeded);
    QCOMPARE(Outcome.errorReason, EPackageDownloaderError::DownloadFailed);
    verifyNothingOutsideChanged();
    qInfo().noquote() << QStringLiteral("container bomb: peak resident %1 MiB (before: %2 MiB)")
                             .arg(Peak >> 20)
                             .arg(Before >> 20);
    // Nowhere near the 512 MiB the container would unpack to. AddressSanitizer keeps up to
    // 256 MiB of what earlier tests freed resident in its quarantine.
#if defined(__SANITIZE_ADDRESS__)
    constexpr qint64 Limit = qint64(192 + 256) << 20;
#else
    constexpr qint64 Limit = qint64(192) << 20;
#endif
    if (Peak > 0)
        QVERIFY2(Peak < Limit, qPrintable(QString::number(Peak >> 20)));
}

void TestMaliciousDocuments::hundredMegabytesOfJson()
{
    TTestPackageBuilder Builder(*m_server);
    Builder.addFile(QStringLiteral("a.bin"), "small", false, {5});
    QJsonObject Document = parse(Builder.packageJson(QStringLiteral("1")));
    // 100 MB of entries that name no file of this package: 400 000 files of one shared chunk.
    QByteArray Json = serialise(Document);
    QByteArray Padding;
    Padding.reserve(100 << 20);
    const QByteArray Entry =
        QByteArrayLiteral("{\"localfile\":\"pad/"
                          "%1\",\"unpackedsize\":\"5\",\"unpackedhash\":\"00\",\"chunks\":[0],"
                          "\"comment\":\"") +
        QByteArray(160, 'x') + "\"},";
    for (int Index = 0; Padding.size() < (100 << 20); ++Index)
        Padding += QByteArray(Entry).replace("%1", QByteArray::number(Index));
    Padding.chop(1);
    const int Files = Json.indexOf("\"files\":[") + 9;
    Json.insert(Files, Padding + ",");
    QVERIFY(Json.size() > 100 << 20);
    QElapsedTimer Timer;
    Timer.start();
    const TPackageConfigurationReader Reader(Json, QByteArray(),
                                             m_server->url(QStringLiteral("/cdn/")),
                                             m_server->url(QStringLiteral("/cdn/")));
    qInfo().noquote() << QStringLiteral("100 MB document parsed in %1 ms, valid %2, files %3")
                             .arg(Timer.elapsed())
                             .arg(Reader.isValid())
                             .arg(Reader.files().size());
    ++m_documents;
    verifyNothingOutsideChanged();
}

QTEST_GUILESS_MAIN(TestMaliciousDocuments)
#include "tst_maliciousdocuments.moc"
