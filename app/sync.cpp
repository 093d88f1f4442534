#include "app/mainwindow.h"
#include "ui_mainwindow.h"

#include "store/autosaver.h"
#include "store/settingsstore.h"
#include "store/storestate.h"
#include "vault/merge.h"

#include <QMessageBox>
#include <QStatusBar>

namespace {

// How long the report of a merge stays in the status bar.
constexpr int kMergeMessageMs = 15000;

} // namespace

void MainWindow::startAutoSave()
{
    autoSaver = new AutoSaver(state, store, this);
    connect(autoSaver, &AutoSaver::merged, this, &MainWindow::onVaultMerged);
    connect(autoSaver, &AutoSaver::saveFailed, this, &MainWindow::reportSaveProblem);
    connect(autoSaver, &AutoSaver::problem, this, &MainWindow::reportSaveProblem);
    connect(autoSaver, &AutoSaver::saveRecovered, this, &MainWindow::onSaveRecovered);
    // A vault opened read-only still takes in what other computers change.
    autoSaver->setReadOnly(store.isReadOnly());
    autoSaver->start(loadedSnapshot, loadedFingerprint);
    // What start-up changed (the first category, the first-run mark, a first master password).
    const Preferences& loaded = loadedSnapshot.preferences;
    const Preferences& now = state.preferences;
    const bool preferencesDiffer = loaded.masterPasswordHash != now.masterPasswordHash ||
                                   loaded.firstRun != now.firstRun || loaded.hidePassword != now.hidePassword ||
                                   loaded.maxLoginAttempts != now.maxLoginAttempts;
    if (preferencesDiffer || loadedSnapshot.categories != state.vault.categoryNames() ||
        loadedSnapshot.entries.size() != state.vault.entries().size())
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
    refreshCounts();
    applyPasswordVisibility();
    // No entry open: the tree keeps whatever row is current.
    if (currentEntry->id == QLatin1String("0"))
        return;
    const Entry* now = state.vault.entries().findById(currentEntry->id);
    if (panelHasEdits()) {
        // The user's typing stays; if its entry changed, the save keeps the changes of both.
        if (!now || !sameRecord(*now, *currentEntry))
            changedElsewhereId = currentEntry->id;
        return;
    }
    // Nothing typed: the panel shows the entry as it is now (or nothing once it is gone) and
    // offers the categories there are now.
    if (now)
        *currentEntry = *now;
    else
        currentEntry->id = QStringLiteral("0");
    selectCurrentEntry();
    refreshView();
}

bool MainWindow::panelHasEdits() const
{
    if (currentEntry->id == QLatin1String("0"))
        return false;
    return form->txtEntryTitle->text() != currentEntry->title || form->txtEntryUrl->text() != currentEntry->url ||
           form->txtEntryAccount->text() != currentEntry->account ||
           form->txtEntryPassword->text() != currentEntry->password ||
           form->txtEntryNotes->toPlainText() != currentEntry->notes ||
           form->comboBoxCategory->currentText() != currentEntry->category;
}

bool MainWindow::openEntryChangedElsewhere() const
{
    if (changedElsewhereId.isEmpty() || changedElsewhereId != currentEntry->id)
        return false;
    const Entry* now = state.vault.entries().findById(currentEntry->id);
    return !now || !sameRecord(*now, *currentEntry);
}

void MainWindow::saveOverChangesElsewhere(const Entry& opened, const Entry& edited, const QString& category)
{
    changedElsewhereId.clear();
    Entry mine = edited;
    if (state.vault.categoryNames().contains(category))
        mine.category = category;
    // The one entry, merged as the store is: what was opened is the common ancestor.
    const QStringList categories = state.vault.categoryNames();
    const Entry* now = state.vault.entries().findById(opened.id);
    EntryList theirs;
    if (now)
        theirs.append(*now);
    EntryList base;
    base.append(opened);
    EntryList ours;
    ours.append(mine);
    const VaultMerge merge = mergeVaults({categories, base}, {categories, ours}, {categories, theirs});
    for (const Entry& entry : merge.merged.entries) {
        state.vault.addCategory(entry.category);
        if (!state.vault.addEntry(entry))
            state.vault.saveEntry(entry, entry.category);
    }
    if (const Entry* saved = state.vault.entries().findById(opened.id))
        *currentEntry = *saved;

    QString text;
    if (!now) {
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
