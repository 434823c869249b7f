#include "shared/THint.h"

#include <QRegularExpression>
#include <QTest>

using shared::THint;

namespace {

const QString linkStyle = QStringLiteral("<style>a { color: #c0c0c0; }</style>");
const QDateTime now =
    QDateTime::fromString(QStringLiteral("2024-05-01T12:00:00.000Z"), Qt::ISODate);

// A hint as parseHints would produce it; the title identifies it in the tests.
THint hint(const char *Title, const QString &After = QString(), const QString &Until = QString())
{
    THint result;
    result.title = QLatin1String(Title);
    result.richText = linkStyle + QLatin1String(Title);
    result.displayAfter = QDateTime::fromString(After, Qt::ISODate);
    result.displayUntil = QDateTime::fromString(Until, Qt::ISODate);
    return result;
}

THint emergencyHint(const char *Title, bool Emergency, const QString &After = QString())
{
    THint result = hint(Title, After);
    result.hasEmergency = true;
    result.emergency = Emergency;
    return result;
}

} // namespace

class TestHints final : public QObject
{
    Q_OBJECT

private slots:
    void parsesHints();
    void dropsHintsWithoutRichText();
    void rejectsDocumentsOfOtherShapes_data();
    void rejectsDocumentsOfOtherShapes();
    void choosesHint_data();
    void choosesHint();
    void alternatesUndatedHintsByMillisecondParity();
};

void TestHints::parsesHints()
{
    const std::vector<THint> hints = shared::parseHints(R"([
        {"title":"News","richText":"<a href='x'>Read</a>","imageUrl":"https://h.test/i.png",
         "category":"cat2","url":"https://h.test/news","displayAfter":"2024-05-01T12:00:00Z",
         "displayUntil":"not a date","emergency":false},
        {"richText":"Second","emergency":"yes","title":3}])");
    QCOMPARE(hints.size(), size_t(2));

    const THint &first = hints[0];
    QCOMPARE(first.title, QStringLiteral("News"));
    QCOMPARE(first.richText, linkStyle + QStringLiteral("<a href='x'>Read</a>"));
    QCOMPARE(first.imageUrl, QStringLiteral("https://h.test/i.png"));
    QCOMPARE(first.category, QStringLiteral("cat2"));
    QCOMPARE(first.url, QStringLiteral("https://h.test/news"));
    QCOMPARE(first.displayAfter, now);
    QVERIFY(!first.displayUntil.isValid());
    QVERIFY(first.hasEmergency);
    QVERIFY(!first.emergency);

    // A key of another type reads as absent, but "emergency" counts by its presence alone.
    const THint &second = hints[1];
    QVERIFY(second.title.isEmpty());
    QVERIFY(second.hasEmergency);
    QVERIFY(!second.emergency);
}

void TestHints::dropsHintsWithoutRichText()
{
    const std::vector<THint> hints = shared::parseHints(R"([
        {"title":"image only","imageUrl":"https://h.test/i.png"},
        {"title":"empty","richText":""},
        5,
        {"title":"kept","richText":"text"}])");
    QCOMPARE(hints.size(), size_t(1));
    QCOMPARE(hints[0].title, QStringLiteral("kept"));
}

void TestHints::rejectsDocumentsOfOtherShapes_data()
{
    QTest::addColumn<QByteArray>("document");
    QTest::addColumn<bool>("warns");

    QTest::newRow("not json") << QByteArray("<html>") << true;
    QTest::newRow("empty body") << QByteArray() << true;
    QTest::newRow("object instead of array") << QByteArray(R"({"richText":"x"})") << false;
}

void TestHints::rejectsDocumentsOfOtherShapes()
{
    QFETCH(QByteArray, document);
    QFETCH(bool, warns);
    if (warns)
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral(
                                               "^Could not parse hints file at offset")));
    QVERIFY(shared::parseHints(document).empty());
}

void TestHints::choosesHint_data()
{
    QTest::addColumn<std::vector<THint>>("hints");
    QTest::addColumn<QString>("expected");

    const QString past = QStringLiteral("2024-04-01T00:00:00Z");
    const QString future = QStringLiteral("2024-06-01T00:00:00Z");
    const QString exactlyNow = QStringLiteral("2024-05-01T12:00:00Z");

    QTest::newRow("no hints") << std::vector<THint>{} << QString();
    QTest::newRow("emergency wins whatever its dates")
        << std::vector<THint>{hint("dated", past), emergencyHint("urgent", true, future)}
        << "urgent";
    QTest::newRow("first emergency in file order")
        << std::vector<THint>{emergencyHint("one", true), emergencyHint("two", true)} << "one";
    QTest::newRow("emergency false is never eligible")
        << std::vector<THint>{emergencyHint("calm", false)} << QString();
    QTest::newRow("dated before undated")
        << std::vector<THint>{hint("undated"), hint("dated", past, future)} << "dated";
    QTest::newRow("only an upper bound counts as dated")
        << std::vector<THint>{hint("undated"), hint("until", QString(), future)} << "until";
    QTest::newRow("expired hint alone")
        << std::vector<THint>{hint("old", QString(), past)} << QString();
    QTest::newRow("future hint falls back to undated")
        << std::vector<THint>{hint("later", future), hint("undated")} << "undated";
    QTest::newRow("bounds are inclusive")
        << std::vector<THint>{hint("edge", exactlyNow, exactlyNow)} << "edge";
}

void TestHints::choosesHint()
{
    QFETCH(std::vector<THint>, hints);
    QFETCH(QString, expected);
    const std::optional<THint> chosen = shared::chooseHint(hints, now);
    QCOMPARE(chosen.has_value(), !expected.isEmpty());
    if (chosen)
        QCOMPARE(chosen->title, expected);
}

void TestHints::alternatesUndatedHintsByMillisecondParity()
{
    const std::vector<THint> hints{
        hint("even"), hint("odd"),
        hint("expired", QString(), QStringLiteral("2000-01-01T00:00:00Z"))};
    QCOMPARE(now.toMSecsSinceEpoch() % 2, 0);
    QCOMPARE(shared::chooseHint(hints, now)->title, QStringLiteral("even"));
    QCOMPARE(shared::chooseHint(hints, now.addMSecs(1))->title, QStringLiteral("odd"));
    QCOMPARE(shared::chooseHint(hints, now.addMSecs(2))->title, QStringLiteral("even"));
}

QTEST_GUILESS_MAIN(TestHints)
#include "tst_hints.moc"
