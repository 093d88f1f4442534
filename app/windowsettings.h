#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// What the windows remember between runs that is no part of the vault: the main window's
// place and size, the folder last used for a list file, and which categories the tree showed
// open (as digests of their names, so that the file lists no name of the vault). Kept in an INI file in the
// user's config folder, so that the vault file's bytes never change for it.
class WindowSettings
{
public:
    // $XDG_CONFIG_HOME/<application name>/window.ini (~/.config/VAULTRY/window.ini).
    static QString filePath();

    QByteArray mainWindowGeometry() const;
    void setMainWindowGeometry(const QByteArray& geometry);

    // Where a file dialog for a list starts: the folder last used while it still exists,
    // else the user's documents folder, else the home folder.
    QString listFolder() const;
    // Remembers the folder of `chosenFile`.
    void rememberListFile(const QString& chosenFile);

    // The categories shown open, by categoryDigest().
    QStringList openCategories() const;
    void setOpenCategories(const QStringList& digests);
    static QString categoryDigest(const QString& name);
};
