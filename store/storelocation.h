#pragma once

// Where the store lives, and whether it can be written there.

#include <QString>

inline constexpr char kStoreFileName[] = "/settings2.vydat";
inline constexpr char kLegacyStoreFileName[] = "/settings.vydat";

// Beside the executable when that folder already holds a store, or when it belongs to the user,
// can be written and lies outside the system's program folders (a portable copy); otherwise in the
// user's data folder, created owner-only.
struct StoreLocation
{
    QString directory;
    // For the user when a second store was found in the place not used; empty otherwise.
    QString note;
};
StoreLocation chooseStoreLocation(const QString& applicationDirectory, const QString& userDataDirectory);

// Whether a save can reach the store at `path`: through its folder (a new file renamed over it)
// or, failing that, the file itself (rewritten in place). When neither, `reason` says why.
bool storeWritable(const QString& path, QString* reason);

// The store's path with links and "..", so that every way of naming it finds the same lock.
QString realStorePath(const QString& path);
