#include "app/mainwindow.h"
#include "ui_mainwindow.h"

#include "autotype/autotypesequence.h"
#include "autotype/globalshortcut.h"
#include "autotype/windowmatch.h"
#include "autotype/x11typer.h"
#include "store/storestate.h"
#include "vault/totp.h"

#include <QAction>
#include <QDateTime>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QInputDialog>
#include <QMenu>
#include <QMessageBox>
#include <QStatusBar>
#include <QThread>

namespace {

// How long the window manager may take to hand the focus to another window.
constexpr int kFocusWaitMs = 2000;

} // namespace

void MainWindow::createAutoTypeObjects()
{
    auto* action = new QAction(tr("Perform Auto-&Type"), this);
    action->setObjectName(QStringLiteral("actionPerformAutoType"));
    action->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_V));
    action->setToolTip(tr("Type the open entry's account and password into the window used before this one"));
    connect(action, &QAction::triggered, this, &MainWindow::performAutoType);
    form->menu_Edit->addSeparator();
    form->menu_Edit->addAction(action);
    updateAutoTypeAction();
    applyAutoTypeShortcut();
}

void MainWindow::updateAutoTypeAction()
{
    if (auto* action = findChild<QAction*>(QStringLiteral("actionPerformAutoType")))
        action->setEnabled(currentEntry->id != QLatin1String("0") && !windowLocked);
}

void MainWindow::applyAutoTypeShortcut()
{
    if (!GlobalShortcut::isSupported())
        return;
    if (!autoTypeShortcut) {
        autoTypeShortcut = new GlobalShortcut(this);
        connect(autoTypeShortcut, &GlobalShortcut::activated, this, &MainWindow::autoTypeIntoActiveWindow);
    }
    QString error;
    const QKeySequence keys = QKeySequence::fromString(localSettings.autoTypeShortcut, QKeySequence::PortableText);
    if (!autoTypeShortcut->setShortcut(keys, &error))
        statusBar()->showMessage(tr("The global auto-type shortcut does not work: %1").arg(error), kStatusMessageMs);
}

QString MainWindow::autoTypeUnavailableReason() const
{
    if (QGuiApplication::platformName() != QLatin1String("xcb")) {
        if (qEnvironmentVariableIsSet("WAYLAND_DISPLAY"))
            return tr("Auto-type is not available on Wayland, which does not let one program type into "
                      "another's windows. Copy the account and password instead, or use an X11 session.");
        return tr("Auto-type needs an X11 session.");
    }
    QString reason;
    X11Typer probe;
    probe.isReady(&reason);
    return reason;
}

void MainWindow::performAutoType()
{
    if (currentEntry->id == QLatin1String("0") || windowLocked)
        return;
    const QString unavailable = autoTypeUnavailableReason();
    if (!unavailable.isEmpty()) {
        QMessageBox::information(this, tr("Auto-Type"), unavailable);
        return;
    }
    // What the panel shows is typed, as the copy buttons copy it.
    Entry entry = *currentEntry;
    entry.account = form->txtEntryAccount->text();
    entry.password = form->txtEntryPassword->text();
    entry.notes = form->txtEntryNotes->toPlainText();

    // Vaultry steps back; the window used before it gets the focus and the keys.
    X11Typer typer;
    const unsigned long own = winId();
    showMinimized();
    unsigned long target = 0;
    QElapsedTimer waited;
    waited.start();
    while (waited.elapsed() < kFocusWaitMs) {
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents, 20);
        target = typer.activeWindow();
        if (target != 0 && target != own)
            break;
        target = 0;
        QThread::msleep(20);
    }
    if (target == 0) {
        showNormal();
        activateWindow();
        QMessageBox::information(this, tr("Auto-Type"), tr("There is no other window to type into."));
        return;
    }
    typeEntry(entry, target);
}

void MainWindow::autoTypeIntoActiveWindow()
{
    if (!startupCompleted || closed)
        return;
    if (windowLocked) {
        showNormal();
        activateWindow();
        statusBar()->showMessage(tr("Unlock Vaultry to auto-type."), kStatusMessageMs);
        return;
    }
    X11Typer typer;
    const unsigned long target = typer.activeWindow();
    if (target == 0 || target == winId())
        return;
    const QString windowTitle = typer.windowTitle(target);
    // Copies: the vault may change while the list is open.
    QList<Entry> matches;
    for (const Entry* entry : entriesMatchingWindow(state.vault.entries(), windowTitle))
        matches.append(*entry);
    if (matches.isEmpty()) {
        const QString message = tr("No entry matches the window \"%1\".").arg(windowTitle);
        if (QSystemTrayIcon::isSystemTrayAvailable() && trayIcon->isVisible())
            trayIcon->showMessage(tr("Auto-Type"), message);
        statusBar()->showMessage(message, kStatusMessageMs);
        return;
    }
    Entry chosen = matches.first();
    if (matches.size() > 1) {
        QStringList choices;
        for (const Entry& entry : std::as_const(matches)) {
            QString choice = entry.account.isEmpty() ? entry.title : tr("%1 (%2)").arg(entry.title, entry.account);
            // Every line must be told apart: the answer is found by its text.
            while (choices.contains(choice))
                choice += QLatin1Char(' ');
            choices << choice;
        }
        bool ok = false;
        const QString picked = QInputDialog::getItem(
            this, tr("Auto-Type"), tr("Which entry goes into \"%1\"?").arg(windowTitle), choices, 0, false, &ok);
        if (!ok || windowLocked)
            return;
        chosen = matches.at(choices.indexOf(picked));
        if (!typer.activateWindow(target, kFocusWaitMs)) {
            statusBar()->showMessage(tr("The window \"%1\" could not be given the focus back.").arg(windowTitle),
                                     kStatusMessageMs);
            return;
        }
    }
    typeEntry(chosen, target);
}

bool MainWindow::typeEntry(const Entry& entry, unsigned long window)
{
    AutoTypeFields fields{entry.account, entry.password, QString()};
    if (const std::optional<TotpSecret> secret = totpSecretInNotes(entry.notes))
        fields.totp = totpCode(*secret, QDateTime::currentSecsSinceEpoch());
    QString problem;
    const auto steps = parseAutoTypeSequence(autoTypeSequenceInNotes(entry.notes), fields, &problem);
    X11Typer typer;
    if (!steps || !typer.isReady(&problem)) {
        QMessageBox::warning(this, tr("Auto-Type"), problem);
        return false;
    }
    // The keys of the shortcut that started it would turn the letters into commands.
    typer.waitForModifiersReleased(kFocusWaitMs);
    if (typer.activeWindow() != window && !typer.activateWindow(window, kFocusWaitMs)) {
        statusBar()->showMessage(tr("The window to type into lost the focus; nothing was typed."), kStatusMessageMs);
        return false;
    }
    typer.type(*steps);
    statusBar()->showMessage(tr("\"%1\" typed into \"%2\".").arg(entry.title, typer.windowTitle(window)),
                             kStatusMessageMs);
    return true;
}
