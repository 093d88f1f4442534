#include "updatethread.h"

#include <QDeadlineTimer>
#include <QProcess>
#include <QStringList>

bool runUpdater(const QString& applicationName, const QString& applicationVersion, const QString& applicationDirectory,
                bool updaterFlag, int timeoutMs)
{
    const QStringList arguments{applicationName, applicationVersion,
                                updaterFlag ? QStringLiteral("true") : QStringLiteral("false")};
    QProcess updater;
    updater.start(applicationDirectory + QStringLiteral("/QLM-Updater.exe"), arguments, QIODevice::ReadWrite);
    // Wait in short steps so that a window closing meanwhile can stop the check at once.
    const QDeadlineTimer deadline(timeoutMs);
    while (!updater.waitForFinished(int(qBound(qint64(0), deadline.remainingTime(), qint64(100))))) {
        if (updater.state() == QProcess::NotRunning || deadline.hasExpired() ||
            QThread::currentThread()->isInterruptionRequested())
            break;
    }
    // A crash can leave a signal number in exitCode(); only a normal exit counts.
    const bool found = updater.state() == QProcess::NotRunning && updater.exitStatus() == QProcess::NormalExit &&
                       updater.exitCode() == 1;
    if (updater.state() != QProcess::NotRunning) {
        updater.kill();
        updater.waitForFinished(-1);
    }
    return found;
}

UpdateThread::UpdateThread(const QString& applicationName, const QString& applicationVersion,
                           const QString& applicationDirectory, bool updaterFlag, QObject* parent, int timeoutMs)
    : QThread(parent), applicationName(applicationName), applicationDirectory(applicationDirectory),
      applicationVersion(applicationVersion), updaterFlag(updaterFlag), timeoutMs(timeoutMs)
{
}

void UpdateThread::run()
{
    const bool found = runUpdater(applicationName, applicationVersion, applicationDirectory, updaterFlag, timeoutMs);
    emit finished(this, found);
}
