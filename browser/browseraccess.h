#pragma once

#include <QHash>
#include <QString>

// What this computer allows browsers: the connections the user accepted (a name and the
// extension's identification key, per vault) and the answers to "may this site use this login",
// per entry and host. Kept in the user's config folder, owner-only, never in the vault: another
// computer's browsers are not this one's.
class BrowserAccess
{
public:
    enum class SiteAnswer
    {
        Unknown,
        Allowed,
        Denied,
    };

    // `path`: the file (~/.config/VAULTRY/browser.json); `vault` names the vault the answers are for.
    BrowserAccess(const QString& path, const QString& vault);

    // $XDG_CONFIG_HOME/VAULTRY/browser.json.
    static QString defaultPath();

    // Reads the file again; a missing or unreadable file gives nothing allowed.
    void load();
    // False with `error` set (for the user) when the file could not be written.
    bool save(QString* error = nullptr) const;

    // The connection's key; empty when there is none by that name.
    QString associationKey(const QString& id) const;
    bool isAssociated(const QString& id, const QString& key) const;
    // A name not taken yet, from `wanted`.
    QString freeName(const QString& wanted) const;
    void associate(const QString& id, const QString& key);
    int associationCount() const;

    SiteAnswer siteAnswer(const QString& entryId, const QString& host) const;
    void setSiteAnswer(const QString& entryId, const QString& host, SiteAnswer answer);

    // Forgets every connection and answer for this vault.
    void forgetAll();

private:
    QString path;
    QString vault;
    QHash<QString, QString> associations;             // id -> identification key
    QHash<QString, QHash<QString, bool>> siteAnswers; // entry id -> host -> allowed
};
