#pragma once

#include <QObject>
#include <QPointer>

class MainWindow;
class QSocketNotifier;
class QSplashScreen;

// Turns SIGTERM, SIGHUP and SIGINT (log-out, shutdown, Ctrl+C) into a close of the main
// window, which saves the vault as any close does. The handler only writes to a pipe; the
// rest happens on the event loop.
class TerminationSignals : public QObject
{
    Q_OBJECT

public:
    explicit TerminationSignals(QObject* parent = nullptr);
    ~TerminationSignals() override;

    // The window to close from now on; a signal that came before it is acted on at once.
    void watch(MainWindow* window);
    bool received() const { return signalled; }

private:
    void onSignal();

    QSocketNotifier* notifier = nullptr;
    QPointer<MainWindow> window;
    bool signalled = false;
};

// Turns off core dumps and debugger attachment, so the vault's passwords never reach a
// core file.
void protectProcessMemory();

// Shows the window and runs the event loop until it closes; returns the exit code. A
// window closed before the loop starts (a quick user, a signal) ends the program all the
// same. A request of the session manager to save its data saves the vault and goes on.
int runMainWindow(MainWindow& window, QSplashScreen* splash, TerminationSignals& termination);
