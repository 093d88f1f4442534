#include "updatethread.h"

#include <QDeadlineTimer>
#include <QFileInfo>
#include <QProcess>
#include <QStringList>

UpdaterResult runUpdaterCheck(const QString& applicationName, const QString& applicationVersion,
                              const QString& applicationDirectory, bool updaterFlag, int timeoutMs)
{
    UpdaterResult result;
    const QString program = applicationDirectory + QLatin1Char('/') + QLatin1String(kUpdaterFileName);
    if (!QFileInfo::exists(program)) {
        result.outcome = UpdaterResult::NotInstalled;
        return result;
    }
    const QStringList arguments{applicationName, applicationVersion,
                                updaterFlag ? QStringLiteral("true") : QStringLiteral("false")};
    QProcess updater;
    updater.start(program, arguments, QIODevice::ReadWrite);
    if (!updater.waitForStarted(-1)) {
        result.outcome = UpdaterResult::FailedToStart;
        result.reason = updater.errorString();
        return result;
    }
    // Wait in short steps so that a window closing meanwhile can stop the check at once.
    const QDeadlineTimer deadline(timeoutMs);
    bool stopped = false;
    while (!updater.waitForFinished(int(qBound(qint64(0), deadline.remainingTime(), qint64(100))))) {
        stopped = QThread::currentThread()->isInterruptionRequested();
        if (updater.state() == QProcess::NotRunning || deadline.hasExpired() || stopped)
            break;
    }
    if (updater.state() != QProcess::NotRunning) {
        updater.kill();
        updater.waitForFinished(-1);
        result.outcome = stopped ? UpdaterResult::Stopped : UpdaterResult::TimedOut;
        return result;
    }
    // A crash can leave a signal number in exitCode(); only a normal exit counts.
    if (updater.exitStatus() != QProcess::NormalExit)
        result.outcome = UpdaterResult::Crashed;
    else
        result.outcome = updater.exitCode() == 1 ? UpdaterResult::UpdateFound : UpdaterResult::NoUpdate;
    return result;
}

bool runUpdater(const QString& applicationName, const QString& applicationVersion, const QString& applicationDirectory,
                bool updaterFlag, int timeoutMs)
{
    return runUpdaterCheck(applicationName, applicationVersion, applicationDirectory, updaterFlag, timeoutMs).outcome ==
           UpdaterResult::UpdateFound;
}

UpdateThread::UpdateThread(const QString& applicationName, const QString& applicationVersion,
                           const QString& applicationDirectory, bool updaterFlag, QObject* parent, int timeoutMs)
    : QThread(parent), applicationName(applicationName), applicationDirectory(applicationDirectory),
      applicationVersion(applicationVersion), updaterFlag(updaterFlag), timeoutMs(timeoutMs)
{
}

void UpdateThread::run()
{
    checkResult = runUpdaterCheck(applicationName, applicationVersion, applicationDirectory, updaterFlag, timeoutMs);
    emit finished(this, checkResult.outcome == UpdaterResult::UpdateFound);
}
