// A window for the auto-type test: an account and a password field. Prints its window id once
// the account field has the focus, and on Enter prints both fields (UTF-8, a line each) and ends.

#include <QApplication>
#include <QLineEdit>
#include <QTimer>
#include <QVBoxLayout>
#include <QWidget>

#include <cstdio>

int main(int argc, char** argv)
{
    QApplication application(argc, argv);
    QWidget window;
    window.setWindowTitle(QStringLiteral("Auto-type target"));
    auto* account = new QLineEdit(&window);
    auto* password = new QLineEdit(&window);
    auto* layout = new QVBoxLayout(&window);
    layout->addWidget(account);
    layout->addWidget(password);
    QObject::connect(password, &QLineEdit::returnPressed, &application, [&] {
        std::printf("%s\n%s\n", account->text().toUtf8().constData(), password->text().toUtf8().constData());
        std::fflush(stdout);
        application.quit();
    });
    window.show();
    window.activateWindow();
    account->setFocus();
    // Told once the window is there and holds the focus, so the typing does not start too soon.
    auto* ready = new QTimer(&window);
    QObject::connect(ready, &QTimer::timeout, &window, [&, ready] {
        if (!window.isActiveWindow() || !account->hasFocus())
            return;
        ready->stop();
        std::printf("ready %llu\n", static_cast<unsigned long long>(window.winId()));
        std::fflush(stdout);
    });
    ready->start(50);
    return application.exec();
}
