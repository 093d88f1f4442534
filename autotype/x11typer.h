#pragma once

#include "autotype/autotypesequence.h"

#include <QByteArray>
#include <QString>

// Types into whichever window has the keyboard focus on an X11 display, through XTest, on a
// connection of its own. A character the keyboard map lacks (most non-ASCII text) is put on a
// spare key code for the while, and the map is restored afterwards.
class X11Typer
{
public:
    // Connects to `displayName` (empty: $DISPLAY).
    explicit X11Typer(const QByteArray& displayName = QByteArray());
    ~X11Typer();
    X11Typer(const X11Typer&) = delete;
    X11Typer& operator=(const X11Typer&) = delete;

    // False, with a reason, when there is no display or it lacks the XTest extension.
    bool isReady(QString* reason = nullptr) const;

    // The window the window manager says is active (0 when none), and its title.
    unsigned long activeWindow() const;
    QString windowTitle(unsigned long window) const;
    // Asks the window manager to activate `window` (or gives it the focus where there is none)
    // and waits up to `timeoutMs` until it is the active one.
    bool activateWindow(unsigned long window, int timeoutMs);

    // Waits up to `timeoutMs` until no modifier key (Shift, Ctrl, Alt, Super) is held, so that the
    // keys of the shortcut that started auto-type do not change what is typed.
    bool waitForModifiersReleased(int timeoutMs) const;

    // Types the steps; `keyDelayMs` between keys.
    void type(const QList<AutoTypeStep>& steps, int keyDelayMs = 10);

private:
    struct Private;
    Private* d;
};
