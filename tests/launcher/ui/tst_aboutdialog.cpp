#include "UiTestPackages.h"
#include "download/TCloudflareCdnTrace.h"
#include "shared/TTranslationManager.h"
#include "ui/TLauncherMainWindow.h"

#include <QApplication>
#include <QDate>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using vorna::launcher::TLauncherMainWindow;
using vorna::shared::TTranslationManager;

namespace {

struct TShownBox
{
    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    Qt::TextFormat format = Qt::AutoText;
    Qt::TextInteractionFlags interaction;
    bool modal = false;
};

// Opens the about box through the window's slot and reads it while it runs modally.
TShownBox openAboutBox(TLauncherMainWindow &Window, QPointer<QMessageBox> &Box)
{
    TShownBox shown;
    QTimer::singleShot(0, &Window, [&] {
        Box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!Box)
            return;
        shown.title = Box->windowTitle();
        shown.text = Box->text();
        shown.icon = Box->icon();
        shown.format = Box->textFormat();
        shown.interaction = Box->textInteractionFlags();
        shown.modal = Box->isModal();
        Box->close();
    });
    Window.onAboutDialogRequested(QStringLiteral("about"));
    return shown;
}

} // namespace

class TestAboutDialog final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { Q_INIT_RESOURCE(resources); }

    void withoutCatalogueShowsIdentifiers()
    {
        QTemporaryDir empty;
        TTranslationManager manager;
        QVERIFY(!manager.load(empty.path()));
        QVERIFY(manager.translator());

        auto pool = uitest::makePool();
        TLauncherMainWindow window(
            {uitest::makePackage({})}, nullptr, false, pool,
            std::make_shared<vorna::launcher::TCloudflareCdnTrace>(QUrl(), pool), nullptr);
        window.show();
        QPointer<QMessageBox> box;
        const TShownBox shown = openAboutBox(window, box);
        QCOMPARE(shown.title, QStringLiteral("launcher.about.title"));
        QCOMPARE(shown.text, QStringLiteral("launcher.about.text"));
        QCOMPARE(shown.icon, QMessageBox::Information);
        QCOMPARE(shown.format, Qt::RichText);
        QCOMPARE(shown.interaction, Qt::TextSelectableByMouse | Qt::LinksAccessibleByMouse);
        QVERIFY(shown.modal);
        // The box goes when it is closed.
        QTRY_VERIFY(!box);
    }

    void catalogueFillsTheSixArguments()
    {
        TTranslationManager manager;
        QVERIFY2(manager.load(QStringLiteral(CORVANE_BIN_DIR)), "launcher.en.qm not built");

        auto pool = uitest::makePool();
        TLauncherMainWindow window(
            {uitest::makePackage({})}, nullptr, false, pool,
            std::make_shared<vorna::launcher::TCloudflareCdnTrace>(QUrl(), pool), nullptr);
        window.show();
        QPointer<QMessageBox> box;
        const TShownBox first = openAboutBox(window, box);
        QCOMPARE(first.title, QStringLiteral("About Corvane Online"));
        const QString year = QString::number(QDate::currentDate().year());
        QVERIFY2(first.text.contains(QStringLiteral("2002&ndash;") + year), qPrintable(first.text));
        const QString licence = QStringLiteral("https://www.gnu.org/licenses/lgpl-3.0.html");
        QVERIFY(first.text.contains(QStringLiteral("<a href=\"%1\">%1</a>").arg(licence)));
        const QString repository = QStringLiteral("https://code.qt.io/cgit/qt/qtbase.git/");
        QVERIFY(first.text.contains(QStringLiteral("<a href=\"%1\">%1</a>").arg(repository)));
        QVERIFY(!first.text.contains(QLatin1Char('%')));

        // Opened again in the same run, the box shows the same year.
        const TShownBox second = openAboutBox(window, box);
        QCOMPARE(second.text, first.text);
    }

    void managerTakesItsTranslatorAlong()
    {
        {
            TTranslationManager manager;
            QVERIFY(manager.load(QStringLiteral(CORVANE_BIN_DIR)));
            QCOMPARE(qtTrId("launcher.about.title"), QStringLiteral("About Corvane Online"));
            // Loading again replaces the translator instead of stacking a second one.
            QVERIFY(manager.load(QStringLiteral(CORVANE_BIN_DIR)));
        }
        QCOMPARE(qtTrId("launcher.about.title"), QStringLiteral("launcher.about.title"));
    }
};

QTEST_MAIN(TestAboutDialog)
#include "tst_aboutdialog.moc"
