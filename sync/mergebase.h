#pragma once

#include "store/payload.h"
#include "sync/storemerge.h"

#include <QByteArray>
#include <QList>

enum class IncomingKind;
struct IncomingMerge;

// What this computer knows it shares with the other computers that keep the vault: the common
// ancestor of every merge (at start, live, after a lock, for conflicted copies), kept across
// restarts in the user's data folder (never in the synced folder), keyed by the store's real path.
// A value; reading and writing its file is the saver's business (through the safe writer).
class MergeBase
{
public:
    // Nothing known (a new computer): merges add and change, and never delete.
    MergeBase() = default;
    bool isEmpty() const { return !known; }

    // The base once `shared` is known to be on the other computers as well.
    static MergeBase of(const Payload& shared);

    // This program wrote a file with this content hash: when it comes back (as the store or as
    // a conflicted copy), it holds nothing new. Remembered across restarts.
    void noteOwnWrite(const QByteArray& fileDigest);
    bool isOwnWrite(const QByteArray& fileDigest) const;

    // The persisted form; decode refuses bytes that are not a whole base.
    QByteArray encode() const;
    static bool decode(const QByteArray& bytes, MergeBase& base);

private:
    friend IncomingMerge mergeIncoming(const MergeBase&, const Payload&, const Payload&, IncomingKind, qint64);

    bool known = false;
    Payload shared;
    QList<QByteArray> ownWrites;
};

// Where a version from elsewhere came from.
enum class IncomingKind
{
    StoreFile,      // the store file, put in place by a sync tool
    ConflictedCopy, // a sync tool's copy of a version that lost
};

struct IncomingMerge
{
    Payload merged;  // the open vault once `theirs` is taken in
    MergeBase base;  // the base from now on
    VaultMergeReport vault;
    PreferencesMergeReport preferences;
    bool theirsOutdated = false; // `merged` differs from `theirs`: the file needs writing
};

// Takes a version from elsewhere into the open vault against `base`. Pure. `nowMsecs` dates
// what the base records of deletions.
IncomingMerge mergeIncoming(const MergeBase& base, const Payload& ours, const Payload& theirs, IncomingKind kind,
                            qint64 nowMsecs);
