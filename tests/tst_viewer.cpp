#include "app/mainwindow.h"
#include "store/preferences.h"
#include "store/settingsstore.h"
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

QAction* action(QWidget& window, const char* name)
{
    return window.findChild<QAction*>(QLatin1String(name));
}

} // namespace

class TestViewer : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir storeDir;

private slots:
    void initTestCase()
    {
        QVERIFY(storeDir.isValid());
        DialogDriver::install();
    }

    void init()
    {
        TestVault::reset(storeDir.path());
        preferences.firstRun = false;
        QVERIFY(saveSettings().ok);
    }

    void cleanup() { VERIFY_DIALOGS_ANSWERED(); }

    void wordWrapFollowsTheMenuItem()
    {
        const QString line = QStringLiteral("word ").repeated(200);
        PlainTextWindow viewer(line + QLatin1Char('\n') + line);
        viewer.show();
        QVERIFY(QTest::qWaitForWindowExposed(&viewer));
        auto* text = viewer.findChild<QPlainTextEdit*>(QStringLiteral("txtText"));
        QAction* wrap = action(viewer, "actionWord_Wrap");
        QCOMPARE(text->toPlainText(), line + QLatin1Char('\n') + line);
        // The item and the text agree from the start.
        QVERIFY(!wrap->isChecked());
        QCOMPARE(text->lineWrapMode(), QPlainTextEdit::NoWrap);
        QVERIFY(text->horizontalScrollBar()->maximum() > 0);

        wrap->trigger();
        QCOMPARE(text->lineWrapMode(), QPlainTextEdit::WidgetWidth);
        QCOMPARE(text->horizontalScrollBar()->maximum(), 0);

        wrap->trigger();
        QCOMPARE(text->lineWrapMode(), QPlainTextEdit::NoWrap);
        QVERIFY(text->horizontalScrollBar()->maximum() > 0);
    }

    void everyCloseEmitsFormClosedOnce_data()
    {
        QTest::addColumn<int>("way");
        QTest::newRow("Close item") << 0;
        QTest::newRow("close()") << 1;
        QTest::newRow("close event") << 2;
    }

    void everyCloseEmitsFormClosedOnce()
    {
        QFETCH(int, way);
        PlainTextWindow viewer(QStringLiteral("text"));
        viewer.show();
        QSignalSpy closed(&viewer, &PlainTextWindow::formClosed);
        if (way == 0) {
            action(viewer, "actionClose")->trigger();
        } else if (way == 1) {
            viewer.close();
        } else {
            QCloseEvent event;
            QCoreApplication::sendEvent(&viewer, &event);
            QVERIFY(event.isAccepted());
        }
        QCOMPARE(closed.count(), 1);
        if (way != 2)
            QVERIFY(!viewer.isVisible());
    }

    void changelogOpensModalAndReturnsWhenClosed()
    {
        QFile file(QStringLiteral(":/files/changelog"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QString changelog = QString::fromLatin1(file.readAll());
        QVERIFY(changelog.startsWith(QLatin1String("1.0.5:\n")));

        MainWindow window;
        window.show();
        QPointer<QWidget> seen;
        QWidget* parent = nullptr;
        Qt::WindowModality modality = Qt::NonModal;
        QString shown;
        DialogDriver::answerWith(QStringLiteral("Quillmere"), [&](QWidget* dialog) {
            seen = dialog;
            parent = dialog->parentWidget();
            modality = dialog->windowModality();
            if (auto* text = dialog->findChild<QPlainTextEdit*>(QStringLiteral("txtText")))
                shown = text->toPlainText();
            if (QAction* close = action(*dialog, "actionClose"))
                close->trigger();
            else
                dialog->close();
        });
        action(window, "actionChangelog")->trigger();
        // Back here only after the viewer closed, and it is gone.
        QCOMPARE(DialogDriver::pending(), 0);
        QVERIFY(seen.isNull());
        QCOMPARE(parent, &window);
        QCOMPARE(modality, Qt::ApplicationModal);
        QCOMPARE(shown, changelog);
        QVERIFY(window.isVisible());
    }

    void messageBoxes_data()
    {
        QTest::addColumn<QString>("actionName");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("text");
        QTest::newRow("about") << "actionAbout"
                               << "About Vaultry"
                               << "Vaultry v1.0.5\nhttps://vaultry.example.org";
        QTest::newRow("hidden picture") << ""
                                        << "Easter Egg Surprise"
                                        << "<img src=\":/files/c-creep\">";
    }

    void messageBoxes()
    {
        QFETCH(QString, actionName);
        QFETCH(QString, title);
        QFETCH(QString, text);
        MainWindow window;
        QString shown;
        QWidget* parent = nullptr;
        qsizetype buttons = 0;
        DialogDriver::answerWith(title, [&](QWidget* dialog) {
            parent = dialog->parentWidget();
            if (auto* box = qobject_cast<QMessageBox*>(dialog)) {
                shown = box->text();
                buttons = box->buttons().size();
            }
            dialog->close();
        });
        if (actionName.isEmpty())
            window.cegg_action();
        else
            action(window, qPrintable(actionName))->trigger();
        QCOMPARE(shown, text);
        QCOMPARE(parent, &window);
        QCOMPARE(buttons, 1);
    }

    void helpOpensAFileUrlInTheWorkingDirectory_data()
    {
        QTest::addColumn<QString>("subdirectory");
        QTest::newRow("plain") << "help";
        QTest::newRow("space") << "my help";
        // Would start a fragment if the path were pasted into the URL text.
        QTest::newRow("hash") << "help#1";
    }

    void helpOpensAFileUrlInTheWorkingDirectory()
    {
        QFETCH(QString, subdirectory);
        QTemporaryDir base;
        QVERIFY(QDir(base.path()).mkpath(subdirectory));
        const QString directory = QDir(base.path()).filePath(subdirectory);
        const QString previous = QDir::currentPath();
        QVERIFY(QDir::setCurrent(directory));

        UrlCatcher catcher;
        QDesktopServices::setUrlHandler(QStringLiteral("file"), &catcher, "open");
        MainWindow window;
        action(window, "actionView_Help")->trigger();
        QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
        QVERIFY(QDir::setCurrent(previous));

        QCOMPARE(catcher.urls.size(), 1);
        const QUrl url = catcher.urls.first();
        QCOMPARE(url.toLocalFile(), directory + QStringLiteral("/Vaultry.chm"));
        const QString encoded = QString::fromLatin1(url.toEncoded());
        QVERIFY2(encoded.startsWith(QLatin1String("file:///")) && !encoded.startsWith(QLatin1String("file:////")),
                 qPrintable(encoded));
    }
};

QTEST_MAIN(TestViewer)
#include "tst_viewer.moc"
