#include "app/application.h"
#include "app/mainwindow.h"
#include "app/windowsettings.h"
#include "support/dialogdriver.h"
#include "support/testvault.h"

#include <QAction>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QSessionManager>
#include <QStandardPaths>
#include <QStatusBar>
#include <QTest>
#include <QTimer>

#include <QTreeView>
#include <csignal>

#include <unistd.h>

class TestMainWindow : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<TestVault::Fixture> store;

    template <typename T> static T* child(QWidget& window, const char* name)
    {
        T* widget = window.findChild<T*>(QLatin1String(name));
        if (!widget)
            qWarning("missing %s", name);
        return widget;
    }

private slots:
    void initTestCase() { DialogDriver::install(); }

    // A vault with two categories and three entries, already past its first run.
    void init()
    {
        store = std::make_unique<TestVault::Fixture>();
        QVERIFY(
            store->seed({QStringLiteral("General"), QStringLiteral("Work")},
                        {TestVault::makeEntry(QStringLiteral("Mail"), QStringLiteral("Work"), QStringLiteral("me")),
                         TestVault::makeEntry(QStringLiteral("Wiki"), QStringLiteral("Work"), QStringLiteral("you")),
                         TestVault::makeEntry(QStringLiteral("Shop"), QStringLiteral("General"))}));
    }

    void cleanup()
    {
        VERIFY_DIALOGS_ANSWERED();
        store.reset();
    }

    void formHasEveryWidget()
    {
        struct Expected
        {
            const char* name;
            const char* text;
            const char* toolTip;
        };
        const Expected widgets[] = {
            {"label_6", "Dynamic Search", ""},
            {"txtSearch", "", "Type your query here, and all entries containing it will be shown below."},
            {"btnClearDynamicSearch", "Clear", "Clears the dynamic search criteria."},
            {"btnOpenEntry", "", "Opens the selected entry for viewing and editing."},
            {"btnAddEntry", "", "Create a new entry."},
            {"btnAddCategory", "", "Create a new category."},
            {"btnDeleteEntry", "", "Delete the selected category or entry."},
            {"btnExpandAll", "", "Expand all categories."},
            {"btnCollapseAll", "", "Collapse all categories."},
            {"lbl_EntryTitle", "Entry Title", ""},
            {"lbl_EntryCategory", "Category", ""},
            {"lbl_EntryURL", "Website URL", ""},
            {"btnVisitUrl", "Visit", ""},
            {"btnCopyUrl", "Copy", ""},
            {"lbl_EntryUserLoginAccount", "User / Login / Account", ""},
            {"btnCopyAccount", "Copy", ""},
            {"lbl_EntryPasswordPin", "Password / PIN", ""},
            {"btnGeneratePassword", "Generate", ""},
            {"btnCopyPassword", "Copy", ""},
            {"lbl_EntryNotes", "Notes", ""},
            {"lbl_EntryDateCreated", "Date Created:", ""},
            {"lbl_EntryDateModified", "Date Modified:", ""},
            {"btnSaveEntry", "Save", ""},
            {"btnCancelEntryChanges", "Cancel", ""},
        };
        MainWindow window(store->state, store->store);
        for (const Expected& expected : widgets) {
            QWidget* widget = window.findChild<QWidget*>(QLatin1String(expected.name));
            QVERIFY2(widget, expected.name);
            QCOMPARE(widget->toolTip(), QString::fromUtf8(expected.toolTip));
            if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
                QCOMPARE(button->text(), QString::fromUtf8(expected.text));
                // The tree pane's buttons show only their icons.
                QCOMPARE(button->icon().isNull(), *expected.text != '\0');
                if (*expected.text == '\0')
                    QCOMPARE(button->iconSize(), QSize(24, 24));
            } else if (auto* label = qobject_cast<QLabel*>(widget)) {
                QCOMPARE(label->text(), QString::fromUtf8(expected.text));
            }
        }
    }

    // A vault that cannot be saved where it is says so in the title for as long as it is open:
    // changes made in it are not kept.
    void readOnlyVaultIsMarked()
    {
        QTemporaryDir mountPoint;
        const auto mount = [](const QStringList& arguments) {
            return QProcess::execute(QStringLiteral("mount"), arguments) == 0;
        };
        if (::geteuid() != 0 || !mount({QStringLiteral("--bind"), store->dir.path(), mountPoint.path()}))
            QSKIP("needs root to mount a read-only folder");
        const bool readOnly = mount({QStringLiteral("-o"), QStringLiteral("remount,bind,ro"), mountPoint.path()});
        QString title;
        bool loadedReadOnly = false;
        if (readOnly) {
            SettingsStore readOnlyStore(mountPoint.path());
            StoreState state;
            DialogDriver::answerMessage(QStringLiteral("Notice"), QStringLiteral("opened read-only"));
            MainWindow window(state, readOnlyStore);
            loadedReadOnly = readOnlyStore.isReadOnly();
            title = window.windowTitle();
        }
        QProcess::execute(QStringLiteral("umount"), {mountPoint.path()});
        QVERIFY(readOnly);
        QVERIFY(loadedReadOnly);
        QCOMPARE(title, QStringLiteral("Vaultry v1.0.5 (read-only)"));
    }

    void menusAndWidgets()
    {
        MainWindow window(store->state, store->store);
        QCOMPARE(window.objectName(), QStringLiteral("MainWindow"));
        QVERIFY(!window.windowIcon().isNull());
        QCOMPARE(window.windowTitle(), QStringLiteral("Vaultry v1.0.5"));
        auto actionTexts = [&](const char* menuName) {
            QStringList texts;
            for (QAction* action : child<QMenu>(window, menuName)->actions())
                texts << (action->isSeparator() ? QStringLiteral("-") : action->objectName() + '=' + action->text());
            return texts;
        };
        QCOMPARE(child<QMenu>(window, "menu_File")->title(), QStringLiteral("&File"));
        QCOMPARE(child<QMenu>(window, "menu_Help")->title(), QStringLiteral("&Help"));
        QCOMPARE(actionTexts("menu_File"),
                 QStringList({"action_Settings=&Settings", "actionReset_Master_Password=Reset &Master Password", "-",
                              "action_Import=&Import", "action_Export=&Export", "-",
                              "actionCheck_for_Updates=Check for &Updates", "-", "actionLock=&Lock", "-",
                              "actionClose=&Close"}));
        QCOMPARE(window.menuBar()->actions().size(), 3);
        QCOMPARE(window.menuBar()->actions().at(1)->menu(), child<QMenu>(window, "menu_Edit"));
        QCOMPARE(child<QMenu>(window, "menu_Edit")->title(), QStringLiteral("&Edit"));
        QCOMPARE(actionTexts("menu_Edit"), QStringList({"actionUndo=&Undo", "actionRedo=&Redo", "-",
                                                        "actionRenameCategory=Re&name Category...", "-",
                                                        "actionPerformAutoType=Perform Auto-&Type"}));
        QCOMPARE(actionTexts("menu_Help"),
                 QStringList({"actionView_Help=&View Help", "actionChangelog=&Changelog", "actionAbout=&About"}));
        // The keys the menus show: F1 for the help, F2 for a rename.
        QCOMPARE(child<QAction>(window, "actionView_Help")->shortcut(), QKeySequence(QKeySequence::HelpContents));
        QCOMPARE(child<QAction>(window, "actionRenameCategory")->shortcut(), QKeySequence(Qt::Key_F2));
        auto* tree = child<QTreeView>(window, "treeView");
        QVERIFY(tree->isHeaderHidden());
        QCOMPARE(tree->editTriggers(), QAbstractItemView::NoEditTriggers);
        QVERIFY(!child<QComboBox>(window, "comboBoxCategory")->isEditable());
        QVERIFY(child<QPlainTextEdit>(window, "txtEntryNotes"));
        QCOMPARE(child<QPushButton>(window, "btnClearDynamicSearch")->maximumWidth(), 50);
        QCOMPARE(child<QPushButton>(window, "btnVisitUrl")->maximumWidth(), 55);
        QCOMPARE(child<QPushButton>(window, "btnGeneratePassword")->maximumWidth(), 75);
    }

    void startsWithAnEmptyDisabledPanel()
    {
        MainWindow window(store->state, store->store);
        // The details widgets are off until an entry is opened; the tree pane never is.
        for (const char* name : {"txtEntryTitle", "comboBoxCategory", "btnSaveEntry", "btnCancelEntryChanges",
                                 "btnCopyPassword", "lblDateChanged", "lbl_EntryNotes"})
            QVERIFY2(!child<QWidget>(window, name)->isEnabled(), name);
        for (const char* name : {"btnOpenEntry", "btnAddEntry", "btnDeleteEntry", "txtSearch", "btnExpandAll"})
            QVERIFY2(child<QWidget>(window, name)->isEnabled(), name);
        QCOMPARE(child<QLabel>(window, "lblDateCreated")->text(), QString());
    }

    void searchAndClear()
    {
        MainWindow window(store->state, store->store);
        auto* tree = child<QTreeView>(window, "treeView");
        auto* search = child<QLineEdit>(window, "txtSearch");
        QAbstractItemModel* model = tree->model();
        QCOMPARE(model->index(1, 0).data().toString(), QStringLiteral("Work (2)"));
        QTest::keyClicks(search, QStringLiteral("YOU"));
        QCOMPARE(model->index(1, 0).data().toString(), QStringLiteral("Work (1)"));
        QCOMPARE(model->index(0, 0).data().toString(), QStringLiteral("General"));
        QCOMPARE(window.statusBar()->currentMessage(), QString());
        // Nothing matches: the categories stay, and the status bar says why they are empty.
        QTest::keyClicks(search, QStringLiteral("x"));
        QCOMPARE(model->rowCount(), 2);
        QCOMPARE(window.statusBar()->currentMessage(), QStringLiteral("No entries match \"YOUx\"."));
        QTest::keyClick(search, Qt::Key_Backspace);
        QCOMPARE(window.statusBar()->currentMessage(), QString());
        QTest::keyClicks(search, QStringLiteral("zz"));
        QTest::mouseClick(child<QPushButton>(window, "btnClearDynamicSearch"), Qt::LeftButton);
        QCOMPARE(window.statusBar()->currentMessage(), QString());
        QCOMPARE(search->text(), QString());
        QCOMPARE(model->index(1, 0).data().toString(), QStringLiteral("Work (2)"));
        QCOMPARE(model->index(0, 0).data().toString(), QStringLiteral("General (1)"));
    }

    void expandAndCollapse()
    {
        MainWindow window(store->state, store->store);
        window.show();
        auto* tree = child<QTreeView>(window, "treeView");
        const QModelIndex work = tree->model()->index(1, 0);
        QTest::mouseClick(child<QPushButton>(window, "btnExpandAll"), Qt::LeftButton);
        QVERIFY(tree->isExpanded(work));
        QVERIFY(tree->isExpanded(tree->model()->index(0, 0)));
        // Only the categories: an expanded entry row costs every later search a persistent index.
        QVERIFY(!tree->isExpanded(tree->model()->index(0, 0, work)));
        QTest::mouseClick(child<QPushButton>(window, "btnCollapseAll"), Qt::LeftButton);
        QVERIFY(!tree->isExpanded(work));
    }

    void trayClickTogglesTheWindow()
    {
        MainWindow window(store->state, store->store);
        window.show();
        auto* tray = window.findChild<QSystemTrayIcon*>();
        QVERIFY(tray->isVisible());
        emit tray->activated(QSystemTrayIcon::Trigger);
        QVERIFY(!window.isVisible());
        emit tray->activated(QSystemTrayIcon::Context);
        QVERIFY(window.isVisible());
    }

    void closeSavesTheVault()
    {
        {
            MainWindow window(store->state, store->store);
            window.show();
            store->state.vault.addCategory(QStringLiteral("Later"));
            window.findChild<QAction*>(QStringLiteral("actionClose"))->trigger();
            QVERIFY(!window.isVisible());
        }
        StoreState saved;
        QCOMPARE(store->store.load(saved).outcome, StoreLoadResult::Loaded);
        QVERIFY(saved.vault.categoryNames().contains(QStringLiteral("Later")));
    }

    // Where the window was closed, it opens again; the vault file is not touched for it.
    void placeIsRemembered()
    {
        const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
        const QRect placed(screen.left() + 30, screen.top() + 40, 600, 500);
        {
            MainWindow window(store->state, store->store);
            // Never shown before: the middle of the screen, where the splash was.
            QCOMPARE(window.frameGeometry().center(), screen.center());
            window.show();
            QVERIFY(QTest::qWaitForWindowExposed(&window));
            window.setGeometry(placed);
            QTRY_COMPARE(window.geometry(), placed);
            window.close();
        }
        QVERIFY(QFile::exists(WindowSettings::filePath()));
        const QByteArray vaultBytes = [this] {
            QFile file(store->store.filePath());
            return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
        }();
        store->forget();
        MainWindow again(store->state, store->store);
        QCOMPARE(again.geometry(), placed);
        again.show();
        QVERIFY(QTest::qWaitForWindowExposed(&again));
        QCOMPARE(again.geometry(), placed);
        QFile file(store->store.filePath());
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), vaultBytes);
    }

    // List files are looked for in the documents folder at first, then where the last list
    // went, also in a later run.
    void listFolderIsRemembered()
    {
        const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
        const QString first = QFileInfo(documents).isDir() ? documents : QDir::homePath();
        const QString folder = store->path(QStringLiteral("lists"));
        QVERIFY(QDir().mkpath(folder));
        QString started;
        auto startedIn = [&started](QWidget* dialog) {
            started = QFileInfo(qobject_cast<QFileDialog*>(dialog)->directory().absolutePath()).canonicalFilePath();
        };
        DialogDriver::answerWith(QStringLiteral("Export Vaultry list"), [&](QWidget* dialog) {
            startedIn(dialog);
            DialogDriver::chooseFile(dialog, folder + QStringLiteral("/out.vydl"));
        });
        const QString passwordTitle = QStringLiteral("Vaultry list password");
        DialogDriver::answerInput(passwordTitle, QStringLiteral("Enter a password to lock the exported list."), "pw");
        DialogDriver::answerInput(passwordTitle, QStringLiteral("Re-enter the password."), "pw");
        DialogDriver::answerMessage(QStringLiteral("Vaultry Export"), QStringLiteral("Export complete."));
        {
            MainWindow window(store->state, store->store);
            child<QAction>(window, "action_Export")->trigger();
            VERIFY_DIALOGS_ANSWERED();
        }
        QCOMPARE(started, QFileInfo(first).canonicalFilePath());

        store->forget();
        MainWindow again(store->state, store->store);
        DialogDriver::answerWith(QStringLiteral("Import into Vaultry"), [&](QWidget* dialog) {
            startedIn(dialog);
            DialogDriver::chooseFile(dialog, QString());
        });
        child<QAction>(again, "action_Import")->trigger();
        VERIFY_DIALOGS_ANSWERED();
        QCOMPARE(started, QFileInfo(folder).canonicalFilePath());
    }

    // A log-out that may still be cancelled, or a checkpoint, saves the vault and leaves the
    // window open; only the end of the session (here: Close) ends the program.
    void sessionSaveKeepsRunning()
    {
        auto* manager = qApp->findChild<QSessionManager*>();
        if (!manager)
            QSKIP("this Qt has no session manager");
        TerminationSignals termination;
        MainWindow window(store->state, store->store);
        bool stillOpen = false;
        StoreState saved;
        QTimer::singleShot(0, &window, [&] {
            store->state.vault.addCategory(QStringLiteral("Later"));
            emit qApp->commitDataRequest(*manager);
            stillOpen = window.isVisible() && !window.hasClosed();
            store->store.load(saved);
            window.close();
        });
        QCOMPARE(runMainWindow(window, nullptr, termination), 0);
        QVERIFY(stillOpen);
        QVERIFY(saved.vault.categoryNames().contains(QStringLiteral("Later")));
    }

    void endsWithoutQuestions_data()
    {
        QTest::addColumn<bool>("signal"); // else the session's end, which quits the application
        QTest::newRow("SIGTERM") << true;
        QTest::newRow("quit") << false;
    }

    // Told to end, the program asks nothing about unsaved edits in the panel: nobody may be
    // there to answer. The vault is saved without them.
    void endsWithoutQuestions()
    {
        QFETCH(bool, signal);
        TerminationSignals termination;
        MainWindow window(store->state, store->store);
        bool hung = false;
        QTimer::singleShot(0, &window, [&] {
            auto* tree = child<QTreeView>(window, "treeView");
            tree->setCurrentIndex(tree->model()
                                      ->match(tree->model()->index(0, 0), Qt::DisplayRole, "Mail", 1,
                                              Qt::MatchExactly | Qt::MatchRecursive)
                                      .value(0));
            QTest::mouseClick(child<QPushButton>(window, "btnOpenEntry"), Qt::LeftButton);
            child<QLineEdit>(window, "txtEntryTitle")->setText(QStringLiteral("Typed"));
            if (signal)
                ::raise(SIGTERM);
            else
                QCoreApplication::quit();
        });
        QTimer guard; // a question nobody answers would keep the loop running
        guard.setSingleShot(true);
        connect(&guard, &QTimer::timeout, this, [&hung] {
            hung = true;
            QCoreApplication::exit(1);
        });
        guard.start(10000);
        QCOMPARE(runMainWindow(window, nullptr, termination), 0);
        QVERIFY(!hung);
        QVERIFY(window.hasClosed());
        StoreState saved;
        QCOMPARE(store->store.load(saved).outcome, StoreLoadResult::Loaded);
        QCOMPARE(saved.vault.entries().first().title, QStringLiteral("Mail"));
    }

    // A close that comes before the event loop runs (a quick user, a signal, the session
    // manager) still saves and ends the program instead of leaving it running unseen.
    void closeBeforeTheEventLoopEndsTheProgram()
    {
        TerminationSignals termination;
        MainWindow window(store->state, store->store);
        store->state.vault.addCategory(QStringLiteral("Later"));
        window.close();
        bool hung = false;
        QTimer guard; // ends a loop that should never have started
        guard.setSingleShot(true);
        connect(&guard, &QTimer::timeout, this, [&hung] {
            hung = true;
            QCoreApplication::exit(1);
        });
        guard.start(10000);
        QCOMPARE(runMainWindow(window, nullptr, termination), 0);
        QVERIFY(!hung);
        QVERIFY(!window.isVisible());
        StoreState saved;
        QCOMPARE(store->store.load(saved).outcome, StoreLoadResult::Loaded);
        QVERIFY(saved.vault.categoryNames().contains(QStringLiteral("Later")));
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
