#include "app/mainwindow.h"

#include "app/version.h"
#include "update/updatethread.h"

#include <QCoreApplication>

void MainWindow::on_actionCheck_for_Updates_triggered()
{
    // No parent: catchUpdateResult (or the window's destructor) deletes the thread once it has ended.
    auto* thread = new UpdateThread(QStringLiteral("vaultry"), readVersion(), QCoreApplication::applicationDirPath(),
                                    false, nullptr, updaterTimeoutMs);
    connect(thread, qOverload<UpdateThread*, bool>(&UpdateThread::finished), this, &MainWindow::catchUpdateResult);
    updateChecks.append(thread);
    thread->start(QThread::InheritPriority);
}
