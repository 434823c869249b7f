#include "HintImages.h"
#include "UiTestPackages.h"
#include "download/TCloudflareCdnTrace.h"
#include "shared/widgets/QTextBrowserWithNetwork.h"
#include "support/TTestHttpServer.h"
#include "ui/ClickableLabel.h"
#include "ui/THintRow.h"
#include "ui/TLauncherMainWindow.h"

#include <QDesktopServices>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QSignalSpy>
#include <QSpacerItem>
#include <QTest>
#include <QTextDocument>
#include <QVBoxLayout>

#include <algorithm>

using testsupport::TTestHttpServer;
using vorna::launcher::THintRow;
using vorna::launcher::TLauncherMainWindow;

namespace {

::shared::THint makeHint(const QString &Category, const QString &ImageUrl = QString())
{
    ::shared::THint hint;
    hint.richText = QStringLiteral("<style>a { color: #c0c0c0; }</style>News of ") + Category;
    hint.category = Category;
    hint.imageUrl = ImageUrl;
    hint.url = QStringLiteral("https://corvane.example/") + Category;
    return hint;
}

struct TWindowUnderTest
{
    TWindowUnderTest()
        : pool(uitest::makePool()),
          trace(std::make_shared<vorna::launcher::TCloudflareCdnTrace>(QUrl(), pool)),
          window({uitest::makePackage({})}, nullptr, false, pool, trace, nullptr)
    {
        window.show();
    }

    bool spacerInLayout() const { return window.mainLayout()->indexOf(window.spacer()) >= 0; }

    std::shared_ptr<::shared::TDownloadPool> pool;
    std::shared_ptr<vorna::launcher::TCloudflareCdnTrace> trace;
    TLauncherMainWindow window;
};

} // namespace

class TestHintRow final : public QObject
{
    Q_OBJECT

public slots:
    // Stands in for the system browser.
    void openUrl(const QUrl &Url) { m_opened << Url; }

private slots:
    void initTestCase()
    {
        Q_INIT_RESOURCE(resources);
        QDesktopServices::setUrlHandler(QStringLiteral("https"), this, "openUrl");
    }

    void cleanupTestCase() { QDesktopServices::unsetUrlHandler(QStringLiteral("https")); }

    void rowVisibility_data()
    {
        QTest::addColumn<QStringList>("categories");
        QTest::addColumn<bool>("rowVisible");

        QTest::newRow("three categories")
            << QStringList{QStringLiteral("cat1"), QStringLiteral("cat2"), QStringLiteral("cat3")}
            << true;
        QTest::newRow("in another order")
            << QStringList{QStringLiteral("cat3"), QStringLiteral("cat1"), QStringLiteral("cat2")}
            << true;
        QTest::newRow("one hint") << QStringList{QStringLiteral("cat1")} << false;
        QTest::newRow("unknown category completes nothing")
            << QStringList{QStringLiteral("cat1"), QStringLiteral("cat2"), QStringLiteral("cat4")}
            << false;
        QTest::newRow("no hints") << QStringList() << false;
    }

    void rowVisibility()
    {
        QFETCH(QStringList, categories);
        QFETCH(bool, rowVisible);

        TWindowUnderTest test;
        std::vector<::shared::THint> hints;
        for (const QString &category : categories)
            hints.push_back(makeHint(category));
        test.window.setHints(hints);

        QCOMPARE(test.window.hintRow()->isVisible(), rowVisible);
        // The row takes the spacer's place only when it stays.
        QCOMPARE(test.spacerInLayout(), !rowVisible);
        QVERIFY(test.window.footerPanel()->isVisible());
    }

    void slotShowsCaptionImageAndLink()
    {
        TTestHttpServer server;
        server.setFile(QStringLiteral("/wide.png"),
                       uitest::hintImagePng(Qt::red, Qt::blue, QSize(580, 100)));
        TWindowUnderTest test;
        THintRow *row = test.window.hintRow();
        QSignalSpy settled(row, &THintRow::hintImageSettled);
        test.window.setHints(
            {makeHint(QStringLiteral("cat1"), server.url(QStringLiteral("/wide.png")).toString()),
             makeHint(QStringLiteral("cat2")), makeHint(QStringLiteral("cat3"))});

        // The caption is there before the image arrives.
        ClickableLabel *caption = row->captionLabel(0);
        QVERIFY(caption);
        QVERIFY(caption->text().endsWith(QStringLiteral("News of cat1")));
        QCOMPARE(caption->geometry(), QRect(0, 50, 280, 30));
        QVERIFY(caption->styleSheet().contains(QStringLiteral("padding-left: 10px")));
        QVERIFY(row->captionLabel(1)->styleSheet().contains(QStringLiteral("padding-left: 18px")));
        QCOMPARE(caption->toolTip(), QStringLiteral("https://corvane.example/cat1"));

        QTRY_VERIFY(settled.count() == 3);
        // 580 x 100 scaled to cover 290 x 80, centred on the 276 x 80 slot.
        const ClickableLabel *image = row->imageLabel(0);
        QCOMPARE(image->pixmap(Qt::ReturnByValue).size(), QSize(464, 80));
        QCOMPARE(image->geometry().topLeft(), QPoint((276 - 464) / 2, 0));
        QCOMPARE(server.requestCount(QStringLiteral("/wide.png")), 1);

        m_opened.clear();
        QTest::mouseClick(caption, Qt::LeftButton);
        QTest::mouseClick(row->imageLabel(2), Qt::LeftButton);
        QCOMPARE(m_opened, (QList<QUrl>{QUrl(QStringLiteral("https://corvane.example/cat1")),
                                        QUrl(QStringLiteral("https://corvane.example/cat3"))}));
    }

    // The hints document is not signed: its captions load nothing local, its links open only
    // web pages.
    void untrustedCaptionsAndLinks_data()
    {
        QTest::addColumn<QString>("richText");
        QTest::addColumn<QString>("link");
        QTest::addColumn<QString>("shown"); // empty: the caption as it came
        QTest::addColumn<bool>("opened");
        const QString web = QStringLiteral("https://corvane.example/news");
        const QString news = QStringLiteral("<span>News</span>");
        QTest::newRow("markup and a web link")
            << QStringLiteral("<b>News</b> <a href='https://corvane.example/x'>more</a>") << web
            << QString() << true;
        QTest::newRow("file link")
            << QStringLiteral("News") << QStringLiteral("file:///tmp/payload.sh") << QString()
            << false;
        QTest::newRow("share link")
            << QStringLiteral("News") << QStringLiteral("smb://host/x.exe") << QString() << false;
        QTest::newRow("file image")
            << QStringLiteral("<img src='file:///dev/zero'>News") << web << news << true;
        QTest::newRow("relative image")
            << QStringLiteral("<img src='/dev/zero'>News") << web << news << true;
        QTest::newRow("background image")
            << QStringLiteral("<p style='background-image: url(file:///dev/zero)'>News</p>") << web
            << news << true;
        QTest::newRow("style sheet link")
            << QStringLiteral("News<link rel='stylesheet' type='text/css' href='file:///dev/zero'>")
            << web << news << true;
    }

    void untrustedCaptionsAndLinks()
    {
        QFETCH(QString, richText);
        QFETCH(QString, link);
        QFETCH(QString, shown);
        QFETCH(bool, opened);
        QDesktopServices::setUrlHandler(QStringLiteral("file"), this, "openUrl");
        QDesktopServices::setUrlHandler(QStringLiteral("smb"), this, "openUrl");
        TWindowUnderTest test;
        ::shared::THint hint = makeHint(QStringLiteral("cat1"));
        hint.richText = richText;
        hint.url = link;
        test.window.setHints({hint});
        ClickableLabel *caption = test.window.hintRow()->captionLabel(0);
        QVERIFY(caption);
        QCOMPARE(caption->text(), shown.isEmpty() ? richText : shown);
        m_opened.clear();
        QTest::mouseClick(caption, Qt::LeftButton);
        QCOMPARE(m_opened.size(), opened ? 1 : 0);
        QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
        QDesktopServices::unsetUrlHandler(QStringLiteral("smb"));
    }

    void missingImageStillShowsCaption()
    {
        TTestHttpServer server;
        TWindowUnderTest test;
        THintRow *row = test.window.hintRow();
        QSignalSpy settled(row, &THintRow::hintImageSettled);
        test.window.setHints(
            {makeHint(QStringLiteral("cat1"), server.url(QStringLiteral("/gone.png")).toString()),
             makeHint(QStringLiteral("cat2"), QStringLiteral("not a picture")),
             makeHint(QStringLiteral("cat3"))});
        QTRY_COMPARE(settled.count(), 3);
        for (int slot = 0; slot < THintRow::SlotCount; ++slot) {
            QVERIFY(row->imageLabel(slot)->pixmap(Qt::ReturnByValue).isNull());
            QVERIFY(row->captionLabel(slot)->isVisible());
        }
        QVERIFY(row->isVisible());

        // A picture without end is cut off at its size bound; the slot goes on without it.
        server.setFault(QStringLiteral("/endless.png"), TTestHttpServer::TFault::endlessBody());
        settled.clear();
        test.window.setHints({makeHint(QStringLiteral("cat1"),
                                       server.url(QStringLiteral("/endless.png")).toString()),
                              makeHint(QStringLiteral("cat2")), makeHint(QStringLiteral("cat3"))});
        QTRY_VERIFY_WITH_TIMEOUT(
            std::any_of(settled.cbegin(), settled.cend(),
                        [](const QList<QVariant> &Signal) { return Signal.at(0).toInt() == 0; }),
            30000);
        QVERIFY(row->imageLabel(0)->pixmap(Qt::ReturnByValue).isNull());
    }

    void slotsAreWrappedOnce()
    {
        TWindowUnderTest test;
        THintRow *row = test.window.hintRow();
        QCOMPARE(row->rowLayout()->spacing(), 0);
        QCOMPARE(row->rowLayout()->contentsMargins(), QMargins(0, 0, 44, 0));
        QWidget *placeholder = row->placeholder(1);
        QVERIFY(placeholder);
        QCOMPARE(placeholder->size(), QSize(280, 104));

        // A second hint of a category replaces the first in the same slot.
        test.window.setHints({makeHint(QStringLiteral("cat1")), makeHint(QStringLiteral("cat2")),
                              makeHint(QStringLiteral("cat3")), makeHint(QStringLiteral("cat2"))});
        QCOMPARE(row->rowLayout()->count(), 3);
        for (int slot = 0; slot < THintRow::SlotCount; ++slot) {
            QWidget *wrapper = row->slotWrapper(slot);
            QVERIFY(wrapper);
            QCOMPARE(wrapper->size(), QSize(286, 84));
            QCOMPARE(row->slotContainer(slot)->parentWidget(), wrapper);
            QVERIFY(wrapper->styleSheet().contains(QStringLiteral("#8ED838")));
            QCOMPARE(row->rowLayout()->indexOf(wrapper), slot);
        }
        QTRY_VERIFY(!row->placeholder(1));
        QCOMPARE(row->slotContainer(1)->findChildren<ClickableLabel *>().size(), 2);
    }

    void slotMasks_data()
    {
        QTest::addColumn<int>("slot");
        QTest::addColumn<bool>("topLeft");
        QTest::addColumn<bool>("topRight");
        QTest::addColumn<bool>("bottomLeft");
        QTest::addColumn<bool>("bottomRight");

        // Corners of a 276 x 80 slot, 5 pixels inside: the slants are 40 pixels wide.
        QTest::newRow("cat1 slants right") << 0 << true << true << true << false;
        QTest::newRow("cat2 slants both") << 1 << false << true << true << false;
        QTest::newRow("cat3 slants left") << 2 << false << true << true << true;
    }

    void slotMasks()
    {
        QFETCH(int, slot);
        QFETCH(bool, topLeft);
        QFETCH(bool, topRight);
        QFETCH(bool, bottomLeft);
        QFETCH(bool, bottomRight);

        const QRegion mask = THintRow::slotMask(slot, QSize(276, 80));
        QCOMPARE(mask.contains(QPoint(5, 5)), topLeft);
        QCOMPARE(mask.contains(QPoint(270, 5)), topRight);
        QCOMPARE(mask.contains(QPoint(5, 75)), bottomLeft);
        QCOMPARE(mask.contains(QPoint(270, 75)), bottomRight);
        QVERIFY(mask.contains(QPoint(138, 40)));
    }

    void browserFetchesNetworkResourcesThroughThePool()
    {
        TTestHttpServer server;
        const QByteArray png = uitest::hintImagePng(Qt::green, Qt::black, QSize(20, 10));
        server.setFile(QStringLiteral("/image.png"), png);
        auto pool = uitest::makePool();
        QWidget host;
        ::shared::QTextBrowserWithNetwork browser(&host, pool);
        QSignalSpy successes(pool.get(), &::shared::TDownloadPool::success);

        const QUrl url = server.url(QStringLiteral("/image.png"));
        const QVariant placeholder = browser.loadResource(QTextDocument::ImageResource, url);
        const QImage placeholderImage = placeholder.value<QImage>();
        QCOMPARE(placeholderImage.size(), QSize(32, 32));
        QCOMPARE(placeholderImage.format(), QImage::Format_ARGB32_Premultiplied);
        QCOMPARE(qAlpha(placeholderImage.pixel(3, 3)), 0);
        // Asked once, however often the document lays itself out meanwhile.
        browser.loadResource(QTextDocument::ImageResource, url);
        QCOMPARE(browser
                     .loadResource(QTextDocument::StyleSheetResource,
                                   server.url(QStringLiteral("/style.css")))
                     .toInt(),
                 int(QTextDocument::StyleSheetResource));

        QTRY_COMPARE(server.requestCount(QStringLiteral("/image.png")), 1);
        QTRY_VERIFY(browser.loadResource(QTextDocument::ImageResource, url).toByteArray() == png);

        // Outcomes of other users of the pool are not cached.
        const QUrl foreign = server.url(QStringLiteral("/foreign.bin"));
        server.setFile(QStringLiteral("/foreign.bin"), QByteArray("x"));
        pool->enqueue(foreign);
        QTRY_VERIFY(!successes.isEmpty() && successes.last().at(0).toUrl() == foreign);
        QVERIFY(
            browser.loadResource(QTextDocument::ImageResource, foreign).value<QImage>().size() ==
            QSize(32, 32));
    }

private:
    QList<QUrl> m_opened;
};

QTEST_MAIN(TestHintRow)
#include "tst_hintrow.moc"
