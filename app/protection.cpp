#include "app/mainwindow.h"

#include "store/secretmemory.h"
#include "store/settingsstore.h"

#include <QApplication>
#include <QMessageBox>
#include <QStatusBar>

void MainWindow::applySettingsChoices(bool protectionWanted, const LocalSettings& settings)
{
    const bool browsersChanged = settings.browserFillsLogins != localSettings.browserFillsLogins;
    if (settings.idleLockMinutes != localSettings.idleLockMinutes ||
        settings.clipboardClearSeconds != localSettings.clipboardClearSeconds ||
        settings.secretServiceEnabled != localSettings.secretServiceEnabled ||
        settings.secretServiceCategory != localSettings.secretServiceCategory ||
        settings.autoTypeShortcut != localSettings.autoTypeShortcut || browsersChanged) {
        const bool shortcutChanged = settings.autoTypeShortcut != localSettings.autoTypeShortcut;
        localSettings = settings;
        if (shortcutChanged)
            applyAutoTypeShortcut();
        QString error;
        if (!saveLocalSettings(store.directory(), localSettings, &error))
            QMessageBox::warning(this, tr("Notice"), error);
    }
    if (browsersChanged)
        followBrowserSetting(true);
    if (protectionWanted != store.isProtected())
        setProtection(protectionWanted);
    updateLockWatch();
}

void MainWindow::setProtection(bool on)
{
    QString password;
    const QString label = on ? tr("Please enter the master password to encrypt the vault with it:")
                             : tr("Please enter the master password to stop encrypting the vault with it:");
    if (!askMasterPassword(label, password))
        return;
    if (on) {
        // Choosing the key derivation's cost times a few derivations: a few seconds.
        statusBar()->showMessage(tr("Encrypting the vault with the master password..."));
        QApplication::setOverrideCursor(Qt::WaitCursor);
        const bool made = store.protect(password);
        QApplication::restoreOverrideCursor();
        statusBar()->clearMessage();
        wipeString(password);
        if (!made) {
            QMessageBox::warning(this, tr("Notice"),
                                 tr("The vault could not be encrypted: there is not enough memory for the key."));
            return;
        }
    } else {
        wipeString(password);
        store.unprotect();
    }
    // The file changes form at once, not at the next save: the user expects it done.
    if (saveStore(tr("Later")))
        statusBar()->showMessage(on ? tr("The vault file is encrypted with the master password.")
                                    : tr("The vault file is no longer encrypted with the master password."),
                                 kStatusMessageMs);
}

void MainWindow::onMasterPasswordChanged(const QString& password)
{
    if (!store.isProtected())
        return;
    // A new salt and key; the file is rewritten under them at once, so that the old password no
    // longer opens it.
    QApplication::setOverrideCursor(Qt::WaitCursor);
    const bool made = store.changeProtectionPassword(password);
    QApplication::restoreOverrideCursor();
    if (!made) {
        QMessageBox::warning(this, tr("Notice"),
                             tr("The vault could not be encrypted with the new master password: there is not "
                                "enough memory for the key. It stays encrypted with the old one."));
        return;
    }
    saveStore(tr("Later"));
}
