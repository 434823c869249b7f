#include "download/TCloudflareCdnTrace.h"
#include "shared/QNetworkAccessManagerWrapper.h"
#include "shared/TDownloadPool.h"
#include "support/TTestHttpServer.h"

#include <QNetworkAccessManager>
#include <QSignalSpy>
#include <QTest>

#include <memory>

using testsupport::TTestHttpServer;
using vorna::launcher::TCloudflareCdnTrace;

namespace {

const QByteArray SampleTrace = "fl=29f12\n"
                               "h=cdn.example\n"
                               "ip=203.0.113.7\n"
                               "ts=1700000000.123\n"
                               "visit_scheme=https\n"
                               "colo=FRA\n";

// The application's pool: 6 at a time, releasing on finish.
std::shared_ptr<shared::TDownloadPool> makePool()
{
    auto Access = std::make_shared<shared::QNetworkAccessManagerWrapper>(
        std::make_shared<QNetworkAccessManager>());
    return std::make_shared<shared::TDownloadPool>(6, Access, nullptr, true);
}

} // namespace

class TestCdnTrace final : public QObject
{
    Q_OBJECT

private slots:
    void parse_data();
    void parse();
    void displayStringKeepsItsOrder();
    void receivesOnceAndKeepsTheResult();
    void networkFailureKeepsOldValuesAndIsFinal();
    void unusableUrlFailsAtOnceWithoutTraffic_data();
    void unusableUrlFailsAtOnceWithoutTraffic();
    void outcomesOfOtherUrlsChangeNothing();
    void requestWhileUnderWayAsksOnce();
};

void TestCdnTrace::parse_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QStringList>("expected"); // fl, ts, colo, ip

    const auto Row = [](const char *Name, const QByteArray &Reply, const QStringList &Expected) {
        QTest::newRow(Name) << Reply << Expected;
    };
    Row("keys in any order, others ignored", SampleTrace,
        {QStringLiteral("29f12"), QStringLiteral("1700000000.123"), QStringLiteral("FRA"),
         QStringLiteral("203.0.113.7")});
    Row("upper-case keys", "FL=1\nTS=2\nCOLO=AMS\nIp=::1\n",
        {QStringLiteral("1"), QStringLiteral("2"), QStringLiteral("AMS"), QStringLiteral("::1")});
    Row("windows line ends", "fl=1\r\nts=2\r\ncolo=WAW\r\nip=10.0.0.1\r\n",
        {QStringLiteral("1"), QStringLiteral("2"), QStringLiteral("WAW"),
         QStringLiteral("10.0.0.1")});
    Row("line with two '=' is skipped", "fl=a=b\nts=5\n",
        {QString(), QStringLiteral("5"), QString(), QString()});
    Row("empty value is skipped", "colo=\nip=1.2.3.4\n",
        {QString(), QString(), QString(), QStringLiteral("1.2.3.4")});
    Row("later line wins", "colo=FRA\ncolo=LHR\n",
        {QString(), QString(), QStringLiteral("LHR"), QString()});
    Row("values are trimmed, keys are not", "colo=  FRA \t\n ip=1.1.1.1\n",
        {QString(), QString(), QStringLiteral("FRA"), QString()});
    Row("blank lines and no final line feed", "\n\nfl=x\n\n\nts=9",
        {QStringLiteral("x"), QStringLiteral("9"), QString(), QString()});
    Row("no expected keys", "h=example\nwarp=off\n", {QString(), QString(), QString(), QString()});
    Row("empty reply", QByteArray(), {QString(), QString(), QString(), QString()});
    Row("not a trace at all", "<html><body>oops</body></html>",
        {QString(), QString(), QString(), QString()});
    Row("utf-8 value", "colo=Z\xc3\xbcrich\n",
        {QString(), QString(), QString::fromUtf8("Z\xc3\xbcrich"), QString()});
    Row("markup and overlong values are dropped",
        "fl=<a href='file:///x'>x</a>\ncolo=" + QByteArray(65, 'A') + "\nip=1.2.3.4 <b>\nts=7\n",
        {QString(), QStringLiteral("7"), QString(), QString()});
}

void TestCdnTrace::parse()
{
    QFETCH(QByteArray, reply);
    QFETCH(QStringList, expected);

    const TCloudflareCdnTrace::TValues Values = TCloudflareCdnTrace::parse(reply);
    QCOMPARE(QStringList({Values.fl, Values.ts, Values.colo, Values.ip}), expected);
}

void TestCdnTrace::displayStringKeepsItsOrder()
{
    TTestHttpServer Server;
    Server.setFile(QStringLiteral("/cdn-cgi/trace"), SampleTrace);
    TCloudflareCdnTrace Trace(Server.url(QStringLiteral("/cdn-cgi/trace")), makePool());
    QCOMPARE(Trace.toDisplayString(), QStringLiteral("FL: , TS: , COLO: , IP: "));
    QSignalSpy Received(&Trace, &TCloudflareCdnTrace::diagnosticsTraceReceived);
    Trace.request();
    QVERIFY(Received.wait());
    QCOMPARE(Trace.toDisplayString(),
             QStringLiteral("FL: 29f12, TS: 1700000000.123, COLO: FRA, IP: 203.0.113.7"));
}

void TestCdnTrace::receivesOnceAndKeepsTheResult()
{
    TTestHttpServer Server;
    Server.setFile(QStringLiteral("/trace"), SampleTrace);
    const auto Pool = makePool();
    TCloudflareCdnTrace Trace(Server.url(QStringLiteral("/trace")), Pool);
    QSignalSpy Received(&Trace, &TCloudflareCdnTrace::diagnosticsTraceReceived);
    QVERIFY(Server.requests().isEmpty());

    Trace.request();
    QVERIFY(Trace.isRequested());
    QVERIFY(Received.wait());
    QCOMPARE(Received.size(), 1);
    QCOMPARE(Received.at(0).at(0).toBool(), false);
    QVERIFY(Trace.isReceived());
    QVERIFY(!Trace.isRequested());
    QVERIFY(!Trace.isFailed());

    // No retry and no refresh: the stored result stands.
    Server.setFile(QStringLiteral("/trace"), "colo=LHR\n");
    Trace.request();
    QCOMPARE(Pool->outstandingDownloads(), qint64(0));
    QCOMPARE(Received.size(), 1);
    QCOMPARE(Trace.values().colo, QStringLiteral("FRA"));
    QCOMPARE(Server.requestCount(QStringLiteral("/trace")), 1);
}

void TestCdnTrace::networkFailureKeepsOldValuesAndIsFinal()
{
    TTestHttpServer Server;
    Server.setFault(QStringLiteral("/trace"), TTestHttpServer::TFault::status(500));
    const auto Pool = makePool();
    TCloudflareCdnTrace Trace(Server.url(QStringLiteral("/trace")), Pool);
    QSignalSpy Received(&Trace, &TCloudflareCdnTrace::diagnosticsTraceReceived);

    Trace.request();
    QVERIFY(Received.wait());
    QCOMPARE(Received.size(), 1);
    QCOMPARE(Received.at(0).at(0).toBool(), true);
    QVERIFY(Trace.isFailed());
    QVERIFY(!Trace.isReceived());
    QVERIFY(!Trace.isRequested());
    QCOMPARE(Trace.toDisplayString(), QStringLiteral("FL: , TS: , COLO: , IP: "));

    Server.clearFaults();
    Server.setFile(QStringLiteral("/trace"), SampleTrace);
    Trace.request();
    QCOMPARE(Pool->outstandingDownloads(), qint64(0));
    QCOMPARE(Received.size(), 1);
    QCOMPARE(Server.requestCount(QStringLiteral("/trace")), 1);
}

void TestCdnTrace::unusableUrlFailsAtOnceWithoutTraffic_data()
{
    QTest::addColumn<QUrl>("url");
    QTest::newRow("empty (the default setting)") << QUrl();
    QTest::newRow("invalid") << QUrl(QStringLiteral("http://[::1/cdn-cgi/trace"));
    QTest::newRow("relative") << QUrl(QStringLiteral("cdn-cgi/trace"));
}

void TestCdnTrace::unusableUrlFailsAtOnceWithoutTraffic()
{
    QFETCH(QUrl, url);

    const auto Pool = makePool();
    TCloudflareCdnTrace Trace(url, Pool);
    QSignalSpy Received(&Trace, &TCloudflareCdnTrace::diagnosticsTraceReceived);
    QSignalSpy Failures(Pool.get(), &shared::TDownloadPool::failed);
    Trace.request();
    QCOMPARE(Received.size(), 1);
    QCOMPARE(Received.at(0).at(0).toBool(), true);
    QVERIFY(Trace.isFailed());
    QVERIFY(!Trace.isRequested());
    QCOMPARE(Pool->outstandingDownloads(), qint64(0));
    QVERIFY(Failures.size() <= 1);

    Trace.request();
    QCOMPARE(Received.size(), 1);
}

void TestCdnTrace::outcomesOfOtherUrlsChangeNothing()
{
    TTestHttpServer Server;
    Server.setFile(QStringLiteral("/trace"), SampleTrace);
    Server.setFile(QStringLiteral("/other"), "colo=XXX\nfl=bad\n");
    const auto Pool = makePool();
    QSignalSpy Successes(Pool.get(), &shared::TDownloadPool::success);
    QSignalSpy Failures(Pool.get(), &shared::TDownloadPool::failed);
    TCloudflareCdnTrace Trace(Server.url(QStringLiteral("/trace")), Pool);
    QSignalSpy Received(&Trace, &TCloudflareCdnTrace::diagnosticsTraceReceived);

    // Before the trace is asked for, and while it is under way.
    Pool->enqueue(Server.url(QStringLiteral("/other")));
    Pool->enqueue(Server.url(QStringLiteral("/missing")));
    QTRY_COMPARE(Successes.size() + Failures.size(), 2);
    QCOMPARE(Received.size(), 0);
    QVERIFY(!Trace.isReceived() && !Trace.isFailed() && !Trace.isRequested());
    QCOMPARE(Trace.values().colo, QString());

    Server.setFault(QStringLiteral("/trace"), TTestHttpServer::TFault::delay(100));
    Trace.request();
    Pool->enqueue(Server.url(QStringLiteral("/missing")));
    QTRY_COMPARE(Failures.size(), 2);
    QVERIFY(Trace.isRequested());
    QCOMPARE(Received.size(), 0);
    QVERIFY(Received.wait());
    QCOMPARE(Trace.values().colo, QStringLiteral("FRA"));
    QCOMPARE(Trace.values().fl, QStringLiteral("29f12"));
}

void TestCdnTrace::requestWhileUnderWayAsksOnce()
{
    TTestHttpServer Server;
    Server.setFile(QStringLiteral("/trace"), SampleTrace);
    Server.setFault(QStringLiteral("/trace"), TTestHttpServer::TFault::delay(50));
    const auto Pool = makePool();
    TCloudflareCdnTrace Trace(Server.url(QStringLiteral("/trace")), Pool);
    QSignalSpy Received(&Trace, &TCloudflareCdnTrace::diagnosticsTraceReceived);
    Trace.request();
    Trace.request();
    Trace.request();
    QCOMPARE(Pool->outstandingDownloads(), qint64(1));
    QVERIFY(Received.wait());
    QCOMPARE(Received.size(), 1);
    QCOMPARE(Server.requestCount(QStringLiteral("/trace")), 1);
}

QTEST_GUILESS_MAIN(TestCdnTrace)

#include "tst_cdntrace.moc"
