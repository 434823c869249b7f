#include "packages/TPackageConfigurationReader.h"

#include <QCryptographicHash>
#include <QTest>

using namespace vorna::launcher;

namespace {

const QUrl packageBase(QStringLiteral("https://cdn.example.test/client/"));
const QUrl assetBase(QStringLiteral("https://assets.example.test/client/"));

TPackageConfigurationReader read(const char *PackageJson, const char *AssetJson = "")
{
    return TPackageConfigurationReader(QByteArray(PackageJson), QByteArray(AssetJson), packageBase,
                                       assetBase);
}

QStringList localFiles(const TPackageConfigurationReader &Reader)
{
    QStringList names;
    for (const TFileInPackage &file : Reader.files())
        names.append(file.localFile);
    return names;
}

} // namespace

class TestPackageConfiguration final : public QObject
{
    Q_OBJECT

private slots:
    void buildsVersionString_data();
    void buildsVersionString();
    void unparsableDocumentInvalidatesReader_data();
    void unparsableDocumentInvalidatesReader();
    void readsPackageKeys();
    void sortsFilesByLocalFile();
    void keepsDocumentOrderOfEqualNames();
    void findsInconsistencies_data();
    void findsInconsistencies();
    void readsChunks();
    void readsSizes_data();
    void readsSizes();
    void combinesChunksOfBothDocuments();
    void rejectsChunkIndicesOutsideChunkList_data();
    void rejectsChunkIndicesOutsideChunkList();
    void wrongTypesCountAsAbsent();
};

void TestPackageConfiguration::buildsVersionString_data()
{
    QTest::addColumn<QByteArray>("packageJson");
    QTest::addColumn<QByteArray>("assetJson");
    QTest::addColumn<QString>("expected");

    const QByteArray package(R"({"version":"1.2"})");
    QTest::newRow("asset version as number")
        << package << QByteArray(R"({"version":3})") << "P1.2 A3";
    QTest::newRow("asset version as string")
        << package << QByteArray(R"({"version":"3"})") << "P1.2 A3";
    QTest::newRow("no asset document") << package << QByteArray() << "P1.2 A?";
    QTest::newRow("package version as number")
        << QByteArray(R"({"version":12})") << QByteArray(R"({"version":3})") << "P? A3";
    QTest::newRow("asset version of another type")
        << package << QByteArray(R"({"version":true})") << "P1.2 A?";
    QTest::newRow("asset document not an object") << package << QByteArray("[1,2]") << "P1.2 A?";
}

void TestPackageConfiguration::buildsVersionString()
{
    QFETCH(QByteArray, packageJson);
    QFETCH(QByteArray, assetJson);
    const TPackageConfigurationReader reader(packageJson, assetJson, packageBase, assetBase);
    QVERIFY(reader.isValid());
    QTEST(reader.versionString(), "expected");
}

void TestPackageConfiguration::unparsableDocumentInvalidatesReader_data()
{
    QTest::addColumn<QByteArray>("packageJson");
    QTest::addColumn<QByteArray>("assetJson");
    QTest::addColumn<QString>("message");

    const QByteArray validPackage(
        R"({"version":"1","executable":"client","files":[{"localfile":"a"}]})");
    QTest::newRow("asset document") << validPackage << QByteArray(R"({"version":)")
                                    << "JSON asset configuration file could not be parsed, using "
                                       "default package.";
    QTest::newRow("package document") << QByteArray("not json") << QByteArray(R"({"version":3})")
                                      << "JSON package configuration file could not be parsed, "
                                         "using default package.";
    QTest::newRow("empty package document")
        << QByteArray() << QByteArray()
        << "JSON package configuration file could not be parsed, "
           "using default package.";
}

void TestPackageConfiguration::unparsableDocumentInvalidatesReader()
{
    QFETCH(QByteArray, packageJson);
    QFETCH(QByteArray, assetJson);
    QFETCH(QString, message);
    QTest::ignoreMessage(QtCriticalMsg, message.toUtf8().constData());
    const TPackageConfigurationReader reader(packageJson, assetJson, packageBase, assetBase);
    QVERIFY(!reader.isValid());
    QVERIFY(reader.files().empty());
    QVERIFY(reader.executable().isEmpty());
    QCOMPARE(reader.versionString(), QStringLiteral("P? A?"));
    // The bytes stay as received: they are what would be written as markers.
    QCOMPARE(reader.packageJson(), packageJson);
    QCOMPARE(reader.assetJson(), assetJson);
    QCOMPARE(reader.packageBaseUrl(), packageBase);
}

void TestPackageConfiguration::readsPackageKeys()
{
    const QByteArray packageJson(R"({ "version": "7", "executable": "bin/corvane",
        "generation": "second", "variant": "beta", "parameters": ["-a", "--b=1"],
        "unknown": 1 })");
    const TPackageConfigurationReader reader(packageJson, QByteArray(), packageBase, assetBase);
    QVERIFY(reader.isValid());
    QCOMPARE(reader.packageJson(), packageJson);
    QCOMPARE(reader.executable(), QStringLiteral("bin/corvane"));
    QCOMPARE(reader.generation(), EGeneration::Second);
    QCOMPARE(reader.variant(), EVariant::Beta);
    QCOMPARE(reader.parameters(), QStringList({QStringLiteral("-a"), QStringLiteral("--b=1")}));

    // The enumeration names compare exactly.
    const TPackageConfigurationReader other = read(R"({"generation":"First","variant":"TEST"})");
    QCOMPARE(other.generation(), EGeneration::Other);
    QCOMPARE(other.variant(), EVariant::Other);
}

void TestPackageConfiguration::sortsFilesByLocalFile()
{
    const TPackageConfigurationReader reader =
        read(R"({"files":[{"localfile":"data/b"},{"localfile":"b"},{"localfile":"a"}]})",
             R"({"files":[{"localfile":"B"},{"localfile":"A"},{"localfile":"Data/b"}]})");
    QCOMPARE(localFiles(reader),
             QStringList({QStringLiteral("A"), QStringLiteral("B"), QStringLiteral("Data/b"),
                          QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("data/b")}));
}

void TestPackageConfiguration::keepsDocumentOrderOfEqualNames()
{
    // Enough entries for the sort to partition rather than insert.
    QByteArray files;
    for (int index = 0; index < 64; ++index)
        files += QByteArray(index ? "," : "") + R"({"localfile":")" + (index % 2 ? "x" : "w") +
                 R"(","url":"u)" + QByteArray::number(index) + R"("})";
    const TPackageConfigurationReader reader(R"({"files":[)" + files + "]}", QByteArray(),
                                             packageBase, assetBase);
    QVERIFY(reader.inconsistency(Qt::CaseInsensitive, true).isEmpty());
    for (std::size_t index = 0; index < 64; ++index) {
        const int fromDocument = index < 32 ? int(index) * 2 : int(index - 32) * 2 + 1;
        QCOMPARE(reader.files()[index].wholeFile.url,
                 packageBase.resolved(QUrl(QStringLiteral("u%1").arg(fromDocument))));
    }
}

void TestPackageConfiguration::findsInconsistencies_data()
{
    QTest::addColumn<QByteArray>("packageJson");
    QTest::addColumn<QByteArray>("assetJson");
    QTest::addColumn<QString>("problem");
    // How the installation's file system compares names: Qt::CaseInsensitive as on Windows.
    QTest::addColumn<Qt::CaseSensitivity>("fileNameCase");

    const QByteArray twoChunks = R"("chunks":[{"url":"c","unpackedhash":"aa","unpackedsize":1},)"
                                 R"({"url":"%2","unpackedhash":"bb","unpackedsize":1}])";
    const auto withFiles = [&](const QByteArray &Files, const QByteArray &Url = "d") -> QByteArray {
        return "{" + QByteArray(twoChunks).replace("%2", Url) + R"(,"files":[)" + Files + "]}";
    };
    const QByteArray a = R"({"localfile":"a","unpackedhash":"aa","chunks":[0]})";
    const QByteArray b = R"({"localfile":"b","unpackedhash":"bb","chunks":[1]})";

    QTest::newRow("consistent") << withFiles(a + "," + b) << QByteArray() << QString()
                                << Qt::CaseInsensitive;
    QTest::newRow("names sharing a prefix")
        << withFiles(a + "," + R"({"localfile":"a-b/c","unpackedhash":"bb","chunks":[1]})")
        << QByteArray() << QString() << Qt::CaseInsensitive;
    QTest::newRow("one address for two contents")
        << withFiles(a + "," + b, "c") << QByteArray()
        << "the address 'https://cdn.example.test/client/c'" << Qt::CaseInsensitive;
    QTest::newRow("whole-file address of other content")
        << withFiles(a + "," +
                     R"({"localfile":"w","url":"c","unpackedhash":"bb","unpackedsize":1})")
        << QByteArray() << "the address" << Qt::CaseInsensitive;
    QTest::newRow("one file twice with different content")
        << withFiles(a + "," + R"({"localfile":"./a","unpackedhash":"bb","chunks":[1]})")
        << QByteArray() << "the file './a' is listed twice" << Qt::CaseInsensitive;
    QTest::newRow("one file twice by letter case")
        << withFiles(a + "," + R"({"localfile":"A","unpackedhash":"bb","chunks":[1]})")
        << QByteArray() << "listed twice" << Qt::CaseInsensitive;
    QTest::newRow("file and directory of one name")
        << withFiles(a + "," + R"({"localfile":"a/inner","unpackedhash":"bb","chunks":[1]})")
        << QByteArray() << "'a' is listed both as a file and as a directory" << Qt::CaseInsensitive;
    QTest::newRow("file and directory across the documents")
        << withFiles(a) << QByteArray(R"({"files":[{"localfile":"A\\x"}]})") << "both as a file"
        << Qt::CaseInsensitive;
    QTest::newRow("names differing in case where case counts")
        << withFiles(a + "," + R"({"localfile":"A","unpackedhash":"bb","chunks":[1]})")
        << QByteArray() << QString() << Qt::CaseSensitive;
    QTest::newRow("one file twice where case counts")
        << withFiles(a + "," + R"({"localfile":"./a","unpackedhash":"bb","chunks":[1]})")
        << QByteArray() << "the file './a' is listed twice" << Qt::CaseSensitive;
    // Names that reach a device or alias another file on Windows.
    const QString onWindows = QStringLiteral("cannot be a file name on Windows");
    const auto named = [&](const QByteArray &Name) {
        return withFiles(a + R"(,{"localfile":")" + Name +
                         R"(","unpackedhash":"bb","chunks":[1]})");
    };
    QTest::newRow("device name") << named("CON") << QByteArray()
                                 << QString(QStringLiteral("'CON' ") + onWindows)
                                 << Qt::CaseSensitive;
    QTest::newRow("device name with an extension")
        << named("bin/nul.txt") << QByteArray() << onWindows << Qt::CaseSensitive;
    QTest::newRow("device name as a directory")
        << named("Aux/readme") << QByteArray() << onWindows << Qt::CaseSensitive;
    QTest::newRow("numbered device")
        << named("logs\\\\com1.log") << QByteArray() << onWindows << Qt::CaseSensitive;
    QTest::newRow("printer port") << named("LPT9") << QByteArray() << onWindows
                                  << Qt::CaseSensitive;
    QTest::newRow("trailing dot") << named("data/b.") << QByteArray() << onWindows
                                  << Qt::CaseSensitive;
    QTest::newRow("trailing space")
        << named("b ") << QByteArray() << onWindows << Qt::CaseSensitive;
    QTest::newRow("directory with a trailing dot")
        << named("data./b") << QByteArray() << onWindows << Qt::CaseSensitive;
    QTest::newRow("stream of another file")
        << named("b:stream") << QByteArray() << onWindows << Qt::CaseSensitive;
    QTest::newRow("device name in the assets")
        << withFiles(a) << QByteArray(R"({"files":[{"localfile":"prn.dat"}]})") << onWindows
        << Qt::CaseSensitive;
    QTest::newRow("names that only begin like devices")
        << withFiles(a + "," +
                     R"({"localfile":"console/com10.txt","unpackedhash":"bb","chunks":[1]})")
        << QByteArray() << QString() << Qt::CaseSensitive;
}

void TestPackageConfiguration::findsInconsistencies()
{
    QFETCH(QByteArray, packageJson);
    QFETCH(QByteArray, assetJson);
    QFETCH(QString, problem);
    QFETCH(Qt::CaseSensitivity, fileNameCase);
    const TPackageConfigurationReader reader(packageJson, assetJson, packageBase, assetBase);
    QVERIFY(reader.isValid());
    const QString inconsistency = reader.inconsistency(fileNameCase, true);
    if (problem.isEmpty())
        QCOMPARE(inconsistency, QString());
    else
        QVERIFY2(inconsistency.startsWith(QStringLiteral("Inconsistent package configuration: ")) &&
                     inconsistency.contains(problem),
                 qPrintable(inconsistency));
}

void TestPackageConfiguration::readsChunks()
{
    const QByteArray digest = QCryptographicHash::hash("chunk", QCryptographicHash::Sha256);
    const QByteArray packageJson =
        QByteArray(R"({"chunks":[{"url":"c/1","packedsize":10,"packedhash":")") +
        digest.toHex().toUpper() + R"(","unpackedsize":"20","unpackedhash":")" + digest.toHex() +
        R"("},{"url":"","unpack":false},{}]})";
    const TPackageConfigurationReader reader(packageJson, QByteArray(), packageBase, assetBase);
    QCOMPARE(reader.chunks().size(), size_t(3));

    const TChunkInPackage &first = reader.chunks()[0];
    QCOMPARE(first.url, QUrl(QStringLiteral("https://cdn.example.test/client/c/1")));
    QCOMPARE(first.packedSize, quint64(10));
    QCOMPARE(first.unpackedSize, quint64(20));
    QCOMPARE(first.packedHash, digest);
    QCOMPARE(first.unpackedHash, digest);
    QVERIFY(first.unpack);

    const TChunkInPackage &stored = reader.chunks()[1];
    QVERIFY(stored.url.isEmpty());
    QVERIFY(!stored.unpack);

    const TChunkInPackage &empty = reader.chunks()[2];
    QVERIFY(empty.url.isEmpty());
    QVERIFY(empty.packedHash.isEmpty());
    QCOMPARE(empty.packedSize, quint64(0));
    QVERIFY(empty.unpack);
}

void TestPackageConfiguration::readsSizes_data()
{
    QTest::addColumn<QByteArray>("size");
    QTest::addColumn<quint64>("expected");

    QTest::newRow("number") << QByteArray("1048576") << quint64(1048576);
    QTest::newRow("decimal string") << QByteArray(R"("1048576")") << quint64(1048576);
    QTest::newRow("largest string")
        << QByteArray(R"("18446744073709551615")") << quint64(18446744073709551615ULL);
    QTest::newRow("beyond 32 bits") << QByteArray("6000000000") << quint64(6000000000ULL);
    QTest::newRow("negative number") << QByteArray("-5") << quint64(0);
    QTest::newRow("fraction") << QByteArray("1.5") << quint64(0);
    QTest::newRow("too large number") << QByteArray("1e30") << quint64(0);
    QTest::newRow("string overflowing 64 bits")
        << QByteArray(R"("18446744073709551616")") << quint64(0);
    QTest::newRow("string with letters") << QByteArray(R"("12abc")") << quint64(0);
    QTest::newRow("negative string") << QByteArray(R"("-5")") << quint64(0);
    QTest::newRow("boolean") << QByteArray("true") << quint64(0);
}

void TestPackageConfiguration::readsSizes()
{
    QFETCH(QByteArray, size);
    const QByteArray packageJson = R"({"chunks":[{"packedsize":)" + size +
                                   R"(}],"files":[{"localfile":"f","unpackedsize":)" + size + "}]}";
    const TPackageConfigurationReader reader(packageJson, QByteArray(), packageBase, assetBase);
    QVERIFY(reader.isValid());
    QTEST(reader.chunks().at(0).packedSize, "expected");
    QTEST(reader.files().at(0).unpackedSize, "expected");
}

void TestPackageConfiguration::combinesChunksOfBothDocuments()
{
    const TPackageConfigurationReader reader = read(R"({"chunks":[{"url":"p0"},{"url":"p1"}],
                 "files":[{"localfile":"exe","executable":true,"chunks":[1,0],
                           "url":"whole/exe","unpackedsize":7,
                           "patches":[{"url":"patch/1","fromversion":3,"toversion":4,
                                       "size":6000000000}]}]})",
                                                    R"({"version":3,"chunks":[{"url":"a0"}],
                 "files":[{"localfile":"asset","chunks":[2,0]}]})");
    QVERIFY(reader.isValid());
    QCOMPARE(reader.chunks().size(), size_t(3));
    QCOMPARE(reader.chunks()[1].url, QUrl(QStringLiteral("https://cdn.example.test/client/p1")));
    QCOMPARE(reader.chunks()[2].url, QUrl(QStringLiteral("https://assets.example.test/client/a0")));

    QCOMPARE(localFiles(reader), QStringList({QStringLiteral("asset"), QStringLiteral("exe")}));
    const TFileInPackage &asset = reader.files()[0];
    QCOMPARE(asset.chunkIndices, std::vector<int>({2, 0}));
    QVERIFY(asset.wholeFile.url.isEmpty());

    const TFileInPackage &exe = reader.files()[1];
    QVERIFY(exe.executable);
    QCOMPARE(exe.chunkIndices, std::vector<int>({1, 0}));
    QCOMPARE(exe.wholeFile.url, QUrl(QStringLiteral("https://cdn.example.test/client/whole/exe")));
    QCOMPARE(exe.wholeFile.unpackedSize, quint64(7));
    QCOMPARE(exe.patches.size(), size_t(1));
    QCOMPARE(exe.patches[0].url, QUrl(QStringLiteral("https://cdn.example.test/client/patch/1")));
    QCOMPARE(exe.patches[0].fromVersion, QStringLiteral("3"));
    QCOMPARE(exe.patches[0].toVersion, QStringLiteral("4"));
    QCOMPARE(exe.patches[0].size, qint64(6000000000LL));
}

void TestPackageConfiguration::rejectsChunkIndicesOutsideChunkList_data()
{
    QTest::addColumn<QByteArray>("indices");
    QTest::addColumn<std::vector<int>>("expected");

    QTest::newRow("inside") << QByteArray("[0,1,0]") << std::vector<int>{0, 1, 0};
    QTest::newRow("index equal to chunk count") << QByteArray("[0,2]") << std::vector<int>{};
    QTest::newRow("negative index") << QByteArray("[-1]") << std::vector<int>{};
    QTest::newRow("index beyond 32 bits") << QByteArray("[4294967296]") << std::vector<int>{};
    QTest::newRow("fractional index") << QByteArray("[0.5]") << std::vector<int>{};
    QTest::newRow("non-number reads as 0") << QByteArray(R"(["x",1])") << std::vector<int>{0, 1};
}

void TestPackageConfiguration::rejectsChunkIndicesOutsideChunkList()
{
    QFETCH(QByteArray, indices);
    QFETCH(std::vector<int>, expected);
    const QByteArray packageJson = R"({"chunks":[{"url":"c0"},{"url":"c1"}],
        "files":[{"localfile":"other","chunks":[1]},{"localfile":"target","chunks":)" +
                                   indices + "}]}";
    if (expected.empty())
        QTest::ignoreMessage(QtWarningMsg,
                             "Chunk index outside the chunk list in file entry target - its chunk "
                             "list is ignored.");
    const TPackageConfigurationReader reader(packageJson, QByteArray(), packageBase, assetBase);
    QVERIFY(reader.isValid());
    QCOMPARE(reader.files().at(0).chunkIndices, std::vector<int>({1}));
    QCOMPARE(reader.files().at(1).chunkIndices, expected);
}

void TestPackageConfiguration::wrongTypesCountAsAbsent()
{
    const TPackageConfigurationReader reader =
        read(R"({"version":["1"],"executable":5,"parameters":"-x","chunks":{"url":"c"},
                 "files":[5,{"localfile":7,"chunks":"0","patches":{},"executable":"yes"}]})",
             R"({"chunks":null,"files":"all"})");
    QVERIFY(reader.isValid());
    QVERIFY(reader.packageVersion().isEmpty());
    QVERIFY(reader.executable().isEmpty());
    QVERIFY(reader.parameters().isEmpty());
    QVERIFY(reader.chunks().empty());
    QCOMPARE(reader.files().size(), size_t(2));
    for (const TFileInPackage &file : reader.files()) {
        QVERIFY(file.localFile.isEmpty());
        QVERIFY(file.chunkIndices.empty());
        QVERIFY(file.patches.empty());
        QVERIFY(!file.executable);
    }

    const TPackageConfigurationReader array = read("[1,2,3]");
    QVERIFY(array.isValid());
    QVERIFY(array.files().empty());
}

QTEST_GUILESS_MAIN(TestPackageConfiguration)
#include "tst_packageconfiguration.moc"
