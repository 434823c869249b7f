#include "format/TSha256.h"

#include <QCryptographicHash>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QByteArray randomBytes(int Size, quint32 Seed)
{
    QRandomGenerator generator(Seed);
    QByteArray data(Size, Qt::Uninitialized);
    for (char &byte : data)
        byte = char(generator.generate() & 0xFF);
    return data;
}

QByteArray reference(const QByteArray &Data)
{
    return QCryptographicHash::hash(Data, QCryptographicHash::Sha256);
}

} // namespace

class TestSha256 final : public QObject
{
    Q_OBJECT

private slots:
    void knownDigests_data();
    void knownDigests();
    void incrementalEqualsOneShot();
    void hashFile_data();
    void hashFile();
    void unreadableFileHashesEmpty();
};

void TestSha256::knownDigests_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QByteArray>("hex");
    QTest::newRow("empty")
        << QByteArray()
        << QByteArray("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    QTest::newRow("abc") << QByteArray("abc")
                         << QByteArray(
                                "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

void TestSha256::knownDigests()
{
    QFETCH(QByteArray, data);
    QFETCH(QByteArray, hex);
    QCOMPARE(shared::sha256(data).toHex(), hex);
    shared::TSha256 hasher;
    hasher.addData(data);
    QCOMPARE(hasher.result().toHex(), hex);
}

void TestSha256::incrementalEqualsOneShot()
{
    const QByteArray data = randomBytes(3 * 1024 * 1024 + 17, 5);
    shared::TSha256 hasher;
    // Odd piece sizes cross the 64-byte block boundaries everywhere.
    for (int offset = 0, piece = 1; offset < data.size(); offset += piece, piece = piece * 3 + 1)
        hasher.addData(data.constData() + offset,
                       std::size_t(std::min(piece, data.size() - offset)));
    const QByteArray digest = hasher.result();
    QCOMPARE(digest.size(), shared::TSha256::DigestSize);
    QCOMPARE(digest, reference(data));
    QCOMPARE(shared::sha256(data.constData(), std::size_t(data.size())), reference(data));
    // result() starts over.
    hasher.addData(QByteArrayLiteral("abc"));
    QCOMPARE(hasher.result(), reference("abc"));
}

void TestSha256::hashFile_data()
{
    QTest::addColumn<int>("size");
    QTest::newRow("empty") << 0;
    QTest::newRow("small") << 1000;
    QTest::newRow("several read blocks") << 20 * 1024 * 1024 + 3;
}

void TestSha256::hashFile()
{
    QFETCH(int, size);
    QTemporaryDir directory;
    const QString path = directory.filePath(QStringLiteral("file.bin"));
    const QByteArray data = randomBytes(size, 6);
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(data), qint64(size));
    file.close();
    QCOMPARE(shared::TSha256::hashFile(path), reference(data));
}

void TestSha256::unreadableFileHashesEmpty()
{
    QTemporaryDir directory;
    QVERIFY(shared::TSha256::hashFile(directory.filePath(QStringLiteral("missing"))).isEmpty());
    QVERIFY(shared::TSha256::hashFile(directory.path()).isEmpty());
}

QTEST_GUILESS_MAIN(TestSha256)
#include "tst_sha256.moc"
