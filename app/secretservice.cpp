#include "app/mainwindow.h"

#include "secrets/secretservice.h"
#include "store/settingsstore.h"
#include "store/storestate.h"

#include <QDBusConnection>
#include <QStatusBar>

void MainWindow::updateSecretService()
{
    // Only once start-up is through (the saver runs from then on): nothing is served before the login.
    const bool wanted = localSettings.secretServiceEnabled && autoSaver && startupCompleted && !closed;
    if (!wanted) {
        delete secretService;
        secretService = nullptr;
        return;
    }
    if (secretService) {
        secretService->setCategory(localSettings.secretServiceCategory);
        secretService->lockChanged();
        return;
    }
    SecretService::Host host;
    host.isLocked = [this] { return windowLocked || closed || !startupCompleted || !autoSaver; };
    host.canLock = [this] { return masterPasswordInUse(); };
    host.lock = [this] { lockWindow(); };
    host.unlock = [this](const QString&) {
        // The client asked for the vault: the window comes forward with its unlock prompt.
        if (isMinimized())
            showNormal();
        raise();
        activateWindow();
        unlockWindow();
    };
    host.isReadOnly = [this] { return store.isReadOnly(); };
    // Shown as a change from elsewhere: the open entry follows unless it holds edits, which a
    // save then merges with the other program's change.
    host.changed = [this](const QString& summary) { onVaultMerged(summary); };
    secretService = new SecretService(state.vault, std::move(host), localSettings.secretServiceCategory,
                                      QDBusConnection::sessionBus(), this);
    connect(secretService, &SecretService::statusChanged, this, [this] {
        // A name held by another program stays said until the status bar is needed again.
        const bool problem = secretService->status() != SecretService::Status::Serving;
        statusBar()->showMessage(secretService->statusText(), problem ? 0 : kStatusMessageMs);
    });
    secretService->start();
}

QString MainWindow::secretServiceStatus() const
{
    return secretService ? secretService->statusText() : QString();
}
