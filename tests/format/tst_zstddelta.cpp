#include "format/TError.h"
#include "format/TZstdDelta.h"

#include <QRandomGenerator>
#include <QTest>

using shared::TDeltaError;
using shared::TZstdDelta;

namespace {

QByteArray randomBytes(int Size, quint32 Seed)
{
    QByteArray Bytes(Size, Qt::Uninitialized);
    QRandomGenerator Generator(Seed);
    Generator.fillRange(reinterpret_cast<quint32 *>(Bytes.data()), Size / 4);
    return Bytes;
}

// A zstd frame header whose content size says 2^40 bytes, followed by one raw block of 8 bytes.
QByteArray forgedHugeFrame()
{
    QByteArray Frame("\x28\xb5\x2f\xfd", 4);
    Frame += char(0xe0); // 8-byte content size, single segment
    const quint64 Claimed = quint64(1) << 40;
    for (int Byte = 0; Byte < 8; ++Byte)
        Frame += char((Claimed >> (8 * Byte)) & 0xff);
    Frame += QByteArray("\x41\x00\x00", 3); // last block, raw, 8 bytes
    Frame += QByteArray(8, 'x');
    return Frame;
}

} // namespace

class TZstdDeltaTest final : public QObject
{
    Q_OBJECT

private slots:
    void applyRebuildsTarget();
    void brokenDeltasFail_data();
    void brokenDeltasFail();
};

void TZstdDeltaTest::applyRebuildsTarget()
{
    // Random content changed at both ends: the delta carries little more than the changes.
    const QByteArray Base = randomBytes(1 << 20, 1);
    QByteArray Target = Base;
    Target.replace(100, 64, randomBytes(64, 2));
    Target.append(randomBytes(256, 3));
    const QByteArray Delta = TZstdDelta::create(Base, Target, 9);
    QVERIFY2(Delta.size() < 2000, qPrintable(QString::number(Delta.size())));
    QCOMPARE(TZstdDelta::apply(Base, Delta, Target.size()), Target);
}

void TZstdDeltaTest::brokenDeltasFail_data()
{
    const QByteArray Base = randomBytes(1 << 16, 4);
    QByteArray Target = Base;
    Target[7] = char(Target.at(7) ^ 1);
    const QByteArray Delta = TZstdDelta::create(Base, Target, 3);
    QByteArray Flipped = Delta;
    Flipped[Flipped.size() / 2] = char(Flipped.at(Flipped.size() / 2) ^ 0x40);

    QTest::addColumn<QByteArray>("base");
    QTest::addColumn<QByteArray>("delta");
    QTest::addColumn<qint64>("expectedSize");
    QTest::newRow("other base") << randomBytes(1 << 16, 5) << Delta << qint64(Target.size());
    QTest::newRow("no base") << QByteArray() << Delta << qint64(Target.size());
    QTest::newRow("flipped byte") << Base << Flipped << qint64(Target.size());
    QTest::newRow("cut short") << Base << Delta.left(Delta.size() - 5) << qint64(Target.size());
    QTest::newRow("trailing bytes") << Base << Delta + "xx" << qint64(Target.size());
    QTest::newRow("result larger than expected") << Base << Delta << qint64(Target.size() - 1);
    QTest::newRow("result smaller than expected") << Base << Delta << qint64(Target.size() + 1);
    QTest::newRow("not zstd") << Base << QByteArray("plain text, no frame") << qint64(20);
    QTest::newRow("empty") << Base << QByteArray() << qint64(20);
    QTest::newRow("forged header claiming 1 TiB") << Base << forgedHugeFrame() << qint64(8 << 10);
    // A well-formed frame of one raw block of 8 bytes, asking for a window of 2^30 bytes.
    const QByteArray WindowLog30("\x28\xb5\x2f\xfd\x00\xa0\x41\x00\x00xxxxxxxx", 17);
    QTest::newRow("window beyond 2^27") << Base << WindowLog30 << qint64(8);
}

void TZstdDeltaTest::brokenDeltasFail()
{
    QFETCH(QByteArray, base);
    QFETCH(QByteArray, delta);
    QFETCH(qint64, expectedSize);
    QVERIFY_EXCEPTION_THROWN(TZstdDelta::apply(base, delta, expectedSize), TDeltaError);
    try {
        TZstdDelta::apply(base, delta, expectedSize);
    } catch (const TDeltaError &Error) {
        QCOMPARE(shared::errorOf(Error).code, shared::EErrorCode::DeltaFailed);
    }
}

QTEST_GUILESS_MAIN(TZstdDeltaTest)
#include "tst_zstddelta.moc"
