#pragma once

#include "store/payload.h"
#include "store/preferences.h"
#include "vault/vault.h"

// Everything the settings store holds: the preferences (with the master-password hash) and
// the vault. One value, owned by the program and passed by reference to whoever needs it.
struct StoreState
{
    Preferences preferences;
    Vault vault;
};

// The store's contents as one value, taken on the GUI thread and written or merged elsewhere:
// its lists are implicitly shared, so taking one copies no entry.
using StoreSnapshot = Payload;
StoreSnapshot snapshotOf(const StoreState& state);
