#include "app/mainwindow.h"
#include "ui_mainwindow.h"

#include "app/clipboardguard.h"
#include "prefs/generator.h"
#include "store/storestate.h"
#include "vault/filtermodel.h"
#include "vault/treeitem.h"
#include "vault/treemodel.h"

#include <QClipboard>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QInputDialog>
#include <QMessageBox>
#include <QStatusBar>
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
        addCategory(name);
    selectCurrentEntry();
    refreshView();
}

void MainWindow::on_btnAddEntry_clicked()
{
    const Entry entry;
    // A vault may come without "General"; the new entry needs a row to be seen and edited.
    addCategory(entry.category);
    addEntry(entry);
    setCurrentEntry(entry);
    selectCurrentEntry();
    refreshView();
    // Ready to type the new entry's title.
    form->txtEntryTitle->setFocus(Qt::OtherFocusReason);
    form->txtEntryTitle->selectAll();
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

    currentEntry->account = form->txtEntryAccount->text();
    currentEntry->dateChanged = QDateTime::currentDateTime();
    currentEntry->notes = form->txtEntryNotes->toPlainText();
    currentEntry->title = form->txtEntryTitle->text();
    currentEntry->password = form->txtEntryPassword->text();
    currentEntry->url = form->txtEntryUrl->text();
    *currentEntry = state.vault.saveEntry(*currentEntry, form->comboBoxCategory->currentText());

    selectCurrentEntry();
    refreshView();
}

void MainWindow::on_btnDeleteEntry_clicked()
{
    const QModelIndex source = filterModel->mapToSource(form->treeView->selectionModel()->currentIndex());
    if (source.row() < 0)
        return;

    const Entry row = treeModel->entryAt(source);
    if (row.id == QLatin1String("0")) {
        const QString name = source.siblingAtColumn(TreeItem::TitleColumn).data(Qt::EditRole).toString();
        if (!state.vault.removeCategory(name))
            return;
        if (currentEntry->category == name)
            currentEntry->id = QStringLiteral("0");
    } else if (state.vault.removeEntry(row.id) && currentEntry->id == row.id) {
        currentEntry->id = QStringLiteral("0");
    }

    selectCurrentEntry();
    refreshView();
}

void MainWindow::on_btnCopyPassword_clicked()
{
    // Marked so that clipboard managers do not record it, and taken off again after the set time.
    clipboardGuard->copyPassword(form->txtEntryPassword->text());
    statusBar()->showMessage(tr("Password copied to the clipboard."), kStatusMessageMs);
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
    QDesktopServices::openUrl(url);
}
