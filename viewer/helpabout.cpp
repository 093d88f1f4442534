#include "app/mainwindow.h"

#include "app/version.h"
#include "viewer/plaintextwindow.h"

#include <QDesktopServices>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QMessageBox>
#include <QUrl>

void MainWindow::on_actionChangelog_triggered()
{
    QFile file(QStringLiteral(":/files/changelog"));
    QByteArray bytes;
    if (file.open(QIODevice::ReadOnly))
        bytes = file.readAll();
    const qsizetype end = bytes.indexOf('\0');
    if (end >= 0)
        bytes.truncate(end);

    auto* viewer = new PlainTextWindow(QString::fromLatin1(bytes), this);
    viewer->setWindowModality(Qt::ApplicationModal);
    QEventLoop loop;
    connect(viewer, &PlainTextWindow::formClosed, &loop, &QEventLoop::quit);
    viewer->show();
    loop.exec();
    delete viewer;
}

void MainWindow::on_actionView_Help_triggered()
{
    // fromLocalFile gives "file:///..." for any absolute path and escapes '#', '%' and '?'.
    QDesktopServices::openUrl(QUrl::fromLocalFile(QDir::currentPath() + QStringLiteral("/Vaultry.chm")));
}

void MainWindow::on_actionAbout_triggered()
{
    QMessageBox::information(this, tr("About Vaultry"),
                             tr("Vaultry v") + readVersion() + QLatin1Char('\n') +
                                 QStringLiteral("https://vaultry.example.org"));
}

void MainWindow::cegg_action()
{
    QMessageBox::about(this, tr("Easter Egg Surprise"), QStringLiteral("<img src=\":/files/c-creep\">"));
}
