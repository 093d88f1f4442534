#pragma once

// app/: the program's windows: the entry point, MainWindow (split by what the user does) and
// the start-up. Everything that asks the user something lives here or in prefs/ and viewer/.

#include "app/clock.h"
#include "store/filefingerprint.h"
#include "store/localsettings.h"
#include "store/storestate.h"
#include "vault/entry.h"

#include <QMainWindow>
#include <QPointer>
#include <QSystemTrayIcon>

#include <optional>
#include <memory>

class AutoSaver;
class BrowserLink;
class ClipboardGuard;
class FilterModel;
class GlobalShortcut;
class GuardedBytes;
class IdleWatcher;
class QAction;
class QFile;
enum class TransferFormat;
class QItemSelectionModel;
class QMessageBox;
class QPushButton;
class QSessionManager;
class QShortcut;
class QTimer;
class QUndoStack;
class SecretService;
class SettingsStore;
class TreeModel;
class UpdateThread;
struct UpdaterResult;
struct StoreState;

namespace Ui {
class MainWindow;
}

class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    // The window works on `state`, which it loads from and saves to `store`; both outlive it.
    MainWindow(StoreState& state, SettingsStore& store, QWidget* parent = nullptr);
    ~MainWindow() override;

    // False when start-up could not go on (the store is locked by another copy, the user
    // refused to replace an unreadable store or cancelled the login); the entry point then
    // ends with startupExitCode() without showing the window.
    bool startedUp() const { return startupCompleted; }
    int startupExitCode() const { return exitCodeAtStartup; }
    // True once the window has been closed (and the store saved); it is not shown again.
    bool hasClosed() const { return closed; }
    // Closes and saves without asking about unsaved edits in the details panel, which are
    // dropped: for signals and the end of the session, when nobody may be there to answer.
    void closeWithoutQuestions();

    // Saves the vault for the session manager (a log-out that may be cancelled, or a
    // checkpoint) and keeps the window open. A failed save is reported where the session
    // manager lets the program ask.
    void saveForSession(QSessionManager& manager);

    void setEntryDetailsEnabled(bool enabled);
    void refreshView();
    void setCurrentEntry(const Entry& entry);
    void selectCurrentEntry();
    void addCategory(const QString& name);
    void addEntry(const Entry& entry);

    // How long the updater may run before it is stopped; tests shorten it.
    void setUpdaterTimeout(int milliseconds) { updaterTimeoutMs = milliseconds; }

    // Locks the window as File > Lock does, when a master password is set: no entry shown, the
    // clipboard cleared, a protected vault saved and dropped from memory (app/locking.cpp).
    void lockWindow();
    bool isWindowLocked() const { return windowLocked; }
    // The clock the idle lock and the clipboard read time from; tests move time by hand.
    void useClock(const MonotonicClock& clock);

public slots:
    void catchUpdateResult(UpdateThread* thread, bool updateFound);
    void manageSysTray(QSystemTrayIcon::ActivationReason reason);
    void catchPasswordVisibilityButton();
    void cegg_action();

private slots:
    void on_btnClearDynamicSearch_clicked();
    void on_actionChangelog_triggered();
    void on_actionReset_Master_Password_triggered();
    void on_btnGeneratePassword_clicked();
    void on_btnVisitUrl_clicked();
    void on_btnCollapseAll_clicked();
    void on_btnExpandAll_clicked();
    void on_btnOpenEntry_clicked();
    void on_txtSearch_textChanged(const QString& text);
    void on_actionCheck_for_Updates_triggered();
    void on_treeView_doubleClicked(const QModelIndex& index);
    void on_btnAddCategory_clicked();
    void on_btnCancelEntryChanges_clicked();
    void on_btnSaveEntry_clicked();
    void on_btnCopyPassword_clicked();
    void on_btnCopyAccount_clicked();
    void on_btnCopyUrl_clicked();
    void on_btnDeleteEntry_clicked();
    void on_btnAddEntry_clicked();
    void on_actionView_Help_triggered();
    void on_action_Settings_triggered();
    void on_action_Export_triggered();
    void on_action_Import_triggered();
    void on_actionAbout_triggered();
    void on_actionClose_triggered();
    void on_actionUndo_triggered();
    void on_actionRedo_triggered();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    // File > Import of another manager's file at `path`, open as `file`, whose first bytes are `head`.
    void importForeign(const QString& path, QFile& file, const QByteArray& head, TransferFormat format);
    enum class LoginOutcome
    {
        Passed,
        Cancelled,
        LimitReached,
    };

    // Puts the window where it was last closed, else in the middle of the screen.
    void placeWindow();
    void initializeWindow();
    // The parts of the window made once, before the first load.
    void createSessionObjects();
    // Keys the menus do not offer: Ctrl+F, Escape and Down in the search, Return and Delete
    // on the tree, Ctrl+S, Ctrl+N, Ctrl+Q and F1.
    void createShortcuts();
    // Says in the status bar when the search matches no entry, and takes that back once it does.
    void reportSearch();
    // Down in the search: the focus goes to the tree, on the current row or the first entry found.
    void moveIntoResults();
    // Loads the store and tells the user about anything that went wrong. False when start-up
    // cannot go on (the store is locked elsewhere, or the user would rather stop than
    // replace a store that could not be read).
    bool loadStore();
    LoginOutcome runLogin();
    // Echo mode of the password field and the status-bar text, from the stored preference.
    void applyPasswordVisibility();
    // Saves the store; on failure tells the user why and offers to try again. False when
    // the store could not be saved in the end.
    bool saveStore(const QString& giveUpCaption);
    // Shows `text` in the text viewer and returns when the viewer closes.
    void showPlainText(const QString& title, const QString& text);

    // Locking when away, and the clipboard (app/locking.cpp).
    void createLockObjects();
    void createTimedObjects(const MonotonicClock& clock);
    // The idle lock and the clipboard follow the settings and whether there is anything to lock.
    void updateLockWatch();
    void unlockWindow();
    void showLockedPage(bool locked);
    bool masterPasswordInUse() const;
    // The master password of a protected store, asked before anything is read from it.
    bool askStorePassword(bool again, QString& password);
    // The master password, checked against its hash; false when the user cancels.
    bool askMasterPassword(const QString& label, QString& password);

    // Serving other programs' secrets on the session bus (app/secretservice.cpp): started, stopped
    // and told of the lock as the settings and the window's state say.
    void updateSecretService();
    QString secretServiceStatus() const;

    // The store's protection under the master password (app/protection.cpp).
    void applySettingsChoices(bool protectionWanted, const LocalSettings& settings);
    void setProtection(bool on);
    void onMasterPasswordChanged(const QString& password);
    // The status-bar report of a finished update check; empty when there is nothing to say.
    static QString reportUpdateCheck(const UpdaterResult& result, int timeoutMs);

    // Saving as the user goes and taking in changes made elsewhere (app/sync.cpp).
    // Starts the background saver from the state as loaded; anything start-up changed is saved.
    void startAutoSave();
    // A committed change of the preferences, to be saved.
    void preferencesChanged();
    void onVaultMerged(const QString& summary);
    void reportSaveProblem(const QString& message);
    void onSaveRecovered();
    // The store file came under another master password on another computer: asks for it, so
    // that its changes can be merged (and later saves use it).
    void askMasterPasswordSetElsewhere();
    // A merge changed (or took away) the open entry's record while the panel held edits of it.
    bool openEntryChangedElsewhere() const;
    // Saves the panel's edits over the record a merge left, keeping the changes of both: the
    // record the fields were filled from is their common ancestor.
    void saveOverChangesElsewhere();
    // The counts in the tray icon's tool tip.
    void refreshCounts();

    // One-time codes of the open entry (app/onetimecodes.cpp).
    void createOneTimeCodeObjects();
    // The open entry's code now, from the notes in the panel; nothing without a secret.
    std::optional<QString> currentOneTimeCode(int* secondsLeft = nullptr) const;
    void refreshOneTimeCode();
    void copyOneTimeCode();
    void setUpOneTimeCodes();

    // Typing an entry into another window (app/autotyping.cpp).
    void createAutoTypeObjects();
    // Perform Auto-Type is offered while an entry is open and the window unlocked.
    void updateAutoTypeAction();
    // Grabs the global shortcut of the local settings (on X11 only).
    void applyAutoTypeShortcut();
    // Why auto-type cannot run here (Wayland, no X11 display); empty when it can.
    QString autoTypeUnavailableReason() const;
    // Perform Auto-Type: the open entry, into the window that had the focus before this one.
    void performAutoType();
    // The global shortcut: the entry matching the active window, chosen from a list if several.
    void autoTypeIntoActiveWindow();
    // Types `entry` into `window` (an X11 window id); false with a message when it cannot.
    bool typeEntry(const Entry& entry, unsigned long window);

    // The texts of the details panel's fields.
    struct PanelFields
    {
        QString title, category, url, account, password, notes;
        bool operator==(const PanelFields& other) const;
        bool operator!=(const PanelFields& other) const { return !(*this == other); }
    };
    PanelFields panelFields() const;
    // What the fields hold right after showing `record` (a line edit cuts at its length,
    // the notes field rewrites some characters).
    PanelFields fieldsShowing(const Entry& record) const;
    // Fills the fields from currentEntry, dropping whatever was typed.
    void fillPanel();
    // The fields differ from the record they were filled from.
    bool panelEdited() const;
    // Edited, or a new entry that was never saved.
    bool holdsUnsavedEntry() const;
    // Asks Save / Discard / Cancel about unsaved edits before the panel's entry is left;
    // false when the user chose Cancel.
    bool settleUnsavedEntry();
    // Stores the panel into its entry as one step of the history.
    void saveOpenEntry();
    // Drops the panel's edits; a new entry that was never saved goes away.
    void discardOpenEntry();
    // While the window is locked the panel's unsaved work (its typed fields, or a new entry never
    // saved) is kept out of sight and out of the vault, so nothing of it is saved meanwhile, and
    // comes back at unlock: hold before the panel is emptied, bring back once the vault is there.
    void holdOpenEntry();
    void bringBackOpenEntry();
    // Shows the entry of the tree's row `shown`; a category row empties the panel when
    // `categoryEmpties`, else leaves it as it is.
    void openRow(const QModelIndex& shown, bool categoryEmpties);
    // Asks before deleting a category that holds entries; true to go on.
    bool confirmCategoryDeletion(const QString& name);
    // The undo stack and the Edit menu's actions that follow it.
    void createHistory();
    void stepThroughHistory(bool back);
    // After a change of the vault: the panel closes when its entry went.
    void dropGoneEntries();
    // The Undo action's keys as the menu shows them.
    QString undoKeys() const;
    // The status bar's countdown to a copied password's clearing.
    void showClipboardCountdown(int secondsLeft);
    void showClipboardCleared();

    // Categories in the tree (app/categories.cpp): Rename (F2, the context menu), and which are open.
    void createCategoryActions();
    // The category of the tree's current row (an entry's own); empty when none.
    QString selectedCategory() const;
    void renameSelectedCategory();
    void rememberOpenCategory(const QModelIndex& row, bool open);
    void rememberAllCategories(bool open);
    // Opens the categories open before (a restart, a lock, a rename); the rest stay as they are.
    void restoreOpenCategories();

    StoreState& state;
    SettingsStore& store;
    Ui::MainWindow* form;
    TreeModel* treeModel = nullptr;
    FilterModel* filterModel = nullptr;
    Entry* currentEntry = nullptr;
    QSystemTrayIcon* trayIcon = nullptr;
    QPushButton* passwordVisibilityButton = nullptr;
    QShortcut* hiddenShortcut = nullptr;
    AutoSaver* autoSaver = nullptr;
    // The state as the store file held it at start-up (or the wipe wrote it), and that file.
    StoreSnapshot loadedSnapshot;
    StoreFingerprint loadedFingerprint;
    // The id of the open entry when a merge changed it under edits in the panel.
    QString changedElsewhereId;
    // Problems with the store file are shown in a message once each.
    QStringList problemsShown;
    QUndoStack* undoStack = nullptr;
    // The record the panel's fields were last filled from; id "0" while it is empty.
    Entry shownRecord{Entry::NoId};
    // Added with Add Entry and not saved since: it is in the panel only, and Cancel or Discard
    // takes it away.
    QString unsavedNewEntryId;
    QAction* renameCategoryAction = nullptr;
    QStringList openCategoryDigests; // WindowSettings::categoryDigest of each open category
    bool restoringCategories = false;
    bool closingWithoutQuestions = false;
    // The Save / Discard / Cancel question while it is open.
    QPointer<QMessageBox> unsavedQuestion;

    // Update checks still running; the window stops and waits for them when it goes.
    QList<UpdateThread*> updateChecks;
    bool startupCompleted = true;
    int exitCodeAtStartup = 0;
    bool closed = false;
    int updaterTimeoutMs = 30000;
    // The status-bar text shown while the search matches nothing; empty otherwise.
    QString noMatchReport;

    LocalSettings localSettings;
    ClipboardGuard* clipboardGuard = nullptr;
    IdleWatcher* idleWatcher = nullptr;
    QAction* lockAction = nullptr;
    QWidget* lockPage = nullptr;
    QItemSelectionModel* treeSelection = nullptr; // the tree's, kept while locked
    QList<QObject*> disabledWhileLocked;
    bool windowLocked = false;
    SecretService* secretService = nullptr;

    QTimer* oneTimeCodeTimer = nullptr;
    GlobalShortcut* autoTypeShortcut = nullptr;

    // Filling logins in browsers (app/browserlink.cpp): the link runs while the setting is on.
    friend class BrowserLink;
    void followBrowserSetting(bool changedByUser);
    void announceLockToBrowsers();
    BrowserLink* browserLink = nullptr;
    std::unique_ptr<GuardedBytes> heldPanel; // the panel's unsaved work while locked

    // How long a status-bar report of a finished action stays.
    static constexpr int kStatusMessageMs = 5000;
    // A deletion's report, which says how to take it back.
    static constexpr int kDeletedMessageMs = 10000;
    // A step of the clipboard's countdown, a little over the second until the next one.
    static constexpr int kCountdownMessageMs = 1100;
};
