#include "format/BlobContainer.h"
#include "format/TError.h"
#include "shared/TFileSystemHelper.h"
#include "shared/TLZMACompressedReadOnlyMemoryBlob.h"

#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <limits>

using shared::decodeBlobContainerLenient;
using shared::decodeBlobContainerStrict;
using shared::encodeBlobContainer;
using shared::TDecompressionError;

namespace {

QByteArray bytes(std::initializer_list<int> Values)
{
    QByteArray result;
    for (const int value : Values)
        result.append(char(value));
    return result;
}

QByteArray varint(quint64 Value)
{
    return shared::encodeBlobVarint(Value);
}

QByteArray container(int Codec, quint64 UnpackedSize, const QByteArray &Payload)
{
    return bytes({0x70, Codec}) + varint(UnpackedSize) + varint(quint64(Payload.size())) + Payload;
}

QByteArray randomBytes(int Size, quint32 Seed)
{
    QRandomGenerator generator(Seed);
    QByteArray data(Size, Qt::Uninitialized);
    for (char &byte : data)
        byte = char(generator.generate() & 0xFF);
    return data;
}

QByteArray compressibleBytes(int Size)
{
    QByteArray data;
    data.reserve(Size);
    for (int line = 0; data.size() < Size; ++line)
        data += QByteArrayLiteral("line ") + QByteArray::number(line % 97) +
                QByteArrayLiteral(" of a repetitive text file\n");
    data.truncate(Size);
    return data;
}

// The payload behind the container header, for building variants of an encoded container.
QByteArray payloadOf(const QByteArray &Container)
{
    int position = 2;
    for (int varints = 0; varints < 2; ++position)
        if ((quint8(Container.at(position)) & 0x80) == 0)
            ++varints;
    return Container.mid(position);
}

// The zstd frame of 5000 bytes of text with its header rewritten: encoded with the content size
// in a single segment (descriptor 0x60, two size bytes), here with a window descriptor instead,
// and the content size kept or dropped.
QByteArray reheadedZstdFrame(quint8 WindowDescriptor, bool KeepContentSize)
{
    const QByteArray frame =
        payloadOf(encodeBlobContainer(compressibleBytes(5000), shared::BlobCodecZstd, 3));
    if (quint8(frame.at(4)) != 0x60)
        return {};
    return frame.left(4) + char(KeepContentSize ? 0x40 : 0x00) + char(WindowDescriptor) +
           frame.mid(KeepContentSize ? 5 : 7);
}

void writeFile(const QString &Path, const QByteArray &Data)
{
    QFile file(Path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(Data), qint64(Data.size()));
}

} // namespace

class TestBlobContainer final : public QObject
{
    Q_OBJECT

private slots:
    void decodes_data();
    void decodes();
    void rejects_data();
    void rejects();
    void lzmaRoundTrip_data();
    void lzmaRoundTrip();
    void decodesOutputOfTheXzTool_data();
    void decodesOutputOfTheXzTool();
    void endMarkerBeforeTheDeclaredSizeEndsTheOutput();
    void forgedDictionarySizeIsNotAllocated();
    void strictDecodeHonoursTheExpectedSize();
    void lenientDecodeIsBounded();
    void varintEncoding_data();
    void varintEncoding();
    void encoderRejectsUnknownCodecs();
    void memoryBlobReadsTheFileEachTime();
    void decodingBlobFallsBackToRawBytes_data();
    void decodingBlobFallsBackToRawBytes();
    void openReadOnlyBlob_data();
    void openReadOnlyBlob();
};

void TestBlobContainer::decodes_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("expected");

    const QByteArray lzma = encodeBlobContainer(compressibleBytes(5000), shared::BlobCodecLzma);
    QTest::newRow("lzma") << lzma << compressibleBytes(5000);
    QTest::newRow("lzma after leading zero bytes")
        << bytes({0, 0}) + lzma << compressibleBytes(5000);
    QTest::newRow("zstd") << encodeBlobContainer(compressibleBytes(5000), shared::BlobCodecZstd, 3)
                          << compressibleBytes(5000);
    // 2^13 bytes, the smallest window that holds the chunk.
    QTest::newRow("zstd with a window that fits the chunk")
        << container(16, 5000, reheadedZstdFrame(3 << 3, true)) << compressibleBytes(5000);
    QTest::newRow("stored") << container(0, 3, "abc") << QByteArray("abc");
    QTest::newRow("stored after many zero bytes")
        << QByteArray(1000, '\0') + container(0, 3, "abc") << QByteArray("abc");
    QTest::newRow("stored shorter than declared") << container(0, 10, "abc") << QByteArray("abc");
    QTest::newRow("bytes after the payload are ignored")
        << container(0, 3, "abc") + "trailing" << QByteArray("abc");
    QTest::newRow("two-byte varint 0x80 0x01 is 128")
        << bytes({0x70, 0, 0x80, 0x01, 0x80, 0x01}) + QByteArray(128, 'x') << QByteArray(128, 'x');
    QTest::newRow("plain text passes unchanged")
        << QByteArray("plain text") << QByteArray("plain text");
    QTest::newRow("codec 24 is not a container")
        << bytes({0x70, 24, 3, 3}) + "abc" << bytes({0x70, 24, 3, 3}) + "abc";
    QTest::newRow("magic alone is not a container") << bytes({0, 0x70}) << bytes({0, 0x70});
    QTest::newRow("zero bytes only") << QByteArray(5, '\0') << QByteArray(5, '\0');
    QTest::newRow("empty") << QByteArray() << QByteArray();
}

void TestBlobContainer::decodes()
{
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, expected);
    QCOMPARE(decodeBlobContainerStrict(input, 1 << 20), expected);
    QCOMPARE(decodeBlobContainerLenient(input), expected);
}

void TestBlobContainer::rejects_data()
{
    QTest::addColumn<QByteArray>("input");

    const QByteArray data = randomBytes(64 * 1024, 7);
    const QByteArray lzma = encodeBlobContainer(data, shared::BlobCodecLzma, 1);
    const QByteArray payload = payloadOf(lzma);
    QTest::newRow("lzma stream cut short")
        << container(5, quint64(data.size()), payload.left(payload.size() / 2));
    QTest::newRow("lzma stream cut after its header")
        << container(5, quint64(data.size()), payload.left(18));
    QTest::newRow("input ends inside the payload") << lzma.left(lzma.size() - 100);
    QTest::newRow("lzma payload shorter than 18 bytes")
        << container(5, quint64(data.size()), payload.left(17));
    QTest::newRow("lzma properties byte 225")
        << container(5, quint64(data.size()), char(225) + payload.mid(1));
    QTest::newRow("lzma stream of garbage")
        << container(5, quint64(data.size()), payload.left(13) + QByteArray(100, char(0xA5)));
    QTest::newRow("zero unpacked size") << container(0, 0, "abc");
    QTest::newRow("zero packed size") << container(0, 3, QByteArray());
    QTest::newRow("stored packed larger than unpacked") << container(0, 2, "abc");
    QTest::newRow("unsupported codec 1") << container(1, 3, "abc");
    QTest::newRow("unsupported codec 23") << container(23, 3, "abc");
    QTest::newRow("header ends inside a varint") << bytes({0x70, 0, 0x83});
    QTest::newRow("header ends before the packed size") << bytes({0x70, 0, 3});
    QTest::newRow("varint longer than 10 bytes")
        << bytes({0x70, 0, 0x83, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x00, 3}) +
               "abc";
    QTest::newRow("varint overflowing 64 bits")
        << bytes({0x70, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02, 3}) + "abc";
    QTest::newRow("packed size beyond the input") << container(0, 3, "abc").left(6);

    const QByteArray zstd =
        payloadOf(encodeBlobContainer(compressibleBytes(5000), shared::BlobCodecZstd, 3));
    QTest::newRow("zstd cut short") << container(16, 5000, zstd.left(zstd.size() - 3));
    QTest::newRow("zstd with trailing data") << container(16, 5000, zstd + "x");
    QTest::newRow("zstd followed by a second frame") << container(16, 5000, zstd + zstd);
    QTest::newRow("zstd frame larger than declared") << container(16, 4999, zstd);
    QTest::newRow("zstd frame smaller than declared") << container(16, 5001, zstd);
    QTest::newRow("zstd window larger than the chunk")
        << container(16, 5000, reheadedZstdFrame(4 << 3, true));
    QTest::newRow("zstd frame without content size")
        << container(16, 5000, reheadedZstdFrame(3 << 3, false));
    QByteArray reservedBlock = zstd;
    reservedBlock[7] = char(reservedBlock.at(7) | 0x06); // the first block's type: reserved
    QTest::newRow("zstd block of a reserved type") << container(16, 5000, reservedBlock);
}

void TestBlobContainer::rejects()
{
    QFETCH(QByteArray, input);
    QVERIFY(shared::isBlobContainer(input));
    QVERIFY_EXCEPTION_THROWN(decodeBlobContainerStrict(input, 1 << 20), TDecompressionError);
    QCOMPARE(decodeBlobContainerLenient(input), input);
    try {
        decodeBlobContainerStrict(input, 1 << 20);
    } catch (const TDecompressionError &error) {
        QCOMPARE(error.what(), "Invalid input data could not be decompressed");
        QCOMPARE(shared::errorOf(error).code, shared::EErrorCode::DecompressionFailed);
    }
}

void TestBlobContainer::lzmaRoundTrip_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<int>("codec");
    QTest::addColumn<bool>("endMarker");

    const QList<QPair<const char *, QByteArray>> inputs = {
        {"one byte", QByteArray("x")},
        {"text", compressibleBytes(300 * 1024)},
        {"random", randomBytes(200 * 1024, 11)},
        {"zeros", QByteArray(1 << 20, '\0')},
    };
    for (const auto &input : inputs)
        for (const int codec : {5, 10})
            for (const bool endMarker : {true, false})
                QTest::addRow("%s codec %d %s", input.first, codec,
                              endMarker ? "with end marker" : "without end marker")
                    << input.second << codec << endMarker;
}

void TestBlobContainer::lzmaRoundTrip()
{
    QFETCH(QByteArray, data);
    QFETCH(int, codec);
    QFETCH(bool, endMarker);
    const QByteArray encoded = encodeBlobContainer(data, codec, 1, endMarker);
    QCOMPARE(::shared::blobContainerCodec(encoded).value_or(-1), codec);
    QCOMPARE(decodeBlobContainerStrict(encoded, data.size()), data);
    QCOMPARE(decodeBlobContainerLenient(encoded), data);
    QCOMPARE(decodeBlobContainerStrict(QByteArray(3, '\0') + encoded, data.size()), data);
    // The 8 bytes after the dictionary size carry the unpacked size, as in the classic header.
    const QByteArray header = payloadOf(encoded).left(13);
    quint64 declared = 0;
    for (int i = 0; i < 8; ++i)
        declared |= quint64(quint8(header.at(5 + i))) << (8 * i);
    QCOMPARE(declared, quint64(data.size()));
}

void TestBlobContainer::decodesOutputOfTheXzTool_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("text") << compressibleBytes(500 * 1024) << QStringList{QStringLiteral("-6")};
    QTest::newRow("random, small dictionary")
        << randomBytes(300 * 1024, 3)
        << QStringList{QStringLiteral("--lzma1=preset=1,dict=64KiB,lc=0,lp=2,pb=2")};
    QTest::newRow("one byte") << QByteArray("q") << QStringList{QStringLiteral("-0")};
}

void TestBlobContainer::decodesOutputOfTheXzTool()
{
    QFETCH(QByteArray, data);
    QFETCH(QStringList, arguments);
    const QString xz = QStandardPaths::findExecutable(QStringLiteral("xz"));
    if (xz.isEmpty())
        QSKIP("xz is not installed");
    QProcess process;
    process.start(xz,
                  QStringList{QStringLiteral("--format=lzma"), QStringLiteral("-c")} + arguments);
    QVERIFY(process.waitForStarted());
    process.write(data);
    process.closeWriteChannel();
    QVERIFY(process.waitForFinished());
    QCOMPARE(process.exitCode(), 0);
    // The tool writes an unknown size (all ones) into the header and ends with an end marker.
    const QByteArray payload = process.readAllStandardOutput();
    QCOMPARE(payload.mid(5, 8), QByteArray(8, char(0xFF)));
    const QByteArray wrapped = container(5, quint64(data.size()), payload);
    QCOMPARE(decodeBlobContainerStrict(wrapped, data.size()), data);
    QCOMPARE(decodeBlobContainerLenient(bytes({0}) + wrapped), data);
}

void TestBlobContainer::endMarkerBeforeTheDeclaredSizeEndsTheOutput()
{
    const QByteArray data = compressibleBytes(10000);
    const QByteArray payload = payloadOf(encodeBlobContainer(data, shared::BlobCodecLzma, 1, true));
    const QByteArray declaringMore = container(5, quint64(data.size()) + 5000, payload);
    QCOMPARE(decodeBlobContainerStrict(declaringMore, data.size() + 5000), data);
    // Without the marker the stream simply runs out of input: that is a cut-short stream.
    const QByteArray unmarked =
        payloadOf(encodeBlobContainer(data, shared::BlobCodecLzma, 1, false));
    QVERIFY_EXCEPTION_THROWN(
        decodeBlobContainerStrict(container(5, quint64(data.size()) + 5000, unmarked), 1 << 20),
        TDecompressionError);
}

void TestBlobContainer::forgedDictionarySizeIsNotAllocated()
{
    const QByteArray data = compressibleBytes(20000);
    QByteArray payload = payloadOf(encodeBlobContainer(data, shared::BlobCodecLzma, 1));
    payload.replace(1, 4, QByteArray(4, char(0xFF)));
    QCOMPARE(decodeBlobContainerStrict(container(5, quint64(data.size()), payload), data.size()),
             data);
    payload.replace(1, 4, QByteArray(4, '\0'));
    QCOMPARE(decodeBlobContainerLenient(container(10, quint64(data.size()), payload)), data);
}

void TestBlobContainer::strictDecodeHonoursTheExpectedSize()
{
    const QByteArray data = compressibleBytes(4096);
    const QByteArray encoded = encodeBlobContainer(data, shared::BlobCodecLzma);
    QCOMPARE(decodeBlobContainerStrict(encoded, 4096), data);
    QVERIFY_EXCEPTION_THROWN(decodeBlobContainerStrict(encoded, 4095), TDecompressionError);
    QVERIFY_EXCEPTION_THROWN(decodeBlobContainerStrict(encoded, -1), TDecompressionError);
    // A forged header claiming an exabyte must fail before any allocation is attempted.
    const QByteArray forged = container(0, quint64(1) << 60, "abc");
    QVERIFY_EXCEPTION_THROWN(decodeBlobContainerStrict(forged, std::numeric_limits<qint64>::max()),
                             TDecompressionError);
    QCOMPARE(decodeBlobContainerLenient(forged), forged);
    const QByteArray largest = container(0, std::numeric_limits<quint64>::max(), "abc");
    QVERIFY(largest.size() == 2 + 10 + 1 + 3);
    QVERIFY_EXCEPTION_THROWN(decodeBlobContainerStrict(largest, 1 << 20), TDecompressionError);
}

void TestBlobContainer::lenientDecodeIsBounded()
{
    const QByteArray atLimit = container(0, quint64(shared::LenientDecodeLimit), "abc");
    QCOMPARE(decodeBlobContainerLenient(atLimit), QByteArray("abc"));
    const QByteArray beyond = container(0, quint64(shared::LenientDecodeLimit) + 1, "abc");
    QCOMPARE(decodeBlobContainerLenient(beyond), beyond);
}

void TestBlobContainer::varintEncoding_data()
{
    QTest::addColumn<quint64>("value");
    QTest::addColumn<QByteArray>("encoded");
    QTest::newRow("0") << quint64(0) << bytes({0});
    QTest::newRow("127") << quint64(127) << bytes({0x7F});
    QTest::newRow("128") << quint64(128) << bytes({0x80, 0x01});
    QTest::newRow("16 MiB") << (quint64(1) << 24) << bytes({0x80, 0x80, 0x80, 0x08});
    QTest::newRow("largest 64-bit value")
        << std::numeric_limits<quint64>::max()
        << bytes({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01});
}

void TestBlobContainer::varintEncoding()
{
    QFETCH(quint64, value);
    QFETCH(QByteArray, encoded);
    QCOMPARE(shared::encodeBlobVarint(value), encoded);
}

void TestBlobContainer::encoderRejectsUnknownCodecs()
{
    QVERIFY_EXCEPTION_THROWN(encodeBlobContainer("abc", 3), std::invalid_argument);
    QVERIFY_EXCEPTION_THROWN(encodeBlobContainer("abc", 5, 10), std::invalid_argument);
    QCOMPARE(encodeBlobContainer(QByteArray(), 5), QByteArray());
    QCOMPARE(encodeBlobContainer("abc", 0), container(0, 3, "abc"));
}

void TestBlobContainer::memoryBlobReadsTheFileEachTime()
{
    QTemporaryDir directory;
    QVERIFY(directory.isValid());
    const QString path = directory.filePath(QStringLiteral("file.bin"));
    writeFile(path, "first");
    shared::TReadOnlyMemoryBlob blob(path);
    QCOMPARE(blob.data(), QByteArray("first"));
    writeFile(path, "second");
    QCOMPARE(blob.data(), QByteArray("second"));
    QCOMPARE(shared::TReadOnlyMemoryBlob(path, "preset").data(), QByteArray("preset"));

    QFile::remove(path);
    try {
        blob.data();
        QFAIL("reading a vanished file must throw");
    } catch (const std::runtime_error &error) {
        QCOMPARE(QString::fromUtf8(error.what()),
                 QStringLiteral("I/O error on file '%1': Could not open file.").arg(path));
    }
}

void TestBlobContainer::decodingBlobFallsBackToRawBytes_data()
{
    QTest::addColumn<QByteArray>("content");
    const QByteArray encoded = encodeBlobContainer(compressibleBytes(8000), shared::BlobCodecLzma);
    QTest::newRow("plain json") << QByteArray("{\"files\": []}");
    QTest::newRow("truncated container") << encoded.left(encoded.size() / 2);
    QTest::newRow("container with a damaged stream")
        << encoded.left(40) + QByteArray(encoded.size() - 40, char(0x5A));
}

void TestBlobContainer::decodingBlobFallsBackToRawBytes()
{
    QFETCH(QByteArray, content);
    QTemporaryDir directory;
    QVERIFY(directory.isValid());
    const QString path = directory.filePath(QStringLiteral("config.json.lzma"));
    writeFile(path, content);
    QCOMPARE(shared::TLZMACompressedReadOnlyMemoryBlob(path).data(), content);
}

void TestBlobContainer::openReadOnlyBlob_data()
{
    QTest::addColumn<QStringList>("existing");
    QTest::addColumn<QString>("requested");
    QTest::addColumn<QString>("expectedPath"); // empty: the open throws
    QTest::addColumn<bool>("decoding");

    const QString p = QStringLiteral("data.json");
    const QString lzma = QStringLiteral("data.json.lzma");
    QTest::newRow("plain file") << QStringList{p} << p << p << false;
    QTest::newRow("lzma file named directly") << QStringList{lzma} << lzma << lzma << true;
    QTest::newRow("only the lzma file exists") << QStringList{lzma} << p << lzma << true;
    QTest::newRow("plain file wins over lzma file") << QStringList{p, lzma} << p << p << false;
    QTest::newRow("suffix is case-sensitive")
        << QStringList{QStringLiteral("data.LZMA")} << QStringLiteral("data.LZMA")
        << QStringLiteral("data.LZMA") << false;
    QTest::newRow("neither exists") << QStringList{} << p << QString() << false;
}

void TestBlobContainer::openReadOnlyBlob()
{
    QFETCH(QStringList, existing);
    QFETCH(QString, requested);
    QFETCH(QString, expectedPath);
    QFETCH(bool, decoding);

    QTemporaryDir directory;
    QVERIFY(directory.isValid());
    const QByteArray content = compressibleBytes(3000);
    const QByteArray encoded = encodeBlobContainer(content, shared::BlobCodecLzma);
    for (const QString &name : existing)
        writeFile(directory.filePath(name), encoded);

    const shared::TFileSystemHelper helper;
    const QString path = directory.filePath(requested);
    if (expectedPath.isEmpty()) {
        try {
            helper.openReadOnlyBlob(path);
            QFAIL("opening a missing blob must throw");
        } catch (const std::runtime_error &error) {
            QCOMPARE(QString::fromUtf8(error.what()),
                     QStringLiteral("I/O error on file '%1': File does not exist").arg(path));
            QCOMPARE(shared::errorOf(error).code, shared::EErrorCode::OpenFailed);
        }
        return;
    }
    const std::shared_ptr<shared::TReadOnlyMemoryBlob> blob = helper.openReadOnlyBlob(path);
    QVERIFY(blob);
    QCOMPARE(blob->path(), directory.filePath(expectedPath));
    QCOMPARE(dynamic_cast<shared::TLZMACompressedReadOnlyMemoryBlob *>(blob.get()) != nullptr,
             decoding);
    QCOMPARE(blob->data(), decoding ? content : encoded);
}

QTEST_GUILESS_MAIN(TestBlobContainer)
#include "tst_blobcontainer.moc"
