#include "app/browserlink.h"
#include "vault/totp.h"

#include "app/mainwindow.h"
#include "browser/browsermanifests.h"
#include "browser/nativeframes.h"
#include "store/settingsstore.h"
#include "store/storestate.h"
#include "vault/vaultcommands.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QFileInfo>
#include <QInputDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QStatusBar>
#include <QUndoStack>

BrowserLink::BrowserLink(MainWindow& window)
    : QObject(&window), window(window), access(BrowserAccess::defaultPath(), databaseHash(window.store.filePath())),
      browserActions(window.state.vault, window.state.preferences, access, *this,
                     databaseHash(window.store.filePath())),
      server(browserActions)
{
    browserActions.setOneTimeCodeSource(
        [](const Entry& entry) { return totpCodeInNotes(entry.notes, QDateTime::currentSecsSinceEpoch()); });
}

QString BrowserLink::databaseHash(const QString& storeFile)
{
    const QFileInfo file(storeFile);
    const QString path = file.exists() ? file.canonicalFilePath() : file.absoluteFilePath();
    return QString::fromLatin1(
        QCryptographicHash::hash(QStringLiteral("vaultry:%1").arg(path).toUtf8(), QCryptographicHash::Sha256).toHex());
}

bool BrowserLink::start(QString* error)
{
    return server.listen(browserSocketPath(), error);
}

void BrowserLink::announceLock(bool locked)
{
    server.broadcast(
        {{QStringLiteral("action"), locked ? QStringLiteral("database-locked") : QStringLiteral("database-unlocked")}});
}

bool BrowserLink::vaultOpen() const
{
    return window.startupCompleted && !window.closed && !window.windowLocked;
}

void BrowserLink::bringWindowForward()
{
    if (!window.isVisible())
        window.show();
    window.raise();
    window.activateWindow();
}

bool BrowserLink::allowConnection(QString& name)
{
    bringWindowForward();
    bool confirmed = false;
    const QString chosen =
        QInputDialog::getText(&window, tr("Connect a Browser"),
                              tr("A browser asks to fill logins from this vault (KeePassXC-Browser).\n"
                                 "Allow it by giving the connection a name:"),
                              QLineEdit::Normal, name, &confirmed);
    if (!confirmed)
        return false;
    if (!chosen.trimmed().isEmpty())
        name = chosen.trimmed();
    return true;
}

BrowserPrompts::SiteChoice BrowserLink::allowEntryForSite(const QString& host, const Entry& entry)
{
    bringWindowForward();
    QMessageBox box(QMessageBox::Question, tr("Browser Access"), tr("Allow %1 to use %2 login?").arg(host, entry.title),
                    QMessageBox::NoButton, &window);
    box.setInformativeText(tr("Account: %1").arg(entry.account));
    QPushButton* once = box.addButton(tr("Allow &Once"), QMessageBox::AcceptRole);
    QPushButton* always = box.addButton(tr("&Always"), QMessageBox::YesRole);
    QPushButton* deny = box.addButton(tr("&Deny"), QMessageBox::RejectRole);
    box.setDefaultButton(deny);
    box.setEscapeButton(deny);
    box.exec();
    if (box.clickedButton() == once)
        return SiteChoice::AllowOnce;
    if (box.clickedButton() == always)
        return SiteChoice::Always;
    return SiteChoice::Deny;
}

bool BrowserLink::confirmLogin(const Entry& before, const Entry& after)
{
    bringWindowForward();
    QString question =
        before.id.isEmpty()
            ? tr("Save a new login \"%1\" with the account \"%2\" from the browser?").arg(after.title, after.account)
            : tr("Update the login \"%1\" with the account \"%2\" from the browser?").arg(before.title, after.account);
    if (!before.id.isEmpty() && before.id == window.currentEntry->id && window.panelEdited())
        question += QLatin1Char('\n') + tr("Its unsaved changes in the window will be lost.");
    return QMessageBox::question(&window, tr("Save Login"), question, QMessageBox::Yes | QMessageBox::No,
                                 QMessageBox::Yes) == QMessageBox::Yes;
}

bool BrowserLink::confirmNewCategory(const QString& name)
{
    bringWindowForward();
    return QMessageBox::question(&window, tr("Add Category"),
                                 tr("A browser asks to add the category \"%1\". Add it?").arg(name),
                                 QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes) == QMessageBox::Yes;
}

void BrowserLink::applyStep(QUndoCommand* step)
{
    const auto* vaultStep = dynamic_cast<const VaultCommand*>(step);
    const bool touchesOpen =
        window.currentEntry->id != QLatin1String("0") && vaultStep && vaultStep->touchesEntry(window.currentEntry->id);
    window.undoStack->push(step);
    window.dropGoneEntries();
    if (touchesOpen && window.currentEntry->id != QLatin1String("0")) {
        *window.currentEntry = *window.state.vault.entries().findById(window.currentEntry->id);
        window.fillPanel();
    }
    window.selectCurrentEntry();
    window.refreshView();
    window.statusBar()->showMessage(tr("A login was saved from the browser."), MainWindow::kStatusMessageMs);
}

bool BrowserLink::lockVault()
{
    if (!window.masterPasswordInUse())
        return false;
    window.lockWindow();
    return window.windowLocked;
}

void MainWindow::followBrowserSetting(bool changedByUser)
{
    const bool wanted = localSettings.browserFillsLogins && startupCompleted && !closed;
    const QString host = BrowserManifests::hostExecutable();
    if (wanted && !browserLink) {
        auto* link = new BrowserLink(*this);
        QString error;
        if (!link->start(&error)) {
            delete link;
            if (changedByUser)
                QMessageBox::warning(this, tr("Notice"), error);
            else
                statusBar()->showMessage(error, kStatusMessageMs);
            return;
        }
        browserLink = link;
        // Written at every start too, so that they follow the program when it moves.
        if (!BrowserManifests::install(host, &error))
            QMessageBox::warning(this, tr("Notice"), error);
    } else if (!wanted && browserLink) {
        delete browserLink;
        browserLink = nullptr;
    }
    if (changedByUser && !localSettings.browserFillsLogins)
        BrowserManifests::remove(host);
}

void MainWindow::announceLockToBrowsers()
{
    if (browserLink)
        browserLink->announceLock(windowLocked);
}
