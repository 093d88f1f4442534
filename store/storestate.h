#pragma once

#include "store/preferences.h"
#include "vault/vault.h"

// Everything the settings store holds: the preferences (with the master-password hash) and
// the vault. One value, owned by the program and passed by reference to whoever needs it.
struct StoreState
{
    Preferences preferences;
    Vault vault;
};
