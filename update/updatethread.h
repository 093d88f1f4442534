#pragma once

// update/: the update check through the external updater, on its own thread. QtCore only;
// the window's side of it (the menu action, the status bar) lives in app/.

#include <QString>
#include <QThread>

// How long the updater may run before it counts as having found nothing.
inline constexpr int kDefaultUpdaterTimeoutMs = 30000;

// Runs applicationDirectory + "/QLM-Updater.exe" with the name, the version and "true" or
// "false", and waits for it at most `timeoutMs`, or until the calling thread is asked to stop.
// True when it ended normally with exit code 1 (an update was found). An updater still
// running then is killed.
bool runUpdater(const QString& applicationName, const QString& applicationVersion, const QString& applicationDirectory,
                bool updaterFlag, int timeoutMs = kDefaultUpdaterTimeoutMs);

// One update check: runs the updater on its own thread and reports the result.
class UpdateThread : public QThread
{
    Q_OBJECT

public:
    UpdateThread(const QString& applicationName, const QString& applicationVersion, const QString& applicationDirectory,
                 bool updaterFlag, QObject* parent = nullptr, int timeoutMs = kDefaultUpdaterTimeoutMs);

signals:
    // Emitted on the worker thread as run()'s last act; hides QThread::finished().
    void finished(UpdateThread* thread, bool updateFound);

protected:
    void run() override;

private:
    const QString applicationName;
    const QString applicationDirectory;
    const QString applicationVersion;
    const bool updaterFlag;
    const int timeoutMs;
};
