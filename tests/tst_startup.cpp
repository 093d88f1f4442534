#include "app/mainwindow.h"
#include "prefs/masterpassword.h"
#include "store/preferences.h"
#include "store/settingsstore.h"
#include "support/dialogdriver.h"
#include "support/testvault.h"
#include "vault/entrylist.h"

#include <QAction>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeView>

namespace {

const QString kLoginTitle = QStringLiteral("Master Application Password");
const QString kLoginLabel = QStringLiteral("Please enter the master password:");
const QString kSetupLabel = QStringLiteral("Please enter a master password you wish to use for this application.\n"
                                           "Make sure you remember this password, it will not be shown again!");

template <typename T> T* child(QWidget& window, const char* name)
{
    return window.findChild<T*>(QLatin1String(name));
}

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
    std::unique_ptr<QTemporaryDir> dir;

    // Stores a vault with a master password and an attempt limit, then forgets it in memory
    // so that the next window loads it from disk.
    void storeVault(int attempts, const QString& hash, bool firstRun = false)
    {
        preferences.maxLoginAttempts = attempts;
        preferences.masterPasswordHash = hash;
        preferences.firstRun = firstRun;
        TestVault::add({QStringLiteral("General"), QStringLiteral("Work"), QStringLiteral("Gamma"),
                        QStringLiteral("beta"), QStringLiteral("Alpha")},
                       {TestVault::makeEntry(QStringLiteral("Mail"), QStringLiteral("Work"), QStringLiteral("me"),
                                             QStringLiteral("https://mail.example"), QStringLiteral("notes"),
                                             QStringLiteral("s3cret")),
                        TestVault::makeEntry(QStringLiteral("Orphan"), QStringLiteral("Work"))});
        QVERIFY(saveSettings().ok);
        TestVault::reset();
    }

    QString storeFile() const { return dir->path() + QLatin1String(kStoreFileName); }

private slots:
    void initTestCase() { DialogDriver::install(); }

    void init()
    {
        dir = std::make_unique<QTemporaryDir>();
        QVERIFY(dir->isValid());
        TestVault::reset(dir->path());
    }

    void cleanup() { VERIFY_DIALOGS_ANSWERED(); }

    void firstStartShowsTheNoticeOnce()
    {
        DialogDriver::answerMessage(
            QStringLiteral("Notice"),
            QStringLiteral("It looks like this is the first time Vaultry is being run.  If you "
                           "are unfamiliar with the application, please take a look at the help "
                           "information available under the \"Help\" menu item."));
        {
            MainWindow window;
            QCOMPARE(categoryNames, QStringList{QStringLiteral("General")});
            QVERIFY(QFile::exists(storeFile()));
            window.close();
        }
        VERIFY_DIALOGS_ANSWERED();
        TestVault::reset();
        MainWindow again; // no notice this time: the driver would report it
        QCOMPARE(categoryNames, QStringList{QStringLiteral("General")});
        QVERIFY(!preferences.firstRun);
    }

    void noLimitMeansNoPrompt()
    {
        storeVault(0, hashMasterPassword(QStringLiteral("pw")));
        MainWindow window;
        QVERIFY(window.isEnabled());
        QCOMPARE(entries.size(), 2);
    }

    void loginAcceptsTheRightPassword_data()
    {
        QTest::addColumn<int>("limit");
        QTest::addColumn<QStringList>("answers"); // "!" cancels
        QTest::newRow("first try") << 3 << QStringList{"pw"};
        QTest::newRow("after two failures") << 3 << QStringList{"wrong", "!", "pw"};
        QTest::newRow("typed text is not trimmed") << 2 << QStringList{" pw", "pw"};
    }

    void loginAcceptsTheRightPassword()
    {
        QFETCH(int, limit);
        QFETCH(QStringList, answers);
        storeVault(limit, hashMasterPassword(QStringLiteral("pw")));
        // Every start allows the full number of attempts again.
        for (int start = 0; start < 2; ++start) {
            for (const QString& answer : answers)
                DialogDriver::answerInput(kLoginTitle, kLoginLabel, answer, answer != QLatin1String("!"));
            MainWindow window;
            VERIFY_DIALOGS_ANSWERED();
            QVERIFY(window.isEnabled());
            QCOMPARE(entries.size(), 2);
            TestVault::reset();
        }
    }

    void attemptLimitWipesTheVault()
    {
        const QString hash = hashMasterPassword(QStringLiteral("pw"));
        storeVault(3, hash);
        DialogDriver::answerInput(kLoginTitle, kLoginLabel, QStringLiteral("a"));
        DialogDriver::answerInput(kLoginTitle, kLoginLabel, QStringLiteral("b"), false);
        DialogDriver::answerInput(kLoginTitle, kLoginLabel, QStringLiteral("c"));
        DialogDriver::answerInput(kLoginTitle, kLoginLabel, QStringLiteral("pw"));
        DialogDriver::answerMessage(QStringLiteral("Notice"), QStringLiteral("Master Password attempt limit reached."));
        MainWindow window;
        VERIFY_DIALOGS_ANSWERED();
        QVERIFY(!window.isEnabled());
        QCOMPARE(categoryNames, QStringList{QStringLiteral("General")});
        QVERIFY(entries.isEmpty());
        // The emptied vault was saved at once, with the same password and limit.
        TestVault::reset();
        QCOMPARE(loadSettings().outcome, StoreLoadResult::Loaded);
        QVERIFY(categoryNames.isEmpty());
        QVERIFY(entries.isEmpty());
        QCOMPARE(preferences.masterPasswordHash, hash);
        QCOMPARE(preferences.maxLoginAttempts, 3);
        // One tray icon and one visibility button, not one per run.
        QCOMPARE(window.findChildren<QSystemTrayIcon*>().size(), 1);
        QCOMPARE(window.statusBar()->findChildren<QPushButton*>().size(), 1);
    }

    void firstLoginSetsThePassword()
    {
        storeVault(1, QString(QLatin1String("")));
        DialogDriver::answerInput(kLoginTitle, kSetupLabel, QString());
        {
            MainWindow window;
            VERIFY_DIALOGS_ANSWERED();
            QCOMPARE(preferences.masterPasswordHash, hashMasterPassword(QString()));
            QCOMPARE(entries.size(), 2);
            window.close();
        }
        TestVault::reset();
        DialogDriver::answerInput(kLoginTitle, kLoginLabel, QString());
        MainWindow again;
        QVERIFY(again.isEnabled());
    }

    void trayToolTipCounts()
    {
        storeVault(0, QString());
        MainWindow window;
        auto* tray = window.findChild<QSystemTrayIcon*>();
        QVERIFY(tray);
        QCOMPARE(tray->toolTip(), QStringLiteral("Vaultry v1.0.5\n5 categories\n2 items"));
        categoryNames = QStringList{QStringLiteral("General")};
        entries.removeAt(0);
        window.refreshView();
        QCOMPARE(tray->toolTip(), QStringLiteral("Vaultry v1.0.5\n1 category\n1 item"));
        categoryNames.clear();
        entries.clear();
        window.refreshView();
        QCOMPARE(tray->toolTip(), QStringLiteral("Vaultry v1.0.5\n0 categories\n0 items"));
    }

    void detailsPanelShowsAndCancels()
    {
        storeVault(0, QString());
        MainWindow window;
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
        // A category row double-clicked keeps the entry in the panel.
        openEntry(window, QStringLiteral("Gamma"));
        QCOMPARE(title->text(), QStringLiteral("Mail"));
        title->setText(QStringLiteral("typed over"));
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
        MainWindow window;
        openEntry(window, QStringLiteral("Mail"));
        categoryNames.removeAll(QStringLiteral("Work"));
        window.refreshView();
        QCOMPARE(child<QComboBox>(window, "comboBoxCategory")->currentIndex(), -1);
    }

    void visibilitySwitchPersists()
    {
        storeVault(0, QString());
        {
            MainWindow window;
            openEntry(window, QStringLiteral("Mail"));
            auto* button = window.statusBar()->findChild<QPushButton*>();
            QCOMPARE(button->text(), QStringLiteral("Password visibility: Hidden"));
            QCOMPARE(button->toolTip(), QStringLiteral("Click to change the current entry's password visibility."));
            button->click();
            QCOMPARE(button->text(), QStringLiteral("Password visibility: Normal"));
            QCOMPARE(child<QLineEdit>(window, "txtEntryPassword")->echoMode(), QLineEdit::Normal);
            QVERIFY(!preferences.hidePassword);
            window.close();
        }
        TestVault::reset();
        MainWindow again;
        QVERIFY(!preferences.hidePassword);
        QCOMPARE(again.statusBar()->findChild<QPushButton*>()->text(), QStringLiteral("Password visibility: Normal"));
    }

    void resetDialogTrimsAndChecks_data()
    {
        QTest::addColumn<QString>("oldPassword");
        QTest::addColumn<QString>("newPassword");
        QTest::addColumn<QString>("retyped");
        QTest::addColumn<QString>("stored"); // empty: unchanged
        QTest::newRow("changed, blanks dropped") << " old "
                                                 << "  new"
                                                 << "new  "
                                                 << "new";
        QTest::newRow("empty new password") << "old"
                                            << ""
                                            << "  "
                                            << "";
        QTest::newRow("wrong old password") << "olD"
                                            << "new"
                                            << "new"
                                            << "-";
        QTest::newRow("new entries differ") << "old"
                                            << "new"
                                            << "nw"
                                            << "-";
    }

    void resetDialogTrimsAndChecks()
    {
        QFETCH(QString, oldPassword);
        QFETCH(QString, newPassword);
        QFETCH(QString, retyped);
        QFETCH(QString, stored);
        storeVault(0, hashMasterPassword(QStringLiteral("old")));
        MainWindow window;
        DialogDriver::answerWith(QStringLiteral("Master Password Reset"), [=](QWidget* dialog) {
            dialog->findChild<QLineEdit*>(QStringLiteral("txtOldPass"))->setText(oldPassword);
            dialog->findChild<QLineEdit*>(QStringLiteral("txtNewPass1"))->setText(newPassword);
            dialog->findChild<QLineEdit*>(QStringLiteral("txtNewPass2"))->setText(retyped);
            dialog->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
        });
        if (stored != QLatin1String("-"))
            DialogDriver::answerMessage(QStringLiteral("Notice"),
                                        QStringLiteral("The master password has been successfully changed."));
        child<QAction>(window, "actionReset_Master_Password")->trigger();
        VERIFY_DIALOGS_ANSWERED();
        const QString expected = hashMasterPassword(stored == QLatin1String("-") ? QStringLiteral("old") : stored);
        QCOMPARE(preferences.masterPasswordHash, expected);
    }

    void resetNeedsAnExistingPassword()
    {
        storeVault(0, QString(QLatin1String("")));
        MainWindow window;
        DialogDriver::answerWith(QStringLiteral("Master Password Reset"), [](QWidget* dialog) {
            dialog->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
        });
        child<QAction>(window, "actionReset_Master_Password")->trigger();
        VERIFY_DIALOGS_ANSWERED();
        QVERIFY(preferences.masterPasswordHash.isEmpty());
    }

    void unreadableStoreNeedsConsent()
    {
        // A directory where the store should be: it exists but cannot be read as a file.
        QVERIFY(QDir(dir->path()).mkdir(QStringLiteral("settings2.vydat")));
        DialogDriver::answerMessageWithButton(QStringLiteral("Notice"), QStringLiteral("settings2.vydat"),
                                              QStringLiteral("Quit"));
        MainWindow refused;
        VERIFY_DIALOGS_ANSWERED();
        QVERIFY(!refused.startedUp());
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
        MainWindow window;
        VERIFY_DIALOGS_ANSWERED();
        QVERIFY(window.startedUp());
        const QStringList copies = QDir(dir->path()).entryList({QStringLiteral("settings2.vydat.damaged*")});
        QCOMPARE(copies.size(), 1);
    }
};

QTEST_MAIN(TestStartup)
#include "tst_startup.moc"
