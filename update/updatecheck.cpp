#include "app/mainwindow.h"

void MainWindow::on_actionCheck_for_Updates_triggered() {}
