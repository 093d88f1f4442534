#pragma once

#include "store/payload.h"
#include "store/preferences.h"
#include "vault/merge.h"

#include <QStringList>

// Merging the store as another computer left it into the open one: the preferences here, the
// vault through vault/merge.h. Pure functions over values.

struct PreferencesMergeReport
{
    // For the user, each a setting such as "the master password" or "the password generator".
    QStringList fromTheirs; // changed there only, so taken over
    QStringList keptOurs;   // changed on both sides (or differing, without a base): ours kept
    bool masterPasswordFromTheirs = false;

    // One sentence for each list that is not empty; empty when nothing needs saying.
    QString summary() const;
};

struct PreferencesMerge
{
    Preferences merged;
    PreferencesMergeReport report;
};

// Three-way, setting by setting: the master password, the login attempts, hiding passwords,
// the password generator (its five values as one setting, so that lengths and character sets
// stay a pair the user chose) and the first-run mark. A setting changed on one side takes that
// side's value; changed on both, ours stays and the report says so.
PreferencesMerge mergePreferences(const Preferences& base, const Preferences& ours, const Preferences& theirs);
// Two-way: ours stays; the settings that differ are reported as kept.
PreferencesMerge mergePreferences(const Preferences& ours, const Preferences& theirs);

// Whether every setting above is the same.
bool sameSettings(const Preferences& a, const Preferences& b);

struct StoreMerge
{
    Payload merged;
    VaultMergeReport vault;
    PreferencesMergeReport preferences;
    // The result differs from theirs, so the file needs writing.
    bool theirsOutdated = false;
};

// The preferences and the vault of a store, three-way and two-way (see mergeVaults).
StoreMerge mergeStore(const Payload& base, const Payload& ours, const Payload& theirs);
StoreMerge mergeStore(const Payload& ours, const Payload& theirs);
