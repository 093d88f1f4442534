#pragma once

// One round of the saver, on its worker thread (or on the GUI thread for a flush), in the order
// a save takes:
//   1. the snapshot of the open vault (taken on the GUI thread: store/storestate.h);
//   2. the file read and authenticated as it is now (sync/fileread.h), conflicted copies beside it;
//   3. what came from elsewhere merged against the merge base (sync/mergebase.h);
//   4. encoded and 5. written by compare-and-swap (sync/caswrite.h).
// A merge that changes the open vault stops the round after step 3: the saver makes the changes on
// the GUI thread (sync/applyplan.h), and the next round writes. Touches nothing of the saver's.

#include "store/filefingerprint.h"
#include "store/securefile.h"
#include "store/storestate.h"
#include "sync/applyplan.h"
#include "sync/mergebase.h"

#include <QStringList>

#include <memory>

class DerivedKeys;
class ProtectionKey;
class SettingsStore;

// The store file as this program last knew it: the version it loaded, took in or wrote, and the
// form it wrote it in. (Whether a version is one of its own writes, the merge base remembers.)
struct KnownFile
{
    StoreFingerprint fingerprint;
    std::shared_ptr<const ProtectionKey> form; // null: the ordinary form
};

// Why a version from elsewhere waits for the user rather than being merged.
enum class TakeInQuestion
{
    None,
    DifferentVault, // it shares no entry with the open vault: another vault put in its place
    NotProtected,   // the open vault is protected, the file is in the ordinary form (anyone could make it)
};

// What a round starts from, taken on the saver's thread.
struct SaveRound
{
    quint64 changesAtStart = 0;
    const SettingsStore* store = nullptr;
    WriteHooks hooks;
    std::shared_ptr<const ProtectionKey> key;        // the form to write, as the store had it
    std::shared_ptr<const ProtectionKey> adoptedKey; // a password given for a file from elsewhere
    std::shared_ptr<DerivedKeys> derivedKeys;
    bool mayDerive = true; // false on the GUI thread: no key derivation for a header never seen
    StoreSnapshot ours;
    MergeBase base;
    // The first round reads the base kept in `baseFolder` (sync/mergebasefile.h), or builds one from
    // the state as loaded, away from the GUI thread.
    bool buildBase = false;
    StoreSnapshot loaded;
    QString baseFolder;
    // A round that saves, or takes in at start a file from elsewhere, writes the base there (unless
    // the vault is read-only).
    bool keepBase = false;
    KnownFile known;
    QStringList knownCopies;     // conflicted copies merged or skipped already, by name
    QStringList takeOutMerged;   // made elsewhere, merged, left for their maker long enough: taken out now
    bool copiesHaveBase = false; // conflicted copies descend from `base`: merged three-way
    bool write = false;
    bool probe = false; // only whether the file or conflicted copies call for a full round
    bool setAsideUnreadable = false;
    // The user's answer about a file that waited for them (by its digest): take it in, or keep ours
    // (the file is then kept aside and ours written in its place).
    QByteArray agreedDigest;
    QByteArray overruledDigest;
    qint64 nowMsecs = 0;
};

// What a round found and did.
struct RoundOutcome
{
    enum Kind
    {
        Unchanged, // nothing to write, or nothing may be written
        Saved,
        SaveFailed,
        Superseded, // another version arrived while writing: left as it is, to be merged first
        Merged,     // changes from elsewhere to take in; nothing written yet
        NotAStore,  // the store file does not read as one; left alone
        Question,   // a version that waits for the user's word
    };
    Kind kind = Unchanged;
    KnownFile known; // the file as now known
    bool baseBuilt = false;
    MergeBase builtBase; // when baseBuilt: the base before anything this round took in
    bool baseChanged = false;
    MergeBase base;             // when baseChanged
    bool baseKept = false;      // the round wrote `base` to its file (or warned that it could not)
    bool useAdoptedKey = false; // the merge took the adopted key's master password in
    ApplyPlan plan;
    bool needsWrite = false;
    bool worthARound = false; // of a probe
    QStringList summaries;
    QStringList mergedCopies;
    QStringList damagedCopies;
    QStringList copiesLeft;     // made elsewhere and merged here: left for their maker to take out
    QString message;            // for the user, when SaveFailed or NotAStore, or a file set aside
    bool needsPassword = false; // NotAStore only for want of the master password it is under
    TakeInQuestion question = TakeInQuestion::None;
    QByteArray questionDigest; // the file the question is about
};

void runSaveRound(SaveRound& round, RoundOutcome& out);

// Whether `theirs` is another vault than `ours`: both hold entries, none with the same id.
bool isDifferentVault(const Payload& ours, const Payload& theirs);

// Keeps a copy of the store file at `path` beside it (".unreadable-<time>"), copied rather than
// renamed, so that a link stays a link and nothing is lost when no copy can be made. Returns the
// copy's path, or empty with `error` set.
QString keepUnreadableAside(const QString& path, QString* error);
