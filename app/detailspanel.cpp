#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "app/accesskeys.h"
#include "app/version.h"
#include "store/secretmemory.h"
#include "store/settingsstore.h"
#include "store/storestate.h"
#include "vault/filtermodel.h"
#include "vault/merge.h"
#include "vault/treemodel.h"

#include <QDataStream>
#include <QMessageBox>
#include <QPushButton>
#include <QTextDocument>

#include <cstring>

namespace {

QString counted(qsizetype count, const QString& one, const QString& many)
{
    return QString::number(count) + (count == 1 ? one : many);
}

} // namespace

void MainWindow::refreshView()
{
    refreshCounts();

    // Edits in progress survive a refresh; only the commands that open an entry replace them,
    // and they ask first.
    const bool keepTyped = panelEdited();
    const QModelIndex source = filterModel->mapToSource(form->treeView->selectionModel()->currentIndex());
    if (source.isValid()) {
        const Entry entry = treeModel->entryAt(source);
        if (entry.id != QLatin1String("0") && (entry.id == currentEntry->id || !holdsUnsavedEntry()))
            setCurrentEntry(entry);
    }

    state.vault.sortCategoryNames();

    if (currentEntry->id == QLatin1String("0")) {
        setEntryDetailsEnabled(false);
        form->comboBoxCategory->clear();
        form->txtEntryAccount->setText(QString());
        form->txtEntryNotes->setPlainText(QString());
        form->txtEntryPassword->setText(QString());
        form->txtEntryTitle->setText(QString());
        form->txtEntryUrl->setText(QString());
        form->lblDateChanged->setText(QString());
        form->lblDateCreated->setText(QString());
        shownRecord = Entry(Entry::NoId);
        shownRecord.id = QStringLiteral("0");
    } else {
        setEntryDetailsEnabled(true);
        const QString typedCategory = form->comboBoxCategory->currentText();
        form->comboBoxCategory->clear();
        form->comboBoxCategory->addItems(state.vault.categoryNames());
        if (keepTyped && shownRecord.id == currentEntry->id)
            form->comboBoxCategory->setCurrentIndex(
                form->comboBoxCategory->findText(typedCategory, Qt::MatchExactly | Qt::MatchCaseSensitive));
        else
            fillPanel();
        form->lblDateChanged->setText(currentEntry->dateChanged.toString(Qt::TextDate));
        form->lblDateCreated->setText(currentEntry->dateCreated.toString(Qt::TextDate));
    }

    filterModel->sort(0, Qt::AscendingOrder);
    restoreOpenCategories();
    form->actionReset_Master_Password->setEnabled(!state.preferences.masterPasswordHash.isEmpty() && !windowLocked);
    applyPasswordVisibility();
    refreshOneTimeCode();
    updateAutoTypeAction();
    reportSearch();
}

void MainWindow::refreshCounts()
{
    QString title = QStringLiteral("Vaultry v") + readVersion();
    // Said once at start, but edits are still possible: the title keeps saying they are not kept.
    if (store.isReadOnly())
        title += tr(" (read-only)");
    setWindowTitle(title);
    trayIcon->setToolTip(
        title + QLatin1Char('\n') +
        counted(state.vault.categoryNames().size(), QStringLiteral(" category"), QStringLiteral(" categories")) +
        QLatin1Char('\n') + counted(state.vault.entries().size(), QStringLiteral(" item"), QStringLiteral(" items")));
}

void MainWindow::applyPasswordVisibility()
{
    if (state.preferences.hidePassword) {
        form->txtEntryPassword->setEchoMode(QLineEdit::Password);
        passwordVisibilityButton->setText(tr("Password visibility: Hidden"));
    } else {
        form->txtEntryPassword->setEchoMode(QLineEdit::Normal);
        passwordVisibilityButton->setText(tr("Password visibility: Normal"));
    }
}

void MainWindow::catchPasswordVisibilityButton()
{
    state.preferences.hidePassword = !state.preferences.hidePassword;
    preferencesChanged();
    applyPasswordVisibility();
}

void MainWindow::setCurrentEntry(const Entry& entry)
{
    *currentEntry = entry;
    selectCurrentEntry();
}

void MainWindow::selectCurrentEntry()
{
    QModelIndex source;
    // A new entry has no row before its first save: its category's row stands for it.
    if (currentEntry->id != QLatin1String("0") && currentEntry->id == unsavedNewEntryId)
        source = treeModel->findCategory(currentEntry->category);
    else if (currentEntry->id != QLatin1String("0"))
        source = treeModel->findEntry(*currentEntry);
    const QModelIndex shown = filterModel->mapFromSource(source);
    form->treeView->scrollTo(shown, QAbstractItemView::EnsureVisible);
    form->treeView->setCurrentIndex(shown);
}

void MainWindow::on_treeView_doubleClicked(const QModelIndex&)
{
    openRow(form->treeView->currentIndex(), false);
}

void MainWindow::on_btnCancelEntryChanges_clicked()
{
    discardOpenEntry();
    selectCurrentEntry();
    refreshView();
}

bool MainWindow::PanelFields::operator==(const PanelFields& other) const
{
    return title == other.title && category == other.category && url == other.url && account == other.account &&
           password == other.password && notes == other.notes;
}

MainWindow::PanelFields MainWindow::panelFields() const
{
    return {form->txtEntryTitle->text(),   form->comboBoxCategory->currentText(), form->txtEntryUrl->text(),
            form->txtEntryAccount->text(), form->txtEntryPassword->text(),        form->txtEntryNotes->toPlainText()};
}

MainWindow::PanelFields MainWindow::fieldsShowing(const Entry& record) const
{
    QTextDocument notes;
    notes.setPlainText(record.notes);
    const bool listed =
        form->comboBoxCategory->findText(record.category, Qt::MatchExactly | Qt::MatchCaseSensitive) >= 0;
    return {record.title.left(form->txtEntryTitle->maxLength()),
            listed ? record.category : QString(),
            record.url.left(form->txtEntryUrl->maxLength()),
            record.account.left(form->txtEntryAccount->maxLength()),
            record.password.left(form->txtEntryPassword->maxLength()),
            notes.toPlainText()};
}

void MainWindow::fillPanel()
{
    form->comboBoxCategory->setCurrentIndex(
        form->comboBoxCategory->findText(currentEntry->category, Qt::MatchExactly | Qt::MatchCaseSensitive));
    form->txtEntryAccount->setText(currentEntry->account);
    form->txtEntryNotes->setPlainText(currentEntry->notes);
    form->txtEntryPassword->setText(currentEntry->password);
    form->txtEntryTitle->setText(currentEntry->title);
    form->txtEntryUrl->setText(currentEntry->url);
    shownRecord = *currentEntry;
}

bool MainWindow::panelEdited() const
{
    return shownRecord.id != QLatin1String("0") && panelFields() != fieldsShowing(shownRecord);
}

bool MainWindow::holdsUnsavedEntry() const
{
    return panelEdited() || (!unsavedNewEntryId.isEmpty() && currentEntry->id == unsavedNewEntryId);
}

bool MainWindow::settleUnsavedEntry()
{
    if (!holdsUnsavedEntry())
        return true;
    const QString title = form->txtEntryTitle->text();
    QMessageBox box(QMessageBox::Question, tr("Unsaved Changes"),
                    currentEntry->id == unsavedNewEntryId ? tr("Save the new entry \"%1\"?").arg(title)
                                                          : tr("Save the changes to \"%1\"?").arg(title),
                    QMessageBox::Save | QMessageBox::Discard | QMessageBox::Cancel, this);
    box.setDefaultButton(QMessageBox::Save);
    box.setEscapeButton(QMessageBox::Cancel);
    setAccessKeys(box);
    unsavedQuestion = &box;
    switch (box.exec()) {
    case QMessageBox::Save:
        saveOpenEntry();
        return true;
    case QMessageBox::Discard:
        discardOpenEntry();
        return true;
    default:
        return false;
    }
}

void MainWindow::discardOpenEntry()
{
    if (!unsavedNewEntryId.isEmpty() && currentEntry->id == unsavedNewEntryId) {
        // Never saved, so never in the vault: it goes, and leaves no step to undo.
        unsavedNewEntryId.clear();
        currentEntry->id = QStringLiteral("0");
        return;
    }
    if (currentEntry->id != QLatin1String("0"))
        fillPanel();
}

void MainWindow::holdOpenEntry()
{
    heldPanel.reset();
    if (currentEntry->id == QLatin1String("0") || !holdsUnsavedEntry())
        return;
    // In guarded memory: a protected vault is out of memory while locked, and so is what was typed.
    QByteArray bytes;
    {
        QDataStream out(&bytes, QIODevice::WriteOnly);
        out.setVersion(QDataStream::Qt_4_6);
        const PanelFields typed = panelFields();
        out << *currentEntry << shownRecord << typed.title << typed.category << typed.url << typed.account
            << typed.password << typed.notes << (currentEntry->id == unsavedNewEntryId)
            << (changedElsewhereId == currentEntry->id);
    }
    auto held = std::make_unique<GuardedBytes>(bytes.size());
    if (held->isValid()) {
        held->edit([&bytes](unsigned char* to, qsizetype size) { std::memcpy(to, bytes.constData(), size); });
        heldPanel = std::move(held);
    }
    wipeBytes(bytes);
}

void MainWindow::bringBackOpenEntry()
{
    if (!heldPanel)
        return;
    QByteArray bytes = heldPanel->read([](const unsigned char* from, qsizetype size) {
        return QByteArray(reinterpret_cast<const char*>(from), size);
    });
    heldPanel.reset();
    Entry entry(Entry::NoId);
    Entry shown(Entry::NoId);
    PanelFields typed;
    bool isNew = false;
    bool changedThere = false;
    {
        QDataStream in(bytes);
        in.setVersion(QDataStream::Qt_4_6);
        in >> entry >> shown >> typed.title >> typed.category >> typed.url >> typed.account >> typed.password >>
            typed.notes >> isNew >> changedThere;
    }
    wipeBytes(bytes);
    // A new entry lives in the panel alone until its first save: it comes back there, not into the vault.
    if (isNew) {
        state.vault.addCategory(entry.category);
        unsavedNewEntryId = entry.id;
    }
    const Entry* now = state.vault.entries().findById(entry.id);
    *currentEntry = now ? *now : entry;
    selectCurrentEntry();
    setEntryDetailsEnabled(true);
    form->comboBoxCategory->clear();
    form->comboBoxCategory->addItems(state.vault.categoryNames());
    form->comboBoxCategory->setCurrentIndex(
        form->comboBoxCategory->findText(typed.category, Qt::MatchExactly | Qt::MatchCaseSensitive));
    form->txtEntryTitle->setText(typed.title);
    form->txtEntryUrl->setText(typed.url);
    form->txtEntryAccount->setText(typed.account);
    form->txtEntryPassword->setText(typed.password);
    form->txtEntryNotes->setPlainText(typed.notes);
    shownRecord = shown;
    // Changed or deleted while locked (a merge): saving keeps the changes of both.
    if (!isNew && (changedThere || !now || !sameRecord(*now, shown)))
        changedElsewhereId = entry.id;
}
