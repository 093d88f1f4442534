#include "app/mainwindow.h"

void MainWindow::on_action_Export_triggered() {}
void MainWindow::on_action_Import_triggered() {}
