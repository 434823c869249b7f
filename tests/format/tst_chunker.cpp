#include "format/TContentDefinedChunker.h"
#include "format/TSha256.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <cstring>

using vorna::launcher::TContentDefinedChunker;

namespace {

constexpr qint64 MiB = qint64(1) << 20;

// splitmix64 written out as little-endian bytes: the same generator produced the expected cut
// points below with an independent implementation of the chunker.
QByteArray pseudoRandomBytes(qint64 Size, quint64 Seed)
{
    QByteArray data(int(Size), Qt::Uninitialized);
    quint64 state = Seed;
    for (qint64 offset = 0; offset < Size; offset += 8) {
        state += 0x9E3779B97F4A7C15ull;
        quint64 z = state;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        z ^= z >> 31;
        uchar word[8];
        for (int i = 0; i < 8; ++i)
            word[i] = uchar(z >> (8 * i));
        std::memcpy(data.data() + offset, word, size_t(std::min<qint64>(8, Size - offset)));
    }
    return data;
}

QByteArray bytes(std::initializer_list<int> Values)
{
    QByteArray result;
    for (const int value : Values)
        result.append(char(value));
    return result;
}

using TCut = QPair<qint64, qint64>;

QList<TCut> cutsOf(const std::vector<TContentDefinedChunker::TChunk> &Chunks)
{
    QList<TCut> cuts;
    for (const auto &chunk : Chunks)
        cuts.append({chunk.offset, chunk.length});
    return cuts;
}

std::vector<TContentDefinedChunker::TChunk> chunkFile(const QString &Path, bool &Succeeded)
{
    std::vector<TContentDefinedChunker::TChunk> chunks;
    Succeeded = TContentDefinedChunker().chunkFile(
        Path, true,
        [&chunks](const TContentDefinedChunker::TChunk &Chunk) { chunks.push_back(Chunk); });
    return chunks;
}

QString writeTemporaryFile(const QTemporaryDir &Directory, const QByteArray &Data)
{
    const QString path = Directory.filePath(QStringLiteral("data.bin"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(Data) != Data.size())
        return {};
    return path;
}

} // namespace

Q_DECLARE_METATYPE(QList<TCut>)

class TestChunker final : public QObject
{
    Q_OBJECT

private slots:
    void parameters_data();
    void parameters();
    void gearTableIsTheDefinedOne();
    void cutPoints_data();
    void cutPoints();
    void fixedCutPointsOfPseudoRandomData();
    void fileStreamedAcrossRefillsCutsLikeTheBuffer_data();
    void fileStreamedAcrossRefillsCutsLikeTheBuffer();
    void oneChunkerServesManyFiles();
    void insertedBytesDisturbOnlyTheirChunk();
    void missingFileFeedsNothing();
    void directoryFeedsNothing();
};

void TestChunker::parameters_data()
{
    QTest::addColumn<qint64>("average");
    QTest::addColumn<qint64>("minimum");
    QTest::addColumn<qint64>("maximum");
    QTest::addColumn<quint32>("mask");
    QTest::addColumn<QString>("error");

    QTest::newRow("default") << 8 * MiB << 4 * MiB << 16 * MiB << 0x3FFFFFu << QString();
    QTest::newRow("rounded to the nearest power of two")
        << 7 * MiB << 4 * MiB << 16 * MiB << 0x3FFFFFu << QString();
    QTest::newRow("smallest") << qint64(256) << qint64(128) << qint64(512) << 0x7Fu << QString();
    QTest::newRow("7 bits") << qint64(128) << qint64(0) << qint64(0) << 0u
                            << QStringLiteral("average must be at least 8 bits");
    QTest::newRow("zero") << qint64(0) << qint64(0) << qint64(0) << 0u
                          << QStringLiteral("average must be at least 8 bits");
    QTest::newRow("29 bits") << 512 * MiB << qint64(0) << qint64(0) << 0u
                             << QStringLiteral("average must be at most 28 bits");
}

void TestChunker::parameters()
{
    QFETCH(qint64, average);
    QFETCH(qint64, minimum);
    QFETCH(qint64, maximum);
    QFETCH(quint32, mask);
    QFETCH(QString, error);
    try {
        const TContentDefinedChunker chunker(average);
        QVERIFY(error.isEmpty());
        QCOMPARE(chunker.minimumLength(), minimum);
        QCOMPARE(chunker.maximumLength(), maximum);
        QCOMPARE(chunker.cutMask(), mask);
    } catch (const std::invalid_argument &exception) {
        QCOMPARE(QString::fromUtf8(exception.what()), error);
    }
}

void TestChunker::gearTableIsTheDefinedOne()
{
    const auto &table = TContentDefinedChunker::gearTable();
    QCOMPARE(table[0], 0x5C95C078u);
    QCOMPARE(table[255], 0x32E8EA7Eu);
    QByteArray littleEndian;
    for (const quint32 value : table) {
        QVERIFY(value < 0x80000000u);
        for (int i = 0; i < 4; ++i)
            littleEndian.append(char(value >> (8 * i)));
    }
    QCOMPARE(shared::sha256(littleEndian).toHex(),
             QByteArray("d499f6cdb238b999913ce6bc226452991b403b71cb0b144ca82ecf6e2ce2032a"));
}

void TestChunker::cutPoints_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QList<TCut>>("expected");

    const QByteArray random = pseudoRandomBytes(21 * MiB, 99);
    QTest::newRow("empty") << QByteArray() << QList<TCut>{};
    QTest::newRow("one byte") << random.left(1) << QList<TCut>{{0, 1}};
    QTest::newRow("just under 4 MiB") << random.left(4 * MiB - 1) << QList<TCut>{{0, 4 * MiB - 1}};
    QTest::newRow("exactly 4 MiB") << random.left(4 * MiB) << QList<TCut>{{0, 4 * MiB}};
    // Only the last byte is hashed: a cut there or none, either way one chunk.
    QTest::newRow("4 MiB and one byte")
        << random.left(4 * MiB + 1) << QList<TCut>{{0, 4 * MiB + 1}};
    // The gear hash of a run of zero bytes settles at 0xB92B80EF and never meets the mask.
    QTest::newRow("20 MiB of zeros")
        << QByteArray(int(20 * MiB), '\0') << QList<TCut>{{0, 16 * MiB}, {16 * MiB, 4 * MiB}};
    QByteArray zerosAfterMinimum = random.left(20 * MiB);
    zerosAfterMinimum.replace(int(4 * MiB), int(12 * MiB), QByteArray(int(12 * MiB), '\0'));
    QTest::newRow("no cut point in the first 16 MiB of 20 MiB")
        << zerosAfterMinimum << QList<TCut>{{0, 16 * MiB}, {16 * MiB, 4 * MiB}};
    // From a zero hash, the bytes 69 251 199 cut after the third one. Placed right after the
    // minimum length of two chunks in a row, they show that hashing starts exactly at the minimum
    // length, with the hash back at zero for every chunk.
    const QByteArray cutting = bytes({69, 251, 199});
    QTest::newRow("cut three bytes after the minimum length, twice")
        << random.left(4 * MiB) + cutting + random.mid(4 * MiB, 4 * MiB) + cutting +
               random.mid(8 * MiB, 3 * MiB)
        << QList<TCut>{{0, 4 * MiB + 3}, {4 * MiB + 3, 4 * MiB + 3}, {8 * MiB + 6, 3 * MiB}};
    // Random bytes before the minimum length are not hashed, so they cannot cut.
    QByteArray randomBeforeMinimum(int(17 * MiB), '\0');
    randomBeforeMinimum.replace(0, int(4 * MiB), random.left(4 * MiB));
    QTest::newRow("bytes before the minimum length never cut")
        << randomBeforeMinimum << QList<TCut>{{0, 16 * MiB}, {16 * MiB, MiB}};
}

void TestChunker::cutPoints()
{
    QFETCH(QByteArray, data);
    QFETCH(QList<TCut>, expected);
    const TContentDefinedChunker chunker;
    QCOMPARE(cutsOf(chunker.chunkBuffer(data, false)), expected);

    QTemporaryDir directory;
    const QString path = writeTemporaryFile(directory, data);
    QVERIFY(!path.isEmpty());
    bool succeeded = false;
    const auto fromFile = chunkFile(path, succeeded);
    QVERIFY(succeeded);
    QCOMPARE(cutsOf(fromFile), expected);
    for (const auto &chunk : fromFile)
        QCOMPARE(chunk.hash, shared::sha256(data.mid(int(chunk.offset), int(chunk.length))));
}

void TestChunker::fixedCutPointsOfPseudoRandomData()
{
    struct TExpected
    {
        qint64 offset;
        qint64 length;
        const char *hash;
    };
    // Computed once by a separate implementation of the chunker over the same data.
    const TExpected expected[] = {
        {0, 5700994, "d88450f7f4308ac2a2db3d523be1a65322403b043e6bf4659c9da35e32144550"},
        {5700994, 8746273, "53eececcbbda34980b8a604a49bdae7b18ebc6d4ffc8ae8ab043c407d0ac2843"},
        {14447267, 6341067, "874ed6e24ca86f69d10bd560970cbfa1880e1253c4a24c4db714ca28fafc43bc"},
        {20788334, 4457146, "415f86a1cc8a5c91a79a6a8c2bf9b6fe031af0a31f9c49edc77770ba78971a48"},
        {25245480, 5817730, "add362820fb98e878fe83e4ebab97bca4fa4ef29c148bfe33cb6391ea04783df"},
        {31063210, 16777216, "ba3166e8c41e27eaf800b827249bf55047a5fb1e432a6d876c7a3e5d605cf167"},
        {47840426, 11728064, "47e858454041e529a2840c74ae2e291bfde497ebc9a2dc3b719ca2f78af42cbc"},
        {59568490, 5892219, "0e9bf74398e00ed69e66454ca0cd526579b0bcda77024b43567f8f442c5178ef"},
        {65460709, 4741993, "e8d5c8883ad5a4a38c7f71c09dd7ef7f90037c1b981750f81b673dea2be33e4e"},
        {70202702, 5129374, "c7bc543e22471d827852eb84a02b7c5d9a8ef9b2e740415091b01834336a9bc6"},
        {75332076, 165396, "149e7fa70bf6ab4014a0db524a6f04f70363a26f88779488c67e0ad62d0489b6"},
    };
    const QByteArray data = pseudoRandomBytes(72 * MiB, 0x5EED);
    QCOMPARE(shared::sha256(data).toHex(),
             QByteArray("77b97b45de0f3246e558518c02491dfb301b7607c3ea2613590c627492ed179c"));

    const auto chunks = TContentDefinedChunker().chunkBuffer(data, true);
    QCOMPARE(chunks.size(), std::size(expected));
    for (std::size_t i = 0; i < chunks.size(); ++i) {
        QCOMPARE(chunks[i].offset, expected[i].offset);
        QCOMPARE(chunks[i].length, expected[i].length);
        QCOMPARE(chunks[i].hash.toHex(), QByteArray(expected[i].hash));
    }
}

void TestChunker::fileStreamedAcrossRefillsCutsLikeTheBuffer_data()
{
    QTest::addColumn<qint64>("size");
    QTest::addColumn<bool>("zeroRuns");
    // Many reads per chunk: the gear hash, the cut and the chunk's SHA-256 run on across reads.
    QTest::newRow("random, 200 MiB") << 200 * MiB + 12345 << false;
    // Runs of zero bytes give maximum-length chunks, which must end exactly at a refill.
    QTest::newRow("zero runs, 170 MiB") << 170 * MiB + 7 << true;
    QTest::newRow("144 MiB") << 144 * MiB << false;
    QTest::newRow("128 MiB and one byte") << 128 * MiB + 1 << true;
    // A last chunk shorter than the minimum that starts inside a read, and a last chunk of one
    // byte after a chunk of the maximum length.
    QTest::newRow("one read past a maximum chunk")
        << TContentDefinedChunker::ReadLength + 16 * MiB + 99 << false;
    QTest::newRow("maximum chunk and one byte") << 16 * MiB + 1 << true;
}

void TestChunker::fileStreamedAcrossRefillsCutsLikeTheBuffer()
{
    QFETCH(qint64, size);
    QFETCH(bool, zeroRuns);
    QByteArray data = pseudoRandomBytes(size, quint64(size));
    if (zeroRuns && size <= 40 * MiB)
        std::memset(data.data(), 0, size_t(size - 1));
    else if (zeroRuns)
        for (qint64 offset = 3 * MiB; offset + 40 * MiB < size; offset += 50 * MiB)
            std::memset(data.data() + offset, 0, size_t(40 * MiB));
    QTemporaryDir directory;
    const QString path = writeTemporaryFile(directory, data);
    QVERIFY(!path.isEmpty());

    const auto fromBuffer = TContentDefinedChunker().chunkBuffer(data, true);
    bool succeeded = false;
    const auto fromFile = chunkFile(path, succeeded);
    QVERIFY(succeeded);
    QCOMPARE(cutsOf(fromFile), cutsOf(fromBuffer));
    qint64 end = 0;
    for (std::size_t i = 0; i < fromFile.size(); ++i) {
        QCOMPARE(fromFile[i].offset, end);
        QCOMPARE(fromFile[i].hash, fromBuffer[i].hash);
        end += fromFile[i].length;
    }
    QCOMPARE(end, qint64(data.size()));
}

void TestChunker::oneChunkerServesManyFiles()
{
    // The buffer is kept between files; a large file followed by smaller ones must not leak
    // bytes of the earlier file into the later ones.
    QTemporaryDir directory;
    TContentDefinedChunker chunker;
    for (const qint64 size : {30 * MiB, 5 * MiB, qint64(100), 4 * MiB + 3, qint64(0)}) {
        const QByteArray data = pseudoRandomBytes(size, quint64(size) + 1);
        const QString path = writeTemporaryFile(directory, data);
        QVERIFY(!path.isEmpty());
        std::vector<TContentDefinedChunker::TChunk> chunks;
        QVERIFY(
            chunker.chunkFile(path, true, [&chunks](const TContentDefinedChunker::TChunk &Chunk) {
                chunks.push_back(Chunk);
            }));
        const auto expected = chunker.chunkBuffer(data, true);
        QCOMPARE(cutsOf(chunks), cutsOf(expected));
        for (std::size_t i = 0; i < chunks.size(); ++i)
            QCOMPARE(chunks[i].hash, expected[i].hash);
    }
}

void TestChunker::insertedBytesDisturbOnlyTheirChunk()
{
    const QByteArray original = pseudoRandomBytes(48 * MiB, 8);
    QByteArray changed = original;
    changed.insert(int(MiB), pseudoRandomBytes(1000, 9));

    const TContentDefinedChunker chunker;
    const auto before = chunker.chunkBuffer(original, true);
    const auto after = chunker.chunkBuffer(changed, true);
    QVERIFY(before.size() >= 4);
    QCOMPARE(after.size(), before.size());
    QCOMPARE(after[0].length, before[0].length + 1000);
    QVERIFY(after[0].hash != before[0].hash);
    for (std::size_t i = 1; i < before.size(); ++i) {
        QCOMPARE(after[i].offset, before[i].offset + 1000);
        QCOMPARE(after[i].hash, before[i].hash);
    }
}

void TestChunker::missingFileFeedsNothing()
{
    QTemporaryDir directory;
    int delivered = 0;
    QVERIFY(!TContentDefinedChunker().chunkFile(
        directory.filePath(QStringLiteral("missing.bin")), true,
        [&delivered](const TContentDefinedChunker::TChunk &) { ++delivered; }));
    QCOMPARE(delivered, 0);
}

void TestChunker::directoryFeedsNothing()
{
    QTemporaryDir directory;
    int delivered = 0;
    QVERIFY(!TContentDefinedChunker().chunkFile(
        directory.path(), true,
        [&delivered](const TContentDefinedChunker::TChunk &) { ++delivered; }));
    QCOMPARE(delivered, 0);
}

QTEST_GUILESS_MAIN(TestChunker)
#include "tst_chunker.moc"
