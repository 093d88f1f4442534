#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "app/version.h"
#include "store/settingsstore.h"
#include "store/storestate.h"
#include "vault/filtermodel.h"
#include "vault/treemodel.h"

#include <QPushButton>

namespace {

QString counted(qsizetype count, const QString& one, const QString& many)
{
    return QString::number(count) + (count == 1 ? one : many);
}

} // namespace

void MainWindow::refreshView()
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

    const QModelIndex source = filterModel->mapToSource(form->treeView->selectionModel()->currentIndex());
    if (source.isValid()) {
        const Entry entry = treeModel->entryAt(source);
        if (entry.id != QLatin1String("0"))
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
    } else {
        setEntryDetailsEnabled(true);
        form->comboBoxCategory->clear();
        form->comboBoxCategory->addItems(state.vault.categoryNames());
        form->comboBoxCategory->setCurrentIndex(
            form->comboBoxCategory->findText(currentEntry->category, Qt::MatchExactly | Qt::MatchCaseSensitive));
        form->txtEntryAccount->setText(currentEntry->account);
        form->txtEntryNotes->setPlainText(currentEntry->notes);
        form->txtEntryPassword->setText(currentEntry->password);
        form->txtEntryTitle->setText(currentEntry->title);
        form->txtEntryUrl->setText(currentEntry->url);
        form->lblDateChanged->setText(currentEntry->dateChanged.toString(Qt::TextDate));
        form->lblDateCreated->setText(currentEntry->dateCreated.toString(Qt::TextDate));
    }

    filterModel->sort(0, Qt::AscendingOrder);
    applyPasswordVisibility();
    reportSearch();
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
    if (currentEntry->id != QLatin1String("0"))
        source = treeModel->findEntry(*currentEntry);
    const QModelIndex shown = filterModel->mapFromSource(source);
    form->treeView->scrollTo(shown, QAbstractItemView::EnsureVisible);
    form->treeView->setCurrentIndex(shown);
}

void MainWindow::on_treeView_doubleClicked(const QModelIndex&)
{
    refreshView();
}

void MainWindow::on_btnCancelEntryChanges_clicked()
{
    selectCurrentEntry();
    refreshView();
}
