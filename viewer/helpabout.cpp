#include "app/mainwindow.h"

void MainWindow::on_actionChangelog_triggered() {}
void MainWindow::on_actionView_Help_triggered() {}
void MainWindow::on_actionAbout_triggered() {}
void MainWindow::cegg_action() {}
