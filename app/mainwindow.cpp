#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "app/clipboardguard.h"
#include "app/dialogfit.h"
#include "app/windowsettings.h"

#include "prefs/passwordresetdialog.h"
#include "prefs/settingsdialog.h"
#include "sync/autosaver.h"
#include "store/secretmemory.h"
#include "store/settingsstore.h"
#include "store/storestate.h"
#include "update/updatethread.h"
#include "vault/filtermodel.h"
#include "vault/treemodel.h"

#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDebug>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QSessionManager>
#include <QShortcut>
#include <QStatusBar>
#include <QTimer>
#include <QUndoStack>

MainWindow::MainWindow(StoreState& state, SettingsStore& store, QWidget* parent)
    : QMainWindow(parent), state(state), store(store), form(new Ui::MainWindow)
{
    form->setupUi(this);
    shownRecord.id = QStringLiteral("0");
    createHistory();
    qApp->installEventFilter(new DialogTitleFitter(this));
    // Placed before the first-run notice and the login prompt, which are centred over it.
    placeWindow();
    // Random draws come from the process-wide secure source; there is nothing to seed here.
    createSessionObjects();
    initializeWindow();
    if (startupCompleted) {
        refreshView();
        startAutoSave();
        followBrowserSetting(false);
    }
    updateLockWatch();
}

MainWindow::~MainWindow()
{
    // A check must not outlive the window: its result would have nowhere to go, and the
    // process would end with the updater still being waited for.
    for (UpdateThread* thread : std::as_const(updateChecks)) {
        thread->requestInterruption();
        thread->wait();
        delete thread;
    }
    // Its signals reach the form's actions; it goes while they are still there.
    delete undoStack;
    delete currentEntry;
    delete form;
}

void MainWindow::placeWindow()
{
    if (restoreGeometry(WindowSettings().mainWindowGeometry()))
        return;
    // The middle of the screen, where the splash is.
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect placed = rect();
        placed.moveCenter(screen->availableGeometry().center());
        move(placed.topLeft());
    }
}

void MainWindow::setEntryDetailsEnabled(bool enabled)
{
    QWidget* const widgets[] = {
        form->lbl_EntryTitle,
        form->txtEntryTitle,
        form->lbl_EntryCategory,
        form->comboBoxCategory,
        form->lbl_EntryURL,
        form->txtEntryUrl,
        form->btnVisitUrl,
        form->btnCopyUrl,
        form->lbl_EntryUserLoginAccount,
        form->txtEntryAccount,
        form->btnCopyAccount,
        form->lbl_EntryPasswordPin,
        form->txtEntryPassword,
        form->btnGeneratePassword,
        form->btnCopyPassword,
        form->lbl_EntryNotes,
        form->txtEntryNotes,
        form->lbl_EntryDateCreated,
        form->lblDateCreated,
        form->lbl_EntryDateModified,
        form->lblDateChanged,
        form->btnSaveEntry,
        form->btnCancelEntryChanges,
    };
    for (QWidget* widget : widgets)
        widget->setEnabled(enabled);
}

void MainWindow::createShortcuts()
{
    auto* find = new QShortcut(QKeySequence::Find, this);
    connect(find, &QShortcut::activated, this, [this] {
        form->txtSearch->setFocus(Qt::ShortcutFocusReason);
        form->txtSearch->selectAll();
    });
    auto* clearSearch =
        new QShortcut(QKeySequence(Qt::Key_Escape), form->txtSearch, nullptr, nullptr, Qt::WidgetShortcut);
    connect(clearSearch, &QShortcut::activated, this, &MainWindow::on_btnClearDynamicSearch_clicked);
    for (const int key : {int(Qt::Key_Return), int(Qt::Key_Enter)}) {
        auto* open = new QShortcut(QKeySequence(key), form->treeView, nullptr, nullptr, Qt::WidgetShortcut);
        connect(open, &QShortcut::activated, this,
                [this] { on_treeView_doubleClicked(form->treeView->currentIndex()); });
    }
    auto* remove = new QShortcut(QKeySequence::Delete, form->treeView, nullptr, nullptr, Qt::WidgetShortcut);
    connect(remove, &QShortcut::activated, this, &MainWindow::on_btnDeleteEntry_clicked);
    // Ctrl+S saves the open entry and Ctrl+N adds one, from anywhere in the window.
    auto* saveEntry = new QShortcut(QKeySequence::Save, this);
    connect(saveEntry, &QShortcut::activated, this, &MainWindow::on_btnSaveEntry_clicked);
    auto* newEntry = new QShortcut(QKeySequence::New, this);
    connect(newEntry, &QShortcut::activated, this, &MainWindow::on_btnAddEntry_clicked);
    auto* intoResults =
        new QShortcut(QKeySequence(Qt::Key_Down), form->txtSearch, nullptr, nullptr, Qt::WidgetShortcut);
    connect(intoResults, &QShortcut::activated, this, &MainWindow::moveIntoResults);
    auto* quit = new QShortcut(QKeySequence::Quit, this);
    connect(quit, &QShortcut::activated, this, &MainWindow::close);
    // Shown beside Help > View Help.
    form->actionView_Help->setShortcut(QKeySequence::HelpContents);
    // Escape in the details panel cancels its edits, as its Cancel button does.
    for (QWidget* field : std::initializer_list<QWidget*>{
             form->txtEntryTitle, form->comboBoxCategory, form->txtEntryUrl, form->txtEntryAccount,
             form->txtEntryPassword, form->txtEntryNotes, form->btnSaveEntry, form->btnCancelEntryChanges}) {
        auto* cancel =
            new QShortcut(QKeySequence(Qt::Key_Escape), field, nullptr, nullptr, Qt::WidgetWithChildrenShortcut);
        connect(cancel, &QShortcut::activated, this, &MainWindow::on_btnCancelEntryChanges_clicked);
    }
    // Tab walks through the fields only: a key press on Generate would replace the password.
    for (QWidget* button :
         {form->btnVisitUrl, form->btnCopyUrl, form->btnCopyAccount, form->btnGeneratePassword, form->btnCopyPassword,
          form->btnCopyTotp, form->btnSetUpTotp})
        button->setFocusPolicy(Qt::NoFocus);
}

void MainWindow::manageSysTray(QSystemTrayIcon::ActivationReason)
{
    setVisible(!isVisible());
}

void MainWindow::on_btnClearDynamicSearch_clicked()
{
    form->txtSearch->setText(QString());
    filterModel->setFilterFixedString(QString());
    reportSearch();
}

void MainWindow::on_txtSearch_textChanged(const QString& text)
{
    if (!filterModel)
        return;
    filterModel->setFilterFixedString(text);
    reportSearch();
}

void MainWindow::reportSearch()
{
    const QString search = filterModel->filterFixedString();
    bool matched = search.isEmpty();
    for (int row = 0, rows = filterModel->rowCount(); !matched && row < rows; ++row)
        matched = filterModel->rowCount(filterModel->index(row, 0)) > 0;
    // The categories stay in the tree; the status bar says why none has an entry.
    if (!matched) {
        noMatchReport = tr("No entries match \"%1\".").arg(search);
        statusBar()->showMessage(noMatchReport);
    } else if (!noMatchReport.isEmpty()) {
        if (statusBar()->currentMessage() == noMatchReport)
            statusBar()->clearMessage();
        noMatchReport.clear();
    }
}

void MainWindow::moveIntoResults()
{
    QModelIndex target = form->treeView->currentIndex();
    // The first entry found, else the first category.
    for (int row = 0, rows = filterModel->rowCount(); !target.isValid() && row < rows; ++row) {
        const QModelIndex category = filterModel->index(row, 0);
        if (filterModel->rowCount(category) > 0)
            target = filterModel->index(0, 0, category);
    }
    if (!target.isValid())
        target = filterModel->index(0, 0);
    form->treeView->setFocus(Qt::TabFocusReason);
    if (target.isValid()) {
        form->treeView->scrollTo(target, QAbstractItemView::EnsureVisible);
        form->treeView->setCurrentIndex(target);
    }
}

void MainWindow::on_btnCollapseAll_clicked()
{
    form->treeView->collapseAll();
    rememberAllCategories(false);
}

void MainWindow::on_btnExpandAll_clicked()
{
    // Categories only: entries have no children, and a view keeps a persistent index for every
    // row it has expanded, which each change of the model then walks.
    form->treeView->expandToDepth(0);
    rememberAllCategories(true);
}

void MainWindow::on_actionClose_triggered()
{
    close();
}

bool MainWindow::saveStore(const QString& giveUpCaption)
{
    for (;;) {
        // Once running, through the saver: it merges a file changed elsewhere rather than replace it.
        const bool running = autoSaver && autoSaver->isStarted();
        const StoreSaveResult result = running ? autoSaver->flush() : store.save(state);
        if (result.ok) {
            if (!running) {
                loadedSnapshot = snapshotOf(state);
                loadedFingerprint = result.written;
            }
            return true;
        }
        QMessageBox box(QMessageBox::Warning, tr("Notice"), result.error, QMessageBox::NoButton, this);
        QPushButton* retry = box.addButton(tr("Try Again"), QMessageBox::AcceptRole);
        box.addButton(giveUpCaption, QMessageBox::RejectRole);
        box.setDefaultButton(retry);
        box.exec();
        if (box.clickedButton() != retry)
            return false;
    }
}

void MainWindow::closeWithoutQuestions()
{
    closingWithoutQuestions = true;
    // A close asking about unsaved edits goes on as soon as the question is gone; the window
    // ignores a close while one is under way.
    if (unsavedQuestion)
        unsavedQuestion->done(QMessageBox::Cancel);
    close();
}

void MainWindow::saveForSession(QSessionManager& manager)
{
    // After the close the vault is saved already, and a wiped vault was saved at once.
    if (closed || store.isReadOnly())
        return;
    // Through the saver once it runs: a file changed elsewhere is merged, not replaced.
    const StoreSaveResult result = autoSaver && autoSaver->isStarted() ? autoSaver->flush() : store.save(state);
    if (result.ok)
        return;
    qWarning().noquote() << result.error;
    if (manager.allowsInteraction()) {
        saveStore(tr("Continue Without Saving"));
        manager.release();
    }
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    // Cancel keeps the window open, unless a close without questions came meanwhile.
    if (!closed && !closingWithoutQuestions && !settleUnsavedEntry() && !closingWithoutQuestions && !closed) {
        event->ignore();
        return;
    }
    // A second close (a signal while the save question is open) has nothing more to do.
    if (!closed) {
        closed = true;
        // Only a window the user has seen has a place worth keeping.
        if (isVisible())
            WindowSettings().setMainWindowGeometry(saveGeometry());
        // A vault opened read-only, as the user was told at start, has nowhere to be saved.
        if (!store.isReadOnly())
            saveStore(tr("Close Without Saving"));
        clipboardGuard->clearNow();
        updateLockWatch();
    }
    event->accept();
    // Lost when no event loop runs yet; the entry point checks hasClosed() for that case.
    QCoreApplication::exit(0);
}

void MainWindow::on_action_Settings_triggered()
{
    const QString passwordBefore = state.preferences.masterPasswordHash;
    auto* dialog = new SettingsDialog(state.preferences, this);
    dialog->setProtection(store.isProtected());
    dialog->setLocalSettings(localSettings);
    dialog->setSecretServiceChoices(state.vault.categoryNames(), secretServiceStatus());
    dialog->setWindowModality(Qt::ApplicationModal);
    const bool accepted = dialog->exec() == QDialog::Accepted;
    const bool protectionWanted = dialog->protectionWanted();
    const LocalSettings chosen = dialog->localSettings();
    delete dialog;
    if (accepted)
        applySettingsChoices(protectionWanted, chosen);
    // Cancel keeps only a master password given on the way (the dialog stores it at once).
    if (accepted || state.preferences.masterPasswordHash != passwordBefore)
        preferencesChanged();
    updateLockWatch();
    refreshView();
}

void MainWindow::on_actionReset_Master_Password_triggered()
{
    auto* dialog = new PasswordResetDialog(state.preferences, this);
    connect(dialog, &PasswordResetDialog::masterPasswordChanged, this, &MainWindow::onMasterPasswordChanged);
    dialog->setWindowModality(Qt::ApplicationModal);
    dialog->exec();
    delete dialog;
    preferencesChanged();
    refreshView();
}
