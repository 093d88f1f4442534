#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// The native-messaging manifests that tell Chromium, Chrome and Firefox which program serves
// KeePassXC-Browser: the extension asks for "org.keepassxc.keepassxc_browser", and these point that
// name at Vaultry's host executable.
namespace BrowserManifests {

inline constexpr char kHostName[] = "org.keepassxc.keepassxc_browser";

// The manifest for Chromium and Chrome (`firefox` false) or Firefox.
QByteArray manifest(const QString& hostExecutable, bool firefox);
// The user's manifest files: Chromium's, Chrome's (under $XDG_CONFIG_HOME) and Firefox's (~/.mozilla).
QStringList userPaths();
// vaultry-browser-host beside the running program.
QString hostExecutable();

// Writes every user manifest; false with `error` set (for the user) when one could not be written.
bool install(const QString& hostExecutable, QString* error = nullptr);
// Removes the user manifests that point at `hostExecutable`; another program's stay.
void remove(const QString& hostExecutable);

} // namespace BrowserManifests
