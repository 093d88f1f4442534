#pragma once

#include <QString>

class Entry;
class QUndoCommand;

// What the browser actions ask of the window: whether the vault may be read, the user's
// answers, and the vault's history. The window implements it; tests may answer it themselves.
class BrowserPrompts
{
public:
    enum class SiteChoice
    {
        AllowOnce,
        Always,
        Deny,
    };

    virtual ~BrowserPrompts() = default;

    // The window runs, is unlocked and shows the vault: only then is anything of it given out.
    virtual bool vaultOpen() const = 0;
    // A browser asks to be connected: false when the user refuses; `name` is proposed and may be changed.
    virtual bool allowConnection(QString& name) = 0;
    // May `host` use this entry's login?
    virtual SiteChoice allowEntryForSite(const QString& host, const Entry& entry) = 0;
    // A login from a form, new (`before` unstored) or changing `before`: true to save it.
    virtual bool confirmLogin(const Entry& before, const Entry& after) = 0;
    virtual bool confirmNewCategory(const QString& name) = 0;
    // Does a change of the vault as one step of its history (the window's undo stack owns it).
    virtual void applyStep(QUndoCommand* step) = 0;
    // Locks the window; false when it cannot be locked (no master password in use).
    virtual bool lockVault() = 0;
};
