#include "TChunkStore.h"
#include "TMetadataWriter.h"
#include "TPackagePublisher.h"
#include "TPublishError.h"
#include "support/TestFiles.h"

#include "format/BlobContainer.h"
#include "format/TContentDefinedChunker.h"
#include "format/TDocumentVerifier.h"
#include "format/TEd25519.h"
#include "format/TSha256.h"
#include "format/TZstdDelta.h"
#include "packages/TLauncherConfigurationReader.h"
#include "packages/TPackageConfigurationReader.h"

#include <QDateTime>
#include <QDirIterator>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <functional>
#include <map>

using namespace vorna::publisher;
using vorna::launcher::TContentDefinedChunker;
using vorna::launcher::TPackageConfigurationReader;

namespace {

constexpr qint64 BigFileSize = qint64(50) << 20;

QByteArray randomBytes(qint64 Size, quint32 Seed)
{
    QByteArray bytes(int(Size), Qt::Uninitialized);
    QRandomGenerator generator(Seed);
    generator.fillRange(reinterpret_cast<quint32 *>(bytes.data()), int(Size / 4));
    return bytes;
}

QByteArray textBytes(int Lines)
{
    QByteArray text;
    for (int line = 0; line < Lines; ++line)
        text += "entry " + QByteArray::number(line) + " value " +
                QByteArray::number(line * 7919 % 1000) + "\n";
    return text;
}

void writeFile(const QString &Path, const QByteArray &Bytes)
{
    QDir().mkpath(QFileInfo(Path).path());
    QFile file(Path);
    QVERIFY2(file.open(QIODevice::WriteOnly), qPrintable(Path));
    QCOMPARE(file.write(Bytes), qint64(Bytes.size()));
}

QByteArray readFile(const QString &Path)
{
    QFile file(Path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Every file of the store with the SHA-256 of its bytes.
std::map<QString, QByteArray> storeSnapshot(const QString &Directory)
{
    std::map<QString, QByteArray> snapshot;
    QDirIterator iterator(Directory, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (iterator.hasNext()) {
        const QString path = iterator.next();
        snapshot[path] = ::shared::sha256(readFile(path));
    }
    return snapshot;
}

} // namespace

class TestPublisher final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void readerParsesPublishedDocuments_data();
    void readerParsesPublishedDocuments();
    void everyChunkDecodesToRecordedHash();
    void incompressibleChunksAreStoredUncompressed();
    void cutPointsEqualLauncherChunker();
    void republishWritesOnlyNewChunks();
    void deltasRebuildNewChunksFromEarlierVersions();
    void badInputFails_data();
    void badInputFails();
    void smallRunReportsInFittingUnits();
    void compressionReportsProgressWhileItRuns();
    void metadataIsReadByLauncher();
    void badDescriptionFails_data();
    void badDescriptionFails();
    void signedDocumentsPassTheLaunchersCheck();

private:
    TPublishOptions options() const;
    TPackageConfigurationReader readOutput() const;
    const vorna::launcher::TFileInPackage *fileEntry(const TPackageConfigurationReader &Reader,
                                                     const QString &LocalFile) const;

    QTemporaryDir m_root;
    QString m_source;
    QString m_assets;
    // Whether source/linked is a link to source/text (it is a copy where none can be made).
    bool m_linked = false;
    QString m_output;
    TPublishReport m_firstReport;
};

TPublishOptions TestPublisher::options() const
{
    TPublishOptions options;
    options.sourceDirectory = m_source;
    options.outputDirectory = m_output;
    options.version = QStringLiteral("1.0");
    options.executable = QStringLiteral("bin/client" CORVANE_EXE_SUFFIX);
    options.parameters = QStringList{QStringLiteral("-windowed"), QStringLiteral("--lang=en")};
    options.generation = QStringLiteral("second");
    options.variant = QStringLiteral("beta");
    options.assetsDirectory = m_assets;
    options.assetsVersion = QStringLiteral("3");
    return options;
}

TPackageConfigurationReader TestPublisher::readOutput() const
{
    const QUrl base = QUrl::fromLocalFile(m_output + QLatin1Char('/'));
    return TPackageConfigurationReader(readFile(m_output + QStringLiteral("/package.json")),
                                       readFile(m_output + QStringLiteral("/assets.json")), base,
                                       base);
}

const vorna::launcher::TFileInPackage *
TestPublisher::fileEntry(const TPackageConfigurationReader &Reader, const QString &LocalFile) const
{
    for (const auto &file : Reader.files()) {
        if (file.localFile == LocalFile)
            return &file;
    }
    return nullptr;
}

void TestPublisher::initTestCase()
{
    QVERIFY(m_root.isValid());
    m_source = m_root.filePath(QStringLiteral("source"));
    m_assets = m_root.filePath(QStringLiteral("assets"));
    m_output = m_root.filePath(QStringLiteral("out"));
    writeFile(m_source + QStringLiteral("/big.bin"), randomBytes(BigFileSize, 7));
    writeFile(m_source + QStringLiteral("/text/readme.txt"), textBytes(30000));
    writeFile(m_source + QStringLiteral("/text/copy.txt"), textBytes(30000));
    writeFile(m_source + QStringLiteral("/empty.dat"), QByteArray());
    writeFile(m_source + QStringLiteral("/bin/client" CORVANE_EXE_SUFFIX),
              QByteArrayLiteral("#!/bin/sh\necho\n"));
    QVERIFY(QFile::setPermissions(
        m_source + QStringLiteral("/bin/client" CORVANE_EXE_SUFFIX),
        QFile::permissions(m_source + QStringLiteral("/bin/client" CORVANE_EXE_SUFFIX)) |
            QFile::ExeOwner));
    writeFile(m_assets + QStringLiteral("/levels/one.dat"), textBytes(20000));
    // A linked directory is published like a copy of its target. Where no link can be made
    // (Wine) a copy stands in, so that the rest of the suite still runs.
    m_linked = testsupport::makeLink(m_source + QStringLiteral("/text"),
                                     m_source + QStringLiteral("/linked"));
    if (!m_linked) {
        QVERIFY(QDir().mkpath(m_source + QStringLiteral("/linked")));
        for (const QString &Name : {QStringLiteral("readme.txt"), QStringLiteral("copy.txt")})
            QVERIFY(QFile::copy(m_source + QStringLiteral("/text/") + Name,
                                m_source + QStringLiteral("/linked/") + Name));
    }

    m_firstReport = TPackagePublisher(options()).publish();
    QCOMPARE(m_firstReport.files, 8);
    QCOMPARE(m_firstReport.chunksNew, m_firstReport.chunksTotal);
}

void TestPublisher::readerParsesPublishedDocuments_data()
{
    QTest::addColumn<QString>("localFile");
    QTest::addColumn<QString>("sourceDirectory");
    QTest::addColumn<bool>("executable");
    // Whether its chunks lie in a pack too: small ones do.
    QTest::addColumn<bool>("packed");

    QTest::newRow("large file") << QStringLiteral("big.bin") << QStringLiteral("source") << false
                                << false;
    QTest::newRow("executable") << QStringLiteral("bin/client" CORVANE_EXE_SUFFIX)
                                << QStringLiteral("source") << true << true;
    QTest::newRow("empty file") << QStringLiteral("empty.dat") << QStringLiteral("source") << false
                                << false;
    QTest::newRow("duplicate content")
        << QStringLiteral("text/copy.txt") << QStringLiteral("source") << false << true;
    QTest::newRow("asset") << QStringLiteral("levels/one.dat") << QStringLiteral("assets") << false
                           << true;
    QTest::newRow("behind a directory link")
        << QStringLiteral("linked/readme.txt") << QStringLiteral("source") << false << true;
}

void TestPublisher::readerParsesPublishedDocuments()
{
    QFETCH(QString, localFile);
    QFETCH(QString, sourceDirectory);
    QFETCH(bool, executable);
    QFETCH(bool, packed);

    const TPackageConfigurationReader reader = readOutput();
    QVERIFY(reader.isValid());
    QCOMPARE(reader.versionString(), QStringLiteral("P1.0 A3"));
    QCOMPARE(reader.executable(), QStringLiteral("bin/client" CORVANE_EXE_SUFFIX));
    QCOMPARE(reader.parameters(), options().parameters);
    QCOMPARE(reader.generation(), vorna::launcher::EGeneration::Second);
    QCOMPARE(reader.variant(), vorna::launcher::EVariant::Beta);
    QCOMPARE(int(reader.files().size()), 8);

    const auto *file = fileEntry(reader, localFile);
    QVERIFY(file);
    const QByteArray content =
        readFile(m_root.filePath(sourceDirectory) + QLatin1Char('/') + localFile);
    QCOMPARE(file->unpackedSize, quint64(content.size()));
    QCOMPARE(file->unpackedHash, ::shared::sha256(content));
    QCOMPARE(file->executable, executable);
    // The launcher writes a file only through its chunks: even an empty one needs one.
    QVERIFY(!file->chunkIndices.empty());
    quint64 total = 0;
    for (int index : file->chunkIndices)
        total += reader.chunks().at(std::size_t(index)).unpackedSize;
    QCOMPARE(total, file->unpackedSize);
    // A packed chunk is the same bytes at its place in the pack as in its own file.
    for (int index : file->chunkIndices) {
        const auto &chunk = reader.chunks().at(std::size_t(index));
        QCOMPARE(!chunk.packUrl.isEmpty(), packed);
        if (!packed)
            continue;
        QFile pack(chunk.packUrl.toLocalFile());
        QVERIFY(pack.open(QIODevice::ReadOnly) && pack.seek(qint64(chunk.packOffset)));
        QCOMPARE(pack.read(qint64(chunk.packedSize)), readFile(chunk.url.toLocalFile()));
        QVERIFY(pack.fileName().endsWith(
            QString::fromLatin1(::shared::sha256(readFile(pack.fileName())).toHex()) +
            QStringLiteral(".pack")));
    }
    if (content.isEmpty()) {
        QCOMPARE(int(file->chunkIndices.size()), 1);
        QCOMPARE(reader.chunks().at(std::size_t(file->chunkIndices.front())).unpack, false);
    }
}

void TestPublisher::everyChunkDecodesToRecordedHash()
{
    const TPackageConfigurationReader reader = readOutput();
    QVERIFY(reader.isValid());
    std::vector<QByteArray> decoded;
    for (const auto &chunk : reader.chunks()) {
        QVERIFY(chunk.url.isLocalFile());
        const QByteArray stored = readFile(chunk.url.toLocalFile());
        QCOMPARE(quint64(stored.size()), chunk.packedSize);
        QCOMPARE(::shared::sha256(stored), chunk.packedHash);
        const QByteArray content =
            chunk.unpack ? ::shared::decodeBlobContainerStrict(stored, qint64(chunk.unpackedSize))
                         : stored;
        QCOMPARE(quint64(content.size()), chunk.unpackedSize);
        QCOMPARE(::shared::sha256(content), chunk.unpackedHash);
        decoded.push_back(content);
    }
    // Put together the way the launcher does, every file comes out whole.
    for (const auto &file : reader.files()) {
        ::shared::TSha256 hash;
        for (int index : file.chunkIndices)
            hash.addData(decoded.at(std::size_t(index)));
        QCOMPARE(hash.result(), file.unpackedHash);
    }
    // Equal content is stored once: the two copies of the text share their chunks.
    QCOMPARE(fileEntry(reader, QStringLiteral("text/copy.txt"))->chunkIndices,
             fileEntry(reader, QStringLiteral("text/readme.txt"))->chunkIndices);
}

void TestPublisher::incompressibleChunksAreStoredUncompressed()
{
    const TPackageConfigurationReader reader = readOutput();
    const auto codecOf = [&reader](int Index) {
        return ::shared::blobContainerCodec(
                   readFile(reader.chunks().at(std::size_t(Index)).url.toLocalFile()))
            .value_or(-1);
    };
    for (int index : fileEntry(reader, QStringLiteral("big.bin"))->chunkIndices)
        QCOMPARE(codecOf(index), ::shared::BlobCodecStored);
    // Client packages are zstd unless told otherwise.
    for (int index : fileEntry(reader, QStringLiteral("text/readme.txt"))->chunkIndices)
        QCOMPARE(codecOf(index), ::shared::BlobCodecZstd);
    QCOMPARE(TChunkStore::pack(QByteArray(), {}), QByteArray());
}

void TestPublisher::cutPointsEqualLauncherChunker()
{
    const TPackageConfigurationReader reader = readOutput();
    std::vector<quint64> published;
    for (int index : fileEntry(reader, QStringLiteral("big.bin"))->chunkIndices)
        published.push_back(reader.chunks().at(std::size_t(index)).unpackedSize);

    std::vector<quint64> scanned;
    TContentDefinedChunker chunker;
    QVERIFY(chunker.chunkFile(m_source + QStringLiteral("/big.bin"), false,
                              [&scanned](const TContentDefinedChunker::TChunk &Chunk) {
                                  scanned.push_back(quint64(Chunk.length));
                              }));
    QVERIFY(scanned.size() >= 4);
    QCOMPARE(published, scanned);
}

void TestPublisher::republishWritesOnlyNewChunks()
{
    const QString store = m_output + QStringLiteral("/chunks");
    const auto before = storeSnapshot(store);
    QVERIFY(m_firstReport.packsNew >= 1);
    QCOMPARE(int(before.size()), m_firstReport.chunksTotal + m_firstReport.packsNew);

    // Publishing the same content again adds nothing.
    const TPublishReport same = TPackagePublisher(options()).publish();
    QCOMPARE(same.chunksNew, 0);
    QCOMPARE(same.bytesNew, qint64(0));
    QCOMPARE(same.packsNew, 0);
    QCOMPARE(storeSnapshot(store), before);

    // Change 1% of the content, in the middle of the large file.
    {
        QFile big(m_source + QStringLiteral("/big.bin"));
        QVERIFY(big.open(QIODevice::ReadWrite));
        QVERIFY(big.seek(qint64(20) << 20));
        QCOMPARE(big.write(randomBytes(512 * 1024, 99)), qint64(512 * 1024));
    }
    TPublishOptions changed = options();
    changed.version = QStringLiteral("1.1");
    const TPublishReport second = TPackagePublisher(changed).publish();
    QCOMPARE(second.chunksTotal, m_firstReport.chunksTotal);
    QVERIFY2(second.chunksNew >= 1 && second.chunksNew <= 2,
             qPrintable(QString::number(second.chunksNew)));

    const auto after = storeSnapshot(store);
    // Deltas to the new chunks lie in the store too.
    QVERIFY(second.deltasNew >= 1);
    QCOMPARE(int(after.size()),
             int(before.size()) + second.chunksNew + second.deltasNew + second.packsNew);
    qint64 newBytes = 0;
    for (const auto &entry : after) {
        const auto old = before.find(entry.first);
        if (old == before.end())
            newBytes += QFileInfo(entry.first).size();
        else
            QCOMPARE(entry.second, old->second); // never rewritten
    }
    QCOMPARE(newBytes, second.bytesNew + second.deltaBytesNew + second.packBytesNew);
    QVERIFY(second.bytesNew <= qint64(2) * 16 * 1024 * 1024);

    // The new documents describe the changed file and name only chunks the store has.
    const TPackageConfigurationReader reader = readOutput();
    QCOMPARE(reader.packageVersion(), QStringLiteral("1.1"));
    QCOMPARE(fileEntry(reader, QStringLiteral("big.bin"))->unpackedHash,
             ::shared::TSha256::hashFile(m_source + QStringLiteral("/big.bin")));
    for (const auto &chunk : reader.chunks())
        QVERIFY(QFileInfo::exists(chunk.url.toLocalFile()));
}

void TestPublisher::deltasRebuildNewChunksFromEarlierVersions()
{
    // Runs after the 1.1 release above: 1.2 changes the large file at the same place again and
    // the small text, so its chunks have deltas from 1.1 and, for a player who skipped 1.1,
    // from 1.0.
    {
        QFile big(m_source + QStringLiteral("/big.bin"));
        QVERIFY(big.open(QIODevice::ReadWrite));
        QVERIFY(big.seek((qint64(20) << 20) + 1000));
        QCOMPARE(big.write(randomBytes(4096, 100)), qint64(4096));
    }
    writeFile(m_source + QStringLiteral("/text/readme.txt"), "new first line\n" + textBytes(30000));
    TPublishOptions changed = options();
    changed.version = QStringLiteral("1.2");
    const TPublishReport third = TPackagePublisher(changed).publish();
    QVERIFY2(third.deltasNew >= 3, qPrintable(QString::number(third.deltasNew)));
    QVERIFY(third.deltaMilliseconds <= third.milliseconds);

    const auto stored = [this](const QByteArray &Hash) {
        const QString hex = QString::fromLatin1(Hash.toHex());
        const QByteArray bytes =
            readFile(m_output + QStringLiteral("/chunks/") + hex.left(2) + QLatin1Char('/') + hex);
        return ::shared::decodeBlobContainerStrict(bytes, qint64(64) << 20);
    };
    const TPackageConfigurationReader reader = readOutput();
    int rebuilt = 0;
    QSet<QString> filesWithDeltas;
    for (const auto &file : reader.files()) {
        for (const int index : file.chunkIndices) {
            const auto &chunk = reader.chunks()[size_t(index)];
            for (const auto &delta : chunk.deltas) {
                QByteArray base;
                for (const QByteArray &hash : delta.baseChunkHashes)
                    base += stored(hash);
                QCOMPARE(::shared::sha256(base), delta.baseHash);
                QCOMPARE(quint64(base.size()), delta.baseSize);
                const QByteArray bytes = readFile(delta.url.toLocalFile());
                QCOMPARE(::shared::sha256(bytes), delta.packedHash);
                QVERIFY(double(bytes.size()) <= 0.75 * double(chunk.packedSize));
                QVERIFY(::shared::TZstdDelta::apply(base, bytes, qint64(chunk.unpackedSize)) ==
                        stored(chunk.unpackedHash));
                // Every delta lies in a pack of the deltas from its version, too.
                QFile pack(delta.packUrl.toLocalFile());
                QVERIFY(pack.open(QIODevice::ReadOnly) && pack.seek(qint64(delta.packOffset)));
                QCOMPARE(pack.read(qint64(delta.packedSize)), bytes);
                ++rebuilt;
            }
            if (!chunk.deltas.empty())
                filesWithDeltas.insert(file.localFile);
            // At most one delta per earlier version kept.
            QVERIFY(chunk.deltas.size() <= 3);
        }
    }
    // A copy in place of the link does not change with the text.
    QSet<QString> changedFiles{QStringLiteral("big.bin"), QStringLiteral("text/readme.txt")};
    if (m_linked)
        changedFiles.insert(QStringLiteral("linked/readme.txt"));
    QCOMPARE(filesWithDeltas, changedFiles);
    // The changed chunk of big.bin: from 1.1 and from 1.0; the text: from its one old chunk.
    QVERIFY2(rebuilt >= 3, qPrintable(QString::number(rebuilt)));

    // The history holds the versions deltas are made from, newest first.
    const QJsonArray versions =
        QJsonDocument::fromJson(readFile(m_output + QStringLiteral("/package-history.json")))
            .object()
            .value(QStringLiteral("versions"))
            .toArray();
    QCOMPARE(versions.size(), 3);
    QCOMPARE(versions.first().toObject().value(QStringLiteral("version")).toString(),
             QStringLiteral("P1.2 A3"));
}

void TestPublisher::badInputFails_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message");

    const QString small = m_root.filePath(QStringLiteral("small"));
    writeFile(small + QStringLiteral("/a.txt"), "a");
    const QString broken = m_root.filePath(QStringLiteral("broken"));
    QVERIFY(QDir().mkpath(broken));
    LINK_OR_SKIP(m_root.filePath(QStringLiteral("nowhere")), broken + QStringLiteral("/link"));
    const QString plainFile = m_root.filePath(QStringLiteral("plain"));
    writeFile(plainFile, "x");
    const QString out = m_root.filePath(QStringLiteral("badout"));
    const QStringList base = {QStringLiteral("package"), QStringLiteral("--out"), out,
                              QStringLiteral("--version"), QStringLiteral("1")};
    const QStringList fromSmall = base + QStringList{QStringLiteral("--source"), small};

    // Links leading out of the tree or round in a circle stop the run, naming the link.
    const QString leaving = m_root.filePath(QStringLiteral("leaving"));
    writeFile(leaving + QStringLiteral("/own.txt"), "o");
    LINK_OR_SKIP(small, leaving + QStringLiteral("/outside"));
    const QString circle = m_root.filePath(QStringLiteral("circle"));
    writeFile(circle + QStringLiteral("/deeper/own.txt"), "o");
    LINK_OR_SKIP(circle, circle + QStringLiteral("/deeper/again"));

    QTest::newRow("missing source directory")
        << base + QStringList{QStringLiteral("--source"), m_root.filePath(QStringLiteral("none"))}
        << 1 << QStringLiteral("does not exist");
    QTest::newRow("dangling link in the source")
        << base + QStringList{QStringLiteral("--source"), broken} << 1
        << QStringLiteral("broken/link' leads to");
    QTest::newRow("directory link leaving the source")
        << base + QStringList{QStringLiteral("--source"), leaving} << 1
        << QStringLiteral("leaving/outside' leads to");
    QTest::newRow("directory link to its own ancestor")
        << base + QStringList{QStringLiteral("--source"), circle} << 1
        << QStringLiteral("contains the link");
    QTest::newRow("output below a file")
        << QStringList{QStringLiteral("package"),
                       QStringLiteral("--source"),
                       small,
                       QStringLiteral("--version"),
                       QStringLiteral("1"),
                       QStringLiteral("--out"),
                       plainFile + QStringLiteral("/out")}
        << 1 << QStringLiteral("cannot be created: Not a directory");
    QTest::newRow("chunk store below a file")
        << fromSmall +
               QStringList{QStringLiteral("--chunk-store"), plainFile + QStringLiteral("/s")}
        << 1 << QStringLiteral("chunk store");
    QTest::newRow("output inside the source") << QStringList{QStringLiteral("package"),
                                                             QStringLiteral("--source"),
                                                             small,
                                                             QStringLiteral("--version"),
                                                             QStringLiteral("1"),
                                                             QStringLiteral("--out"),
                                                             small + QStringLiteral("/out")}
                                              << 1 << QStringLiteral("must not contain each other");
    QTest::newRow("executable not published")
        << fromSmall + QStringList{QStringLiteral("--executable"), QStringLiteral("game.exe")} << 1
        << QStringLiteral("is not a file of the source directory");
    QTest::newRow("executable names a directory")
        << base + QStringList{QStringLiteral("--source"), m_source, QStringLiteral("--executable"),
                              QStringLiteral("bin")}
        << 1 << QStringLiteral("is not a file of the source directory");
    QTest::newRow("empty executable")
        << fromSmall + QStringList{QStringLiteral("--executable="), QStringLiteral("--level=1")}
        << 2 << QStringLiteral("--executable needs the path of a file");
    QTest::newRow("launcher package in zstd")
        << fromSmall + QStringList{QStringLiteral("--launcher"), QStringLiteral("--codec=zstd")}
        << 1 << QStringLiteral("always compressed with LZMA");
    QTest::newRow("zstd level beyond 19")
        << fromSmall + QStringList{QStringLiteral("--level=20")} << 1
        << QStringLiteral("The zstd level must lie between 1 and 19");
    QTest::newRow("unknown variant")
        << fromSmall + QStringList{QStringLiteral("--variant"), QStringLiteral("nightly")} << 1
        << QStringLiteral("Unknown variant");
    QTest::newRow("asset version not a number")
        << fromSmall + QStringList{QStringLiteral("--assets"), small,
                                   QStringLiteral("--assets-version"), QStringLiteral("three")}
        << 1 << QStringLiteral("not a number");
    QTest::newRow("missing version")
        << QStringList{QStringLiteral("package"), QStringLiteral("--source"), small,
                       QStringLiteral("--out"), out}
        << 2 << QStringLiteral("Missing --version");
    const QString key = QStringLiteral(CORVANE_SOURCE_DIR "/tests/data/signing/key-a.pem");
    QTest::newRow("signing without a package name")
        << fromSmall + QStringList{QStringLiteral("--signing-key"), key} << 1
        << QStringLiteral("--package-name");
    QTest::newRow("signing key that is no key")
        << fromSmall + QStringList{QStringLiteral("--signing-key"), plainFile,
                                   QStringLiteral("--package-name"), QStringLiteral("x")}
        << 1 << QStringLiteral("is not an Ed25519 private key");
    QTest::newRow("unknown codec") << fromSmall + QStringList{QStringLiteral("--codec=brotli")} << 2
                                   << QStringLiteral("--codec is zstd or lzma");
    QTest::newRow("level that is no number")
        << fromSmall + QStringList{QStringLiteral("--level=high")} << 2
        << QStringLiteral("--level needs a number");
    QTest::newRow("delta versions that are no number")
        << fromSmall + QStringList{QStringLiteral("--delta-versions=all")} << 2
        << QStringLiteral("--delta-versions needs a number");
    QTest::newRow("missing option shows the command's usage")
        << QStringList{QStringLiteral("package"), QStringLiteral("--source"), small} << 2
        << QStringLiteral("Usage: corvane-publish package [options]");
    QTest::newRow("unknown command")
        << QStringList{QStringLiteral("publish")} << 2 << QStringLiteral("Unknown command");
    // Published, with a warning: such a package installs only where letter case counts.
    const QString cased = m_root.filePath(QStringLiteral("cased"));
    writeFile(cased + QStringLiteral("/xt_DSCP.ko"), "D");
    writeFile(cased + QStringLiteral("/xt_dscp.ko"), "d");
    QTest::newRow("names differing only in letter case warn")
        << QStringList{QStringLiteral("package"),
                       QStringLiteral("--source"),
                       cased,
                       QStringLiteral("--out"),
                       cased + QStringLiteral("out"),
                       QStringLiteral("--version"),
                       QStringLiteral("1")}
        << 0 << QStringLiteral("'xt_DSCP.ko' and 'xt_dscp.ko'");
}

void TestPublisher::badInputFails()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, message);

    QProcess process;
    process.start(QStringLiteral(CORVANE_BIN_DIR "/corvane-publish"), arguments);
    QVERIFY(process.waitForFinished(60000));
    const QString errorOutput = QString::fromLocal8Bit(process.readAllStandardError());
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), exitCode);
    QVERIFY2(errorOutput.contains(message), qPrintable(errorOutput));
    // A failed run leaves no document behind, and nothing in the source.
    QVERIFY(!QFileInfo::exists(m_root.filePath(QStringLiteral("badout/package.json"))));
    QCOMPARE(QDir(m_root.filePath(QStringLiteral("small")))
                 .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList{QStringLiteral("a.txt")});
}

void TestPublisher::smallRunReportsInFittingUnits()
{
    QTemporaryDir directory;
    writeFile(directory.filePath(QStringLiteral("source/a.txt")), "a");
    QProcess process;
    process.start(QStringLiteral(CORVANE_BIN_DIR "/corvane-publish"),
                  {QStringLiteral("package"), QStringLiteral("--source"),
                   directory.filePath(QStringLiteral("source")), QStringLiteral("--out"),
                   directory.filePath(QStringLiteral("out")), QStringLiteral("--version"),
                   QStringLiteral("1")});
    QVERIFY(process.waitForFinished(60000));
    QCOMPARE(process.exitCode(), 0);
    const QString output = QString::fromLocal8Bit(process.readAllStandardOutput());
    QVERIFY2(output.startsWith(QStringLiteral("Published 1 file, 1 byte, in ")),
             qPrintable(output));
    QVERIFY2(!output.contains(QStringLiteral("0.0 ")), qPrintable(output));
    // The delta pass's share of the time is part of the summary.
    QVERIFY2(output.contains(QStringLiteral("% of the run)")), qPrintable(output));
    QVERIFY(process.readAllStandardError().contains("names no executable"));
}

void TestPublisher::compressionReportsProgressWhileItRuns()
{
    const QByteArray content = textBytes(30000).repeated(6);
    QVERIFY(content.size() > 3 * 1024 * 1024);
    QList<qint64> reported;
    const QByteArray packed =
        TChunkStore::pack(content, {::shared::BlobCodecLzma, 1},
                          [&reported](qint64 Consumed) { reported.append(Consumed); });
    QVERIFY2(reported.size() >= 3, qPrintable(QString::number(reported.size())));
    QVERIFY(std::is_sorted(reported.begin(), reported.end()));
    QVERIFY(reported.last() <= content.size());
    QCOMPARE(::shared::decodeBlobContainerStrict(packed, content.size()), content);
}

namespace {

// A description with one client package for two platforms and the launcher's own package; Edit
// changes it before it is written.
QByteArray description(const std::function<void(QJsonObject &)> &Edit = {})
{
    QJsonObject document = QJsonDocument::fromJson(R"({
        "launcher": {"name": "Launcher", "directory": "launcher",
                     "builds": [{"os": "windows", "architecture": "x86_64",
                                 "package": "launcher/package.json"}]},
        "packages": [
            {"name": "Corvane Online", "directory": "corvane", "installAutomatically": true,
             "logoLink": "https://127.0.0.1/corvane",
             "builds": [{"os": "Windows", "architecture": "x86_64",
                         "package": "client/win64/package.json",
                         "assets": "client/win64/assets.json"},
                        {"os": "linux", "architecture": "x86_64",
                         "package": "http://127.0.0.1:8080/linux/package.json"}]},
            {"name": "Test Realm", "directory": "testrealm",
             "builds": [{"os": "windows", "architecture": "i386", "package": "test/package.json"}]}
        ],
        "hints": "http://127.0.0.1:8080/hints.json",
        "funnel": "http://127.0.0.1:8080/funnel",
        "hardwareSurvey": "http://127.0.0.1:8080/survey",
        "showPackageNames": true
    })")
                               .object();
    if (Edit)
        Edit(document);
    return QJsonDocument(document).toJson();
}

} // namespace

void TestPublisher::metadataIsReadByLauncher()
{
    using namespace vorna::launcher;
    const QByteArray metadata = TMetadataWriter::metadataFromDescription(description());
    const QUrl base(QStringLiteral("http://127.0.0.1:8080/launcher/"));
    const TLauncherConfigurationReader reader(metadata, base);

    QVERIFY(reader.launcherPackage());
    QCOMPARE(reader.launcherPackage()->directoryName(), QStringLiteral("launcher"));
    QCOMPARE(int(reader.packages().size()), 2);
    const TPackage &client = *reader.packages().at(0);
    QCOMPARE(client.name(), QStringLiteral("Corvane Online"));
    QCOMPARE(client.directoryName(), QStringLiteral("corvane"));
    QVERIFY(client.installAutomatically());
    QCOMPARE(client.logoLinkTarget(), QUrl(QStringLiteral("https://127.0.0.1/corvane")));
    QCOMPARE(int(client.builds().size()), 2);
    QCOMPARE(client.builds().at(0)->os, EOperatingSystem::Windows);
    QCOMPARE(client.builds().at(0)->architecture, EArchitecture::X86_64);
    QCOMPARE(client.builds().at(0)->url,
             QUrl(QStringLiteral("http://127.0.0.1:8080/launcher/client/win64/package.json")));
    QCOMPARE(client.builds().at(0)->assetsUrl,
             QUrl(QStringLiteral("http://127.0.0.1:8080/launcher/client/win64/assets.json")));
    QCOMPARE(client.builds().at(1)->os, EOperatingSystem::Linux);
    QVERIFY(client.builds().at(1)->assetsUrl.isEmpty());
    QVERIFY(!reader.packages().at(1)->installAutomatically());
    QCOMPARE(reader.packages().at(1)->builds().at(0)->architecture, EArchitecture::I386);
    QCOMPARE(reader.hintsUrl(), QUrl(QStringLiteral("http://127.0.0.1:8080/hints.json")));
    QCOMPARE(reader.funnelUrl(), QUrl(QStringLiteral("http://127.0.0.1:8080/funnel")));
    QCOMPARE(reader.hardwareSurveyUrl(), QUrl(QStringLiteral("http://127.0.0.1:8080/survey")));
    QVERIFY(reader.showPackageNames());
    QVERIFY(!reader.preventDefaultAutostart());
}

void TestPublisher::badDescriptionFails_data()
{
    QTest::addColumn<QByteArray>("document");
    QTest::addColumn<QString>("message");

    const auto firstPackage = [](const std::function<void(QJsonObject &)> &Edit) {
        return description([&Edit](QJsonObject &Document) {
            QJsonArray packages = Document.value(QStringLiteral("packages")).toArray();
            QJsonObject package = packages.at(0).toObject();
            Edit(package);
            packages.replace(0, package);
            Document.insert(QStringLiteral("packages"), packages);
        });
    };
    const auto firstBuild = [&firstPackage](const QString &Key, const QJsonValue &Value) {
        return firstPackage([&](QJsonObject &Package) {
            QJsonArray builds = Package.value(QStringLiteral("builds")).toArray();
            QJsonObject build = builds.at(0).toObject();
            build.insert(Key, Value);
            builds.replace(0, build);
            Package.insert(QStringLiteral("builds"), builds);
        });
    };

    QTest::newRow("not json") << QByteArray("{\"packages\": [") << QStringLiteral("not valid JSON");
    QTest::newRow("abbreviated os")
        << firstBuild(QStringLiteral("os"), QStringLiteral("win"))
        << QStringLiteral("packages[0].builds[0]: unknown operating system 'win'");
    QTest::newRow("unknown architecture")
        << firstBuild(QStringLiteral("architecture"), QStringLiteral("arm64"))
        << QStringLiteral("unknown architecture");
    QTest::newRow("misspelt key") << firstPackage([](QJsonObject &Package) {
        Package.insert(QStringLiteral("instalAutomatically"), true);
    }) << QStringLiteral("unknown key 'instalAutomatically'");
    QTest::newRow("flag given as text") << firstPackage([](QJsonObject &Package) {
        Package.insert(QStringLiteral("installAutomatically"), QStringLiteral("yes"));
    }) << QStringLiteral("must be true or false");
    QTest::newRow("directory leaving the packages directory")
        << firstPackage([](QJsonObject &Package) {
               Package.insert(QStringLiteral("directory"), QStringLiteral("../corvane"));
           })
        << QStringLiteral("plain directory name");
    QTest::newRow("two packages in one directory") << firstPackage([](QJsonObject &Package) {
        Package.insert(QStringLiteral("directory"), QStringLiteral("TestRealm"));
    }) << QStringLiteral("used twice");
    QTest::newRow("package without builds")
        << firstPackage([](QJsonObject &Package) { Package.remove(QStringLiteral("builds")); })
        << QStringLiteral("at least one build");
    QTest::newRow("relative hints address") << description([](QJsonObject &Document) {
        Document.insert(QStringLiteral("hints"), QStringLiteral("hints.json"));
    }) << QStringLiteral("not an absolute http or https address");
}

void TestPublisher::badDescriptionFails()
{
    QFETCH(QByteArray, document);
    QFETCH(QString, message);
    try {
        TMetadataWriter::metadataFromDescription(document);
        QFAIL("the description was accepted");
    } catch (const TPublishError &Error) {
        QCOMPARE(Error.code(), shared::EErrorCode::InvalidInput);
        const QString text = ::shared::errorText(Error);
        QVERIFY2(text.contains(message), qPrintable(text));
    }
}

namespace {

int runPublisher(const QStringList &Arguments, QByteArray *Output = nullptr)
{
    QProcess process;
    process.start(QStringLiteral(CORVANE_BIN_DIR "/corvane-publish"), Arguments);
    if (!process.waitForFinished(60000))
        return -1;
    if (Output)
        *Output = process.readAllStandardOutput();
    return process.exitCode();
}

} // namespace

// What the publisher signs, the launcher's own check accepts, at its place only.
void TestPublisher::signedDocumentsPassTheLaunchersCheck()
{
    using vorna::launcher::TDocumentVerifier;
    QStandardPaths::setTestModeEnabled(true);
    const QString keyA = m_root.filePath(QStringLiteral("keys/a.pem"));
    const QString keyB = QStringLiteral(CORVANE_SOURCE_DIR "/tests/data/signing/key-b.pem");
    QVERIFY(QDir().mkpath(m_root.filePath(QStringLiteral("keys"))));
    QByteArray printed;
    QCOMPARE(runPublisher({QStringLiteral("keygen"), QStringLiteral("--out"), keyA}, &printed), 0);
    // A key is never replaced, and it is readable by its owner only.
    QCOMPARE(runPublisher({QStringLiteral("keygen"), QStringLiteral("--out"), keyA}), 1);
#ifndef Q_OS_WIN
    // Windows has no group and other bits: there the key is as private as the profile's ACL.
    QCOMPARE(QFile::permissions(keyA) & (QFile::ReadGroup | QFile::ReadOther),
             QFile::Permissions());
#endif
    const QByteArray publicA = QByteArray::fromBase64(printed.trimmed());
    QCOMPARE(publicA, ::shared::TEd25519::publicKeyOf(readFile(keyA)));
    // A launcher that trusts only key B (the rotation's new key).
    TDocumentVerifier verifier({::shared::TEd25519::publicKeyOf(readFile(keyB))});

    const QString source = m_root.filePath(QStringLiteral("signedsource"));
    const QString out = m_root.filePath(QStringLiteral("signedout"));
    const QString assets = m_root.filePath(QStringLiteral("signedassets"));
    writeFile(source + QStringLiteral("/a.txt"), textBytes(100));
    writeFile(assets + QStringLiteral("/b.txt"), textBytes(50));
    const QStringList publish{QStringLiteral("package"),
                              QStringLiteral("--source"),
                              source,
                              QStringLiteral("--out"),
                              out,
                              QStringLiteral("--version"),
                              QStringLiteral("1"),
                              QStringLiteral("--assets"),
                              assets,
                              QStringLiteral("--assets-version"),
                              QStringLiteral("1"),
                              QStringLiteral("--package-name"),
                              QStringLiteral("Corvane Online"),
                              QStringLiteral("--signing-key"),
                              keyA,
                              QStringLiteral("--signing-key"),
                              keyB};
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const QString packagePath = out + QStringLiteral("/package.json");
    const auto check = [&](const QString &Path, TDocumentVerifier::EKind Kind,
                           const QString &Package, const QDateTime &Time) {
        return verifier.check(readFile(Path), readFile(Path + QStringLiteral(".sig")), Kind,
                              Package, Path, Time);
    };
    const auto serial = [](const QString &Path) {
        return QJsonDocument::fromJson(readFile(Path))
            .object()
            .value(QStringLiteral("release"))
            .toObject()
            .value(QStringLiteral("serial"))
            .toDouble();
    };
    QCOMPARE(runPublisher(publish), 0);
    const double firstSerial = serial(packagePath);
    QCOMPARE(runPublisher(publish), 0);
    QVERIFY(serial(packagePath) > firstSerial);
    // After the publication only the new bytes' signatures remain: one per key.
    QCOMPARE(QJsonDocument::fromJson(readFile(packagePath + QStringLiteral(".sig")))
                 .object()
                 .value(QStringLiteral("signatures"))
                 .toArray()
                 .size(),
             2);
    QCOMPARE(check(packagePath, TDocumentVerifier::EKind::Package, QStringLiteral("Corvane Online"),
                   now),
             QString());
    QCOMPARE(check(out + QStringLiteral("/assets.json"), TDocumentVerifier::EKind::Assets,
                   QStringLiteral("Corvane Online"), now),
             QString());
    QVERIFY(
        !check(packagePath, TDocumentVerifier::EKind::Package, QStringLiteral("Test Realm"), now)
             .isEmpty());
    QVERIFY(
        !check(packagePath, TDocumentVerifier::EKind::Assets, QStringLiteral("Corvane Online"), now)
             .isEmpty());

    const QString descriptionPath = m_root.filePath(QStringLiteral("signed-description.json"));
    writeFile(descriptionPath, description());
    const QString metadataPath = m_root.filePath(QStringLiteral("signed/launchermetadata.json"));
    QCOMPARE(
        runPublisher({QStringLiteral("metadata"), QStringLiteral("--description"), descriptionPath,
                      QStringLiteral("--out"), metadataPath, QStringLiteral("--signing-key"), keyB,
                      QStringLiteral("--valid-days"), QStringLiteral("2")}),
        0);
    QCOMPARE(check(metadataPath, TDocumentVerifier::EKind::LauncherMetadata, QString(), now),
             QString());
    // Past its expiry and the tolerance for the player's clock, the metadata is stale.
    QVERIFY(
        !check(metadataPath, TDocumentVerifier::EKind::LauncherMetadata, QString(), now.addDays(4))
             .isEmpty());
    QCOMPARE(
        runPublisher({QStringLiteral("metadata"), QStringLiteral("--description"), descriptionPath,
                      QStringLiteral("--out"), metadataPath, QStringLiteral("--signing-key"), keyB,
                      QStringLiteral("--valid-days"), QStringLiteral("3000000")}),
        2);

    // Signed metadata pins the documents published below it, and only those.
    const QString site = m_root.filePath(QStringLiteral("signed"));
    QStringList client = publish;
    client.replace(client.indexOf(out), site + QStringLiteral("/client/win64"));
    QCOMPARE(runPublisher(client), 0);
    const QStringList metadata{QStringLiteral("metadata"),
                               QStringLiteral("--description"),
                               descriptionPath,
                               QStringLiteral("--out"),
                               metadataPath,
                               QStringLiteral("--signing-key"),
                               keyB};
    QCOMPARE(runPublisher(metadata), 0);
    // Without --valid-days signed metadata expires after 30 days; with --site it passes only there.
    const auto metadataCheck = [&](const QUrl &Site, const QDateTime &Time) {
        TDocumentVerifier::TBinding binding;
        binding.site = Site;
        return verifier.check(readFile(metadataPath),
                              readFile(metadataPath + QStringLiteral(".sig")), binding,
                              metadataPath, Time);
    };
    QCOMPARE(metadataCheck(QUrl(), now.addDays(29)), QString());
    QVERIFY(metadataCheck(QUrl(), now.addDays(32)).contains(QStringLiteral("expired")));
    const QUrl production(QStringLiteral("https://launcher.corvane.example/launcher/meta.json"));
    QCOMPARE(
        runPublisher(QStringList(metadata) << QStringLiteral("--site") << production.toString()),
        0);
    QCOMPARE(metadataCheck(production, now), QString());
    QVERIFY(metadataCheck(
                QUrl(QStringLiteral("https://staging.corvane.example/launcher/meta.json")), now)
                .contains(QStringLiteral("site")));
    const QByteArray clientDocument = readFile(site + QStringLiteral("/client/win64/package.json"));
    const QJsonObject build = QJsonDocument::fromJson(readFile(metadataPath))
                                  .object()
                                  .value(QStringLiteral("packages"))
                                  .toArray()
                                  .at(0)[QStringLiteral("builds")]
                                  .toArray()
                                  .at(0)
                                  .toObject();
    QCOMPARE(build.value(QStringLiteral("packagesha256")).toString().toLatin1(),
             ::shared::sha256(clientDocument).toHex());
    QCOMPARE(build.value(QStringLiteral("packagesize")).toInt(), clientDocument.size());
    QVERIFY(build.contains(QStringLiteral("assetssha256")));
    // A document published under another package name than the description's stops the run.
    QStringList wrongName = client;
    wrongName.replace(wrongName.indexOf(site + QStringLiteral("/client/win64")),
                      site + QStringLiteral("/test"));
    QCOMPARE(runPublisher(wrongName), 0);
    QCOMPARE(runPublisher(metadata), 1);

    // The serial goes on from the document in the output only when our key signed it, and a
    // document whose serial cannot rise stops the run instead of being replaced by one that
    // every launcher refuses.
    const auto withSerial = [&](double Serial) {
        QJsonObject document = QJsonDocument::fromJson(readFile(packagePath)).object();
        QJsonObject release = document.value(QStringLiteral("release")).toObject();
        release.insert(QStringLiteral("serial"), Serial);
        document.insert(QStringLiteral("release"), release);
        return QJsonDocument(document).toJson();
    };
    writeFile(packagePath, withSerial(1e15));
    QCOMPARE(runPublisher(publish), 0);
    QVERIFY(serial(packagePath) < 1e12);
    const QByteArray largest = withSerial(double(TDocumentVerifier::MaxSerial));
    writeFile(packagePath, largest);
    writeFile(packagePath + QStringLiteral(".sig"),
              QJsonDocument(
                  QJsonObject{
                      {QStringLiteral("signatures"),
                       QJsonArray{QJsonObject{
                           {QStringLiteral("key"), QString::fromLatin1(publicA.toBase64())},
                           {QStringLiteral("signature"),
                            QString::fromLatin1(
                                ::shared::TEd25519::sign(readFile(keyA), largest).toBase64())}}}}})
                  .toJson());
    QCOMPARE(runPublisher(publish), 1);
    QCOMPARE(readFile(packagePath), largest);
}

QTEST_GUILESS_MAIN(TestPublisher)

#include "tst_publisher.moc"
