#include "updatethread.h"

#include <QProcess>
#include <QStringList>

bool runUpdater(const QString& applicationName, const QString& applicationVersion, const QString& applicationDirectory,
                bool updaterFlag, int timeoutMs)
{
    const QStringList arguments{applicationName, applicationVersion,
                                updaterFlag ? QStringLiteral("true") : QStringLiteral("false")};
    QProcess updater;
    updater.start(applicationDirectory + QStringLiteral("/QLM-Updater.exe"), arguments, QIODevice::ReadWrite);
    updater.waitForFinished(timeoutMs);
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
