#include "configuration/FunnelEvents.h"
#include "support/TTestHttpServer.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSettings>
#include <QStandardPaths>
#include <QtTest>

using testsupport::TTestHttpServer;
using namespace vorna::launcher;

// Funnel events posted to a loopback server, with the per-user settings in a test location.
class TestFunnel : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void freshAccountThenSecondRun();
    void twoDownloadsInOneRun();
    void documentIsIndentedWithThreeMembers();
    void noTargetSendsNothing();

private:
    QJsonObject postedEvent(int Index) const;

    std::unique_ptr<TTestHttpServer> m_server;
    QObject m_parent;
};

void TestFunnel::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    QCoreApplication::setOrganizationName(QStringLiteral("Kelmont GmbH"));
    QCoreApplication::setApplicationName(QStringLiteral("Corvane Online Funnel Test"));
}

void TestFunnel::init()
{
    QSettings().clear();
    m_server = std::make_unique<TTestHttpServer>();
    m_server->setFile(QStringLiteral("/funnel"), "{}");
    const QUrl url = m_server->url(QStringLiteral("/funnel"));
    setFunnelTarget({&m_parent, QStringLiteral("FunnelUuid"), [url] { return url; }});
}

QJsonObject TestFunnel::postedEvent(int Index) const
{
    const auto requests = m_server->requests(QStringLiteral("/funnel"));
    if (Index >= requests.size())
        return {};
    return QJsonDocument::fromJson(requests.at(Index).body).object();
}

void TestFunnel::freshAccountThenSecondRun()
{
    // A first run: the window, then a download, then a verification, each event posted as it
    // happens. The service sees them in that order, each with exactly its three typed members.
    const QStringList steps = {QStringLiteral("launcher_started"),
                               QStringLiteral("launcher_downloaded"),
                               QStringLiteral("launcher_verified")};
    const QStringList firstKeys = {QStringLiteral("FunnelStartedFirst"),
                                   QStringLiteral("FunnelFinishedDownloadingFirst"),
                                   QStringLiteral("FunnelFinished_VerifyingFirst")};
    for (int i = 0; i < steps.size(); ++i) {
        sendFunnelEvent(steps.at(i), firstKeys.at(i));
        QTRY_COMPARE(m_server->requestCount(QStringLiteral("/funnel")), i + 1);
    }

    const QString identifier = QSettings().value(QStringLiteral("FunnelUuid")).toString();
    QCOMPARE(identifier.size(), 36);
    QCOMPARE(identifier, identifier.toLower());
    QStringList received;
    for (int i = 0; i < steps.size(); ++i) {
        const QJsonObject event = postedEvent(i);
        QCOMPARE(event.keys(), (QStringList{QStringLiteral("first"), QStringLiteral("id"),
                                            QStringLiteral("step")}));
        QVERIFY(event.value(QStringLiteral("first")).isBool());
        QVERIFY(event.value(QStringLiteral("id")).isString());
        QVERIFY(event.value(QStringLiteral("step")).isString());
        QCOMPARE(event.value(QStringLiteral("first")).toBool(), true);
        QCOMPARE(event.value(QStringLiteral("id")).toString(), identifier);
        received.append(event.value(QStringLiteral("step")).toString());
    }
    QCOMPARE(received, steps);
    const auto request = m_server->requests(QStringLiteral("/funnel")).first();
    QCOMPARE(request.method, QByteArray("POST"));
    QCOMPARE(request.header("Content-Type"), QByteArray("application/json"));

    // A second run of the same account: same identifier, never first again.
    m_server->clearRequests();
    sendFunnelEvent(QStringLiteral("launcher_started"), QStringLiteral("FunnelStartedFirst"));
    sendFunnelEvent(QStringLiteral("launcher_verified"),
                    QStringLiteral("FunnelFinished_VerifyingFirst"));
    QTRY_COMPARE(m_server->requestCount(QStringLiteral("/funnel")), 2);
    for (int i = 0; i < 2; ++i) {
        QCOMPARE(postedEvent(i).value(QStringLiteral("first")).toBool(), false);
        QCOMPARE(postedEvent(i).value(QStringLiteral("id")).toString(), identifier);
    }
}

void TestFunnel::twoDownloadsInOneRun()
{
    sendFunnelEvent(QStringLiteral("launcher_downloaded"),
                    QStringLiteral("FunnelFinishedDownloadingFirst"));
    QTRY_COMPARE(m_server->requestCount(QStringLiteral("/funnel")), 1);
    sendFunnelEvent(QStringLiteral("launcher_downloaded"),
                    QStringLiteral("FunnelFinishedDownloadingFirst"));
    QTRY_COMPARE(m_server->requestCount(QStringLiteral("/funnel")), 2);
    QCOMPARE(postedEvent(0).value(QStringLiteral("first")).toBool(), true);
    QCOMPARE(postedEvent(1).value(QStringLiteral("first")).toBool(), false);
}

void TestFunnel::documentIsIndentedWithThreeMembers()
{
    const QByteArray document =
        funnelEventDocument(QStringLiteral("launcher_started"), true, QStringLiteral("abc"));
    QCOMPARE(document, QByteArray("{\n    \"first\": true,\n    \"id\": \"abc\",\n"
                                  "    \"step\": \"launcher_started\"\n}\n"));
}

void TestFunnel::noTargetSendsNothing()
{
    setFunnelTarget({});
    sendFunnelEvent(QStringLiteral("launcher_started"), QStringLiteral("FunnelStartedFirst"));
    QVERIFY(!QSettings().contains(QStringLiteral("FunnelUuid")));
}

QTEST_GUILESS_MAIN(TestFunnel)
#include "tst_funnel.moc"
