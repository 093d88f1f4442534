#include "app/dialogfit.h"
#include "app/mainwindow.h"
#include "prefs/masterpassword.h"
#include "store/protectedstore.h"
#include "support/dialogdriver.h"
#include "support/testvault.h"

#include <QAction>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QSpinBox>
#include <QStatusBar>
#include <QTest>
#include <QTreeView>

namespace {

const QString kLoginTitle = QStringLiteral("Master Application Password");
const QString kLoginLabel = QStringLiteral("Please enter the master password:");

// Answers the dialog that chooses a master password with each pair in turn; every pair but the
// last is refused, the dialog staying open and saying why.
void choosePassword(const QList<QStringList>& tries)
{
    DialogDriver::answerWith(kLoginTitle, [tries](QWidget* dialog) {
        QVERIFY(!dialog->findChild<QLineEdit*>(QStringLiteral("txtOldPass"))->isVisible());
        for (int i = 0; i < tries.size(); ++i) {
            dialog->findChild<QLineEdit*>(QStringLiteral("txtNewPass1"))->setText(tries[i].value(0));
            dialog->findChild<QLineEdit*>(QStringLiteral("txtNewPass2"))->setText(tries[i].value(1));
            dialog->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
            QCOMPARE(dialog->isVisible(), i < tries.size() - 1);
        }
    });
}

// The login prompt's label after `failures` wrong passwords out of `limit`.
QString loginLabel(int failures, int limit)
{
    if (failures == 0)
        return kLoginLabel;
    const int left = limit - failures;
    return (left == 1
                ? QStringLiteral("Wrong password. 1 attempt left; after that the vault is deleted.")
                : QStringLiteral("Wrong password. %1 attempts left; after that the vault is deleted.").arg(left)) +
           QLatin1Char('\n') + kLoginLabel;
}

template <typename T> T* child(QWidget& window, const char* name)
{
    return window.findChild<T*>(QLatin1String(name));
}

using TestVault::readFile;

// Opens the entry titled `title` as a double click in the tree would.
void openEntry(MainWindow& window, const QString& title)
{
    auto* tree = child<QTreeView>(window, "treeView");
    const QModelIndexList found = tree->model()->match(tree->model()->index(0, 0), Qt::DisplayRole, title, 1,
                                                       Qt::MatchExactly | Qt::MatchRecursive);
    QVERIFY2(!found.isEmpty(), qPrintable(title));
    tree->setCurrentIndex(found.first());
    emit tree->doubleClicked(found.first());
}

} // namespace

class TestStartup : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<TestVault::Fixture> store;

    // Stores a vault with a master password and an attempt limit, then forgets it in memory
    // so that the next window loads it from disk.
    void storeVault(int attempts, const QString& hash)
    {
        store->state.preferences.maxLoginAttempts = attempts;
        store->state.preferences.masterPasswordHash = hash;
        QVERIFY(store->seed({QStringLiteral("General"), QStringLiteral("Work"), QStringLiteral("Gamma"),
                             QStringLiteral("beta"), QStringLiteral("Alpha")},
                            {TestVault::makeEntry(QStringLiteral("Mail"), QStringLiteral("Work"), QStringLiteral("me"),
                                                  QStringLiteral("https://mail.example"), QStringLiteral("notes"),
                                                  QStringLiteral("s3cret")),
                             TestVault::makeEntry(QStringLiteral("Orphan"), QStringLiteral("Work"))}));
    }

    QString storeFile() const { return store->store.filePath(); }
    Preferences& preferences() const { return store->state.preferences; }
    const Vault& vault() const { return store->state.vault; }

private slots:
    void initTestCase() { DialogDriver::install(); }
    void init() { store = std::make_unique<TestVault::Fixture>(); }

    void cleanup()
    {
        VERIFY_DIALOGS_ANSWERED();
        store.reset();
    }

    void firstStartShowsTheNoticeOnce()
    {
        DialogDriver::answerMessage(
            QStringLiteral("Notice"),
            QStringLiteral("It looks like this is the first time Vaultry is being run.  If you "
                           "are unfamiliar with the application, please take a look at the help "
                           "information available under the \"Help\" menu item."));
        {
            MainWindow window(store->state, store->store);
            QCOMPARE(vault().categoryNames(), QStringList{QStringLiteral("General")});
            QVERIFY(QFile::exists(storeFile()));
            window.close();
        }
        VERIFY_DIALOGS_ANSWERED();
        store->forget();
        MainWindow again(store->state, store->store); // no notice this time: the driver would report it
        QCOMPARE(vault().categoryNames(), QStringList{QStringLiteral("General")});
        QVERIFY(!preferences().firstRun);
    }

    void promptsSitOverTheSplash_data()
    {
        QTest::addColumn<bool>("firstRun");
        QTest::newRow("first-run notice") << true;
        QTest::newRow("login prompt") << false;
    }

    // Shown before the window, in the middle of the screen where the splash is, and wide
    // enough for their titles.
    void promptsSitOverTheSplash()
    {
        QFETCH(bool, firstRun);
        if (!firstRun)
            storeVault(1, hashMasterPassword(QStringLiteral("pw")));
        QRect shown;
        QString title;
        DialogDriver::answerWith(firstRun ? QStringLiteral("Notice") : kLoginTitle, [&](QWidget* dialog) {
            shown = dialog->frameGeometry();
            title = dialog->windowTitle();
            if (auto* input = qobject_cast<QInputDialog*>(dialog)) {
                input->setTextValue(QStringLiteral("pw"));
                input->accept();
            } else {
                dialog->close();
            }
        });
        MainWindow window(store->state, store->store);
        VERIFY_DIALOGS_ANSWERED();
        const QPoint middle = QGuiApplication::primaryScreen()->availableGeometry().center();
        QVERIFY2((shown.center() - middle).manhattanLength() <= 2,
                 qPrintable(QStringLiteral("%1,%2").arg(shown.center().x()).arg(shown.center().y())));
        QVERIFY2(shown.width() >= DialogTitleFitter::widthForTitle(title), qPrintable(QString::number(shown.width())));
    }

    void noLimitMeansNoPrompt()
    {
        storeVault(0, hashMasterPassword(QStringLiteral("pw")));
        MainWindow window(store->state, store->store);
        QVERIFY(window.isEnabled());
        QCOMPARE(vault().entries().size(), 2);
    }

    void login_data()
    {
        QTest::addColumn<int>("limit");
        QTest::addColumn<QStringList>("answers"); // "!" cancels
        QTest::newRow("first try") << 3 << QStringList{"pw"};
        QTest::newRow("after two failures") << 3 << QStringList{"wrong", "PW", "pw"};
        QTest::newRow("typed text is not trimmed") << 2 << QStringList{" pw", "pw"};
        // Cancel is no failed attempt: start-up just ends, and the tray stays inert.
        QTest::newRow("cancelled at the limit") << 1 << QStringList{"!"};
    }

    // Neither a login nor a cancelled one writes the store.
    void login()
    {
        QFETCH(int, limit);
        QFETCH(QStringList, answers);
        const bool passes = answers.last() != QLatin1String("!");
        storeVault(limit, hashMasterPassword(QStringLiteral("pw")));
        const QByteArray file = readFile(storeFile());
        // Every start allows the full number of attempts again.
        for (int start = 0; start < 2; ++start) {
            // After a wrong password the prompt says so, and how many attempts are left.
            for (int i = 0; i < answers.size(); ++i)
                DialogDriver::answerInput(kLoginTitle, loginLabel(i, limit), answers[i],
                                          answers[i] != QLatin1String("!"));
            MainWindow window(store->state, store->store);
            VERIFY_DIALOGS_ANSWERED();
            QCOMPARE(window.startedUp(), passes);
            QCOMPARE(window.startupExitCode(), 0);
            QVERIFY(window.isEnabled());
            QCOMPARE(vault().entries().size(), 2);
            auto* tray = window.findChild<QSystemTrayIcon*>();
            QVERIFY(tray->isVisible());
            emit tray->activated(QSystemTrayIcon::Trigger);
            QCOMPARE(window.isVisible(), passes);
            QCOMPARE(readFile(storeFile()), file);
            store->forget();
        }
    }

    // At the limit the vault and the master password are deleted and saved so at once, the user
    // is told so then, and the program goes on as at a first run: no further prompt, a window
    // that works.
    void attemptLimitWipesTheVault()
    {
        const QString hash = hashMasterPassword(QStringLiteral("pw"));
        storeVault(3, hash);
        const QStringList answers{"a", "b", "c"};
        for (int i = 0; i < answers.size(); ++i)
            DialogDriver::answerInput(kLoginTitle, loginLabel(i, 3), answers[i]);
        DialogDriver::answerMessage(QStringLiteral("Vault Deleted"), QStringLiteral("the vault was deleted"));
        DialogDriver::answerMessage(QStringLiteral("Notice"), QStringLiteral("the first time Vaultry is being run"));
        MainWindow window(store->state, store->store);
        VERIFY_DIALOGS_ANSWERED();
        QVERIFY(window.startedUp());
        QVERIFY(window.isEnabled());
        QVERIFY(child<QAction>(window, "action_Settings")->isEnabled());
        QVERIFY(!child<QAction>(window, "actionReset_Master_Password")->isEnabled());
        QCOMPARE(vault().categoryNames(), QStringList{QStringLiteral("General")});
        QVERIFY(vault().entries().isEmpty());
        QVERIFY(preferences().masterPasswordHash.isEmpty());
        // The emptied vault was saved at once, without the password and the limit.
        StoreState saved;
        QCOMPARE(store->store.load(saved).outcome, StoreLoadResult::Loaded);
        QVERIFY(saved.vault.entries().isEmpty());
        QVERIFY(saved.preferences.masterPasswordHash.isEmpty());
        QCOMPARE(saved.preferences.maxLoginAttempts, 0);
        // One tray icon and one visibility button, not one per run.
        QCOMPARE(window.findChildren<QSystemTrayIcon*>().size(), 1);
        QCOMPARE(window.statusBar()->findChildren<QPushButton*>().size(), 1);
        window.close();
        // The next start asks nothing.
        store->forget();
        MainWindow again(store->state, store->store);
        QVERIFY(again.startedUp());
    }

    void protectedLogin_data()
    {
        QTest::addColumn<int>("limit");
        QTest::addColumn<QStringList>("answers"); // "!" cancels
        QTest::addColumn<bool>("damagedHeader");
        QTest::newRow("right at once") << 1 << QStringList{"pw"} << false;
        // No attempt limit for a file worthless without the password: nothing is deleted.
        QTest::newRow("wrong past the limit, then right") << 1 << QStringList{"wrong", "PW", "pw"} << false;
        QTest::newRow("cancelled") << 3 << QStringList{"!"} << false;
        QTest::newRow("wrong, then cancelled") << 3 << QStringList{"wrong", "!"} << false;
        QTest::newRow("header damaged") << 3 << QStringList() << true;
    }

    // A protected store asks for the master password before anything is read and asks no more
    // after it; a cancel or a file no password opens ends start-up with nothing written.
    void protectedLogin()
    {
        QFETCH(int, limit);
        QFETCH(QStringList, answers);
        QFETCH(bool, damagedHeader);
        store->store.setKdfCalibration([] { return kLowestKdfLimits; });
        QVERIFY(store->store.protect(QStringLiteral("pw")));
        storeVault(limit, hashMasterPassword(QStringLiteral("pw")));
        if (damagedHeader) {
            QFile file(storeFile());
            QVERIFY(file.open(QIODevice::ReadWrite) && file.seek(9) && file.write("\xff", 1) == 1);
        }
        const QByteArray file = readFile(storeFile());
        // The files beside the store but this session's lock.
        const auto filesThere = [this] {
            QStringList names = QDir(store->dir.path()).entryList(QDir::Files | QDir::Hidden);
            names.removeIf([](const QString& name) { return name.endsWith(QLatin1String(".lock")); });
            return names;
        };
        const QStringList files = filesThere();
        const bool passes = !damagedHeader && answers.last() != QLatin1String("!");
        for (int i = 0; i < answers.size(); ++i) {
            DialogDriver::answerInput(
                kLoginTitle,
                i == 0 ? kLoginLabel
                       : QStringLiteral("Wrong master password, or the vault file is damaged.\n") + kLoginLabel,
                answers[i], answers[i] != QLatin1String("!"));
        }
        if (damagedHeader)
            DialogDriver::answerMessage(QStringLiteral("Notice"), QStringLiteral("no password can open it"));
        MainWindow window(store->state, store->store);
        VERIFY_DIALOGS_ANSWERED();
        QCOMPARE(window.startedUp(), passes);
        QCOMPARE(window.startupExitCode(), damagedHeader ? 1 : 0);
        QCOMPARE(vault().entries().size(), passes ? 2 : 0);
        QCOMPARE(preferences().masterPasswordHash.isEmpty(), !passes);
        QCOMPARE(readFile(storeFile()), file);
        QCOMPARE(filesThere(), files);
    }

    // A limit stored without a password (another copy set it so) asks for one, twice; an empty
    // one is refused.
    void firstLoginSetsThePassword()
    {
        storeVault(1, QString(QLatin1String("")));
        choosePassword({{"", ""}, {"pw", "wp"}, {"pw", "pw"}});
        {
            MainWindow window(store->state, store->store);
            VERIFY_DIALOGS_ANSWERED();
            QCOMPARE(preferences().masterPasswordHash, hashMasterPassword(QStringLiteral("pw")));
            QCOMPARE(vault().entries().size(), 2);
            window.close();
        }
        store->forget();
        DialogDriver::answerInput(kLoginTitle, kLoginLabel, QStringLiteral("pw"));
        MainWindow again(store->state, store->store);
        QVERIFY(again.isEnabled());
    }

    void trayToolTipCounts()
    {
        storeVault(0, QString());
        MainWindow window(store->state, store->store);
        auto* tray = window.findChild<QSystemTrayIcon*>();
        QVERIFY(tray);
        QCOMPARE(tray->toolTip(), QStringLiteral("Vaultry v1.0.5\n5 categories\n2 items"));
        EntryList one;
        one.append(vault().entries().at(1));
        store->state.vault.reset({QStringLiteral("General")}, one);
        window.refreshView();
        QCOMPARE(tray->toolTip(), QStringLiteral("Vaultry v1.0.5\n1 category\n1 item"));
        store->state.vault.clear();
        window.refreshView();
        QCOMPARE(tray->toolTip(), QStringLiteral("Vaultry v1.0.5\n0 categories\n0 items"));
    }

    void detailsPanelShowsAndCancels()
    {
        storeVault(0, QString());
        MainWindow window(store->state, store->store);
        window.show();
        openEntry(window, QStringLiteral("Mail"));
        auto* combo = child<QComboBox>(window, "comboBoxCategory");
        QStringList items;
        for (int i = 0; i < combo->count(); ++i)
            items << combo->itemText(i);
        QCOMPARE(items, QStringList({"Alpha", "Gamma", "General", "Work", "beta"}));
        QCOMPARE(combo->currentText(), QStringLiteral("Work"));
        auto* title = child<QLineEdit>(window, "txtEntryTitle");
        auto* notes = child<QPlainTextEdit>(window, "txtEntryNotes");
        QCOMPARE(title->text(), QStringLiteral("Mail"));
        QVERIFY(title->isEnabled());
        QCOMPARE(child<QLineEdit>(window, "txtEntryPassword")->echoMode(), QLineEdit::Password);

        title->setText(QStringLiteral("typed over"));
        notes->setPlainText(QStringLiteral("typed over"));
        combo->setCurrentIndex(0);
        // A category row double-clicked keeps the entry in the panel, edits and all.
        openEntry(window, QStringLiteral("Gamma"));
        QCOMPARE(title->text(), QStringLiteral("typed over"));
        QTest::mouseClick(child<QPushButton>(window, "btnCancelEntryChanges"), Qt::LeftButton);
        QCOMPARE(title->text(), QStringLiteral("Mail"));
        QCOMPARE(notes->toPlainText(), QStringLiteral("notes"));
        QCOMPARE(combo->currentText(), QStringLiteral("Work"));
        auto* tree = child<QTreeView>(window, "treeView");
        QCOMPARE(tree->currentIndex().data().toString(), QStringLiteral("Mail"));
    }

    void unknownCategoryShowsNoSelection()
    {
        storeVault(0, QString());
        MainWindow window(store->state, store->store);
        openEntry(window, QStringLiteral("Mail"));
        QStringList names = vault().categoryNames();
        names.removeAll(QStringLiteral("Work"));
        store->state.vault.reset(names, vault().entries());
        window.refreshView();
        QCOMPARE(child<QComboBox>(window, "comboBoxCategory")->currentIndex(), -1);
    }

    void visibilitySwitchPersists()
    {
        storeVault(0, QString());
        {
            MainWindow window(store->state, store->store);
            openEntry(window, QStringLiteral("Mail"));
            auto* button = window.statusBar()->findChild<QPushButton*>();
            QCOMPARE(button->text(), QStringLiteral("Password visibility: Hidden"));
            QCOMPARE(button->toolTip(), QStringLiteral("Click to change the current entry's password visibility."));
            button->click();
            QCOMPARE(button->text(), QStringLiteral("Password visibility: Normal"));
            QCOMPARE(child<QLineEdit>(window, "txtEntryPassword")->echoMode(), QLineEdit::Normal);
            QVERIFY(!preferences().hidePassword);
            window.close();
        }
        store->forget();
        MainWindow again(store->state, store->store);
        QVERIFY(!preferences().hidePassword);
        QCOMPARE(again.statusBar()->findChild<QPushButton*>()->text(), QStringLiteral("Password visibility: Normal"));
    }

    void resetDialogTrimsAndChecks_data()
    {
        QTest::addColumn<QStringList>("typed"); // tries of the old password, the new one, the new one again
        QTest::addColumn<QString>("stored");    // "-": unchanged
        QTest::newRow("changed, blanks dropped") << QStringList{" old ", "  new", "new  "} << "new";
        QTest::newRow("empty new password, then right") << QStringList{"old", "", "  ", "old", "new", "new"} << "new";
        QTest::newRow("wrong old password, then right")
            << QStringList{"olD", "new", "new", "old", "new", "new"} << "new";
        QTest::newRow("new entries differ, then cancelled") << QStringList{"old", "new", "nw", "!"} << "-";
        QTest::newRow("cancelled") << QStringList{"!"} << "-";
    }

    // The fields are masked whatever the visibility; a wrong try keeps the dialog open, saying
    // what is wrong, and changes nothing; only a right one changes the password and says so.
    void resetDialogTrimsAndChecks()
    {
        QFETCH(QStringList, typed);
        QFETCH(QString, stored);
        storeVault(0, hashMasterPassword(QStringLiteral("old")));
        preferences().hidePassword = false;
        MainWindow window(store->state, store->store);
        DialogDriver::answerWith(QStringLiteral("Master Password Reset"), [=](QWidget* dialog) {
            auto* problem = dialog->findChild<QLabel*>(QStringLiteral("lblProblem"));
            QStringList shownProblems;
            for (int at = 0; at < typed.size(); at += 3) {
                if (typed[at] == QLatin1String("!")) {
                    dialog->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Cancel)->click();
                    break;
                }
                int field = 0;
                for (const char* name : {"txtOldPass", "txtNewPass1", "txtNewPass2"}) {
                    auto* edit = dialog->findChild<QLineEdit*>(QLatin1String(name));
                    QCOMPARE(edit->echoMode(), QLineEdit::Password);
                    edit->setText(typed[at + field++]);
                }
                dialog->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
                const bool last = at + 3 >= typed.size();
                QCOMPARE(dialog->isVisible(), !last || stored == QLatin1String("-"));
                if (dialog->isVisible()) {
                    QVERIFY(problem->isVisible());
                    shownProblems << problem->text();
                }
            }
            // Each problem is told apart.
            QCOMPARE(QSet<QString>(shownProblems.begin(), shownProblems.end()).size(), shownProblems.size());
        });
        if (stored != QLatin1String("-"))
            DialogDriver::answerMessage(QStringLiteral("Notice"),
                                        QStringLiteral("The master password has been successfully changed."));
        QVERIFY(child<QAction>(window, "actionReset_Master_Password")->isEnabled());
        child<QAction>(window, "actionReset_Master_Password")->trigger();
        VERIFY_DIALOGS_ANSWERED();
        const QString expected = hashMasterPassword(stored == QLatin1String("-") ? QStringLiteral("old") : stored);
        QCOMPARE(preferences().masterPasswordHash, expected);
    }

    // Reset is offered only while a master password is set.
    void resetNeedsAnExistingPassword()
    {
        storeVault(0, QString(QLatin1String("")));
        MainWindow window(store->state, store->store);
        QAction* reset = child<QAction>(window, "actionReset_Master_Password");
        QVERIFY(!reset->isEnabled());
        reset->trigger(); // nothing opens: the driver would report a dialog
        VERIFY_DIALOGS_ANSWERED();
        QVERIFY(preferences().masterPasswordHash.isEmpty());
        DialogDriver::answerWith(QStringLiteral("Vaultry Settings"), [](QWidget* dialog) {
            dialog->findChild<QSpinBox*>(QStringLiteral("numMaxLoginAttempts"))->setValue(2);
            dialog->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
        });
        choosePassword({{"pw", "pw"}});
        child<QAction>(window, "action_Settings")->trigger();
        VERIFY_DIALOGS_ANSWERED();
        QVERIFY(reset->isEnabled());
    }

    void unreadableStoreNeedsConsent()
    {
        // A directory where the store should be: it exists but cannot be read as a file.
        QVERIFY(QDir(store->dir.path()).mkdir(QStringLiteral("settings2.vydat")));
        DialogDriver::answerMessageWithButton(QStringLiteral("Notice"), QStringLiteral("settings2.vydat"),
                                              QStringLiteral("Quit"));
        MainWindow refused(store->state, store->store);
        VERIFY_DIALOGS_ANSWERED();
        QVERIFY(!refused.startedUp());
        QCOMPARE(refused.startupExitCode(), 1);
        QVERIFY(QFileInfo(storeFile()).isDir());
    }

    void damagedStoreIsCopiedAside()
    {
        storeVault(0, QString());
        QFile file(storeFile());
        QVERIFY(file.open(QIODevice::ReadWrite));
        file.seek(40);
        file.write("garbage!");
        file.close();
        DialogDriver::answerMessage(QStringLiteral("Notice"), QStringLiteral("damaged"));
        MainWindow window(store->state, store->store);
        VERIFY_DIALOGS_ANSWERED();
        QVERIFY(window.startedUp());
        const QStringList copies = QDir(store->dir.path()).entryList({QStringLiteral("settings2.vydat.damaged*")});
        QCOMPARE(copies.size(), 1);
    }
};

QTEST_MAIN(TestStartup)
#include "tst_startup.moc"
