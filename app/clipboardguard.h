#pragma once

#include "app/clock.h"

#include <QByteArray>
#include <QObject>
#include <QTimer>

class QClipboard;

// Puts passwords on the clipboard and takes them off again: after a number of seconds, or at once
// on lock and exit, but only while the clipboard still holds the password put there, so that
// whatever the user copied since stays.
class ClipboardGuard : public QObject
{
    Q_OBJECT

public:
    explicit ClipboardGuard(QClipboard* clipboard, MonotonicClock clock = steadyClock(), QObject* parent = nullptr);

    // Seconds a copied password stays on the clipboard; 0 leaves it there. A password already
    // copied follows the new setting, counted from when it was copied.
    void setClearSeconds(int seconds);
    int clearSeconds() const { return seconds; }

    // Puts `password` on the clipboard, marked so that clipboard managers do not record it.
    void copyPassword(const QString& password);
    // Takes the password off the clipboard now, if it is still there (on lock and on exit).
    void clearNow();
    // Whether a copied password waits to be taken off.
    bool isPending() const { return pending; }

    // Clears the clipboard once its time has come, or waits for the rest. The timer calls it.
    void checkTime();

signals:
    // The password was taken off the clipboard.
    void cleared();
    // Whole seconds left before it is, once after the copy and then every second.
    void countingDown(int secondsLeft);

private:
    QByteArray digest(const QString& text) const;
    bool holdsPassword() const;
    void onClipboardChanged();

    QClipboard* clipboard;
    MonotonicClock clock;
    QTimer timer{this};      // a child, so that tests can find it
    QByteArray digestKey;    // random, for this process
    QByteArray copiedDigest; // of the password put there: the text itself is not kept
    qint64 copiedAt = 0;
    int seconds = 30;
    bool pending = false;
    bool copying = false;
};
