#include "app/application.h"
#include "app/commandline.h"
#include "app/mainwindow.h"
#include "app/version.h"
#include "store/settingsstore.h"
#include "store/storestate.h"

#include <QApplication>
#include <QPixmap>
#include <QSplashScreen>
#include <QStandardPaths>

int main(int argc, char* argv[])
{
    protectProcessMemory();
    initVaultryResources();
    const CommandLine commandLine = handleCommandLine(argc, argv);
    if (commandLine.done)
        return commandLine.exitCode;
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("VAULTRY"));
    // Lets the desktop match the window to the installed entry and its icon.
    QGuiApplication::setDesktopFileName(QStringLiteral(VAULTRY_APP_ID));
    TerminationSignals termination;

    QSplashScreen splash(QPixmap(QStringLiteral(":/files/splash-img")));
    splash.show();
    QApplication::processEvents();

    StoreState state;
    const StoreLocation location =
        commandLine.vaultDirectory.isEmpty()
            ? chooseStoreLocation(QApplication::applicationDirPath(),
                                  QStandardPaths::writableLocation(QStandardPaths::AppDataLocation))
            : StoreLocation{commandLine.vaultDirectory, QString()};
    SettingsStore store(location.directory, location.note);
    MainWindow window(state, store);
    if (!window.startedUp())
        return window.startupExitCode();
    return runMainWindow(window, &splash, termination);
}
