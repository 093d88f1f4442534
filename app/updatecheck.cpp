#include "app/mainwindow.h"

#include "app/version.h"
#include "update/updatethread.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QStatusBar>
#include <QTimer>

namespace {

QString updaterPath()
{
    return QCoreApplication::applicationDirPath() + QLatin1Char('/') + QLatin1String(kUpdaterFileName);
}

} // namespace

void MainWindow::on_actionCheck_for_Updates_triggered()
{
    // Installed copies (a package, /usr/local) come without the updater: nothing to run, and
    // the user is told where updates come from instead.
    if (!QFileInfo::exists(updaterPath())) {
        statusBar()->showMessage(reportUpdateCheck(UpdaterResult{UpdaterResult::NotInstalled, QString()}, 0));
        return;
    }
    statusBar()->showMessage(tr("Checking for updates..."));
    // No parent: catchUpdateResult (or the window's destructor) deletes the thread once it has ended.
    auto* thread = new UpdateThread(QStringLiteral("vaultry"), readVersion(), QCoreApplication::applicationDirPath(),
                                    false, nullptr, updaterTimeoutMs);
    connect(thread, qOverload<UpdateThread*, bool>(&UpdateThread::finished), this, &MainWindow::catchUpdateResult);
    updateChecks.append(thread);
    thread->start(QThread::InheritPriority);
}

QString MainWindow::reportUpdateCheck(const UpdaterResult& result, int timeoutMs)
{
    // Short enough for the status bar of a window of the default size.
    switch (result.outcome) {
    case UpdaterResult::UpdateFound:
        return tr("An update was found; Vaultry closes for the updater.");
    case UpdaterResult::NoUpdate:
        return tr("No update was found.");
    case UpdaterResult::NotInstalled:
        return tr("Updates come from your system's package manager or the project's page.");
    case UpdaterResult::FailedToStart:
        return tr("Update check failed: the updater could not be started (%1).").arg(result.reason);
    case UpdaterResult::Crashed:
        return tr("Update check failed: the updater crashed.");
    case UpdaterResult::TimedOut: {
        const int seconds = (timeoutMs + 999) / 1000;
        return seconds == 1 ? tr("Update check failed: the updater did not answer within 1 second.")
                            : tr("Update check failed: the updater did not answer within %1 seconds.").arg(seconds);
    }
    case UpdaterResult::Stopped:
        break;
    }
    return QString();
}

void MainWindow::catchUpdateResult(UpdateThread* thread, bool updateFound)
{
    thread->wait();
    updateChecks.removeOne(thread);
    const UpdaterResult result = thread->result();
    const int timeoutMs = thread->timeout();
    delete thread;
    const QString report = reportUpdateCheck(result, timeoutMs);
    if (updateFound) {
        statusBar()->showMessage(report);
        QTimer::singleShot(100, this, &MainWindow::close);
    } else if (result.outcome == UpdaterResult::NoUpdate) {
        statusBar()->showMessage(report, kStatusMessageMs);
    } else if (!report.isEmpty()) {
        // A failure stays until the next message: the user has to act on it.
        statusBar()->showMessage(report);
    }
}
