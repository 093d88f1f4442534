#pragma once

#include <QString>

// The encrypted settings store beside the executable: the preferences, the category names
// and the entries, loaded once at start-up and written back on close.

// Directory holding the store files; the application directory unless set (tests set it).
QString storeDirectory();
void setStoreDirectory(const QString& directory);

inline constexpr char kStoreFileName[] = "/settings2.vydat";
inline constexpr char kLegacyStoreFileName[] = "/settings.vydat";

struct StoreLoadResult
{
    enum Outcome {
        Loaded,     // the current store parsed cleanly
        Created,    // no store existed; a fresh one was written
        Migrated,   // the legacy file was read, written as the current store and deleted
        Damaged,    // loaded as far as it parsed; a copy of the file was kept (damagedCopyPath)
        Unreadable, // a store exists but could not be read; nothing was loaded
    };
    Outcome outcome = Loaded;
    // For the user: what went wrong and what was done about it. Empty when nothing did.
    QString message;
    QString damagedCopyPath;
};

struct StoreSaveResult
{
    bool ok = true;
    QString error; // for the user, when !ok
};

// Replaces the preferences, categoryNames and entries from the store (or creates the store).
StoreLoadResult loadSettings();
// Writes the preferences, categoryNames and entries; the previous file survives any failure.
StoreSaveResult saveSettings();
