#include "app/mainwindow.h"

// Editing commands: filled in with the editing work.
void MainWindow::addCategory(const QString&) {}
void MainWindow::addEntry(const Entry&) {}
void MainWindow::on_btnAddCategory_clicked() {}
void MainWindow::on_btnAddEntry_clicked() {}
void MainWindow::on_btnOpenEntry_clicked() {}
void MainWindow::on_btnSaveEntry_clicked() {}
void MainWindow::on_btnDeleteEntry_clicked() {}
void MainWindow::on_btnCopyPassword_clicked() {}
void MainWindow::on_btnCopyAccount_clicked() {}
void MainWindow::on_btnCopyUrl_clicked() {}
void MainWindow::on_btnGeneratePassword_clicked() {}
void MainWindow::on_btnVisitUrl_clicked() {}
