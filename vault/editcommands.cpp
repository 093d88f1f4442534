#include "app/mainwindow.h"
#include "ui_mainwindow.h"

#include "prefs/generator.h"
#include "store/preferences.h"
#include "vault/entrylist.h"
#include "vault/filtermodel.h"
#include "vault/treeitem.h"
#include "vault/treemodel.h"

#include <QClipboard>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QInputDialog>
#include <QUrl>

namespace {

const QString& generalCategory()
{
    static const QString name = QStringLiteral("General");
    return name;
}

} // namespace

void MainWindow::addCategory(const QString& name)
{
    if (categoryNames.contains(name))
        return;
    // The end of the top level; equal to the number of names while the two are in step.
    const int row = treeModel->rowCount();
    if (treeModel->insertRows(row, 1))
        treeModel->setData(treeModel->index(row, TreeItem::TitleColumn), name, Qt::EditRole);
    categoryNames.append(name);
}

void MainWindow::addEntry(const Entry& entry)
{
    if (entries.containsId(entry.id))
        return;
    entries.append(entry);
    // Without its category row the entry stays out of the tree, as it would after a restart.
    const QModelIndex category = treeModel->findCategory(entry.category);
    if (!category.isValid())
        return;
    const int row = treeModel->rowCount(category);
    if (treeModel->insertRows(row, 1, category))
        treeModel->setEntryAt(entry, treeModel->index(row, 0, category));
}

void MainWindow::on_btnAddCategory_clicked()
{
    bool confirmed = false;
    const QString text = QInputDialog::getText(this, tr("Add Category"), tr("Please enter the new category's name:"),
                                               QLineEdit::Normal, QString(), &confirmed);
    const QString name = text.trimmed();
    if (confirmed && !name.isEmpty())
        addCategory(name);
    selectCurrentEntry();
    refreshView();
}

void MainWindow::on_btnAddEntry_clicked()
{
    const Entry entry;
    // A vault may come without "General"; the new entry needs a row to be seen and edited.
    if (!categoryNames.contains(entry.category))
        addCategory(entry.category);
    addEntry(entry);
    setCurrentEntry(entry);
    selectCurrentEntry();
    refreshView();
}

void MainWindow::on_btnOpenEntry_clicked()
{
    const QModelIndex source = filterModel->mapToSource(form->treeView->currentIndex());
    *currentEntry = treeModel->entryAt(source);
    selectCurrentEntry();
    refreshView();
}

void MainWindow::on_btnSaveEntry_clicked()
{
    // The panel is disabled without an entry; nothing to store into.
    if (currentEntry->id == QLatin1String("0"))
        return;

    QModelIndex row = treeModel->findEntry(*currentEntry);
    const QString category = form->comboBoxCategory->currentText();

    currentEntry->account = form->txtEntryAccount->text();
    currentEntry->dateChanged = QDateTime::currentDateTime();
    currentEntry->notes = form->txtEntryNotes->toPlainText();
    currentEntry->title = form->txtEntryTitle->text();
    currentEntry->password = form->txtEntryPassword->text();
    currentEntry->url = form->txtEntryUrl->text();

    if (category != currentEntry->category) {
        // Only to a category that has a row, so the entry never lands at the top level.
        const QModelIndex target = treeModel->findCategory(category);
        if (target.isValid()) {
            if (row.isValid()) {
                treeModel->removeRows(row.row(), 1, row.parent());
                row = QModelIndex();
            }
            currentEntry->category = category;
            // Removing under the old category leaves the top-level rows, and so `target`, as they were.
            const int position = treeModel->rowCount(target);
            if (treeModel->insertRows(position, 1, target))
                row = treeModel->index(position, 0, target);
        }
    }

    if (row.isValid())
        treeModel->setEntryAt(*currentEntry, row);
    const qsizetype stored = entries.indexOfId(currentEntry->id);
    if (stored >= 0)
        entries.replace(stored, *currentEntry);

    selectCurrentEntry();
    refreshView();
}

void MainWindow::on_btnDeleteEntry_clicked()
{
    const QModelIndex source = filterModel->mapToSource(form->treeView->selectionModel()->currentIndex());
    if (source.row() < 0)
        return;

    const QModelIndex parent = source.parent();
    const int row = source.row();
    const QString name = treeModel->index(row, TreeItem::TitleColumn, parent).data(Qt::EditRole).toString();
    const bool isEntry = treeModel->index(row, TreeItem::IsEntryColumn, parent).data(Qt::EditRole).toBool();
    const QString id = treeModel->index(row, TreeItem::IdColumn, parent).data(Qt::EditRole).toString();

    if (!isEntry) {
        if (name == generalCategory())
            return;
        if (currentEntry->category == name)
            currentEntry->id = QStringLiteral("0");
        treeModel->removeRows(row, 1, parent);
        entries.removeIf([&name](const Entry& entry) { return entry.category == name; });
        categoryNames.removeAll(name);
    } else {
        treeModel->removeRows(row, 1, parent);
        const qsizetype stored = entries.indexOfId(id);
        if (stored >= 0) {
            entries.removeAt(stored);
            if (currentEntry->id == id)
                currentEntry->id = QStringLiteral("0");
        }
    }

    selectCurrentEntry();
    refreshView();
}

void MainWindow::on_btnCopyPassword_clicked()
{
    QGuiApplication::clipboard()->setText(form->txtEntryPassword->text(), QClipboard::Clipboard);
}

void MainWindow::on_btnCopyAccount_clicked()
{
    QGuiApplication::clipboard()->setText(form->txtEntryAccount->text(), QClipboard::Clipboard);
}

void MainWindow::on_btnCopyUrl_clicked()
{
    QGuiApplication::clipboard()->setText(form->txtEntryUrl->text(), QClipboard::Clipboard);
}

void MainWindow::on_btnGeneratePassword_clicked()
{
    form->txtEntryPassword->setText(generatePassword(preferences.genMinLength, preferences.genMaxLength,
                                                     preferences.genMixedCase, preferences.genAlphanum,
                                                     preferences.genSpecialChars));
}

void MainWindow::on_btnVisitUrl_clicked()
{
    const QString text = form->txtEntryUrl->text();
    if (text.trimmed().isEmpty())
        return;
    // Passed on as typed: no scheme is added, and a failure is not reported.
    QDesktopServices::openUrl(QUrl(text));
}
