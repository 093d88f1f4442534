#pragma once

// The last step of taking a merge in: the changes that turn the open vault into the merge's
// result, made through the vault's own operations so that its observers follow row by row.

#include "store/storestate.h"
#include "vault/vaultchanges.h"

struct ApplyPlan
{
    bool preferencesChanged = false;
    Preferences preferences; // the result's, when changed
    VaultChangePlan vault;
    QString stepName; // what the merge did, as one step of the history

    bool isEmpty() const { return !preferencesChanged && vault.isEmpty(); }
};

// What turns `from` (the open vault as the round saw it) into `to`. Pure.
ApplyPlan planChanges(const StoreSnapshot& from, const StoreSnapshot& to);

// Makes the changes in the open state.
void applyPlan(const ApplyPlan& plan, StoreState& state);
