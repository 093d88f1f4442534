#include "app/mainwindow.h"
#include "ui_mainwindow.h"

#include "app/clipboardguard.h"
#include "prefs/generator.h"
#include "store/storestate.h"
#include "vault/categorycommands.h"
#include "vault/filtermodel.h"
#include "vault/treeitem.h"
#include "vault/treemodel.h"

#include <QClipboard>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QInputDialog>
#include <QMessageBox>
#include <QStatusBar>
#include <QUndoStack>
#include <QUrl>

void MainWindow::addCategory(const QString& name)
{
    state.vault.addCategory(name);
}

void MainWindow::addEntry(const Entry& entry)
{
    state.vault.addEntry(entry);
}

void MainWindow::on_btnAddCategory_clicked()
{
    bool confirmed = false;
    const QString text = QInputDialog::getText(this, tr("Add Category"), tr("Please enter the new category's name:"),
                                               QLineEdit::Normal, QString(), &confirmed);
    const QString name = text.trimmed();
    if (confirmed && !name.isEmpty())
        undoStack->push(new AddCategoryCommand(state.vault, name));
    selectCurrentEntry();
    refreshView();
}

void MainWindow::on_btnAddEntry_clicked()
{
    // The new entry is opened in the panel, in place of the one there.
    if (!settleUnsavedEntry()) {
        selectCurrentEntry();
        return;
    }
    // In the category selected in the tree (that of the selected entry), else in "General".
    Entry entry;
    if (const QString category = selectedCategory(); !category.isEmpty())
        entry.category = category;
    // The entry lives in the panel alone until its first save adds it, as one step: the vault,
    // and so the file, never holds a blank entry nobody saved. A vault may come without
    // "General": it is made now, so that the panel can offer it.
    addCategory(entry.category);
    unsavedNewEntryId = entry.id;
    setCurrentEntry(entry);
    refreshView();
    // Ready to type the new entry's title.
    form->txtEntryTitle->setFocus(Qt::OtherFocusReason);
    form->txtEntryTitle->selectAll();
}

void MainWindow::on_btnOpenEntry_clicked()
{
    openRow(form->treeView->currentIndex(), true);
}

void MainWindow::openRow(const QModelIndex& shown, bool categoryEmpties)
{
    const Entry target = treeModel->entryAt(filterModel->mapToSource(shown));
    const bool isEntry = target.id != QLatin1String("0");
    if (isEntry || categoryEmpties) {
        if (target.id != currentEntry->id && !settleUnsavedEntry()) {
            selectCurrentEntry();
            return;
        }
        // Saving or discarding may have moved rows, or taken a new entry away.
        const Entry* stored = isEntry ? state.vault.entries().findById(target.id) : nullptr;
        if (stored)
            *currentEntry = *stored;
        else
            currentEntry->id = QStringLiteral("0");
        selectCurrentEntry();
    }
    refreshView();
}

void MainWindow::on_btnSaveEntry_clicked()
{
    // The panel is disabled without an entry; nothing to store into.
    if (currentEntry->id == QLatin1String("0"))
        return;
    saveOpenEntry();
    selectCurrentEntry();
    refreshView();
}

void MainWindow::saveOpenEntry()
{
    if (currentEntry->id != unsavedNewEntryId && openEntryChangedElsewhere()) {
        saveOverChangesElsewhere();
        return;
    }
    Entry entry = *currentEntry;
    entry.account = form->txtEntryAccount->text();
    entry.dateChanged = QDateTime::currentDateTime();
    entry.notes = form->txtEntryNotes->toPlainText();
    entry.title = form->txtEntryTitle->text();
    entry.password = form->txtEntryPassword->text();
    entry.url = form->txtEntryUrl->text();
    bool adds = entry.id == unsavedNewEntryId;
    // New, or deleted elsewhere while it was being edited: what was typed is kept as a new entry.
    if (!state.vault.entries().containsId(entry.id)) {
        state.vault.addCategory(entry.category);
        state.vault.addEntry(entry);
        adds = true;
    }
    undoStack->push(new SaveEntryCommand(state.vault, entry, form->comboBoxCategory->currentText(), adds));
    if (adds)
        unsavedNewEntryId.clear();
    if (const Entry* stored = state.vault.entries().findById(entry.id))
        *currentEntry = *stored;
    fillPanel();
}

bool MainWindow::confirmCategoryDeletion(const QString& name)
{
    const EntryList& entries = state.vault.entries();
    const auto held =
        std::count_if(entries.begin(), entries.end(), [&name](const Entry& entry) { return entry.category == name; });
    if (held == 0)
        return true;
    const QString question = held == 1 ? tr("Delete the category \"%1\" and the entry in it?").arg(name)
                                       : tr("Delete the category \"%1\" and the %2 entries in it?").arg(name).arg(held);
    return QMessageBox::question(this, tr("Delete Category"), question, QMessageBox::Yes | QMessageBox::No,
                                 QMessageBox::No) == QMessageBox::Yes;
}

void MainWindow::on_btnDeleteEntry_clicked()
{
    const QModelIndex source = filterModel->mapToSource(form->treeView->selectionModel()->currentIndex());
    if (source.row() < 0)
        return;

    const Entry row = treeModel->entryAt(source);
    if (row.id == QLatin1String("0")) {
        const QString name = source.siblingAtColumn(TreeItem::TitleColumn).data(Qt::EditRole).toString();
        if (name == Vault::generalCategory() || !state.vault.categoryNames().contains(name) ||
            !confirmCategoryDeletion(name))
            return;
        undoStack->push(new DeleteCategoryCommand(state.vault, name));
        statusBar()->showMessage(
            tr("Deleted the category \"%1\". Edit > Undo (%2) brings it back.").arg(name, undoKeys()),
            kDeletedMessageMs);
    } else {
        undoStack->push(new DeleteEntryCommand(state.vault, row.id));
        statusBar()->showMessage(tr("Deleted \"%1\". Edit > Undo (%2) brings it back.").arg(row.title, undoKeys()),
                                 kDeletedMessageMs);
    }

    dropGoneEntries();
    selectCurrentEntry();
    refreshView();
}

QString MainWindow::undoKeys() const
{
    return form->actionUndo->shortcut().toString(QKeySequence::NativeText);
}

void MainWindow::dropGoneEntries()
{
    // A new entry never saved is in the panel only.
    if (currentEntry->id != QLatin1String("0") && currentEntry->id != unsavedNewEntryId &&
        !state.vault.entries().containsId(currentEntry->id))
        currentEntry->id = QStringLiteral("0");
}

void MainWindow::createHistory()
{
    undoStack = new QUndoStack(this);
    // A menu caption shows "&" only when doubled.
    const auto caption = [](const QString& verb, const QString& step) {
        return step.isEmpty() ? verb : verb + QLatin1Char(' ') + QString(step).replace('&', QLatin1String("&&"));
    };
    // A merge may add a step while the window is locked; nothing is undone before the unlock.
    connect(undoStack, &QUndoStack::canUndoChanged, this,
            [this](bool can) { form->actionUndo->setEnabled(can && !windowLocked); });
    connect(undoStack, &QUndoStack::canRedoChanged, this,
            [this](bool can) { form->actionRedo->setEnabled(can && !windowLocked); });
    connect(undoStack, &QUndoStack::undoTextChanged, this,
            [this, caption](const QString& step) { form->actionUndo->setText(caption(tr("&Undo"), step)); });
    connect(undoStack, &QUndoStack::redoTextChanged, this,
            [this, caption](const QString& step) { form->actionRedo->setText(caption(tr("&Redo"), step)); });
    // A vault loaded or wiped anew has no history.
    connect(&state.vault, &Vault::vaultReset, undoStack, &QUndoStack::clear);
}

void MainWindow::on_actionUndo_triggered()
{
    stepThroughHistory(true);
}

void MainWindow::on_actionRedo_triggered()
{
    stepThroughHistory(false);
}

void MainWindow::stepThroughHistory(bool back)
{
    const int at = back ? undoStack->index() - 1 : undoStack->index();
    const QUndoCommand* step = undoStack->command(at);
    if (!step)
        return;
    // A step that cannot tell is taken to touch the open entry.
    const auto* vaultStep = dynamic_cast<const VaultCommand*>(step);
    const bool touchesOpen =
        currentEntry->id != QLatin1String("0") && (!vaultStep || vaultStep->touchesEntry(currentEntry->id));
    if (touchesOpen && panelEdited()) {
        const QString question =
            back ? tr("Undo changes the entry \"%1\" that is open with unsaved changes; they will be lost. Undo "
                      "anyway?")
                 : tr("Redo changes the entry \"%1\" that is open with unsaved changes; they will be lost. Redo "
                      "anyway?");
        if (QMessageBox::question(this, tr("Unsaved Changes"), question.arg(shownRecord.title),
                                  QMessageBox::Yes | QMessageBox::No, QMessageBox::No) != QMessageBox::Yes)
            return;
    }
    if (back)
        undoStack->undo();
    else
        undoStack->redo();

    dropGoneEntries();
    if (touchesOpen && currentEntry->id != QLatin1String("0")) {
        *currentEntry = *state.vault.entries().findById(currentEntry->id);
        fillPanel();
    }
    selectCurrentEntry();
    refreshView();
}

void MainWindow::on_btnCopyPassword_clicked()
{
    // Marked so that clipboard managers do not record it, and taken off again after the set time,
    // counted down in the status bar.
    connect(clipboardGuard, &ClipboardGuard::countingDown, this, &MainWindow::showClipboardCountdown,
            Qt::UniqueConnection);
    connect(clipboardGuard, &ClipboardGuard::cleared, this, &MainWindow::showClipboardCleared, Qt::UniqueConnection);
    statusBar()->showMessage(tr("Password copied to the clipboard."), kStatusMessageMs);
    clipboardGuard->copyPassword(form->txtEntryPassword->text());
}

void MainWindow::showClipboardCountdown(int secondsLeft)
{
    // Shown until the next second's; a password copied over meanwhile leaves no stale count.
    statusBar()->showMessage(
        secondsLeft == 1 ? tr("Password copied to the clipboard; cleared from it in 1 second.")
                         : tr("Password copied to the clipboard; cleared from it in %1 seconds.").arg(secondsLeft),
        kCountdownMessageMs);
}

void MainWindow::showClipboardCleared()
{
    statusBar()->showMessage(tr("The copied password was cleared from the clipboard."), kStatusMessageMs);
}

void MainWindow::on_btnCopyAccount_clicked()
{
    QGuiApplication::clipboard()->setText(form->txtEntryAccount->text(), QClipboard::Clipboard);
    statusBar()->showMessage(tr("Account copied to the clipboard."), kStatusMessageMs);
}

void MainWindow::on_btnCopyUrl_clicked()
{
    QGuiApplication::clipboard()->setText(form->txtEntryUrl->text(), QClipboard::Clipboard);
    statusBar()->showMessage(tr("Website copied to the clipboard."), kStatusMessageMs);
}

void MainWindow::on_btnGeneratePassword_clicked()
{
    const Preferences& preferences = state.preferences;
    form->txtEntryPassword->setText(generatePassword(preferences.genMinLength, preferences.genMaxLength,
                                                     preferences.genMixedCase, preferences.genAlphanum,
                                                     preferences.genSpecialChars));
}

void MainWindow::on_btnVisitUrl_clicked()
{
    const QString text = form->txtEntryUrl->text().trimmed();
    if (text.isEmpty())
        return;
    // "www.example.com" is meant as a website. Only web addresses are handed on: a file or a
    // custom scheme from an imported list could run or open anything.
    const QUrl url = QUrl::fromUserInput(text);
    const QString scheme = url.scheme().toLower();
    if (!url.isValid() || (scheme != QLatin1String("http") && scheme != QLatin1String("https"))) {
        QMessageBox::information(this, tr("Notice"),
                                 tr("%1 is not a web address, so it was not opened. Only http and https "
                                    "addresses are opened.")
                                     .arg(text));
        return;
    }
    if (!QDesktopServices::openUrl(url))
        QMessageBox::warning(this, tr("Notice"),
                             tr("No web browser could be started to open %1. Install one (or set one as the "
                                "desktop's default), or copy the address with the Copy button.")
                                 .arg(url.toDisplayString()));
}
