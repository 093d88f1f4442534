#include "app/dialogfit.h"
#include "app/mainwindow.h"
#include "app/version.h"
#include "support/dialogdriver.h"
#include "support/testvault.h"
#include "viewer/plaintextwindow.h"

#include <QAction>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QPlainTextEdit>
#include <QPointer>
#include <QScreen>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

namespace {

// Receives the URLs the program hands to the desktop.
class UrlCatcher : public QObject
{
    Q_OBJECT

public:
    QList<QUrl> urls;

public slots:
    void open(const QUrl& url) { urls << url; }
};

QAction* action(QWidget& window, const QString& name)
{
    return window.findChild<QAction*>(name);
}

} // namespace

class TestViewer : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<TestVault::Fixture> store;

private slots:
    void initTestCase() { DialogDriver::install(); }

    void init()
    {
        store = std::make_unique<TestVault::Fixture>();
        QVERIFY(store->seed());
    }

    void cleanup()
    {
        VERIFY_DIALOGS_ANSWERED();
        store.reset();
    }

    void wordWrapFollowsTheMenuItem()
    {
        const QString line = QStringLiteral("word ").repeated(200);
        PlainTextWindow viewer(line + QLatin1Char('\n') + line);
        viewer.show();
        QVERIFY(QTest::qWaitForWindowExposed(&viewer));
        auto* text = viewer.findChild<QPlainTextEdit*>(QStringLiteral("txtText"));
        QAction* wrap = action(viewer, QStringLiteral("actionWord_Wrap"));
        // The item and the text agree from the start, and after each toggle.
        for (const bool wrapped : {false, true, false}) {
            QCOMPARE(wrap->isChecked(), wrapped);
            QCOMPARE(text->lineWrapMode(), wrapped ? QPlainTextEdit::WidgetWidth : QPlainTextEdit::NoWrap);
            QCOMPARE(text->horizontalScrollBar()->maximum() > 0, !wrapped);
            wrap->trigger();
        }
    }

    void everyCloseEmitsFormClosedOnce_data()
    {
        QTest::addColumn<int>("way");
        QTest::newRow("Close item") << 0;
        QTest::newRow("close()") << 1;
        QTest::newRow("close event") << 2;
        QTest::newRow("Escape") << 3;
        QTest::newRow("Ctrl+W") << 4;
    }

    void everyCloseEmitsFormClosedOnce()
    {
        QFETCH(int, way);
        PlainTextWindow viewer(QStringLiteral("text"));
        viewer.show();
        viewer.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&viewer));
        QSignalSpy closed(&viewer, &PlainTextWindow::formClosed);
        QCloseEvent event;
        auto* text = viewer.findChild<QPlainTextEdit*>(QStringLiteral("txtText"));
        if (way == 0)
            action(viewer, QStringLiteral("actionClose"))->trigger();
        else if (way == 1)
            viewer.close();
        else if (way == 2)
            QCoreApplication::sendEvent(&viewer, &event);
        else if (way == 3)
            QTest::keyClick(text, Qt::Key_Escape);
        else
            QTest::keyClick(text, Qt::Key_W, Qt::ControlModifier);
        QCOMPARE(closed.count(), 1);
        QVERIFY(event.isAccepted());
        if (way != 2)
            QVERIFY(!viewer.isVisible());
    }

    // The notes of this release say what it brought: encryption, import, locking and sync.
    void releaseNotesNameTheRelease()
    {
        QFile file(QStringLiteral(":/files/changelog"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QString notes = QString::fromLatin1(file.readAll());
        const QString release = notes.section(QStringLiteral("\n\n"), 0, 0);
        QVERIFY(release.startsWith(readVersion() + QLatin1Char(':')));
        for (const char* topic : {"encrypted", "Import", "Lock", "synced folder"})
            QVERIFY2(release.contains(QLatin1String(topic)), topic);
    }

    void modalWindows_data()
    {
        QTest::addColumn<QString>("actionName"); // empty: the hidden shortcut's call
        QTest::addColumn<int>("buttons");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("text"); // ":/...": that resource's contents
        // Two lines: the version and the project's page.
        QTest::newRow("about") << QStringLiteral("actionAbout") << 1 << "About Vaultry"
                               << QStringLiteral("Vaultry v1.0.5<br>The project's page: <a href=\"" VAULTRY_PROJECT_PAGE
                                                 "\">" VAULTRY_PROJECT_PAGE "</a>");
        QTest::newRow("hidden picture") << QString() << 1 << "Easter Egg Surprise"
                                        << QStringLiteral("<img src=\":/files/c-creep\">");
        QTest::newRow("changelog") << QStringLiteral("actionChangelog") << 0 << "Vaultry Release Notes"
                                   << QStringLiteral(":/files/changelog");
        // No compiled help beside the program or in the working directory: the built-in guide.
        QTest::newRow("help without a help file")
            << QStringLiteral("actionView_Help") << 0 << "Vaultry Help" << QStringLiteral(":/files/help");
    }

    // Each opens over the main window, wholly on the screen and wide enough for its title,
    // blocks until closed, and is gone afterwards.
    void modalWindows()
    {
        QFETCH(QString, actionName);
        QFETCH(QString, title);
        QFETCH(QString, text);
        QFETCH(int, buttons);
        if (text.startsWith(QLatin1String(":/"))) {
            QFile file(text);
            QVERIFY(file.open(QIODevice::ReadOnly));
            text = QString::fromLatin1(file.readAll());
        }
        MainWindow window(store->state, store->store);
        window.show();
        QPointer<QWidget> seen;
        QWidget* parent = nullptr;
        Qt::WindowModality modality = Qt::NonModal;
        QString shown;
        qsizetype shownButtons = 0;
        QRect placed;
        bool scrollsSideways = false;
        DialogDriver::answerWith(title, [&](QWidget* dialog) {
            seen = dialog;
            placed = dialog->frameGeometry();
            parent = dialog->parentWidget();
            modality = dialog->windowModality();
            if (auto* box = qobject_cast<QMessageBox*>(dialog)) {
                shown = box->text();
                shownButtons = box->buttons().size();
            } else if (auto* edit = dialog->findChild<QPlainTextEdit*>(QStringLiteral("txtText"))) {
                shown = edit->toPlainText();
                scrollsSideways = edit->horizontalScrollBar()->maximum() > 0;
            }
            dialog->close();
        });
        if (actionName.isEmpty())
            window.cegg_action();
        else
            action(window, actionName)->trigger();
        QCOMPARE(DialogDriver::pending(), 0);
        QVERIFY(seen.isNull());
        QCOMPARE(parent, &window);
        QCOMPARE(modality, Qt::ApplicationModal);
        QCOMPARE(shown, text);
        QCOMPARE(shownButtons, buttons);
        QVERIFY(window.isVisible());
        const QRect screen = window.screen()->availableGeometry();
        QVERIFY2(screen.contains(placed), qPrintable(QStringLiteral("%1,%2 %3x%4")
                                                         .arg(placed.x())
                                                         .arg(placed.y())
                                                         .arg(placed.width())
                                                         .arg(placed.height())));
        QVERIFY((placed.center() - window.frameGeometry().center()).manhattanLength() <= 2);
        QVERIFY(placed.width() >= DialogTitleFitter::widthForTitle(title));
        // Wide enough for the longest line of the help and the notes.
        QVERIFY(!scrollsSideways);
    }

    void helpOpensAFileUrlInTheWorkingDirectory_data()
    {
        QTest::addColumn<QString>("subdirectory");
        QTest::newRow("plain") << "help";
        // Would start a fragment if the path were pasted into the URL text.
        QTest::newRow("hash") << "help#1";
    }

    void helpOpensAFileUrlInTheWorkingDirectory()
    {
        QFETCH(QString, subdirectory);
        QTemporaryDir base;
        QVERIFY(QDir(base.path()).mkpath(subdirectory));
        const QString directory = QDir(base.path()).filePath(subdirectory);
        QFile help(directory + QStringLiteral("/Vaultry.chm"));
        QVERIFY(help.open(QIODevice::WriteOnly));
        help.close();
        const QString previous = QDir::currentPath();
        QVERIFY(QDir::setCurrent(directory));

        UrlCatcher catcher;
        QDesktopServices::setUrlHandler(QStringLiteral("file"), &catcher, "open");
        MainWindow window(store->state, store->store);
        action(window, QStringLiteral("actionView_Help"))->trigger();
        QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
        QVERIFY(QDir::setCurrent(previous));

        QCOMPARE(catcher.urls.size(), 1);
        QCOMPARE(catcher.urls.first().toLocalFile(), directory + QStringLiteral("/Vaultry.chm"));
        const QString encoded = QString::fromLatin1(catcher.urls.first().toEncoded());
        QVERIFY2(encoded.startsWith(QLatin1String("file:///")) && !encoded.startsWith(QLatin1String("file:////")),
                 qPrintable(encoded));
    }
};

QTEST_MAIN(TestViewer)
#include "tst_viewer.moc"
