#include "app/clipboardguard.h"
#include "app/idlewatcher.h"
#include "app/mainwindow.h"
#include "prefs/masterpassword.h"
#include "store/localsettings.h"
#include "store/payload.h"
#include "store/protectedstore.h"
#include "store/settingsstore.h"
#include "store/storeprotection.h"
#include "support/dialogdriver.h"
#include "support/testvault.h"
#include "sync/fileread.h"

#include <QAction>
#include <QCheckBox>
#include <QClipboard>
#include <QDialogButtonBox>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QStatusBar>
#include <QTest>
#include <QTreeView>

namespace {

const QString kPassword = QStringLiteral("open sesame");
const QString kTitle = QStringLiteral("Master Application Password");
const QString kAsk = QStringLiteral("Please enter the master password:");
const QString kWrongOrDamaged =
    QStringLiteral("Wrong master password, or the vault file is damaged.\nPlease enter the master password:");

using TestVault::readFile;

template <typename T> T* child(const QWidget& window, const char* name)
{
    T* found = window.findChild<T*>(QLatin1String(name));
    if (!found)
        qFatal("no child %s", name);
    return found;
}

// Every entry row the tree shows.
int shownEntries(const QTreeView* tree)
{
    const QAbstractItemModel* model = tree->model();
    int count = 0;
    if (!model)
        return 0;
    for (int row = 0; row < model->rowCount(); ++row)
        count += model->rowCount(model->index(row, 0));
    return count;
}

void openEntry(MainWindow& window, const QString& title)
{
    auto* tree = child<QTreeView>(window, "treeView");
    const QModelIndexList found = tree->model()->match(tree->model()->index(0, 0), Qt::DisplayRole, title, 1,
                                                       Qt::MatchExactly | Qt::MatchRecursive);
    QVERIFY2(!found.isEmpty(), qPrintable(title));
    tree->setCurrentIndex(found.first());
    QTest::mouseClick(child<QPushButton>(window, "btnOpenEntry"), Qt::LeftButton);
}

} // namespace

// Locking the window (File > Lock, idle time, the desktop's lock), the clipboard's clearing and
// the choice of a protected store in the settings, in the real window.
class TestLocking : public QObject
{
    Q_OBJECT

    std::unique_ptr<TestVault::Fixture> store;
    qint64 now = 0;

    MonotonicClock clock()
    {
        return [this] { return now; };
    }

    // A vault with two entries, the master password set (limit 3) and, when asked, protected.
    void seed(bool protectedStore, const LocalSettings& local = LocalSettings())
    {
        QVERIFY(saveLocalSettings(store->dir.path(), local));
        store->state.preferences.masterPasswordHash = hashMasterPassword(kPassword);
        store->state.preferences.maxLoginAttempts = 3;
        if (protectedStore)
            QVERIFY(store->store.protect(kPassword));
        QVERIFY(store->seed({QStringLiteral("General")},
                            {TestVault::makeEntry(QStringLiteral("Mail"), QStringLiteral("General"),
                                                  QStringLiteral("me"), QString(), QString(), QStringLiteral("s3cret")),
                             TestVault::makeEntry(QStringLiteral("Bank"), QStringLiteral("General"))}));
    }

    // The window over the seeded vault, logged in.
    std::unique_ptr<MainWindow> openWindow()
    {
        DialogDriver::answerInput(kTitle, kAsk, kPassword);
        auto window = std::make_unique<MainWindow>(store->state, store->store);
        window->useClock(clock());
        return window;
    }

    // The window shows nothing of the vault, and offers to unlock.
    void verifyLocked(const MainWindow& window)
    {
        QVERIFY(window.isWindowLocked());
        QCOMPARE(shownEntries(child<QTreeView>(window, "treeView")), 0);
        const QAbstractItemModel* shown = child<QTreeView>(window, "treeView")->model();
        QVERIFY(!shown || shown->rowCount() == 0);
        QCOMPARE(child<QLineEdit>(window, "txtSearch")->text(), QString());
        for (const char* field : {"txtEntryTitle", "txtEntryAccount", "txtEntryPassword"})
            QCOMPARE(child<QLineEdit>(window, field)->text(), QString());
        QVERIFY(!child<QWidget>(window, "lockPage")->isHidden());
        QVERIFY(!child<QWidget>(window, "btnOpenEntry")->isEnabled());
        QVERIFY(!child<QAction>(window, "action_Export")->isEnabled());
    }

private slots:
    void initTestCase() { DialogDriver::install(); }

    void init()
    {
        now = 0;
        store = std::make_unique<TestVault::Fixture>();
        store->store.setKdfCalibration([] { return kLowestKdfLimits; });
    }

    void cleanup()
    {
        VERIFY_DIALOGS_ANSWERED();
        store.reset();
    }

    void passwordAskedForAFileFromElsewhere_data()
    {
        QTest::addColumn<bool>("protectedHere");
        QTest::addColumn<QString>("thereWith"); // the master password the other computer protected it with
        QTest::newRow("changed over there") << true << QStringLiteral("changed over there");
        QTest::newRow("protected over there, same password") << false << QString(kPassword);
    }

    // The other computer protected the vault under a master password of its own, or turned
    // protection on under the same one: its file is asked about (saying which, never a false "another
    // password"), a wrong answer asks again, and the right one merges it and is kept for later saves.
    void passwordAskedForAFileFromElsewhere()
    {
        QFETCH(bool, protectedHere);
        QFETCH(QString, thereWith);
        seed(protectedHere);
        std::unique_ptr<MainWindow> window = openWindow();
        window->show();
        Payload theirs = snapshotOf(store->state);
        theirs.preferences.masterPasswordHash = hashMasterPassword(thereWith);
        theirs.entries.append(TestVault::makeEntry(QStringLiteral("Wiki"), QStringLiteral("General")));
        const std::unique_ptr<ProtectionKey> theirKey = ProtectionKey::create(thereWith, kLowestKdfLimits);
        QVERIFY(theirKey);

        const QString title = protectedHere ? QStringLiteral("Master Password Changed Elsewhere")
                                            : QStringLiteral("Vault Protected Elsewhere");
        const QString ask = protectedHere
                                ? QStringLiteral("The vault file was protected with another master password on "
                                                 "another computer. Enter that master password to take in its "
                                                 "changes:")
                                : QStringLiteral("Protection by the master password was turned on for the vault "
                                                 "file on another computer. Enter the master password to take "
                                                 "in its changes:");
        DialogDriver::answerInput(title, ask, QStringLiteral("wrong"));
        DialogDriver::answerInput(title,
                                  QStringLiteral("That is not the vault file's master password. Enter the master "
                                                 "password set on the other computer:"),
                                  thereWith);
        QVERIFY(writeStoreFile(store->store.filePath(), encodeProtectedStore(encodePayload(theirs), *theirKey)).ok);
        QTRY_VERIFY(store->state.vault.entries().size() == 3);
        QCOMPARE(store->state.preferences.masterPasswordHash, hashMasterPassword(thereWith));
        QVERIFY(knownProtectedHere(store->store.filePath())); // never saved in the ordinary form again

        window->close();
        QByteArray plain;
        QCOMPARE(openProtectedStore(readFile(store->store.filePath()), thereWith, plain), ProtectedOutcome::Opened);
        Payload saved;
        QVERIFY(decodePayload(plain, saved));
        QCOMPARE(saved.entries.size(), 3);
    }

    void lockAndUnlock_data()
    {
        QTest::addColumn<bool>("protectedStore");
        QTest::addColumn<QString>("how");
        QTest::newRow("ordinary, File > Lock") << false << "action";
        QTest::newRow("ordinary, idle") << false << "idle";
        QTest::newRow("ordinary, session locked") << false << "session";
        QTest::newRow("protected, File > Lock") << true << "action";
        QTest::newRow("protected, idle") << true << "idle";
    }

    // Locked, the window shows no entry; a protected vault leaves memory, saved first, and only
    // the master password brings it back.
    void lockAndUnlock()
    {
        QFETCH(bool, protectedStore);
        QFETCH(QString, how);
        LocalSettings local;
        local.idleLockMinutes = 2;
        seed(protectedStore, local);
        if (protectedStore)
            DialogDriver::answerInput(kTitle, kAsk, kPassword); // the store's own prompt; no login after it
        std::unique_ptr<MainWindow> window = protectedStore ? [&] {
            auto made = std::make_unique<MainWindow>(store->state, store->store);
            made->useClock(clock());
            return made;
        }()
                                                            : openWindow();
        QVERIFY(window->startedUp());
        VERIFY_DIALOGS_ANSWERED();
        auto* lockAction = child<QAction>(*window, "actionLock");
        QCOMPARE(lockAction->shortcut(), QKeySequence(QStringLiteral("Ctrl+L")));
        openEntry(*window, QStringLiteral("Mail"));
        child<QLineEdit>(*window, "txtSearch")->setText(QStringLiteral("Ma"));
        QCOMPARE(child<QLineEdit>(*window, "txtEntryPassword")->text(), QStringLiteral("s3cret"));
        store->state.vault.addCategory(QStringLiteral("Added since"));
        // Open categories stay open across the lock.
        auto* tree = child<QTreeView>(*window, "treeView");
        const auto generalOpen = [tree] {
            const QModelIndexList found = tree->model()->match(tree->model()->index(0, 0), Qt::EditRole,
                                                               QStringLiteral("General"), 1, Qt::MatchExactly);
            return !found.isEmpty() && tree->isExpanded(found.first());
        };
        QVERIFY(generalOpen());
        // A new entry never saved is kept hidden with its typed title, in the panel only, never in the file.
        QTest::mouseClick(child<QPushButton>(*window, "btnAddEntry"), Qt::LeftButton);
        QCOMPARE(store->state.vault.entries().size(), 2);
        child<QLineEdit>(*window, "txtEntryTitle")->setText(QStringLiteral("Half typed"));

        auto* watcher = window->findChild<IdleWatcher*>();
        QVERIFY(watcher && watcher->isEnabled());
        if (how == QLatin1String("action")) {
            lockAction->trigger();
        } else if (how == QLatin1String("idle")) {
            now += 2 * 60 * 1000 - 1;
            watcher->checkTime();
            QVERIFY(!window->isWindowLocked());
            now += 1;
            watcher->checkTime();
        } else {
            emit watcher->lockRequested(IdleWatcher::SessionLocked);
        }
        verifyLocked(*window);
        QVERIFY(!lockAction->isEnabled());
        QVERIFY(!watcher->isEnabled());
        QCOMPARE(store->state.vault.entries().size(), protectedStore ? 0 : 2);
        if (protectedStore) {
            // Saved before it left memory: the file holds the change.
            QByteArray payload;
            QCOMPARE(openProtectedStore(readFile(store->store.filePath()), kPassword, payload),
                     ProtectedOutcome::Opened);
            QVERIFY(payload.contains(QByteArray("\0A\0d\0d\0e\0d", 10)));
            // Nothing saved over it while locked, whatever asks.
            const QByteArray file = readFile(store->store.filePath());
            QVERIFY(store->store.save(store->state).ok);
            QCOMPARE(readFile(store->store.filePath()), file);
        }

        DialogDriver::answerInput(kTitle, kAsk, QStringLiteral("guess"));
        DialogDriver::answerInput(
            kTitle, protectedStore ? kWrongOrDamaged : QStringLiteral("Wrong master password.\n") + kAsk, kPassword);
        QTest::mouseClick(child<QPushButton>(*window, "btnUnlock"), Qt::LeftButton);
        VERIFY_DIALOGS_ANSWERED();
        QVERIFY(!window->isWindowLocked());
        QCOMPARE(shownEntries(child<QTreeView>(*window, "treeView")), 2);
        QCOMPARE(child<QLineEdit>(*window, "txtEntryTitle")->text(), QStringLiteral("Half typed"));
        QVERIFY(store->state.vault.categoryNames().contains(QStringLiteral("Added since")));
        QVERIFY(generalOpen());
        QVERIFY(child<QWidget>(*window, "lockPage")->isHidden());
        QVERIFY(child<QWidget>(*window, "btnOpenEntry")->isEnabled());
        QVERIFY(child<QAction>(*window, "action_Export")->isEnabled());
        QVERIFY(lockAction->isEnabled());
        QVERIFY(watcher->isEnabled());
        DialogDriver::answerMessage(QStringLiteral("Unsaved Changes"),
                                    QStringLiteral("Save the new entry \"Half typed\"?"), QMessageBox::Discard);
        openEntry(*window, QStringLiteral("Mail"));
        VERIFY_DIALOGS_ANSWERED();
        QCOMPARE(shownEntries(child<QTreeView>(*window, "treeView")), 2);
        QCOMPARE(child<QLineEdit>(*window, "txtEntryPassword")->text(), QStringLiteral("s3cret"));
        window->close();
    }

    void typedEditsOutlastTheLock_data()
    {
        QTest::addColumn<bool>("protectedStore");
        QTest::addColumn<bool>("asked");        // the lock comes while Save / Discard / Cancel is asked
        QTest::addColumn<bool>("changedThere"); // another computer changes the entry while locked
        QTest::newRow("ordinary") << false << false << false;
        QTest::newRow("ordinary, changed on another computer meanwhile") << false << false << true;
        QTest::newRow("protected, locked while asked to save") << true << true << false;
    }

    // What was typed into the panel is neither lost nor saved while locked: it is back at unlock,
    // and a save then keeps it beside what another computer changed meanwhile.
    void typedEditsOutlastTheLock()
    {
        QFETCH(bool, protectedStore);
        QFETCH(bool, asked);
        QFETCH(bool, changedThere);
        seed(protectedStore);
        std::unique_ptr<MainWindow> window = openWindow();
        openEntry(*window, QStringLiteral("Mail"));
        child<QLineEdit>(*window, "txtEntryPassword")->setText(QStringLiteral("typed here"));
        if (asked) {
            DialogDriver::answerWith(QStringLiteral("Unsaved Changes"), [&](QWidget*) { window->lockWindow(); });
            openEntry(*window, QStringLiteral("Bank"));
        } else {
            child<QAction>(*window, "actionLock")->trigger();
        }
        VERIFY_DIALOGS_ANSWERED();
        verifyLocked(*window);
        const auto fileHolds = [&](const QByteArray& text) {
            const QByteArray file = readFile(store->store.filePath());
            QByteArray plain;
            if (protectedStore)
                return openProtectedStore(file, kPassword, plain) == ProtectedOutcome::Opened && plain.contains(text);
            Payload payload;
            return decodeStore(file, payload) &&
                   TestVault::describe(payload.entries).join(QLatin1Char('\n')).contains(QString::fromUtf8(text));
        };
        if (protectedStore) {
            QVERIFY(fileHolds(QByteArray("\0M\0a\0i\0l", 8)));
            QVERIFY(!fileHolds(QByteArray("\0t\0y\0p\0e\0d", 10)));
        } else {
            QVERIFY(!fileHolds("typed"));
            QVERIFY(!TestVault::describe(store->state.vault.entries()).join(QLatin1Char('\n')).contains("typed"));
        }
        if (changedThere) {
            const Payload was = snapshotOf(store->state);
            EntryList entries;
            for (Entry entry : was.entries) {
                if (entry.title == QLatin1String("Mail"))
                    entry.account = QStringLiteral("account there");
                entries.append(entry);
            }
            QVERIFY(writeStoreFile(store->store.filePath(),
                                   sealStore(encodePayload(was.preferences, was.categories, entries)))
                        .ok);
            QTRY_VERIFY(fileHolds("account there") && TestVault::describe(store->state.vault.entries())
                                                          .join(QLatin1Char('\n'))
                                                          .contains(QStringLiteral("account there")));
            // The merge is a step to undo, but not before the unlock.
            QVERIFY(!child<QAction>(*window, "actionUndo")->isEnabled());
        }

        DialogDriver::answerInput(kTitle, kAsk, kPassword);
        QTest::mouseClick(child<QPushButton>(*window, "btnUnlock"), Qt::LeftButton);
        VERIFY_DIALOGS_ANSWERED();
        QCOMPARE(child<QLineEdit>(*window, "txtEntryTitle")->text(), QStringLiteral("Mail"));
        QCOMPARE(child<QLineEdit>(*window, "txtEntryPassword")->text(), QStringLiteral("typed here"));
        if (changedThere)
            DialogDriver::answerMessage(QStringLiteral("Notice"), QStringLiteral("have both been kept"));
        QTest::mouseClick(child<QPushButton>(*window, "btnSaveEntry"), Qt::LeftButton);
        VERIFY_DIALOGS_ANSWERED();
        qInfo() << TestVault::describe(store->state.vault.entries());
        window->close();
        if (changedThere)
            QVERIFY(fileHolds("account there"));
        QVERIFY(protectedStore ? fileHolds(QByteArray("\0t\0y\0p\0e\0d\0 \0h\0e\0r\0e", 20)) : fileHolds("typed here"));
    }

    void undoIsOffWhileLocked_data()
    {
        QTest::addColumn<bool>("protectedStore");
        QTest::newRow("ordinary") << false;
        QTest::newRow("protected") << true;
    }

    // Nothing of the vault changes while locked, Undo included; a vault read again on unlock has
    // no step to undo, one kept in memory keeps its steps.
    void undoIsOffWhileLocked()
    {
        QFETCH(bool, protectedStore);
        seed(protectedStore);
        DialogDriver::answerInput(kTitle, kAsk, kPassword);
        MainWindow window(store->state, store->store);
        auto* tree = child<QTreeView>(window, "treeView");
        const QModelIndexList bank =
            tree->model()->match(tree->model()->index(0, 0), Qt::DisplayRole, QStringLiteral("Bank"), 1,
                                 Qt::MatchExactly | Qt::MatchRecursive);
        QVERIFY(!bank.isEmpty());
        tree->setCurrentIndex(bank.first());
        QTest::mouseClick(child<QPushButton>(window, "btnDeleteEntry"), Qt::LeftButton);
        auto* undo = child<QAction>(window, "actionUndo");
        QVERIFY(undo->isEnabled());

        child<QAction>(window, "actionLock")->trigger();
        QVERIFY(!undo->isEnabled());
        DialogDriver::answerInput(kTitle, kAsk, kPassword);
        QTest::mouseClick(child<QPushButton>(window, "btnUnlock"), Qt::LeftButton);
        VERIFY_DIALOGS_ANSWERED();
        QVERIFY(!window.isWindowLocked());
        QCOMPARE(undo->isEnabled(), !protectedStore);
        QCOMPARE(shownEntries(tree), 1);
        if (!protectedStore) {
            undo->trigger();
            QCOMPARE(shownEntries(tree), 2);
        }
        window.close();
    }

    // A cancelled unlock leaves the window locked; closed while locked, a protected store is
    // left as saved at the lock.
    void cancelledUnlockStaysLocked()
    {
        seed(true);
        DialogDriver::answerInput(kTitle, kAsk, kPassword);
        MainWindow window(store->state, store->store);
        child<QAction>(window, "actionLock")->trigger();
        const QByteArray file = readFile(store->store.filePath());
        DialogDriver::answerInput(kTitle, kAsk, QString(), false);
        QTest::mouseClick(child<QPushButton>(window, "btnUnlock"), Qt::LeftButton);
        VERIFY_DIALOGS_ANSWERED();
        verifyLocked(window);
        window.close();
        QCOMPARE(readFile(store->store.filePath()), file);
    }

    void nothingToLockWithoutAMasterPassword_data()
    {
        QTest::addColumn<QString>("hash");
        QTest::addColumn<int>("attempts");
        QTest::newRow("no password") << QString() << 0;
        QTest::newRow("password switched off") << hashMasterPassword(kPassword) << 0;
    }

    void nothingToLockWithoutAMasterPassword()
    {
        QFETCH(QString, hash);
        QFETCH(int, attempts);
        LocalSettings local;
        local.idleLockMinutes = 1;
        QVERIFY(saveLocalSettings(store->dir.path(), local));
        store->state.preferences.masterPasswordHash = hash;
        store->state.preferences.maxLoginAttempts = attempts;
        QVERIFY(store->seed({QStringLiteral("General")}, {TestVault::makeEntry("Mail", "General")}));
        MainWindow window(store->state, store->store);
        window.useClock(clock());
        auto* watcher = window.findChild<IdleWatcher*>();
        QVERIFY(!watcher->isEnabled());
        QVERIFY(!child<QAction>(window, "actionLock")->isEnabled());
        window.lockWindow();
        emit watcher->lockRequested(IdleWatcher::SessionLocked);
        QVERIFY(!window.isWindowLocked());
        QCOMPARE(shownEntries(child<QTreeView>(window, "treeView")), 1);
    }

    // A copied password leaves the clipboard after the set seconds, and at once on lock and on
    // exit; something else copied since stays.
    void clipboardIsCleared_data()
    {
        QTest::addColumn<QString>("when");
        QTest::newRow("after the seconds") << "time";
        QTest::newRow("on lock") << "lock";
        QTest::newRow("on exit") << "exit";
        QTest::newRow("replaced meanwhile") << "replaced";
    }

    void clipboardIsCleared()
    {
        QFETCH(QString, when);
        LocalSettings local;
        local.clipboardClearSeconds = 7;
        seed(false, local);
        std::unique_ptr<MainWindow> window = openWindow();
        openEntry(*window, QStringLiteral("Mail"));
        QClipboard* clipboard = QGuiApplication::clipboard();
        QTest::mouseClick(child<QPushButton>(*window, "btnCopyPassword"), Qt::LeftButton);
        QCOMPARE(clipboard->text(), QStringLiteral("s3cret"));
        auto* guard = window->findChild<ClipboardGuard*>();
        QCOMPARE(guard->clearSeconds(), 7);
        // The status bar counts down to the clearing.
        const auto said = [&window] { return window->statusBar()->currentMessage(); };
        QVERIFY2(said().contains(QStringLiteral("7 seconds")), qPrintable(said()));

        now += 6999;
        guard->checkTime();
        QCOMPARE(clipboard->text(), QStringLiteral("s3cret"));
        QVERIFY2(said().contains(QStringLiteral("1 second.")), qPrintable(said()));
        if (when == QLatin1String("time")) {
            now += 1;
            guard->checkTime();
            QVERIFY2(said().contains(QStringLiteral("cleared")), qPrintable(said()));
        } else if (when == QLatin1String("lock")) {
            child<QAction>(*window, "actionLock")->trigger();
        } else if (when == QLatin1String("exit")) {
            window->close();
        } else {
            clipboard->setText(QStringLiteral("mine"));
            now += 1;
            guard->checkTime();
            window->close();
        }
        QCOMPARE(clipboard->text(), when == QLatin1String("replaced") ? QStringLiteral("mine") : QString());
        if (when == QLatin1String("lock")) {
            DialogDriver::answerInput(kTitle, kAsk, kPassword);
            QTest::mouseClick(child<QPushButton>(*window, "btnUnlock"), Qt::LeftButton);
        }
    }

    // The settings: the check box needs a master password in use; turning it on asks for the
    // password and writes the protected form at once, off asks again and writes the ordinary
    // one; the idle minutes and clipboard seconds go to the file beside the store.
    void protectionChosenInSettings()
    {
        seed(false);
        std::unique_ptr<MainWindow> window = openWindow();
        const QString settingsTitle = QStringLiteral("Vaultry Settings");
        const auto answerSettings = [&](bool expectEnabled, bool check, int minutes, int seconds) {
            DialogDriver::answerWith(settingsTitle, [=](QWidget* dialog) {
                auto* box = child<QCheckBox>(*dialog, "chkProtectVault");
                if (box->isEnabled() != expectEnabled)
                    qWarning("check box enabled: %d", box->isEnabled());
                QVERIFY(box->isEnabled() == expectEnabled);
                // The note on the attempt limit follows the check box.
                box->setChecked(check);
                QCOMPARE(child<QLabel>(*dialog, "lblProtectedNote")->isHidden(), !check);
                if (check)
                    QCOMPARE(child<QSpinBox>(*dialog, "numMaxLoginAttempts")->minimum(), 1);
                child<QSpinBox>(*dialog, "numIdleLockMinutes")->setValue(minutes);
                child<QSpinBox>(*dialog, "numClipboardSeconds")->setValue(seconds);
                child<QDialogButtonBox>(*dialog, "buttonBox")->button(QDialogButtonBox::Ok)->click();
            });
        };
        const QString onLabel = QStringLiteral("Please enter the master password to encrypt the vault with it:");
        answerSettings(true, true, 5, 12);
        DialogDriver::answerInput(kTitle, onLabel, QStringLiteral("wrong"));
        DialogDriver::answerInput(kTitle, QStringLiteral("Wrong master password.\n") + onLabel, kPassword);
        child<QAction>(*window, "action_Settings")->trigger();
        VERIFY_DIALOGS_ANSWERED();
        const QByteArray file = readFile(store->store.filePath());
        QVERIFY(file.startsWith("VYPROT01"));
        QVERIFY(!file.contains("Mail") && !file.contains(QByteArray("\0M\0a\0i\0l", 8)));
        const LocalSettings saved = loadLocalSettings(store->dir.path());
        QCOMPARE(saved.idleLockMinutes, 5);
        QCOMPARE(saved.clipboardClearSeconds, 12);
        QCOMPARE(window->findChild<IdleWatcher*>()->idleMinutes(), 5);
        QCOMPARE(window->findChild<ClipboardGuard*>()->clearSeconds(), 12);

        // Cancelling the password question leaves it protected.
        answerSettings(true, false, 5, 12);
        DialogDriver::answerInput(kTitle,
                                  QStringLiteral("Please enter the master password to stop encrypting the vault with "
                                                 "it:"),
                                  QString(), false);
        child<QAction>(*window, "action_Settings")->trigger();
        VERIFY_DIALOGS_ANSWERED();
        QVERIFY(readFile(store->store.filePath()).startsWith("VYPROT01"));

        answerSettings(true, false, 0, 30);
        DialogDriver::answerInput(
            kTitle, QStringLiteral("Please enter the master password to stop encrypting the vault with it:"),
            kPassword);
        child<QAction>(*window, "action_Settings")->trigger();
        VERIFY_DIALOGS_ANSWERED();
        Payload payload;
        QVERIFY(decodeStore(readFile(store->store.filePath()), payload));
        QCOMPARE(payload.entries.size(), 2);
        window->close();

        // Without a master password in use there is nothing to encrypt with.
        store->forget();
        store->state.preferences.maxLoginAttempts = 0;
        store->state.preferences.masterPasswordHash = hashMasterPassword(kPassword);
        QVERIFY(store->seed({QStringLiteral("General")}));
        MainWindow plain(store->state, store->store);
        answerSettings(false, false, 0, 30);
        child<QAction>(plain, "action_Settings")->trigger();
        VERIFY_DIALOGS_ANSWERED();
    }

    // Cancel in the settings changes nothing, so nothing is written, not even at the close.
    void cancelledSettingsWriteNothing()
    {
        seed(false);
        std::unique_ptr<MainWindow> window = openWindow();
        const auto identity = [&] {
            const QFileInfo file(store->store.filePath());
            return QStringList{QString::number(file.lastModified().toMSecsSinceEpoch()),
                               QString::fromLatin1(readFile(file.filePath()).toHex())};
        };
        QTest::qWait(20); // a file written from here on has a later time
        const QStringList before = identity();
        DialogDriver::answerWith(QStringLiteral("Vaultry Settings"), [](QWidget* dialog) {
            child<QSpinBox>(*dialog, "numMaxLen")->setValue(20);
            child<QCheckBox>(*dialog, "chkHidePassword")->toggle();
            child<QDialogButtonBox>(*dialog, "buttonBox")->button(QDialogButtonBox::Cancel)->click();
        });
        child<QAction>(*window, "action_Settings")->trigger();
        VERIFY_DIALOGS_ANSWERED();
        window->close();
        QCOMPARE(identity(), before);
    }

    // A new master password while protected: a new salt, and only the new password opens it.
    void newMasterPasswordRekeys()
    {
        seed(true);
        DialogDriver::answerInput(kTitle, kAsk, kPassword);
        MainWindow window(store->state, store->store);
        const QByteArray before = readFile(store->store.filePath());
        DialogDriver::answerWith(QStringLiteral("Master Password Reset"), [](QWidget* dialog) {
            child<QLineEdit>(*dialog, "txtOldPass")->setText(kPassword);
            child<QLineEdit>(*dialog, "txtNewPass1")->setText(QStringLiteral("fresh"));
            child<QLineEdit>(*dialog, "txtNewPass2")->setText(QStringLiteral("fresh"));
            child<QDialogButtonBox>(*dialog, "buttonBox")->button(QDialogButtonBox::Ok)->click();
        });
        DialogDriver::answerMessage(QStringLiteral("Notice"),
                                    QStringLiteral("The master password has been successfully changed."));
        child<QAction>(window, "actionReset_Master_Password")->trigger();
        VERIFY_DIALOGS_ANSWERED();
        const QByteArray after = readFile(store->store.filePath());
        QVERIFY(after.mid(16, 16) != before.mid(16, 16));
        QByteArray payload;
        QCOMPARE(openProtectedStore(after, kPassword, payload), ProtectedOutcome::Refused);
        QCOMPARE(openProtectedStore(after, QStringLiteral("fresh"), payload), ProtectedOutcome::Opened);
        window.close();
    }
};

QTEST_MAIN(TestLocking)
#include "tst_locking.moc"
