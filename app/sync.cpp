#include "app/mainwindow.h"
#include "ui_mainwindow.h"

#include "store/settingsstore.h"
#include "store/storestate.h"
#include "sync/autosaver.h"
#include "vault/merge.h"
#include "vault/vaultcommands.h"

#include <QInputDialog>
#include <QMessageBox>
#include <QSet>
#include <QStatusBar>
#include <QUndoStack>

namespace {

// How long the report of a merge stays in the status bar.
constexpr int kMergeMessageMs = 15000;

EntryList single(const Entry& entry)
{
    EntryList list;
    list.append(entry);
    return list;
}

} // namespace

void MainWindow::startAutoSave()
{
    autoSaver = new AutoSaver(state, store, this);
    connect(autoSaver, &AutoSaver::merged, this, &MainWindow::onVaultMerged);
    connect(autoSaver, &AutoSaver::saveFailed, this, &MainWindow::reportSaveProblem);
    connect(autoSaver, &AutoSaver::problem, this, &MainWindow::reportSaveProblem);
    connect(autoSaver, &AutoSaver::saveRecovered, this, &MainWindow::onSaveRecovered);
    connect(autoSaver, &AutoSaver::notice, this,
            [this](const QString& message) { statusBar()->showMessage(message, kMergeMessageMs); });
    // Queued: the question waits for the user, never inside the saver's handling of a round.
    connect(autoSaver, &AutoSaver::masterPasswordNeeded, this, &MainWindow::askMasterPasswordSetElsewhere,
            Qt::QueuedConnection);
    // A merge that changes the open vault is one step of the history, taken back like any other.
    autoSaver->setMergeApplier(
        [this](const VaultChangePlan& plan, const Preferences& preferences, const QString& stepName) {
            state.preferences = preferences;
            if (!plan.isEmpty())
                undoStack->push(new MergeCommand(state.vault, plan, stepName));
        });
    // A version that waits for the user's word (another vault, or an unprotected file over a protected
    // one): asked once it is seen, No (keep this vault) by default.
    connect(
        autoSaver, &AutoSaver::takeInQuestion, this,
        [this](const QString& question) {
            const QMessageBox::StandardButton answer = QMessageBox::question(
                this, tr("Vault File Replaced"), question, QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
            autoSaver->answerTakeIn(answer == QMessageBox::Yes);
        },
        Qt::QueuedConnection);
    // A vault opened read-only still takes in what other computers change.
    autoSaver->setReadOnly(store.isReadOnly());
    autoSaver->start(loadedSnapshot, loadedFingerprint);
    // What start-up changed (the first category, the first-run mark, a first master password).
    const Preferences& loaded = loadedSnapshot.preferences;
    const Preferences& now = state.preferences;
    const bool preferencesDiffer = loaded.masterPasswordHash != now.masterPasswordHash ||
                                   loaded.firstRun != now.firstRun || loaded.hidePassword != now.hidePassword ||
                                   loaded.maxLoginAttempts != now.maxLoginAttempts;
    // Names compare as sets: the view sorts them, which is no change worth a write (on a synced
    // folder every start would otherwise write the file, racing the other computer's copy).
    const QStringList& names = state.vault.categoryNames();
    const bool namesDiffer = QSet<QString>(loadedSnapshot.categories.begin(), loadedSnapshot.categories.end()) !=
                             QSet<QString>(names.begin(), names.end());
    if (preferencesDiffer || namesDiffer || loadedSnapshot.entries.size() != state.vault.entries().size())
        autoSaver->noteChange();
    // Only the state in memory is needed from here on.
    loadedSnapshot = StoreSnapshot();
}

void MainWindow::preferencesChanged()
{
    if (autoSaver)
        autoSaver->noteChange();
}

void MainWindow::onVaultMerged(const QString& summary)
{
    statusBar()->showMessage(summary, kMergeMessageMs);
    // A new entry never saved is in the panel only: no merge touches it.
    if (currentEntry->id != QLatin1String("0") && currentEntry->id != unsavedNewEntryId) {
        const Entry* now = state.vault.entries().findById(currentEntry->id);
        if (panelEdited()) {
            // What is typed stays (the refresh keeps it); the save keeps the changes of both.
            if (!now || !sameRecord(*now, shownRecord))
                changedElsewhereId = currentEntry->id;
        } else if (now) {
            *currentEntry = *now; // nothing typed: the panel shows the entry as it is now
        } else {
            currentEntry->id = QStringLiteral("0");
        }
        if (currentEntry->id != QLatin1String("0"))
            selectCurrentEntry();
    }
    refreshView();
}

bool MainWindow::openEntryChangedElsewhere() const
{
    if (changedElsewhereId.isEmpty() || changedElsewhereId != currentEntry->id || shownRecord.id != currentEntry->id)
        return false;
    const Entry* now = state.vault.entries().findById(currentEntry->id);
    return !now || !sameRecord(*now, shownRecord);
}

void MainWindow::saveOverChangesElsewhere()
{
    changedElsewhereId.clear();
    // The one entry, merged as the store is: the record the fields were filled from is the
    // common ancestor of what was typed here and what the merge left.
    const Entry opened = shownRecord;
    Entry mine = opened;
    mine.account = form->txtEntryAccount->text();
    mine.dateChanged = QDateTime::currentDateTime();
    mine.notes = form->txtEntryNotes->toPlainText();
    mine.title = form->txtEntryTitle->text();
    mine.password = form->txtEntryPassword->text();
    mine.url = form->txtEntryUrl->text();
    const QString category = form->comboBoxCategory->currentText();
    if (state.vault.categoryNames().contains(category))
        mine.category = category;
    const QStringList categories = state.vault.categoryNames();
    const Entry* now = state.vault.entries().findById(opened.id);
    const bool deletedThere = !now;
    EntryList theirs;
    if (now)
        theirs.append(*now);
    const VaultMerge merge =
        mergeVaults({categories, single(opened)}, {categories, single(mine)}, {categories, theirs});
    Entry kept = mine;
    for (const Entry& entry : merge.merged.entries) {
        if (entry.id == opened.id) {
            kept = entry;
            continue;
        }
        // The other computer's version of a clashing field, kept beside it.
        state.vault.addCategory(entry.category);
        state.vault.addEntry(entry);
    }
    bool adds = kept.id == unsavedNewEntryId;
    if (deletedThere) {
        state.vault.addCategory(kept.category);
        state.vault.addEntry(kept);
        adds = true;
    }
    undoStack->push(new SaveEntryCommand(state.vault, kept, kept.category, adds));
    if (adds)
        unsavedNewEntryId.clear();
    if (const Entry* stored = state.vault.entries().findById(kept.id))
        *currentEntry = *stored;
    fillPanel();

    QString text;
    if (deletedThere) {
        text = tr("This entry was deleted on another computer while you edited it. It has been kept with your "
                  "changes.");
    } else if (!merge.report.conflicts.isEmpty()) {
        text = tr("This entry was also changed on another computer while you edited it. Your version was saved; "
                  "the other computer's version is kept beside it as \"%1\".")
                   .arg(now->title + conflictCopySuffix());
    } else {
        text = tr("This entry was also changed on another computer while you edited it. The changes made there "
                  "and yours have both been kept.");
    }
    statusBar()->showMessage(text, kMergeMessageMs);
    QMessageBox::information(this, tr("Notice"), text);
}

void MainWindow::reportSaveProblem(const QString& message)
{
    // Stays until a save succeeds; the message box comes once for each problem.
    statusBar()->showMessage(message);
    if (problemsShown.contains(message))
        return;
    problemsShown << message;
    auto* box = new QMessageBox(QMessageBox::Warning, tr("Notice"),
                                message + QLatin1Char(' ') + tr("Vaultry keeps trying; nothing is lost while it runs."),
                                QMessageBox::Ok, this);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
}

void MainWindow::onSaveRecovered()
{
    statusBar()->showMessage(tr("The vault was saved."), kStatusMessageMs);
}

void MainWindow::askMasterPasswordSetElsewhere()
{
    // Unprotected here, the file was protected there: under which password is not known yet.
    const bool protectedHere = store.isProtected();
    const QString title = protectedHere ? tr("Master Password Changed Elsewhere") : tr("Vault Protected Elsewhere");
    QString label = protectedHere ? tr("The vault file was protected with another master password on another "
                                       "computer. Enter that master password to take in its changes:")
                                  : tr("Protection by the master password was turned on for the vault file on "
                                       "another computer. Enter the master password to take in its changes:");
    for (;;) {
        bool confirmed = false;
        const QString password = QInputDialog::getText(this, title, label, QLineEdit::Password, QString(), &confirmed);
        if (!confirmed) {
            statusBar()->showMessage(tr("The changes made on the other computer are not taken in until its master "
                                        "password is given; closing keeps its file aside and saves this vault."));
            return;
        }
        if (store.adoptFileProtection(password)) {
            autoSaver->checkNow();
            return;
        }
        label = tr("That is not the vault file's master password. Enter the master password set on the other "
                   "computer:");
    }
}
