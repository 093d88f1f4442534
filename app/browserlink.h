#pragma once

#include "browser/browseraccess.h"
#include "browser/browseractions.h"
#include "browser/browserprompts.h"
#include "browser/browserserver.h"

#include <QObject>

class MainWindow;

// The window's side of filling logins in browsers: it serves the extension's requests from the
// window's vault while the setting is on, and asks the user what the actions need to know.
class BrowserLink : public QObject, public BrowserPrompts
{
    Q_OBJECT

public:
    explicit BrowserLink(MainWindow& window);

    // Listens for the host executable; false with `error` set when it cannot.
    bool start(QString* error);
    // Tells every connected browser that the vault was locked or unlocked.
    void announceLock(bool locked);
    BrowserActions& actions() { return browserActions; }

    // A name for the vault the extension keeps its keys under: this computer's path of the vault file.
    static QString databaseHash(const QString& storeFile);

    bool vaultOpen() const override;
    bool allowConnection(QString& name) override;
    SiteChoice allowEntryForSite(const QString& host, const Entry& entry) override;
    bool confirmLogin(const Entry& before, const Entry& after) override;
    bool confirmNewCategory(const QString& name) override;
    void applyStep(QUndoCommand* step) override;
    bool lockVault() override;

private:
    // The window comes forward for a question, from the tray if need be.
    void bringWindowForward();

    MainWindow& window;
    BrowserAccess access;
    BrowserActions browserActions;
    BrowserServer server;
};
