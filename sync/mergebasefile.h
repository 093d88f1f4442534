#pragma once

#include "store/securefile.h"
#include "sync/mergebase.h"

#include <QByteArray>
#include <QString>

class ProtectionKey;

// The merge base's file: one per computer and store, in a folder of the user's data
// ($XDG_DATA_HOME/VAULTRY/merge-base by default, never the synced folder), named after the
// store's real path, so a store reached through a link shares its target's base. The folder is
// owner-only (0700), the file written whole through the safe writer (0600). Under a protected
// vault the file is in the protected store's form under the session key.

// The default folder; empty when the user has no data folder.
QString defaultMergeBaseFolder();
// The file for the store at `storePath` within `folder`.
QString mergeBaseFilePath(const QString& folder, const QString& storePath);

// The file's bytes for an encoded base, and back: pure. With a key the bytes are sealed under it;
// opening takes either form, a sealed one only with the key it was sealed under.
QByteArray sealMergeBase(const QByteArray& encodedBase, const ProtectionKey* key);
bool openMergeBase(const QByteArray& fileBytes, const ProtectionKey* key, MergeBase& base);

// The base kept for the store; an empty base (merges add and never delete) when there is none or
// it cannot be read: damaged, cut short, sealed under another key.
MergeBase readMergeBase(const QString& folder, const QString& storePath, const ProtectionKey* key);
// Writes it, creating the folder (0700) when needed. Call after every mergeIncoming and every
// noteOwnWrite (see sync/mergebase.h).
WriteResult writeMergeBase(const QString& folder, const QString& storePath, const MergeBase& base,
                           const ProtectionKey* key);
