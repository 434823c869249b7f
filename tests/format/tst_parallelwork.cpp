#include "format/ParallelWork.h"

#include <QtTest>

#include <atomic>
#include <stdexcept>
#include <vector>

class TestParallelWork final : public QObject
{
    Q_OBJECT

private slots:
    void runsItems_data();
    void runsItems();
};

void TestParallelWork::runsItems_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("failAt");
    QTest::addColumn<bool>("throws");
    QTest::addColumn<bool>("ticks");
    QTest::newRow("no items") << 0 << -1 << false << false;
    QTest::newRow("one item") << 1 << -1 << false << false;
    QTest::newRow("many items") << 5000 << -1 << false << false;
    QTest::newRow("many items with ticks") << 5000 << -1 << false << true;
    QTest::newRow("a worker says stop") << 5000 << 10 << false << false;
    QTest::newRow("a worker throws") << 5000 << 10 << true << false;
    QTest::newRow("a worker throws with ticks") << 5000 << 10 << true << true;
}

// Every item runs exactly once, each worker index stays on one thread at a time, and a stop or an
// exception ends the run with the failure reported on the calling thread.
void TestParallelWork::runsItems()
{
    QFETCH(int, count);
    QFETCH(int, failAt);
    QFETCH(bool, throws);
    QFETCH(bool, ticks);
    std::vector<std::atomic<int>> runs(size_t(count) + 1);
    std::vector<std::atomic<int>> busy(size_t(shared::parallelWorkerCount(size_t(count))));
    std::atomic<bool> overlapped{false};
    const auto work = [&](std::size_t Item, int Worker) {
        if (busy[size_t(Worker)].fetch_add(1) != 0)
            overlapped = true;
        ++runs[Item];
        busy[size_t(Worker)].fetch_sub(1);
        if (int(Item) == failAt && throws)
            throw std::runtime_error("disk on fire");
        return int(Item) != failAt;
    };
    bool result = false;
    QString error;
    try {
        result = shared::forEachInParallel(size_t(count), work,
                                           ticks ? [] {} : std::function<void()>(), 1);
    } catch (const std::runtime_error &thrown) {
        error = QString::fromUtf8(thrown.what());
    }
    QVERIFY(!overlapped);
    QCOMPARE(error, throws ? QStringLiteral("disk on fire") : QString());
    QCOMPARE(result, failAt < 0);
    int ran = 0;
    for (const std::atomic<int> &item : runs) {
        QVERIFY(item.load() <= 1);
        ran += item.load();
    }
    if (failAt < 0)
        QCOMPARE(ran, count);
    else
        QVERIFY(ran > failAt && runs[size_t(failAt)].load() == 1);
}

QTEST_GUILESS_MAIN(TestParallelWork)
#include "tst_parallelwork.moc"
