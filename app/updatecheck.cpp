#include "app/mainwindow.h"

#include "app/version.h"
#include "update/updatethread.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QStatusBar>
#include <QTimer>

void MainWindow::on_actionCheck_for_Updates_triggered()
{
    const QString directory = QCoreApplication::applicationDirPath();
    updaterMissing = !QFileInfo(directory + QStringLiteral("/QLM-Updater.exe")).isFile();
    statusBar()->showMessage(updaterMissing ? tr("No updater (QLM-Updater.exe) was found beside Vaultry, so "
                                                 "updates cannot be checked.")
                                            : tr("Checking for updates..."));
    // No parent: catchUpdateResult (or the window's destructor) deletes the thread once it has ended.
    auto* thread =
        new UpdateThread(QStringLiteral("vaultry"), readVersion(), directory, false, nullptr, updaterTimeoutMs);
    connect(thread, qOverload<UpdateThread*, bool>(&UpdateThread::finished), this, &MainWindow::catchUpdateResult);
    updateChecks.append(thread);
    thread->start(QThread::InheritPriority);
}

void MainWindow::catchUpdateResult(UpdateThread* thread, bool updateFound)
{
    thread->wait();
    updateChecks.removeOne(thread);
    delete thread;
    if (updateFound) {
        statusBar()->showMessage(tr("An update was found; Vaultry closes for the updater."));
        QTimer::singleShot(100, this, &MainWindow::close);
    } else if (!updaterMissing) {
        statusBar()->showMessage(tr("No update was found."), kStatusMessageMs);
    }
}
