#pragma once

#include "store/payload.h"
#include "sync/storemerge.h"

#include <QByteArray>
#include <QList>

#include <vector>

enum class IncomingKind;
struct IncomingMerge;

// What this computer knows it shares with the other computers that keep the vault: the common
// ancestor of every merge (at start, live, after a lock, for conflicted copies), kept across
// restarts in the user's data folder (never in the synced folder, see sync/mergebasefile.h).
// A value; reading and writing its file is the saver's business.
//
// It holds no text of the vault: per entry a 40-byte record (a 64-bit digest of the id, then a
// 32-bit digest of each field, SipHash-2-4 under a random key of this base's own), so that the
// three-way merge knows which fields each side changed. It remembers:
// - shared: the last store file taken in from elsewhere;
// - written: where this program's last write differs from shared (entries, categories,
//   preferences): the ancestor of a store file that followed that write;
// - the versions this program wrote since shared, and versions seen from elsewhere and replaced
//   since (eight an entry at most): a store file that did not follow our last write (the sync
//   tool kept another version) may hold them, and they are nothing new;
// - deletions, for kDeletionsKeptMsecs, with the digests of the version deleted: an older version
//   brings an entry back only when it changed after the deletion.
// A store file that followed our last write merges three-way against `written` and may delete;
// one beside a pending copy merges against what is known, deletes nothing, and a version of
// theirs changed earlier than ours clashes (a copy) rather than replacing ours; a copy made
// elsewhere only adds entries. With no base the merge is two-way and deletes nothing.

// How the saver uses it (the only calls it needs). "Copies" are the sync tool's conflicted
// copies beside the store; a copy "pending" is one whose digest isOwnWrite or is not isCopyMerged.
// 1. At start, after loading the store file F (content hash D):
//      base = readMergeBase(...)            (sync/mergebasefile.h; empty on a new computer)
//      if base.isEmpty(): base = MergeBase::of(F); base.noteTakenIn(D)          (nothing to merge)
//      else if base.isLastKnownFile(D): nothing to merge
//      else: ours = the copy whose digest isLastKnownFile (else the latest that isOwnWrite, else
//            F itself): what this computer had when it stopped, which lost to F;
//            r = mergeIncoming(base, ours, F, kind as in 2, now); open r.merged; base = r.base;
//            base.noteTakenIn(D); write the merge when r.theirsOutdated.
//    then the copies as in 2.
// 2. Live, when the store file is not the last known (!base.isLastKnownFile(D)):
//      kind = a copy is pending ? StoreFileBesideCopy : StoreFile
//      r = mergeIncoming(base, openVault, file, kind, now); base = r.base; base.noteTakenIn(D);
//      write the merge when r.theirsOutdated.
//    Then each copy C (any order): if base.isOwnWrite(digest): nothing new; take it out of the
//    synced folder once the merge beside it is written (only its maker takes a copy out: only it
//    knows whether it was merged). Else if !base.isCopyMerged(digest):
//      r = mergeIncoming(base, openVault, C, ConflictedCopy, now); base = r.base;
//      base.noteCopyMerged(digest); write the merge; leave C where it is.
//    Before merging a store file that sharesNoEntry(openVault, file), ask the user.
// 3. After every write of the store (payload P written, content hash D):
//      base.noteOwnWrite(P, D, now)
// 4. After 2 or 3 write the base file (writeMergeBase), right after the store: a base one step
//    behind (a kill in between) only makes the next merge two-way for what changed, never loses.
// A lock or reopen keeps the base: it describes the folder, not the open vault.
class MergeBase
{
public:
    static constexpr qint64 kDeletionsKeptMsecs = 180LL * 24 * 3600 * 1000;

    // Nothing known (a new computer): merges add and change, and never delete.
    MergeBase() = default;
    bool isEmpty() const { return !known; }

    // The base once `shared` is known to be on the other computers as well, with a new random key.
    static MergeBase of(const Payload& shared);

    // This program wrote a file with this content hash: a conflicted copy with it holds nothing
    // new. Remembered across restarts (the last 32).
    void noteOwnWrite(const QByteArray& fileDigest);
    bool isOwnWrite(const QByteArray& fileDigest) const;
    // The same with what was written: a store file that follows it is merged against it, and
    // entries it lacks are remembered as deleted (at `nowMsecs`).
    void noteOwnWrite(const Payload& written, const QByteArray& fileDigest, qint64 nowMsecs);
    // A file with this hash was taken in (the base moved to it).
    void noteTakenIn(const QByteArray& fileDigest);
    bool isTakenIn(const QByteArray& fileDigest) const;
    // A conflicted copy made elsewhere was merged: it is left for its maker to take out of the
    // folder (see below) and not merged again.
    void noteCopyMerged(const QByteArray& fileDigest) { remember(mergedCopies, fileDigest); }
    bool isCopyMerged(const QByteArray& fileDigest) const { return mergedCopies.contains(fileDigest); }
    // The store file as last written or taken in here: unchanged, it holds nothing new. (A file
    // with the bytes of an older write may well: another computer may have undone what came since.)
    bool isLastKnownFile(const QByteArray& fileDigest) const { return !fileDigest.isEmpty() && fileDigest == lastFile; }

    // Whether `theirs` holds entries and none of their ids is in `ours` or in the base: another
    // vault was put in place of the store; ask before merging it.
    bool sharesNoEntry(const Payload& ours, const Payload& theirs) const;

    // The persisted form; decode refuses bytes that are not a whole base.
    QByteArray encode() const;
    static bool decode(const QByteArray& bytes, MergeBase& base);

    // Entries described and bytes held, for the benchmarks.
    qsizetype entryCount() const { return qsizetype(shared.records.size()); }
    qsizetype memoryBytes() const;

    struct Record
    {
        quint64 id;
        quint32 fields[MergeFieldCount];
    };
    struct Deletion
    {
        Record version;
        qint64 atMsecs;
    };
    struct Version
    {
        std::vector<Record> records;     // ascending by id digest
        std::vector<quint64> categories; // ascending digests
        Preferences preferences;
    };

private:
    friend IncomingMerge mergeIncoming(const MergeBase&, const Payload&, const Payload&, IncomingKind, qint64);
    friend class DigestAncestor;

    quint64 idDigest(const QString& id) const;
    Record record(const Entry& entry) const;
    Version version(const Payload& payload) const;
    void forgetOldDeletions(qint64 nowMsecs);

    bool known = false;
    QByteArray key; // crypto_shorthash_KEYBYTES
    Version shared;
    bool hasWritten = false;
    Version written; // records: only those that differ from shared's
    // Every version of an entry written since shared, ascending by id: a store file that did not
    // follow our last write may still hold one of them, which is nothing new.
    std::vector<Record> history;
    // Versions of entries that came from elsewhere and were replaced since, or came in a copy:
    // ours holding one of them has not changed that field here.
    std::vector<Record> seen;
    std::vector<Deletion> deletions; // ascending by id digest
    // Our versions of entries a store file lacked that we kept, as changed here since (ascending by
    // id, one an entry). A later store file that follows our write and still lacks one deleted it
    // again after seeing it: it goes, so that the computers agree rather than write for ever.
    std::vector<Deletion> keptAgainstDeletion;
    QList<QByteArray> ownWrites;
    QList<QByteArray> takenIn;
    QByteArray lastFile;
    QList<QByteArray> mergedCopies;
    static void remember(QList<QByteArray>& list, const QByteArray& digest);
};

// Where a version from elsewhere came from.
enum class IncomingKind
{
    StoreFile, // the store file, which follows this program's last write
    // The store file while a conflicted copy lies beside it that is this program's own write or
    // was not merged here yet: the version the folder held before may have lost to it, so the
    // store file need not follow our last write. Merged against the versions known; deletes nothing.
    StoreFileBesideCopy,
    StoreFileBesideOwnCopy = StoreFileBesideCopy,
    ConflictedCopy, // a sync tool's copy of a version that lost, made elsewhere
};

struct IncomingMerge
{
    Payload merged; // the open vault once `theirs` is taken in
    MergeBase base; // the base from now on
    VaultMergeReport vault;
    PreferencesMergeReport preferences;
    bool theirsOutdated = false; // `merged` differs from `theirs`: the file needs writing
};

// Takes a version from elsewhere into the open vault against `base`. Pure. `nowMsecs` dates
// what the base records of deletions. A store file is merged against the file this program last
// wrote (or took in); beside a copy of our own write, and for a copy, against the last version
// taken in. A copy made elsewhere only adds the entries ours lacks and never deletes: it may be
// older than what came in since, and its maker merges its changes. With an empty base the merge is two-way and deletes
// nothing.
IncomingMerge mergeIncoming(const MergeBase& base, const Payload& ours, const Payload& theirs, IncomingKind kind,
                            qint64 nowMsecs);
