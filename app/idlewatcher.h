#pragma once

#include "app/clock.h"

#include <QObject>
#include <QTimer>
#include <QVariantMap>

class QDBusConnection;
class QDBusPendingCallWatcher;

// Asks for the window to lock after a number of minutes without keyboard, mouse or touch input,
// and when the desktop session locks (logind's Lock for this session, or the freedesktop screen
// saver turning on, whichever the desktop offers).
class IdleWatcher : public QObject
{
    Q_OBJECT

public:
    enum Reason
    {
        Idle,
        SessionLocked,
    };
    Q_ENUM(Reason)

    explicit IdleWatcher(MonotonicClock clock = steadyClock(), QObject* parent = nullptr);

    // Minutes without input before a lock is asked for; 0: never.
    void setIdleMinutes(int minutes);
    int idleMinutes() const { return minutes; }

    // Whether to ask at all: off while there is nothing to lock, or while locked. Turned on, the
    // idle time counts from then.
    void setEnabled(bool enabled);
    bool isEnabled() const { return enabled; }

    // Counts the input that passes `target` (the application object sees every window's input).
    void watchInput(QObject* target);

    // Listens on the desktop's buses: logind's session on the system bus, the screen saver on the
    // session bus. A bus or service that is not there is no error: that signal just never comes.
    void watchDesktopSession();
    // The same on given buses; the session's path is asked of logind (by this process's id).
    void watchDesktopSession(const QDBusConnection& systemBus, const QDBusConnection& sessionBus);
    // Listens for logind's Lock of the session at `sessionPath`, and for its LockedHint turning true
    // (what a desktop that locks by itself reports).
    void watchLogindSession(const QDBusConnection& systemBus, const QString& sessionPath);
    // Listens for the screen saver's ActiveChanged.
    void watchScreenSaver(const QDBusConnection& sessionBus);

    // Asks for the lock once the idle time is up, or waits for the rest. The timer calls it.
    void checkTime();

signals:
    // Once per idle spell, and each time the session locks.
    void lockRequested(IdleWatcher::Reason reason);
    // logind's session at `path` is watched from now on.
    void watchingSession(const QString& path);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private slots:
    // Connected by name: QtDBus offers no other way to reach a bus signal.
    void onSessionLock();
    void onSessionPropertiesChanged(const QString& interface, const QVariantMap& changed,
                                    const QStringList& invalidated);
    void onScreenSaverActiveChanged(bool active);

private:
    void onSessionFound(QDBusPendingCallWatcher* call, const QDBusConnection& systemBus, bool byProcess);
    void restartCount();

    MonotonicClock clock;
    QTimer timer{this}; // a child, so that tests can find it
    qint64 lastInput = 0;
    int minutes = 0;
    bool enabled = true;
    bool asked = false; // this idle spell has asked already
};
