#pragma once

#include <QByteArray>
#include <QString>

// What the windows remember between runs that is no part of the vault: the main window's
// place and size, and the folder last used for a list file. Kept in an INI file in the
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
};
