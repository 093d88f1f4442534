#include "app/mainwindow.h"
#include "app/version.h"

#include <QApplication>
#include <QPixmap>
#include <QSplashScreen>

int main(int argc, char* argv[])
{
    initVaultryResources();
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("VAULTRY"));

    auto* splash = new QSplashScreen(QPixmap(QStringLiteral(":/files/splash-img")));
    splash->show();
    QApplication::processEvents();

    int result = 1;
    {
        MainWindow window;
        if (window.startedUp()) {
            window.show();
            splash->finish(&window);
            result = QApplication::exec();
        }
    }
    delete splash;
    return result;
}
