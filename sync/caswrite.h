#pragma once

// The last step of a save: the merged snapshot encoded (in the form the session's key says) and
// written by compare-and-swap: the file is replaced only if, right before the rename, it is still
// the version the round read and merged. Otherwise nothing is replaced and the round merges again.

#include "store/filefingerprint.h"
#include "store/securefile.h"
#include "store/settingsstore.h"

#include <memory>

class ProtectionKey;

// `expected` is the file the round took in (null: there was none). The result's `superseded` says
// that another version arrived meanwhile and was left as it is.
StoreSaveResult compareAndSwapWrite(const SettingsStore& store, const StoreSnapshot& snapshot,
                                    const std::shared_ptr<const ProtectionKey>& key, const StoreFingerprint& expected,
                                    const WriteHooks& hooks = {});

// Whether the file at `path` is still the one `expected` describes (both absent counts).
bool stillTheFile(const QString& path, const StoreFingerprint& expected);
