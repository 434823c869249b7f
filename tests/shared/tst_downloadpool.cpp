#include "shared/NocacheUrl.h"
#include "shared/QNetworkAccessManagerWrapper.h"
#include "shared/TBandwidthLimiter.h"
#include "shared/TDownloadPool.h"
#include "shared/TRandomNumberGenerator.h"
#include "support/TTestHttpServer.h"
#include "support/TTestPackageBuilder.h"

#include <QNetworkAccessManager>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QUrlQuery>

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <memory>
#include <optional>

using shared::TDownloadPool;
using testsupport::TTestHttpServer;
using testsupport::TTestPackageBuilder;
using TFault = TTestHttpServer::TFault;

namespace {

// The real network, but every started request is noted, so the order in which the pool starts
// URLs can be checked independently of how the server happens to receive them.
class TRecordingNetworkAccess final : public shared::QNetworkAccessManagerWrapper
{
public:
    using QNetworkAccessManagerWrapper::QNetworkAccessManagerWrapper;

    shared::QNetworkReplyWrapper *get(const QNetworkRequest &Request) override
    {
        started.append(Request.url());
        transferTimeouts.append(Request.transferTimeout());
        return QNetworkAccessManagerWrapper::get(Request);
    }

    void setRedirectPolicy(QNetworkRequest::RedirectPolicy Policy) override
    {
        redirectPolicy = Policy;
        QNetworkAccessManagerWrapper::setRedirectPolicy(Policy);
    }

    QList<QUrl> started;
    QList<int> transferTimeouts;
    std::optional<QNetworkRequest::RedirectPolicy> redirectPolicy;
};

// Draws always the same value, to pin the nocache token down.
class TFixedRandomNumberGenerator final : public shared::TRandomNumberGenerator
{
public:
    explicit TFixedRandomNumberGenerator(quint64 Value) : m_value(Value) {}
    quint64 randomUnsigned(quint64, quint64) override { return m_value; }

private:
    quint64 m_value = 0;
};

struct TPoolUnderTest
{
    TPoolUnderTest(int Limit, bool ReleaseWhenFinished)
        : access(std::make_shared<TRecordingNetworkAccess>(manager)),
          pool(std::make_shared<TDownloadPool>(Limit, access, nullptr, ReleaseWhenFinished))
    {
    }

    std::shared_ptr<QNetworkAccessManager> manager = std::make_shared<QNetworkAccessManager>();
    std::shared_ptr<TRecordingNetworkAccess> access;
    std::shared_ptr<TDownloadPool> pool;
    QSignalSpy successes{pool.get(), &TDownloadPool::success};
    QSignalSpy failures{pool.get(), &TDownloadPool::failed};
};

QString pathOf(int Index)
{
    return QStringLiteral("/file%1.bin").arg(Index);
}

QByteArray contentOf(int Index)
{
    return QByteArray(100 + Index, static_cast<char>('a' + Index));
}

QList<QUrl> urlsOf(const TTestHttpServer &Server, const QString &Letters)
{
    QList<QUrl> Urls;
    for (const QChar Letter : Letters) {
        Urls.append(Server.url(QLatin1Char('/') + Letter));
    }
    return Urls;
}

} // namespace

class TestDownloadPool final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { qRegisterMetaType<QNetworkReply::NetworkError>(); }

    void startsAtMostTheLimitInFifoOrder();
    void queueOperations_data();
    void queueOperations();
    void activeUrlIsNotQueuedTwice();
    void nonReleasingPoolBlocksUntilRelease();
    void limitZeroStartsNothing();
    void failureIsReportedOnce_data();
    void failureIsReportedOnce();
    void retryOfTheSameUrlGetsItsOwnOutcome();
    void invalidUrlIsReportedAtOnceAndDropped_data();
    void invalidUrlIsReportedAtOnceAndDropped();
    void redirectIsFollowedAndReportedUnderTheRequestedUrl();
    void progressCarriesTheUrl();
    void stalledServerEndsWithTransferTimeout();
    void requestsFollowOnlySafeRedirectsAndTimeOut();
    void finishedRepliesAreFreed_data();
    void finishedRepliesAreFreed();
    void manyChunksThroughANonReleasingPool();
    void replySizeIsBounded_data();
    void replySizeIsBounded();
    void droppedConnectionFailsOnlyItsOwnRequest();

    void nocacheToken_data();
    void nocacheToken();
    void nocacheTokenIsRandom();
    void randomNumbersStayInRange();

    void serverKeepsConnectionsAlive();
    void serverAnswersHeadPostAndRange();
    void serverServesDirectoryButNothingOutsideIt();
    void serverSurvivesClientLeavingMidAnswer();
    void serverServesConnectionsConcurrently();
    void serverTearsDownWhileAnswering();
};

void TestDownloadPool::startsAtMostTheLimitInFifoOrder()
{
    TTestHttpServer Server;
    QList<QUrl> Urls;
    for (int I = 0; I < 10; ++I) {
        Server.setFile(pathOf(I), contentOf(I));
        Server.setFault(pathOf(I), TFault::delay(50));
        Urls.append(Server.url(pathOf(I)));
    }
    TPoolUnderTest Test(6, true);
    for (const QUrl &Url : qAsConst(Urls)) {
        Test.pool->enqueue(Url);
    }
    QCOMPARE(Test.pool->activeDownloads(), 6);
    QCOMPARE(Test.pool->outstandingDownloads(), qint64(10));
    QCOMPARE(Test.access->started, Urls.mid(0, 6));

    QTRY_COMPARE(Test.successes.size(), 10);
    QCOMPARE(Test.access->started, Urls);
    QCOMPARE(Test.failures.size(), 0);
    QCOMPARE(Test.pool->outstandingDownloads(), qint64(0));
    for (const QList<QVariant> &Outcome : qAsConst(Test.successes)) {
        const int Index = Urls.indexOf(Outcome.at(0).toUrl());
        QVERIFY(Index >= 0);
        QCOMPARE(Outcome.at(1).toByteArray(), contentOf(Index));
    }
}

// Letters name URLs; an upper-case letter is enqueued with priority. With a limit of 1 and "a"
// held up by the server, the rest wait, so the start order shows the queue order.
void TestDownloadPool::queueOperations_data()
{
    QTest::addColumn<QString>("operations");
    QTest::addColumn<QString>("expectedStartOrder");

    QTest::newRow("fifo") << "abcd"
                          << "abcd";
    QTest::newRow("re-enqueue moves a waiting url to the back") << "abcdb"
                                                                << "acdb";
    QTest::newRow("priority goes to the front") << "abcD"
                                                << "adbc";
    QTest::newRow("priority moves a waiting url to the front") << "abcdC"
                                                               << "acbd";
    QTest::newRow("later priority goes before earlier priority") << "abCD"
                                                                 << "adcb";
    QTest::newRow("re-enqueue of the active url does nothing") << "abac"
                                                               << "abc";
    QTest::newRow("priority for the active url does nothing") << "abAc"
                                                              << "abc";
}

void TestDownloadPool::queueOperations()
{
    QFETCH(QString, operations);
    QFETCH(QString, expectedStartOrder);

    TTestHttpServer Server;
    for (const QChar Letter : QStringLiteral("abcd")) {
        Server.setFile(QLatin1Char('/') + Letter, Letter.toLatin1() + QByteArray("-data"));
    }
    Server.setFault(QStringLiteral("/a"), TFault::delay(100));
    TPoolUnderTest Test(1, true);
    for (const QChar Operation : operations) {
        const QUrl Url = Server.url(QLatin1Char('/') + Operation.toLower());
        if (Operation.isUpper()) {
            Test.pool->enqueueWithPriority(Url);
        } else {
            Test.pool->enqueue(Url);
        }
    }
    QTRY_COMPARE(Test.successes.size(), expectedStartOrder.size());
    QCOMPARE(Test.access->started, urlsOf(Server, expectedStartOrder));
    QCOMPARE(Server.requests().size(), expectedStartOrder.size());
    QCOMPARE(Test.failures.size(), 0);
}

void TestDownloadPool::activeUrlIsNotQueuedTwice()
{
    TTestHttpServer Server;
    Server.setFile(QStringLiteral("/a"), "a");
    Server.setFault(QStringLiteral("/a"), TFault::delay(50));
    TPoolUnderTest Test(6, true);
    const QUrl Url = Server.url(QStringLiteral("/a"));
    Test.pool->enqueue(Url);
    Test.pool->enqueue(Url);
    Test.pool->enqueueWithPriority(Url);
    QCOMPARE(Test.pool->outstandingDownloads(), qint64(1));
    QVERIFY(Test.successes.wait());
    // A second request would have been started at once; one more outcome would be a fault.
    Server.setFile(QStringLiteral("/sentinel"), "s");
    Test.pool->enqueue(Server.url(QStringLiteral("/sentinel")));
    QTRY_COMPARE(Test.successes.size(), 2);
    QCOMPARE(Server.requestCount(QStringLiteral("/a")), 1);
}

void TestDownloadPool::nonReleasingPoolBlocksUntilRelease()
{
    TTestHttpServer Server;
    for (const QChar Letter : QStringLiteral("abc")) {
        Server.setFile(QLatin1Char('/') + Letter, "x");
    }
    const QList<QUrl> Urls = urlsOf(Server, QStringLiteral("abc"));
    TPoolUnderTest Test(2, false);
    for (const QUrl &Url : Urls) {
        Test.pool->enqueue(Url);
    }
    QTRY_COMPARE(Test.successes.size(), 2);
    // Both outcomes are in, yet their slots stay taken and "c" waits.
    QCOMPARE(Test.pool->activeDownloads(), 2);
    QCOMPARE(Test.pool->outstandingDownloads(), qint64(3));
    QCOMPARE(Test.access->started, Urls.mid(0, 2));

    Test.pool->release(QUrl(QStringLiteral("http://127.0.0.1:1/unknown")));
    QCOMPARE(Test.access->started.size(), 2);

    Test.pool->release(Urls.at(1));
    QCOMPARE(Test.access->started, Urls);
    QTRY_COMPARE(Test.successes.size(), 3);
    QCOMPARE(Test.successes.at(2).at(0).toUrl(), Urls.at(2));
    Test.pool->release(Urls.at(0));
    Test.pool->release(Urls.at(2));
    QCOMPARE(Test.pool->outstandingDownloads(), qint64(0));
}

void TestDownloadPool::limitZeroStartsNothing()
{
    TTestHttpServer Server;
    Server.setFile(QStringLiteral("/a"), "a");
    TPoolUnderTest Test(0, true);
    Test.pool->enqueue(Server.url(QStringLiteral("/a")));
    QCOMPARE(Test.pool->activeDownloads(), 0);
    Test.pool->setMaxConcurrentDownloads(-1);
    QCOMPARE(Test.pool->activeDownloads(), 0);
    Test.pool->setMaxConcurrentDownloads(1);
    QCOMPARE(Test.pool->activeDownloads(), 1);
    QVERIFY(Test.successes.wait());
}

void TestDownloadPool::failureIsReportedOnce_data()
{
    QTest::addColumn<TFault>("fault");
    QTest::addColumn<bool>("releaseWhenFinished");
    QTest::addColumn<int>("expectedCode");

    const struct
    {
        const char *name;
        TFault fault;
        QNetworkReply::NetworkError code;
    } Rows[] = {
        {"404", TFault::status(404), QNetworkReply::ContentNotFoundError},
        {"500", TFault::status(500), QNetworkReply::InternalServerError},
        {"503", TFault::status(503), QNetworkReply::ServiceUnavailableError},
        {"connection dropped mid-body", TFault::closeAfter(10),
         QNetworkReply::RemoteHostClosedError},
        {"content-length larger than the body", TFault::wrongContentLength(5000),
         QNetworkReply::RemoteHostClosedError},
        {"a byte now and then, past the deadline", TFault::trickle(1, 200),
         QNetworkReply::TimeoutError},
    };
    for (const auto &Row : Rows) {
        for (const bool Release : {true, false}) {
            QTest::addRow("%s, %s", Row.name, Release ? "releasing" : "non-releasing")
                << Row.fault << Release << static_cast<int>(Row.code);
        }
    }
}

void TestDownloadPool::failureIsReportedOnce()
{
    QFETCH(TFault, fault);
    QFETCH(bool, releaseWhenFinished);
    QFETCH(int, expectedCode);

    TTestHttpServer Server;
    Server.setFile(QStringLiteral("/broken"), QByteArray(1000, 'b'));
    Server.setFault(QStringLiteral("/broken"), fault);
    Server.setFile(QStringLiteral("/sentinel"), "s");
    TPoolUnderTest Test(1, releaseWhenFinished);
    Test.pool->setRequestDeadline(2000);
    const QUrl Broken = Server.url(QStringLiteral("/broken"));
    const QUrl Sentinel = Server.url(QStringLiteral("/sentinel"));
    // A user of a non-releasing pool releases in its failed() handler.
    QObject Context;
    connect(Test.pool.get(), &TDownloadPool::failed, &Context,
            [&](const QUrl &Url) { Test.pool->release(Url); });
    connect(Test.pool.get(), &TDownloadPool::success, &Context,
            [&](const QUrl &Url) { Test.pool->release(Url); });

    Test.pool->enqueue(Broken);
    Test.pool->enqueue(Sentinel);
    // The sentinel starts only after the broken request is over, so its success comes after
    // every notification of the broken one.
    QTRY_COMPARE(Test.successes.size(), 1);
    QCOMPARE(Test.successes.at(0).at(0).toUrl(), Sentinel);
    QCOMPARE(Test.failures.size(), 1);
    const QList<QVariant> Failure = Test.failures.at(0);
    QCOMPARE(Failure.at(0).toUrl(), Broken);
    QCOMPARE(static_cast<int>(Failure.at(1).value<QNetworkReply::NetworkError>()), expectedCode);
    QVERIFY(!Failure.at(2).toString().isEmpty());
    QCOMPARE(Test.pool->outstandingDownloads(), qint64(0));
}

void TestDownloadPool::retryOfTheSameUrlGetsItsOwnOutcome()
{
    TTestHttpServer Server;
    Server.setFile(QStringLiteral("/flaky"), "second time lucky");
    TFault Fault = TFault::status(500);
    Fault.times = 1;
    Server.setFault(QStringLiteral("/flaky"), Fault);
    TPoolUnderTest Test(1, true);
    const QUrl Url = Server.url(QStringLiteral("/flaky"));
    // Retrying from the failed() handler starts a new request for the URL while the first reply
    // has not yet sent its finished(); that late notification must not speak for the retry.
    QObject Context;
    connect(Test.pool.get(), &TDownloadPool::failed, &Context,
            [&](const QUrl &FailedUrl) { Test.pool->enqueue(FailedUrl); });
    Test.pool->enqueue(Url);
    QVERIFY(Test.successes.wait());
    QCOMPARE(Test.failures.size(), 1);
    QCOMPARE(Test.successes.size(), 1);
    QCOMPARE(Test.successes.at(0).at(1).toByteArray(), QByteArray("second time lucky"));
    QCOMPARE(Server.requestCount(QStringLiteral("/flaky")), 2);
}

void TestDownloadPool::invalidUrlIsReportedAtOnceAndDropped_data()
{
    QTest::addColumn<QUrl>("url");
    QTest::newRow("empty") << QUrl();
    QTest::newRow("relative path") << QUrl(QStringLiteral("files/chunk.bin"));
    QTest::newRow("absolute path without scheme") << QUrl(QStringLiteral("/files/chunk.bin"));
    QTest::newRow("broken host") << QUrl(QStringLiteral("http://exa mple.com/"));
    QTest::newRow("unclosed ipv6 host") << QUrl(QStringLiteral("http://[::1/x"));
}

void TestDownloadPool::invalidUrlIsReportedAtOnceAndDropped()
{
    QFETCH(QUrl, url);

    TTestHttpServer Server;
    Server.setFile(QStringLiteral("/sentinel"), "s");
    TPoolUnderTest Test(6, true);
    Test.pool->enqueue(url);
    QCOMPARE(Test.failures.size(), 1);
    QCOMPARE(Test.failures.at(0).at(0).toUrl(), url);
    QCOMPARE(Test.failures.at(0).at(1).value<QNetworkReply::NetworkError>(),
             QNetworkReply::ProtocolInvalidOperationError);
    QCOMPARE(Test.failures.at(0).at(2).toString(), QStringLiteral("Invalid URL"));
    QCOMPARE(Test.pool->outstandingDownloads(), qint64(0));
    QVERIFY(Test.access->started.isEmpty());

    Test.pool->enqueue(Server.url(QStringLiteral("/sentinel")));
    QVERIFY(Test.successes.wait());
    QCOMPARE(Test.failures.size(), 1);
}

void TestDownloadPool::redirectIsFollowedAndReportedUnderTheRequestedUrl()
{
    TTestHttpServer Server;
    Server.setFile(QStringLiteral("/new"), "moved content");
    Server.setFault(QStringLiteral("/old"), TFault::redirect(QByteArrayLiteral("/new")));
    TPoolUnderTest Test(6, true);
    const QUrl Old = Server.url(QStringLiteral("/old"));
    Test.pool->enqueue(Old);
    QVERIFY(Test.successes.wait());
    QCOMPARE(Test.successes.at(0).at(0).toUrl(), Old);
    QCOMPARE(Test.successes.at(0).at(1).toByteArray(), QByteArray("moved content"));
    QCOMPARE(Server.requestCount(QStringLiteral("/new")), 1);
    QCOMPARE(Test.pool->activeDownloads(), 0);
}

void TestDownloadPool::progressCarriesTheUrl()
{
    TTestHttpServer Server;
    const QByteArray Content(4000, 'p');
    Server.setFile(QStringLiteral("/slow"), Content);
    // Qt reports download progress at most every 100 ms.
    Server.setFault(QStringLiteral("/slow"), TFault::trickle(1000, 150));
    TPoolUnderTest Test(6, true);
    QSignalSpy Progress(Test.pool.get(), &TDownloadPool::progress);
    const QUrl Url = Server.url(QStringLiteral("/slow"));
    Test.pool->enqueue(Url);
    QVERIFY(Test.successes.wait());
    QVERIFY2(Progress.size() >= 2, QByteArray::number(Progress.size()).constData());
    qlonglong Previous = 0;
    for (const QList<QVariant> &Report : qAsConst(Progress)) {
        QCOMPARE(Report.at(0).toUrl(), Url);
        QVERIFY(Report.at(1).toLongLong() >= Previous);
        Previous = Report.at(1).toLongLong();
    }
    QCOMPARE(Previous, qlonglong(Content.size()));
}

void TestDownloadPool::stalledServerEndsWithTransferTimeout()
{
    TTestHttpServer Server;
    Server.setFault(QStringLiteral("/stalled"), TFault::hang());
    Server.setFile(QStringLiteral("/sentinel"), "s");
    TPoolUnderTest Test(1, true);
    QCOMPARE(Test.pool->transferTimeout(), TDownloadPool::DefaultTransferTimeout);
    Test.pool->setTransferTimeout(300);
    Test.pool->enqueue(Server.url(QStringLiteral("/stalled")));
    Test.pool->enqueue(Server.url(QStringLiteral("/sentinel")));
    QTRY_COMPARE_WITH_TIMEOUT(Test.successes.size(), 1, 10000);
    QCOMPARE(Test.failures.size(), 1);
    QCOMPARE(Test.failures.at(0).at(1).value<QNetworkReply::NetworkError>(),
             QNetworkReply::OperationCanceledError);
}

void TestDownloadPool::requestsFollowOnlySafeRedirectsAndTimeOut()
{
    TTestHttpServer Server;
    Server.setFile(QStringLiteral("/a"), "a");
    Server.setFile(QStringLiteral("/b"), "b");
    TPoolUnderTest Test(6, true);
    QCOMPARE(Test.access->redirectPolicy, QNetworkRequest::NoLessSafeRedirectPolicy);
    Test.pool->enqueue(Server.url(QStringLiteral("/a")));
    Test.pool->setTransferTimeout(0);
    Test.pool->enqueue(Server.url(QStringLiteral("/b")));
    QCOMPARE(Test.access->transferTimeouts, QList<int>({TDownloadPool::DefaultTransferTimeout, 0}));
    QTRY_COMPARE(Test.successes.size(), 2);
}

// Every outcome, good or bad, must let its reply go; a pool that fetches thousands of chunks
// would otherwise keep them all until its network access manager dies.
void TestDownloadPool::finishedRepliesAreFreed_data()
{
    QTest::addColumn<bool>("releaseWhenFinished");
    QTest::newRow("releasing") << true;
    QTest::newRow("non-releasing") << false;
}

void TestDownloadPool::finishedRepliesAreFreed()
{
    QFETCH(bool, releaseWhenFinished);

    TTestHttpServer Server;
    TPoolUnderTest Test(3, releaseWhenFinished);
    QObject Context;
    connect(Test.pool.get(), &TDownloadPool::failed, &Context,
            [&](const QUrl &Url) { Test.pool->release(Url); });
    connect(Test.pool.get(), &TDownloadPool::success, &Context,
            [&](const QUrl &Url) { Test.pool->release(Url); });
    for (int I = 0; I < 8; ++I) {
        Server.setFile(pathOf(I), contentOf(I));
        if (I % 2 == 1) {
            Server.setFault(pathOf(I), TFault::status(404));
        }
        Test.pool->enqueue(Server.url(pathOf(I)));
    }
    QTRY_COMPARE(Test.successes.size() + Test.failures.size(), 8);
    QCOMPARE(Test.failures.size(), 4);
    QTRY_COMPARE(Test.manager->findChildren<QNetworkReply *>().size(), 0);
}

void TestDownloadPool::manyChunksThroughANonReleasingPool()
{
    constexpr int Count = 300;
    constexpr int Size = 64 * 1024;
    TTestHttpServer Server;
    TPoolUnderTest Test(10, false);
    QHash<QUrl, QByteArray> Expected;
    for (int I = 0; I < Count; ++I) {
        QByteArray Content(Size, static_cast<char>(I));
        Content.replace(0, 4, QByteArray::number(I).rightJustified(4, '0'));
        Server.setFile(pathOf(I), Content);
        Expected.insert(Server.url(pathOf(I)), Content);
    }
    int Matching = 0;
    int MostActive = 0;
    QObject Context;
    connect(Test.pool.get(), &TDownloadPool::success, &Context,
            [&](const QUrl &Url, const QByteArray &Data) {
                MostActive = std::max(MostActive, Test.pool->activeDownloads());
                Matching += Expected.value(Url) == Data ? 1 : 0;
                Test.pool->release(Url);
            });
    QElapsedTimer Clock;
    Clock.start();
    for (auto It = Expected.cbegin(); It != Expected.cend(); ++It) {
        Test.pool->enqueue(It.key());
    }
    QTRY_COMPARE_WITH_TIMEOUT(Test.successes.size(), Count, 60000);
    qInfo("%d chunks of %d KiB in %lld ms", Count, Size / 1024,
          static_cast<long long>(Clock.elapsed()));
    QCOMPARE(Matching, Count);
    // Slots released at once: no more run than Qt has connections to carry them.
    QCOMPARE(MostActive, TDownloadPool::MaxConcurrentTransfers);
    QCOMPARE(Test.failures.size(), 0);
    QCOMPARE(Test.pool->outstandingDownloads(), qint64(0));
    QVERIFY(Server.acceptedConnections() <= 10);
}

void TestDownloadPool::replySizeIsBounded_data()
{
    QTest::addColumn<TFault>("fault");
    QTest::addColumn<QByteArray>("served");
    QTest::addColumn<qint64>("poolBound");    // -1: the default
    QTest::addColumn<qint64>("requestBound"); // 0: none of its own
    QTest::addColumn<bool>("releaseWhenFinished");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<qint64>("cap"); // bytes per second of a bandwidth limiter; 0: none

    const QByteArray Kilobyte(1000, 'k');
    TFault Announced = TFault::wrongContentLength(1000000);
    QTest::newRow("endless body, default bound")
        << TFault::endlessBody() << QByteArray() << qint64(-1) << qint64(0) << true << false
        << qint64(0);
    QTest::newRow("endless body, bound of the request")
        << TFault::endlessBody() << QByteArray() << qint64(-1) << qint64(100000) << false << false
        << qint64(0);
    QTest::newRow("announced length beyond the bound")
        << Announced << QByteArray(10, 'a') << qint64(-1) << qint64(1000) << false << false
        << qint64(0);
    QTest::newRow("one byte beyond the bound")
        << TFault() << Kilobyte + 'x' << qint64(-1) << qint64(1000) << false << false << qint64(0);
    QTest::newRow("exactly the bound")
        << TFault() << Kilobyte << qint64(-1) << qint64(1000) << false << true << qint64(0);
    QTest::newRow("bound of the request beyond the pool's")
        << TFault() << Kilobyte << qint64(500) << qint64(2000) << true << true << qint64(0);
    QTest::newRow("pool bound switched off")
        << TFault() << Kilobyte << qint64(0) << qint64(0) << true << true << qint64(0);
    QTest::newRow("gzip document")
        << TFault::gzipEncoded() << TTestPackageBuilder::compressibleBytes(200000, 1)
        << qint64(300000) << qint64(0) << true << true << qint64(0);
    QTest::newRow("gzip inflating beyond the bound")
        << TFault::gzipEncoded() << QByteArray(4 << 20, '\0') << qint64(1 << 20) << qint64(0)
        << true << false << qint64(0);
    QTest::newRow("capped body arrives whole")
        << TFault() << TTestPackageBuilder::randomBytes(300000, 2) << qint64(-1) << qint64(300000)
        << false << true << qint64(2000000);
    QTest::newRow("capped endless body is cut at the bound")
        << TFault::endlessBody() << QByteArray() << qint64(-1) << qint64(100000) << false << false
        << qint64(1000000);
    QTest::newRow("capped gzip document")
        << TFault::gzipEncoded() << TTestPackageBuilder::compressibleBytes(200000, 1)
        << qint64(300000) << qint64(0) << true << true << qint64(1000000);
}

void TestDownloadPool::replySizeIsBounded()
{
    QFETCH(TFault, fault);
    QFETCH(QByteArray, served);
    QFETCH(qint64, poolBound);
    QFETCH(qint64, requestBound);
    QFETCH(bool, releaseWhenFinished);
    QFETCH(bool, accepted);
    QFETCH(qint64, cap);

    TTestHttpServer Server;
    Server.setFile(QStringLiteral("/document"), served);
    Server.setFault(QStringLiteral("/document"), fault);
    Server.setFile(QStringLiteral("/sentinel"), "s");
    TPoolUnderTest Test(1, releaseWhenFinished);
    QCOMPARE(Test.pool->maxReplySize(), TDownloadPool::DefaultMaxReplySize);
    if (poolBound >= 0)
        Test.pool->setMaxReplySize(poolBound);
    if (cap > 0)
        Test.pool->setBandwidthLimiter(std::make_shared<::shared::TBandwidthLimiter>(cap));
    QObject Context;
    // The listener shows a dialog, as the launcher does for the metadata: the nested event loop
    // must not free the reply under the pool's feet.
    connect(Test.pool.get(), &TDownloadPool::failed, &Context, [&](const QUrl &Url) {
        Test.pool->release(Url);
        QEventLoop Dialog;
        QTimer::singleShot(50, &Dialog, &QEventLoop::quit);
        Dialog.exec();
    });
    connect(Test.pool.get(), &TDownloadPool::success, &Context,
            [&](const QUrl &Url) { Test.pool->release(Url); });
    const QUrl Document = Server.url(QStringLiteral("/document"));
    if (requestBound > 0)
        Test.pool->enqueueWithMaxReplySize(Document, requestBound);
    else
        Test.pool->enqueue(Document);
    Test.pool->enqueue(Server.url(QStringLiteral("/sentinel")));

    QTRY_COMPARE_WITH_TIMEOUT(Test.successes.size() + Test.failures.size(), 2, 30000);
    QCOMPARE(Test.successes.last().at(0).toUrl(), Server.url(QStringLiteral("/sentinel")));
    if (accepted) {
        QCOMPARE(Test.successes.first().at(1).toByteArray(), served);
    } else {
        QCOMPARE(Test.failures.size(), 1);
        QCOMPARE(Test.failures.at(0).at(1).value<QNetworkReply::NetworkError>(),
                 QNetworkReply::UnknownContentError);
        QVERIFY2(Test.failures.at(0).at(2).toString().contains(QLatin1String("size limit")),
                 qPrintable(Test.failures.at(0).at(2).toString()));
        // An endless reply is cut off at the connection, not left streaming.
        const int Connection = Server.requests(QStringLiteral("/document")).at(0).connection;
        if (fault.endless) {
            const bool Closed =
                QTest::qWaitFor([&] { return !Server.isConnectionOpen(Connection); }, 10000);
#ifdef Q_OS_WIN
            // Wine 8 under load sometimes keeps a socket open in its server after the process has
            // closed it; the abort itself is the same code, checked on the other platforms.
            if (!Closed)
                qWarning("the aborted connection is still open in the server");
#else
            QVERIFY(Closed);
#endif
        }
    }
    // Compressed answers are asked for; Qt inflates them.
    QVERIFY(Server.requests(QStringLiteral("/document"))
                .at(0)
                .header("accept-encoding")
                .contains("gzip"));
    QCOMPARE(Test.pool->outstandingDownloads(), qint64(0));
}

// Qt queues requests beyond its six connections per host; a connection closed mid-body must not
// fail the requests waiting behind it, which never reached the server.
void TestDownloadPool::droppedConnectionFailsOnlyItsOwnRequest()
{
    constexpr int Count = 20;
    TTestHttpServer Server;
    TPoolUnderTest Test(10, false);
    QHash<QUrl, int> Failures;
    QObject Context;
    // Like the package file downloader: release, then retry a failed URL up to three times.
    connect(Test.pool.get(), &TDownloadPool::failed, &Context, [&](const QUrl &Url) {
        Test.pool->release(Url);
        if (++Failures[Url] <= 3)
            Test.pool->enqueue(Url);
    });
    connect(Test.pool.get(), &TDownloadPool::success, &Context,
            [&](const QUrl &Url) { Test.pool->release(Url); });
    for (int I = 0; I < Count; ++I) {
        Server.setFile(pathOf(I), QByteArray(200000, static_cast<char>(I)));
        TFault Drop = TFault::closeAfter(100000);
        Drop.times = 1;
        Server.setFault(pathOf(I), Drop);
        Test.pool->enqueue(Server.url(pathOf(I)));
    }
    QVERIFY(Test.pool->runningTransfers() <= TDownloadPool::MaxConcurrentTransfers);
    QTRY_COMPARE_WITH_TIMEOUT(Test.successes.size(), Count, 30000);
    for (int I = 0; I < Count; ++I) {
        QCOMPARE(Failures.value(Server.url(pathOf(I))), 1);
        QCOMPARE(Server.requestCount(pathOf(I)), 2);
    }
}

void TestDownloadPool::nocacheToken_data()
{
    QTest::addColumn<QUrl>("url");
    QTest::addColumn<QString>("expectedPrefix");

    QTest::newRow("no query") << QUrl(QStringLiteral("https://cdn.example/p/package.json"))
                              << QStringLiteral("nocache=");
    QTest::newRow("existing query")
        << QUrl(QStringLiteral("https://cdn.example/p?a=1")) << QStringLiteral("a=1&nocache=");
    QTest::newRow("two items") << QUrl(QStringLiteral("https://cdn.example/p?a=1&b=x%20y"))
                               << QStringLiteral("a=1&b=x%20y&nocache=");
}

void TestDownloadPool::nocacheToken()
{
    QFETCH(QUrl, url);
    QFETCH(QString, expectedPrefix);

    const QUrl Result = shared::appendNocacheToUrl(url);
    QCOMPARE(Result.adjusted(QUrl::RemoveQuery), url.adjusted(QUrl::RemoveQuery));
    const QString Query = Result.query(QUrl::FullyEncoded);
    QVERIFY2(Query.startsWith(expectedPrefix), qPrintable(Query));
    const QRegularExpression Token(QStringLiteral("^[A-Za-z0-9]{32}$"));
    QVERIFY2(Token.match(Query.mid(expectedPrefix.size())).hasMatch(), qPrintable(Query));

    TFixedRandomNumberGenerator First(0);
    QCOMPARE(
        QUrlQuery(shared::appendNocacheToUrl(url, First)).queryItemValue(QStringLiteral("nocache")),
        QString(32, QLatin1Char('A')));
    TFixedRandomNumberGenerator Last(61);
    QCOMPARE(
        QUrlQuery(shared::appendNocacheToUrl(url, Last)).queryItemValue(QStringLiteral("nocache")),
        QString(32, QLatin1Char('9')));
}

void TestDownloadPool::nocacheTokenIsRandom()
{
    const QUrl Url(QStringLiteral("https://cdn.example/p"));
    QCOMPARE(shared::appendNocacheToUrl(QUrl()), QUrl());
    const QUrl Invalid(QStringLiteral("http://[::1/x"));
    QVERIFY(!Invalid.isValid());
    QCOMPARE(shared::appendNocacheToUrl(Invalid).toString(), Invalid.toString());
    QVERIFY(shared::appendNocacheToUrl(Url) != shared::appendNocacheToUrl(Url));
}

void TestDownloadPool::randomNumbersStayInRange()
{
    shared::TRandomNumberGenerator Generator(12345);
    QSet<quint64> Seen;
    for (int I = 0; I < 10000; ++I) {
        const quint64 Value = Generator.randomUnsigned(0, 61);
        QVERIFY(Value <= 61);
        Seen.insert(Value);
        const qint64 Signed = Generator.randomSigned(-3, 3);
        QVERIFY(Signed >= -3 && Signed <= 3);
    }
    QCOMPARE(Seen.size(), 62);
    QCOMPARE(Generator.randomUnsigned(7, 7), quint64(7));
    QCOMPARE(Generator.randomSigned(-7, -7), qint64(-7));
    const quint64 Max = std::numeric_limits<quint64>::max();
    QVERIFY(Generator.randomUnsigned(Max - 1, Max) >= Max - 1);
}

void TestDownloadPool::serverKeepsConnectionsAlive()
{
    TTestHttpServer Server;
    TPoolUnderTest Test(1, true);
    for (int I = 0; I < 5; ++I) {
        Server.setFile(pathOf(I), contentOf(I));
        Test.pool->enqueue(Server.url(pathOf(I)));
    }
    QTRY_COMPARE(Test.successes.size(), 5);
    QCOMPARE(Server.acceptedConnections(), 1);
    QCOMPARE(Server.requests().size(), 5);
    for (const TTestHttpServer::TRequest &Request : Server.requests()) {
        QCOMPARE(Request.method, QByteArray("GET"));
        QCOMPARE(Request.connection, 1);
    }
}

void TestDownloadPool::serverAnswersHeadPostAndRange()
{
    TTestHttpServer Server;
    Server.setFile(QStringLiteral("/data"), "0123456789");
    Server.setFile(QStringLiteral("/upload"), "{\"ok\":true}");
    QNetworkAccessManager Manager;

    std::unique_ptr<QNetworkReply> Head(
        Manager.head(QNetworkRequest(Server.url(QStringLiteral("/data")))));
    QVERIFY(QSignalSpy(Head.get(), &QNetworkReply::finished).wait());
    QCOMPARE(Head->header(QNetworkRequest::ContentLengthHeader).toLongLong(), 10);
    QVERIFY(Head->readAll().isEmpty());

    QNetworkRequest Post(Server.url(QStringLiteral("/upload?kind=survey")));
    Post.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    std::unique_ptr<QNetworkReply> Posted(Manager.post(Post, QByteArray("{\"cpu\":4}")));
    QVERIFY(QSignalSpy(Posted.get(), &QNetworkReply::finished).wait());
    QCOMPARE(Posted->readAll(), QByteArray("{\"ok\":true}"));
    const TTestHttpServer::TRequest Recorded = Server.requests(QStringLiteral("/upload")).at(0);
    QCOMPARE(Recorded.method, QByteArray("POST"));
    QCOMPARE(Recorded.query, QStringLiteral("kind=survey"));
    QCOMPARE(Recorded.body, QByteArray("{\"cpu\":4}"));
    QCOMPARE(Recorded.header("Content-Type"), QByteArray("application/json"));

    QNetworkRequest Ranged(Server.url(QStringLiteral("/data")));
    Ranged.setRawHeader("Range", "bytes=2-5");
    std::unique_ptr<QNetworkReply> Part(Manager.get(Ranged));
    QVERIFY(QSignalSpy(Part.get(), &QNetworkReply::finished).wait());
    QCOMPARE(Part->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 206);
    QCOMPARE(Part->readAll(), QByteArray("2345"));
}

void TestDownloadPool::serverServesDirectoryButNothingOutsideIt()
{
    QTemporaryDir Root;
    QVERIFY(Root.isValid());
    QVERIFY(QDir(Root.path()).mkpath(QStringLiteral("served/sub")));
    QFile Inside(Root.filePath(QStringLiteral("served/sub/in.bin")));
    QVERIFY(Inside.open(QIODevice::WriteOnly));
    Inside.write("inside");
    Inside.close();
    QFile Outside(Root.filePath(QStringLiteral("secret.txt")));
    QVERIFY(Outside.open(QIODevice::WriteOnly));
    Outside.write("secret");
    Outside.close();

    TTestHttpServer Server;
    Server.serveDirectory(Root.filePath(QStringLiteral("served")));
    TPoolUnderTest Test(6, true);
    const QUrl In = Server.url(QStringLiteral("/sub/in.bin"));
    QUrl Escape = Server.baseUrl();
    Escape.setPath(QStringLiteral("/sub/%2e%2e/%2e%2e/secret.txt"), QUrl::StrictMode);
    Test.pool->enqueue(In);
    Test.pool->enqueue(Escape);
    QTRY_COMPARE(Test.successes.size() + Test.failures.size(), 2);
    QCOMPARE(Test.successes.size(), 1);
    QCOMPARE(Test.successes.at(0).at(1).toByteArray(), QByteArray("inside"));
    QCOMPARE(Test.failures.at(0).at(1).value<QNetworkReply::NetworkError>(),
             QNetworkReply::ContentNotFoundError);
}

void TestDownloadPool::serverSurvivesClientLeavingMidAnswer()
{
    TTestHttpServer Server;
    Server.setFile(QStringLiteral("/long"), QByteArray(100000, 'l'));
    Server.setFault(QStringLiteral("/long"), TFault::trickle(100, 10));
    Server.setFile(QStringLiteral("/after"), "after");
    {
        TPoolUnderTest Test(6, true);
        QSignalSpy Progress(Test.pool.get(), &TDownloadPool::progress);
        Test.pool->enqueue(Server.url(QStringLiteral("/long")));
        QVERIFY(Progress.wait());
        // The pool and its network access manager go away mid-answer.
    }
    QTRY_COMPARE(Server.openConnections(), 0);
    TPoolUnderTest Again(6, true);
    Again.pool->enqueue(Server.url(QStringLiteral("/after")));
    QVERIFY(Again.successes.wait());
}

void TestDownloadPool::serverServesConnectionsConcurrently()
{
    TTestHttpServer Server;
    TPoolUnderTest Test(4, true);
    for (int I = 0; I < 4; ++I) {
        Server.setFile(pathOf(I), contentOf(I));
        Server.setFault(pathOf(I), TFault::delay(200));
        Test.pool->enqueue(Server.url(pathOf(I)));
    }
    // All four are held up at once, so each needs its own connection.
    QTRY_COMPARE(Server.requests().size(), 4);
    QCOMPARE(Server.acceptedConnections(), 4);
    QCOMPARE(Test.successes.size(), 0);
    QTRY_COMPARE(Test.successes.size(), 4);
}

void TestDownloadPool::serverTearsDownWhileAnswering()
{
    TPoolUnderTest Test(6, true);
    QUrl Url;
    {
        TTestHttpServer Server;
        Server.setFile(QStringLiteral("/long"), QByteArray(100000, 'l'));
        Server.setFault(QStringLiteral("/long"), TFault::trickle(100, 10));
        Server.setFile(QStringLiteral("/hang"), "h");
        Server.setFault(QStringLiteral("/hang"), TFault::hang());
        Url = Server.url(QStringLiteral("/long"));
        Test.pool->enqueue(Url);
        Test.pool->enqueue(Server.url(QStringLiteral("/hang")));
        QTRY_COMPARE(Server.requests().size(), 2);
    }
    QTRY_COMPARE(Test.failures.size(), 2);
    QCOMPARE(Test.successes.size(), 0);
    QCOMPARE(Test.pool->activeDownloads(), 0);
}

QTEST_GUILESS_MAIN(TestDownloadPool)

#include "tst_downloadpool.moc"
