#include "shared/TFileSystemHelper.h"
#include "shared/TLZMACompressedReadOnlyMemoryBlob.h"
#include "support/ThrownError.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QTemporaryDir>
#include <QtTest>

using shared::EErrorCode;
using shared::TFileSystemHelper;
using testsupport::thrownErrorCode;

class TestFileSystemHelper : public QObject
{
    Q_OBJECT

private slots:
    void filePathInDirectory_data();
    void filePathInDirectory();
    void filePathInDirectoryNeverLeavesBase_data();
    void filePathInDirectoryNeverLeavesBase();
    void joinPathKeepsEmptyParts();
    void readFileOfMissingFile();
    void writeAndReadBack();
    void writeFileIntoMissingDirectoryThrows();
    void deleteFileOfMissingFileThrows();
    void readJson_data();
    void readJson();
    void ensureSubdirectory();
    void ensureDirectoryCreatesParents();
    void listFilesSkipsDirectoriesAndHiddenFiles();
    void openReadOnlyBlob();
    void images();
    void startableProgram_data();
    void startableProgram();

private:
    TFileSystemHelper m_helper;
};

namespace {

void writeBytes(const QString &Path, const QByteArray &Bytes)
{
    QFile file(Path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(Bytes);
}

} // namespace

void TestFileSystemHelper::filePathInDirectory_data()
{
    QTest::addColumn<QString>("relative");
    QTest::addColumn<QString>("expected"); // relative to the base

    QTest::newRow("plain") << "bin/client.exe"
                           << "bin/client.exe";
    QTest::newRow("climbing keeps last name") << "../../evil.dll"
                                              << "evil.dll";
    QTest::newRow("climbing through a sibling") << "a/../../b/x.dat"
                                                << "x.dat";
    QTest::newRow("dot segments inside") << "a/./b/../c.txt"
                                         << "a/c.txt";
    QTest::newRow("backslashes") << "bin\\data\\file.pak"
                                 << "bin/data/file.pak";
    QTest::newRow("climbing backslashes") << "..\\..\\evil.dll"
                                          << "evil.dll";
    QTest::newRow("absolute unix path") << "/etc/passwd"
                                        << "etc/passwd";
    QTest::newRow("drive letter") << "C:\\Windows\\evil.dll"
                                  << "Windows/evil.dll";
    QTest::newRow("drive letter forward") << "d:/x.bin"
                                          << "x.bin";
    QTest::newRow("unc path") << "\\\\server\\share\\x.bin"
                              << "server/share/x.bin";
    QTest::newRow("empty") << ""
                           << "";
    QTest::newRow("dot") << "."
                         << "";
    QTest::newRow("parent only") << ".."
                                 << "";
    QTest::newRow("parent of parent") << "../.."
                                      << "";
    QTest::newRow("name then parent") << "a/.."
                                      << "";
    QTest::newRow("climbing then parent") << "../x/.."
                                          << "";
    QTest::newRow("climbing directory with trailing slash") << "../../dir/"
                                                            << "dir";
    QTest::newRow("sibling with base as prefix") << "../base2/evil.dll"
                                                 << "evil.dll";
    QString withNul = QStringLiteral("ok.txt");
    withNul.append(QChar(0)).append(QStringLiteral("/../../x"));
    QTest::newRow("nul cuts the name") << withNul << "ok.txt";
}

void TestFileSystemHelper::filePathInDirectory()
{
    QFETCH(QString, relative);
    QFETCH(QString, expected);
    QTemporaryDir temporary;
    const QString base = QDir::cleanPath(temporary.filePath(QStringLiteral("base")));
    const QString result = m_helper.filePathInDirectory(QDir(base), relative);
    QCOMPARE(result, expected.isEmpty() ? base : base + QLatin1Char('/') + expected);
}

void TestFileSystemHelper::filePathInDirectoryNeverLeavesBase_data()
{
    QTest::addColumn<QString>("relative");
    const QStringList parts = {QStringLiteral(".."),   QStringLiteral("."),    QStringLiteral("a"),
                               QStringLiteral(""),     QStringLiteral("base"), QStringLiteral("C:"),
                               QStringLiteral("\\.."), QStringLiteral("..\\")};
    // Every path of up to three parts built from names that climb, stay or are empty.
    for (const QString &a : parts)
        for (const QString &b : parts)
            for (const QString &c : parts) {
                const QString path = a + QLatin1Char('/') + b + QLatin1Char('/') + c;
                QTest::newRow(qPrintable(path)) << path;
            }
}

void TestFileSystemHelper::filePathInDirectoryNeverLeavesBase()
{
    QFETCH(QString, relative);
    const QString base = QStringLiteral("/srv/game/base");
    const QString result = m_helper.filePathInDirectory(QDir(base), relative);
    QVERIFY2(result == base || result.startsWith(base + QLatin1Char('/')), qPrintable(result));
    QVERIFY2(!result.contains(QLatin1String("/../")) && !result.endsWith(QLatin1String("/..")),
             qPrintable(result));
}

void TestFileSystemHelper::joinPathKeepsEmptyParts()
{
    QCOMPARE(m_helper.joinPath({QStringLiteral("a"), QString(), QStringLiteral("b")}),
             QDir::toNativeSeparators(QStringLiteral("a//b")));
}

void TestFileSystemHelper::readFileOfMissingFile()
{
    QTemporaryDir temporary;
    const QString path = temporary.filePath(QStringLiteral("missing.bin"));
    QCOMPARE(m_helper.readFileIfPresent(path), QByteArray());
    QCOMPARE(thrownErrorCode([&] { m_helper.readFile(path); }), EErrorCode::OpenFailed);
    try {
        m_helper.readFile(path);
        QFAIL("readFile of a missing file must throw");
    } catch (const std::runtime_error &e) {
        QVERIFY(QString::fromUtf8(e.what()).startsWith(QStringLiteral("I/O error on file '") +
                                                       path + QStringLiteral("': ")));
    }
}

void TestFileSystemHelper::writeAndReadBack()
{
    QTemporaryDir temporary;
    const QString path = temporary.filePath(QStringLiteral("data.bin"));
    const QByteArray data("\x00\x01\x02payload", 10);
    m_helper.writeFile(path, data);
    QCOMPARE(m_helper.readFile(path), data);
    m_helper.writeFile(path, "x");
    QCOMPARE(m_helper.readFile(path), QByteArray("x"));
    m_helper.writeText(path, QStringLiteral("one\n"));
    m_helper.appendText(path, QStringLiteral("two\n"));
    // Text is written with the platform's line ends.
    QCOMPARE(m_helper.readFile(path).replace("\r\n", "\n"), QByteArray("one\ntwo\n"));
}

void TestFileSystemHelper::writeFileIntoMissingDirectoryThrows()
{
    QTemporaryDir temporary;
    const QString path = temporary.filePath(QStringLiteral("missing/data.bin"));
    QCOMPARE(thrownErrorCode([&] { m_helper.writeFile(path, "x"); }), EErrorCode::OpenFailed);
    try {
        m_helper.writeFile(path, "x");
    } catch (const std::runtime_error &e) {
        QCOMPARE(QString::fromUtf8(e.what()),
                 QStringLiteral("I/O error on file '%1': Could not open file.").arg(path));
    }
}

void TestFileSystemHelper::deleteFileOfMissingFileThrows()
{
    QTemporaryDir temporary;
    const QString path = temporary.filePath(QStringLiteral("gone"));
    try {
        m_helper.deleteFile(path);
        QFAIL("must throw");
    } catch (const std::runtime_error &e) {
        QCOMPARE(QString::fromUtf8(e.what()), QStringLiteral("Failed to delete file ") + path);
        QCOMPARE(shared::errorOf(e).code, EErrorCode::DeleteFailed);
    }
    writeBytes(path, "x");
    QVERIFY(m_helper.deleteFile(path));
    QVERIFY(!QFile::exists(path));
}

void TestFileSystemHelper::readJson_data()
{
    QTest::addColumn<QByteArray>("contents");
    QTest::addColumn<bool>("present");
    QTest::addColumn<bool>("parseFailed");
    QTest::addColumn<bool>("empty");

    QTest::newRow("missing file") << QByteArray() << false << false << true;
    QTest::newRow("empty file") << QByteArray() << true << false << true;
    QTest::newRow("open brace") << QByteArray("{") << true << true << true;
    QTest::newRow("object") << QByteArray("{\"a\":1}") << true << false << false;
}

void TestFileSystemHelper::readJson()
{
    QFETCH(QByteArray, contents);
    QFETCH(bool, present);
    QFETCH(bool, parseFailed);
    QFETCH(bool, empty);
    QTemporaryDir temporary;
    const QString path = temporary.filePath(QStringLiteral("doc.json"));
    if (present)
        writeBytes(path, contents);
    if (parseFailed)
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression(QStringLiteral("^Json parse error in file")));
    bool failed = !parseFailed;
    const QJsonDocument document = m_helper.readJsonFileAsQJsonDocument(path, failed);
    QCOMPARE(failed, parseFailed);
    QCOMPARE(document.isEmpty(), empty);
}

void TestFileSystemHelper::ensureSubdirectory()
{
    QTemporaryDir temporary;
    QCOMPARE(thrownErrorCode([&] {
                 m_helper.ensureSubdirectory(temporary.filePath(QStringLiteral("nope")),
                                             QStringLiteral("x"));
             }),
             EErrorCode::FolderMissing);
    QVERIFY(QDir(temporary.path()).mkdir(QStringLiteral("sub")));
    const QDir existing = m_helper.ensureSubdirectory(temporary.path(), QStringLiteral("sub"));
    QCOMPARE(QDir::cleanPath(existing.absolutePath()),
             QDir::cleanPath(temporary.filePath(QStringLiteral("sub"))));
    const QDir created = m_helper.ensureSubdirectory(temporary.path(), QStringLiteral("new"));
    QVERIFY(created.exists());
}

void TestFileSystemHelper::ensureDirectoryCreatesParents()
{
    QTemporaryDir temporary;
    const QString path = temporary.filePath(QStringLiteral("a/b/c"));
    QVERIFY(m_helper.ensureDirectory(path).exists());
    writeBytes(temporary.filePath(QStringLiteral("file")), "x");
    QCOMPARE(thrownErrorCode(
                 [&] { m_helper.ensureDirectory(temporary.filePath(QStringLiteral("file/sub"))); }),
             EErrorCode::CreateFolderFailed);
}

void TestFileSystemHelper::listFilesSkipsDirectoriesAndHiddenFiles()
{
    QTemporaryDir temporary;
    writeBytes(temporary.filePath(QStringLiteral("one.bin")), "1");
    writeBytes(temporary.filePath(QStringLiteral("two.old")), "22");
    writeBytes(temporary.filePath(QStringLiteral(".hidden")), "333");
    QVERIFY(QDir(temporary.path()).mkdir(QStringLiteral("sub")));
    writeBytes(temporary.filePath(QStringLiteral("sub/inner.bin")), "4444");

    QMap<QString, qint64> found;
    m_helper.forEachFile(temporary.path(), [&found](const shared::TLocalFileInfo &Info) {
        found.insert(QFileInfo(Info.absoluteFilePath).fileName(), Info.size);
    });
    QCOMPARE(found.size(), 2);
    QCOMPARE(found.value(QStringLiteral("one.bin")), 1);
    QCOMPARE(found.value(QStringLiteral("two.old")), 2);
}

void TestFileSystemHelper::openReadOnlyBlob()
{
    QTemporaryDir temporary;
    const QString plain = temporary.filePath(QStringLiteral("plain.bin"));
    writeBytes(plain, "plain bytes");
    const auto plainBlob = m_helper.openReadOnlyBlob(plain);
    QCOMPARE(plainBlob->data(), QByteArray("plain bytes"));
    QVERIFY(!dynamic_cast<shared::TLZMACompressedReadOnlyMemoryBlob *>(plainBlob.get()));

    const QString packed = temporary.filePath(QStringLiteral("packed.bin"));
    writeBytes(packed + QStringLiteral(".lzma"), "not a container");
    const auto packedBlob = m_helper.openReadOnlyBlob(packed);
    QVERIFY(dynamic_cast<shared::TLZMACompressedReadOnlyMemoryBlob *>(packedBlob.get()));
    QCOMPARE(packedBlob->path(), packed + QStringLiteral(".lzma"));
    QCOMPARE(packedBlob->data(), QByteArray("not a container"));

    const QString missing = temporary.filePath(QStringLiteral("missing.bin"));
    try {
        m_helper.openReadOnlyBlob(missing);
        QFAIL("must throw");
    } catch (const std::runtime_error &e) {
        QCOMPARE(QString::fromUtf8(e.what()),
                 QStringLiteral("I/O error on file '%1': File does not exist").arg(missing));
    }
}

void TestFileSystemHelper::images()
{
    QTemporaryDir temporary;
    const QString path = temporary.filePath(QStringLiteral("image.png"));
    QImage image(4, 3, QImage::Format_ARGB32);
    image.fill(Qt::red);
    m_helper.writeImage(image, path, "PNG");
    const auto read = m_helper.readImage(path, "PNG");
    QVERIFY(read);
    QCOMPARE(read->size(), QSize(4, 3));
    QVERIFY(!m_helper.readImage(temporary.filePath(QStringLiteral("none.png")), "PNG"));
    writeBytes(path, "garbage");
    QVERIFY(!m_helper.readImage(path, "PNG"));
}

void TestFileSystemHelper::startableProgram_data()
{
    QTest::addColumn<bool>("completesExeSuffix");
    QTest::addColumn<QString>("program");
    QTest::addColumn<QString>("expected"); // empty: nothing to start
    QTest::newRow("named without .exe, where Windows adds it") << true << "game"
                                                               << "game.exe";
    QTest::newRow("named without .exe elsewhere") << false << "game" << QString();
    QTest::newRow("a name with an extension gets none") << true << "game.v2" << QString();
}

void TestFileSystemHelper::startableProgram()
{
    QFETCH(bool, completesExeSuffix);
    QFETCH(QString, program);
    QFETCH(QString, expected);
    QTemporaryDir directory;
    writeBytes(directory.filePath(QStringLiteral("game.exe")), "x");
    writeBytes(directory.filePath(QStringLiteral("game.v2.exe")), "x");
    QCOMPARE(TFileSystemHelper::startableProgram(directory.filePath(program), completesExeSuffix),
             expected.isEmpty() ? QString() : directory.filePath(expected));
}

QTEST_GUILESS_MAIN(TestFileSystemHelper)
#include "tst_filesystemhelper.moc"
