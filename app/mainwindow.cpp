#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "prefs/passwordresetdialog.h"
#include "prefs/settingsdialog.h"
#include "store/settingsstore.h"
#include "update/updatethread.h"
#include "vault/filtermodel.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

MainWindow::MainWindow(QWidget* parent) : QMainWindow(parent), form(new Ui::MainWindow)
{
    form->setupUi(this);
    // Random draws come from the process-wide secure source; there is nothing to seed here.
    initializeWindow();
    if (startupCompleted)
        refreshView();
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
    delete currentEntry;
    delete form;
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

void MainWindow::catchUpdateResult(UpdateThread* thread, bool updateFound)
{
    thread->wait();
    updateChecks.removeOne(thread);
    delete thread;
    if (updateFound)
        QTimer::singleShot(100, this, &MainWindow::close);
}

void MainWindow::manageSysTray(QSystemTrayIcon::ActivationReason)
{
    setVisible(!isVisible());
}

void MainWindow::on_btnClearDynamicSearch_clicked()
{
    form->txtSearch->setText(QString());
    filterModel->setFilterFixedString(QString());
}

void MainWindow::on_txtSearch_textChanged(const QString& text)
{
    if (filterModel)
        filterModel->setFilterFixedString(text);
}

void MainWindow::on_btnCollapseAll_clicked()
{
    form->treeView->collapseAll();
}

void MainWindow::on_btnExpandAll_clicked()
{
    form->treeView->expandAll();
}

void MainWindow::on_actionClose_triggered()
{
    close();
}

bool MainWindow::saveStore(const QString& giveUpCaption)
{
    for (;;) {
        const StoreSaveResult result = saveSettings();
        if (result.ok)
            return true;
        QMessageBox box(QMessageBox::Warning, tr("Notice"), result.error, QMessageBox::NoButton, this);
        QPushButton* retry = box.addButton(tr("Try Again"), QMessageBox::AcceptRole);
        box.addButton(giveUpCaption, QMessageBox::RejectRole);
        box.setDefaultButton(retry);
        box.exec();
        if (box.clickedButton() != retry)
            return false;
    }
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    saveStore(tr("Close Without Saving"));
    event->accept();
    QCoreApplication::exit(0);
}

void MainWindow::on_action_Settings_triggered()
{
    auto* dialog = new SettingsDialog(this);
    dialog->setWindowModality(Qt::ApplicationModal);
    dialog->exec();
    delete dialog;
    refreshView();
}

void MainWindow::on_actionReset_Master_Password_triggered()
{
    auto* dialog = new PasswordResetDialog(this);
    dialog->setWindowModality(Qt::ApplicationModal);
    dialog->exec();
    delete dialog;
    refreshView();
}
