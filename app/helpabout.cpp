#include "app/mainwindow.h"

#include "app/version.h"
#include "viewer/plaintextwindow.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QMessageBox>
#include <QUrl>

namespace {

// A text resource up to its first NUL byte, as Latin-1.
QString resourceText(const QString& path)
{
    QFile file(path);
    QByteArray bytes;
    if (file.open(QIODevice::ReadOnly))
        bytes = file.readAll();
    const qsizetype end = bytes.indexOf('\0');
    if (end >= 0)
        bytes.truncate(end);
    return QString::fromLatin1(bytes);
}

} // namespace

void MainWindow::showPlainText(const QString& title, const QString& text)
{
    auto* viewer = new PlainTextWindow(text, this);
    viewer->setWindowTitle(title);
    viewer->setWindowModality(Qt::ApplicationModal);
    viewer->placeOver(this);
    QEventLoop loop;
    connect(viewer, &PlainTextWindow::formClosed, &loop, &QEventLoop::quit);
    viewer->show();
    loop.exec();
    delete viewer;
}

void MainWindow::on_actionChangelog_triggered()
{
    showPlainText(tr("Vaultry Release Notes"), resourceText(QStringLiteral(":/files/changelog")));
}

void MainWindow::on_actionView_Help_triggered()
{
    // The compiled help beside the program first, then in the working directory.
    for (const QString& directory : {QCoreApplication::applicationDirPath(), QDir::currentPath()}) {
        const QString path = directory + QStringLiteral("/Vaultry.chm");
        if (QFileInfo(path).isFile()) {
            // fromLocalFile gives "file:///..." for any absolute path and escapes '#', '%' and '?'.
            QDesktopServices::openUrl(QUrl::fromLocalFile(path));
            return;
        }
    }
    showPlainText(tr("Vaultry Help"), resourceText(QStringLiteral(":/files/help")));
}

void MainWindow::on_actionAbout_triggered()
{
    // Two lines: the version, and where the project, its news and its updates are.
    QMessageBox about(QMessageBox::Information, tr("About Vaultry"),
                      tr("Vaultry v%1<br>The project's page: <a href=\"%2\">%2</a>")
                          .arg(readVersion(), QStringLiteral(VAULTRY_PROJECT_PAGE)),
                      QMessageBox::Ok, this);
    about.setTextFormat(Qt::RichText);
    about.setTextInteractionFlags(Qt::TextBrowserInteraction);
    about.exec();
}

void MainWindow::cegg_action()
{
    QMessageBox::about(this, tr("Easter Egg Surprise"), QStringLiteral("<img src=\":/files/c-creep\">"));
}
