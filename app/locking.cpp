#include "app/mainwindow.h"
#include "ui_mainwindow.h"

#include "app/clipboardguard.h"
#include "app/idlewatcher.h"
#include "prefs/masterpassword.h"
#include "store/secretmemory.h"
#include "store/settingsstore.h"
#include "store/storestate.h"
#include "vault/filtermodel.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QInputDialog>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QShortcut>
#include <QStatusBar>
#include <QUndoStack>
#include <QVBoxLayout>

namespace {

const char* const kPasswordTitle = QT_TRANSLATE_NOOP("MainWindow", "Master Application Password");

// Keeps a cover the size of the widget it covers.
class CoverFitter : public QObject
{
public:
    explicit CoverFitter(QWidget* cover) : QObject(cover), cover(cover) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Resize && watched == cover->parentWidget())
            cover->setGeometry(cover->parentWidget()->rect());
        return QObject::eventFilter(watched, event);
    }

private:
    QWidget* cover;
};

} // namespace

void MainWindow::createLockObjects()
{
    localSettings = loadLocalSettings(store.directory());
    store.setPasswordPrompt([this](bool again, QString& password) { return askStorePassword(again, password); });
    createTimedObjects(steadyClock());
    idleWatcher->watchDesktopSession();

    lockAction = new QAction(tr("&Lock"), this);
    lockAction->setObjectName(QStringLiteral("actionLock"));
    lockAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_L));
    lockAction->setEnabled(false);
    connect(lockAction, &QAction::triggered, this, &MainWindow::lockWindow);
    form->menu_File->insertAction(form->actionClose, lockAction);
    form->menu_File->insertSeparator(form->actionClose);

    // While locked, a page that offers to unlock covers the window's contents.
    lockPage = new QWidget(form->centralWidget);
    lockPage->setObjectName(QStringLiteral("lockPage"));
    lockPage->setAutoFillBackground(true);
    auto* layout = new QVBoxLayout(lockPage);
    auto* label = new QLabel(tr("Vaultry is locked."), lockPage);
    label->setAlignment(Qt::AlignCenter);
    auto* unlock = new QPushButton(tr("&Unlock..."), lockPage);
    unlock->setObjectName(QStringLiteral("btnUnlock"));
    connect(unlock, &QPushButton::clicked, this, &MainWindow::unlockWindow);
    layout->addStretch();
    layout->addWidget(label);
    layout->addWidget(unlock, 0, Qt::AlignCenter);
    layout->addStretch();
    lockPage->hide();
    form->centralWidget->installEventFilter(new CoverFitter(lockPage));
}

void MainWindow::createTimedObjects(const MonotonicClock& clock)
{
    delete clipboardGuard;
    delete idleWatcher;
    clipboardGuard = new ClipboardGuard(QGuiApplication::clipboard(), clock, this);
    idleWatcher = new IdleWatcher(clock, this);
    idleWatcher->setEnabled(false);
    idleWatcher->watchInput(qApp);
    connect(idleWatcher, &IdleWatcher::lockRequested, this, &MainWindow::lockWindow);
    updateLockWatch();
}

void MainWindow::useClock(const MonotonicClock& clock)
{
    createTimedObjects(clock);
}

bool MainWindow::masterPasswordInUse() const
{
    return store.isProtected() ||
           (!state.preferences.masterPasswordHash.isEmpty() && state.preferences.maxLoginAttempts > 0);
}

void MainWindow::updateLockWatch()
{
    clipboardGuard->setClearSeconds(localSettings.clipboardClearSeconds);
    idleWatcher->setIdleMinutes(localSettings.idleLockMinutes);
    const bool lockable = startupCompleted && !closed && masterPasswordInUse();
    if (idleWatcher->isEnabled() != (lockable && !windowLocked))
        idleWatcher->setEnabled(lockable && !windowLocked);
    if (lockAction)
        lockAction->setEnabled(lockable && !windowLocked);
    updateSecretService();
}

void MainWindow::lockWindow()
{
    if (windowLocked || closed || !startupCompleted || !masterPasswordInUse())
        return;
    clipboardGuard->clearNow();
    // Nobody may be there to answer: unsaved edits in the panel, and a new entry never saved, are
    // put away until the unlock.
    if (unsavedQuestion)
        unsavedQuestion->done(QMessageBox::Cancel);
    holdOpenEntry();
    discardOpenEntry();
    changedElsewhereId.clear();
    // A protected vault leaves memory, saved first; one that cannot be saved stays, since the
    // file does not hold it, but is not shown.
    const bool drop = store.isProtected() && !store.isReadOnly() && saveStore(tr("Keep It Open"));
    windowLocked = true;

    form->txtSearch->clear();
    currentEntry->id = QStringLiteral("0");
    treeSelection = form->treeView->selectionModel();
    form->treeView->setModel(nullptr);
    if (drop) {
        state.vault.clear();
        store.setVaultReleased(true);
    }
    refreshView();
    showLockedPage(true);
    updateLockWatch();
    announceLockToBrowsers();
}

void MainWindow::showLockedPage(bool locked)
{
    // Nothing of the vault is reachable while locked: the window's contents, its menu commands
    // and its keys are off, and the cover hides the contents.
    if (locked) {
        QList<QObject*> parts;
        for (QWidget* part : form->centralWidget->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
            if (part != lockPage)
                parts << part;
        }
        for (QAction* action : {form->action_Settings, form->actionReset_Master_Password, form->action_Import,
                                form->action_Export, form->actionUndo, form->actionRedo}) {
            parts << action;
        }
        for (QShortcut* shortcut : findChildren<QShortcut*>()) {
            if (shortcut->key() != QKeySequence(QKeySequence::Quit) &&
                shortcut->key() != QKeySequence(QKeySequence::HelpContents))
                parts << shortcut;
        }
        disabledWhileLocked.clear();
        for (QObject* part : parts) {
            if (part->property("enabled").toBool()) {
                part->setProperty("enabled", false);
                disabledWhileLocked << part;
            }
        }
        lockPage->setGeometry(form->centralWidget->rect());
        lockPage->show();
        lockPage->raise();
        if (QWidget* button = lockPage->findChild<QPushButton*>(QStringLiteral("btnUnlock")))
            button->setFocus(Qt::OtherFocusReason);
    } else {
        lockPage->hide();
        for (QObject* part : std::as_const(disabledWhileLocked))
            part->setProperty("enabled", true);
        disabledWhileLocked.clear();
        // A vault read again has no steps to undo.
        form->actionUndo->setEnabled(undoStack->canUndo());
        form->actionRedo->setEnabled(undoStack->canRedo());
    }
}

void MainWindow::unlockWindow()
{
    if (!windowLocked)
        return;
    QString label = tr("Please enter the master password:");
    for (;;) {
        bool confirmed = false;
        QString password =
            QInputDialog::getText(this, tr(kPasswordTitle), label, QLineEdit::Password, QString(), &confirmed);
        if (!confirmed)
            return;
        if (store.isVaultReleased()) {
            QApplication::setOverrideCursor(Qt::WaitCursor);
            QString error;
            const SettingsStore::ReopenOutcome outcome = store.reopen(state, password, &error);
            QApplication::restoreOverrideCursor();
            wipeString(password);
            if (outcome == SettingsStore::ReopenOutcome::Failed) {
                QMessageBox::warning(this, tr("Notice"), error);
                return;
            }
            if (outcome == SettingsStore::ReopenOutcome::Opened)
                break;
            label = tr("Wrong master password, or the vault file is damaged.") + QLatin1Char('\n') +
                    tr("Please enter the master password:");
            continue;
        }
        const bool right = hashMasterPassword(password) == state.preferences.masterPasswordHash;
        wipeString(password);
        if (right)
            break;
        label = tr("Wrong master password.") + QLatin1Char('\n') + tr("Please enter the master password:");
    }
    windowLocked = false;
    form->treeView->setModel(filterModel);
    if (treeSelection)
        form->treeView->setSelectionModel(treeSelection);
    treeSelection = nullptr;
    form->treeView->setCurrentIndex(QModelIndex());
    showLockedPage(false);
    bringBackOpenEntry();
    refreshView();
    updateLockWatch();
    announceLockToBrowsers();
}

bool MainWindow::askStorePassword(bool again, QString& password)
{
    QString label = tr("Please enter the master password:");
    if (again)
        label = tr("Wrong master password, or the vault file is damaged.") + QLatin1Char('\n') + label;
    bool confirmed = false;
    password = QInputDialog::getText(this, tr(kPasswordTitle), label, QLineEdit::Password, QString(), &confirmed);
    return confirmed;
}

bool MainWindow::askMasterPassword(const QString& label, QString& password)
{
    QString shown = label;
    for (;;) {
        bool confirmed = false;
        password = QInputDialog::getText(this, tr(kPasswordTitle), shown, QLineEdit::Password, QString(), &confirmed);
        if (!confirmed) {
            wipeString(password);
            return false;
        }
        if (hashMasterPassword(password) == state.preferences.masterPasswordHash)
            return true;
        wipeString(password);
        shown = tr("Wrong master password.") + QLatin1Char('\n') + label;
    }
}
