#pragma once

#include "vault/entrylist.h"

#include <QList>
#include <QStringList>

class Vault;

// The changes that turn one version of the vault into another, to be made through the Vault's
// own operations so that its observers follow row by row (a merge taken into the open vault).
struct VaultChangePlan
{
    QStringList addedCategories;
    QList<Entry> added;
    QList<Entry> changed; // the records as they become
    QStringList removedIds;
    QStringList removedCategories; // only those no entry of the result names

    bool isEmpty() const
    {
        return addedCategories.isEmpty() && added.isEmpty() && changed.isEmpty() && removedIds.isEmpty() &&
               removedCategories.isEmpty();
    }
};

// What turns (`fromCategories`, `fromEntries`) into (`toCategories`, `toEntries`).
VaultChangePlan planVaultChanges(const QStringList& fromCategories, const EntryList& fromEntries,
                                 const QStringList& toCategories, const EntryList& toEntries);

// Makes the plan's changes in the vault, in the plan's order: categories added, entries added,
// changed, removed, categories removed.
void applyVaultChanges(Vault& vault, const VaultChangePlan& plan);

// `target` with each field that differs between `from` and `to` set as in `to`, every other
// field left as `target` has it: a step taken back or done again touches only its own fields.
Entry carryFieldChanges(Entry target, const Entry& from, const Entry& to);
