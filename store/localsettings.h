#pragma once

// Settings of this computer that the store does not hold, so that the store's bytes stay as every
// copy of the program reads them: a small INI file beside the store.

#include <QString>

inline constexpr char kLocalSettingsFileName[] = "/vaultry.ini";

struct LocalSettings
{
    // Minutes without input before the window locks; 0: never.
    int idleLockMinutes = 0;
    // Seconds before a copied password leaves the clipboard; 0: it stays.
    int clipboardClearSeconds = 30;
    // Whether the running program serves other programs' secrets (the Secret Service, secrets/), and
    // the category whose entries are its items.
    bool secretServiceEnabled = false;
    QString secretServiceCategory = QStringLiteral("Secret Service");
    // The global auto-type shortcut (QKeySequence's portable text); empty: none.
    QString autoTypeShortcut = QStringLiteral("Ctrl+Alt+A");
    // Whether browsers may fill logins through KeePassXC-Browser.
    bool browserFillsLogins = false;
};

inline constexpr int kMaxIdleLockMinutes = 24 * 60;
inline constexpr int kMaxClipboardClearSeconds = 60 * 60;

// The settings in `directory` (the store's). A missing file, or a value that is not a whole number
// within range, gives the default.
LocalSettings loadLocalSettings(const QString& directory);
// Writes them; false with `error` set (for the user) when the file could not be written.
bool saveLocalSettings(const QString& directory, const LocalSettings& settings, QString* error = nullptr);
