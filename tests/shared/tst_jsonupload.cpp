#include "shared/TJsonDocumentHttpPostSender.h"
#include "shared/TJsonDocumentUploaderBase.h"
#include "support/TTestHttpServer.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QJsonParseError>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QtTest>

#include <memory>

using ::shared::TJsonDocumentHttpPostSender;
using ::shared::TJsonDocumentUploaderBase;
using testsupport::TTestHttpServer;

namespace {

QJsonDocument sampleDocument()
{
    QJsonObject object;
    object.insert(QStringLiteral("dataType"), 0);
    object.insert(QStringLiteral("text"), QStringLiteral("with spaces, \"quotes\" and ümlauts"));
    object.insert(QStringLiteral("list"), QJsonArray({1, 2, 3}));
    object.insert(QStringLiteral("nested"), QJsonObject({{QStringLiteral("a"), true}}));
    return QJsonDocument(object);
}

QString parserErrorText(const QByteArray &Body)
{
    QJsonParseError error;
    QJsonDocument::fromJson(Body, &error);
    return error.errorString();
}

} // namespace

class TestJsonUpload final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void postsCompactDocumentWithFormHeaders();
    void interpretsReply_data();
    void interpretsReply();
    void refusedConnectionIsNetworkError();
    void successClearsEarlierError();
    void answersEveryUploadInFlight();
    void nullSenderNeverFinishes();
};

void TestJsonUpload::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
}

void TestJsonUpload::postsCompactDocumentWithFormHeaders()
{
    TTestHttpServer server;
    server.setFile(QStringLiteral("/collect"), QByteArrayLiteral("{\"errorCode\":0}"));
    TJsonDocumentHttpPostSender sender;
    QSignalSpy finished(&sender, &TJsonDocumentHttpPostSender::finished);

    sender.send(server.url(QStringLiteral("/collect?source=test")), sampleDocument());
    QVERIFY(finished.wait());
    QCOMPARE(finished.at(0).at(0).value<QNetworkReply::NetworkError>(), QNetworkReply::NoError);
    QCOMPARE(finished.at(0).at(2).toByteArray(), QByteArrayLiteral("{\"errorCode\":0}"));

    const QList<TTestHttpServer::TRequest> requests = server.requests(QStringLiteral("/collect"));
    QCOMPARE(requests.size(), 1);
    const TTestHttpServer::TRequest &request = requests.at(0);
    QCOMPARE(request.method, QByteArray("POST"));
    QCOMPARE(request.query, QStringLiteral("source=test"));
    QCOMPARE(request.header("Content-Type"), QByteArray("application/json"));
    QCOMPARE(request.header("Content-Disposition"), QByteArray("form-data; name=\"metadata\""));
    // The bare document, compact: no multipart envelope, no indentation, no line breaks.
    QCOMPARE(request.body, sampleDocument().toJson(QJsonDocument::Compact));
    QVERIFY(!request.body.contains('\n'));
    QVERIFY(!request.body.contains(": "));
    QCOMPARE(QJsonDocument::fromJson(request.body), sampleDocument());
    QVERIFY(request.header("Authorization").isEmpty());
}

void TestJsonUpload::interpretsReply_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("successful");
    QTest::addColumn<int>("errorCode");
    QTest::addColumn<QString>("errorMessage"); // "*": any non-empty text
    QTest::addColumn<bool>("replyPassedOn");

    QTest::newRow("errorCode 0 succeeds")
        << 200 << QByteArray("{\"errorCode\":0,\"errorMessage\":\"ignored\"}") << true << 0
        << QString() << true;
    QTest::newRow("no errorCode succeeds")
        << 200 << QByteArray("{\"stored\":true}") << true << 0 << QString() << true;
    QTest::newRow("array answer succeeds")
        << 200 << QByteArray("[1,2]") << true << 0 << QString() << true;
    QTest::newRow("non-zero errorCode fails with the service's message")
        << 200 << QByteArray("{\"errorCode\":7,\"errorMessage\":\"x\"}") << false << 7
        << QStringLiteral("x") << true;
    QTest::newRow("negative errorCode fails")
        << 200 << QByteArray("{\"errorCode\":-3,\"errorMessage\":\"quota\"}") << false << -3
        << QStringLiteral("quota") << true;
    QTest::newRow("empty body is not JSON")
        << 200 << QByteArray() << false << -100 << parserErrorText(QByteArray()) << false;
    QTest::newRow("html body is not JSON") << 200 << QByteArray("<html>busy</html>") << false
                                           << -100 << parserErrorText("<html>busy</html>") << false;
    QTest::newRow("truncated JSON is not JSON")
        << 200 << QByteArray("{\"errorCode\":") << false << -100
        << parserErrorText("{\"errorCode\":") << false;
    QTest::newRow("HTTP 500 is a network error despite a JSON body")
        << 500 << QByteArray("{\"errorCode\":0}") << false << 0 << QStringLiteral("*") << false;
    QTest::newRow("HTTP 404 is a network error")
        << 404 << QByteArray("{\"errorCode\":9}") << false << 0 << QStringLiteral("*") << false;
    QTest::newRow("answer beyond its size bound is a network error")
        << 200 << QByteArray("{\"errorCode\":0}") + QByteArray(2 << 20, ' ') << false << 0
        << QStringLiteral("*") << false;
}

void TestJsonUpload::interpretsReply()
{
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(bool, successful);
    QFETCH(int, errorCode);
    QFETCH(QString, errorMessage);
    QFETCH(bool, replyPassedOn);

    TTestHttpServer server;
    server.setFile(QStringLiteral("/survey"), body);
    if (status != 200) {
        TTestHttpServer::TFault fault = TTestHttpServer::TFault::status(status);
        fault.body = body;
        server.setFault(QStringLiteral("/survey"), fault);
    }

    TJsonDocumentUploaderBase uploader(std::make_shared<TJsonDocumentHttpPostSender>());
    QSignalSpy finished(&uploader, &TJsonDocumentUploaderBase::finished);
    uploader.uploadDocument(server.url(QStringLiteral("/survey")), sampleDocument());
    QVERIFY(finished.wait());
    QCOMPARE(finished.size(), 1);

    QCOMPARE(finished.at(0).at(0).toBool(), successful);
    QCOMPARE(uploader.lastErrorCode(), errorCode);
    if (errorMessage == QLatin1String("*"))
        QVERIFY(!uploader.lastErrorMessage().isEmpty());
    else
        QCOMPARE(uploader.lastErrorMessage(), errorMessage);

    const QJsonDocument reply = finished.at(0).at(1).value<QJsonDocument>();
    if (replyPassedOn)
        QCOMPARE(reply, QJsonDocument::fromJson(body));
    else
        QVERIFY(reply.isNull());
}

void TestJsonUpload::refusedConnectionIsNetworkError()
{
    QUrl closedPort;
    {
        TTestHttpServer server;
        closedPort = server.url(QStringLiteral("/survey"));
    }
    TJsonDocumentUploaderBase uploader(std::make_shared<TJsonDocumentHttpPostSender>());
    QSignalSpy finished(&uploader, &TJsonDocumentUploaderBase::finished);
    uploader.uploadDocument(closedPort, sampleDocument());
    QVERIFY(finished.wait());
    QCOMPARE(finished.at(0).at(0).toBool(), false);
    QCOMPARE(uploader.lastErrorCode(), 0);
    QVERIFY(!uploader.lastErrorMessage().isEmpty());
}

void TestJsonUpload::successClearsEarlierError()
{
    TTestHttpServer server;
    server.setFile(QStringLiteral("/bad"),
                   QByteArrayLiteral("{\"errorCode\":3,\"errorMessage\":\"no\"}"));
    server.setFile(QStringLiteral("/good"), QByteArrayLiteral("{}"));
    TJsonDocumentUploaderBase uploader(std::make_shared<TJsonDocumentHttpPostSender>());
    QSignalSpy finished(&uploader, &TJsonDocumentUploaderBase::finished);

    uploader.uploadDocument(server.url(QStringLiteral("/bad")), sampleDocument());
    QVERIFY(finished.wait());
    QCOMPARE(uploader.lastErrorCode(), 3);
    uploader.uploadDocument(server.url(QStringLiteral("/good")), sampleDocument());
    QTRY_COMPARE(finished.size(), 2);
    QCOMPARE(finished.at(1).at(0).toBool(), true);
    QCOMPARE(uploader.lastErrorCode(), 0);
    QVERIFY(uploader.lastErrorMessage().isEmpty());
}

void TestJsonUpload::answersEveryUploadInFlight()
{
    TTestHttpServer server;
    server.setFile(QStringLiteral("/survey"), QByteArrayLiteral("{\"errorCode\":0}"));
    auto sender = std::make_shared<TJsonDocumentHttpPostSender>();
    TJsonDocumentUploaderBase uploader(sender);
    QSignalSpy finished(&uploader, &TJsonDocumentUploaderBase::finished);
    for (int i = 0; i < 3; ++i)
        uploader.uploadDocument(server.url(QStringLiteral("/survey")), sampleDocument());
    QTRY_COMPARE(finished.size(), 3);
    QCOMPARE(server.requestCount(QStringLiteral("/survey")), 3);
}

void TestJsonUpload::nullSenderNeverFinishes()
{
    TTestHttpServer server;
    server.setFile(QStringLiteral("/survey"), QByteArrayLiteral("{}"));
    TJsonDocumentUploaderBase withoutSender(nullptr);
    QSignalSpy silent(&withoutSender, &TJsonDocumentUploaderBase::finished);
    withoutSender.uploadDocument(server.url(QStringLiteral("/survey")), sampleDocument());

    // A working upload to the same server finishing shows that the event loop has run long
    // enough for any reply of the first.
    TJsonDocumentUploaderBase withSender(std::make_shared<TJsonDocumentHttpPostSender>());
    QSignalSpy finished(&withSender, &TJsonDocumentUploaderBase::finished);
    withSender.uploadDocument(server.url(QStringLiteral("/survey")), sampleDocument());
    QVERIFY(finished.wait());
    QCOMPARE(server.requestCount(QStringLiteral("/survey")), 1);
    QCOMPARE(silent.size(), 0);
}

QTEST_GUILESS_MAIN(TestJsonUpload)
#include "tst_jsonupload.moc"
