#pragma once

// update/: the update check through the external updater, on its own thread. QtCore only;
// the window's side of it (the menu action, the status bar) lives in app/.

#include <QString>
#include <QThread>

// How long the updater may run before it is stopped.
inline constexpr int kDefaultUpdaterTimeoutMs = 30000;

// The updater's file name, looked for in the program's folder.
inline constexpr char kUpdaterFileName[] = "QLM-Updater.exe";

// How one run of the updater ended.
struct UpdaterResult
{
    enum Outcome
    {
        UpdateFound,   // ended normally with exit code 1
        NoUpdate,      // ended normally with any other code
        NotInstalled,  // no updater file in the folder
        FailedToStart, // there, but could not be run (not executable, bad format, ...)
        Crashed,       // ended by a signal or a crash
        TimedOut,      // still running when the time was up; it was killed
        Stopped,       // the caller asked the thread to stop; it was killed
    };
    Outcome outcome = NoUpdate;
    // The system's reason when it failed to start.
    QString reason;
};

// Runs applicationDirectory + "/QLM-Updater.exe" with the name, the version and "true" or
// "false", and waits for it at most `timeoutMs`, or until the calling thread is asked to stop.
// An updater still running then is killed and reaped.
UpdaterResult runUpdaterCheck(const QString& applicationName, const QString& applicationVersion,
                              const QString& applicationDirectory, bool updaterFlag,
                              int timeoutMs = kDefaultUpdaterTimeoutMs);
// The same, true when an update was found.
bool runUpdater(const QString& applicationName, const QString& applicationVersion, const QString& applicationDirectory,
                bool updaterFlag, int timeoutMs = kDefaultUpdaterTimeoutMs);

// One update check: runs the updater on its own thread and reports the result.
class UpdateThread : public QThread
{
    Q_OBJECT

public:
    UpdateThread(const QString& applicationName, const QString& applicationVersion, const QString& applicationDirectory,
                 bool updaterFlag, QObject* parent = nullptr, int timeoutMs = kDefaultUpdaterTimeoutMs);

    // How the check ended; read it once the thread has finished.
    UpdaterResult result() const { return checkResult; }
    int timeout() const { return timeoutMs; }

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
    UpdaterResult checkResult;
};
