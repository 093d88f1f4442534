#include "application.h"

#include "mainwindow.h"

#include <QApplication>
#include <QSessionManager>
#include <QSocketNotifier>
#include <QSplashScreen>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

namespace {

int signalPipe[2] = {-1, -1};

extern "C" void writeToSignalPipe(int signalNumber)
{
    const int savedErrno = errno;
    const char byte = char(signalNumber);
    [[maybe_unused]] const ssize_t ignored = ::write(signalPipe[1], &byte, 1);
    errno = savedErrno;
}

// The end of the session quits the application, which closes its windows; like a signal, that
// close asks nothing, since nobody may be there to answer. A quit the user chooses closes the
// window instead, which asks about unsaved edits.
class QuitWithoutQuestions : public QObject
{
public:
    explicit QuitWithoutQuestions(MainWindow& window) : QObject(&window), window(window) {}

    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (watched == qApp && event->type() == QEvent::Quit)
            window.closeWithoutQuestions();
        return false;
    }

private:
    MainWindow& window;
};

} // namespace

TerminationSignals::TerminationSignals(QObject* parent) : QObject(parent)
{
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &TerminationSignals::onSignal);

    struct sigaction action = {};
    action.sa_handler = writeToSignalPipe;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signalNumber : {SIGTERM, SIGHUP, SIGINT})
        sigaction(signalNumber, &action, nullptr);
}

TerminationSignals::~TerminationSignals()
{
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    for (int signalNumber : {SIGTERM, SIGHUP, SIGINT})
        sigaction(signalNumber, &action, nullptr);
    if (signalPipe[0] >= 0) {
        ::close(signalPipe[0]);
        ::close(signalPipe[1]);
        signalPipe[0] = signalPipe[1] = -1;
    }
}

void TerminationSignals::watch(MainWindow* mainWindow)
{
    window = mainWindow;
    if (signalled && window)
        window->closeWithoutQuestions();
}

void TerminationSignals::onSignal()
{
    char bytes[16];
    while (::read(signalPipe[0], bytes, sizeof bytes) > 0) {
    }
    signalled = true;
    if (window) {
        window->closeWithoutQuestions();
        return;
    }
    // Still starting up (a login prompt may be open): end the prompt, which ends the
    // program without saving; anything further waits for watch().
    QCoreApplication::exit(0);
}

void protectProcessMemory()
{
#ifdef __linux__
    prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
#endif
}

int runMainWindow(MainWindow& window, QSplashScreen* splash, TerminationSignals& termination)
{
    // The session manager asks running programs to save at a log-out, which may still be
    // cancelled, and at checkpoints: save and keep running. When the session really ends the
    // application is told to quit, which closes the window.
    QObject::connect(qApp, &QGuiApplication::commitDataRequest, &window,
                     [&window](QSessionManager& manager) { window.saveForSession(manager); });
    qApp->installEventFilter(new QuitWithoutQuestions(window));
    termination.watch(&window);
    if (window.hasClosed())
        return 0;
    window.show();
    if (splash)
        splash->finish(&window);
    // A close while the splash waited for the window happened before exec(), and its
    // request to quit was lost.
    if (window.hasClosed())
        return 0;
    return QApplication::exec();
}
