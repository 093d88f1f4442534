#pragma once

#include "store/securefile.h"
#include "store/settingsstore.h"
#include "sync/storefile.h"

#include <QObject>
#include <QStringList>

#include <functional>
#include <memory>
#include <thread>

class ProtectionKey;
class QFileSystemWatcher;
class QTimer;
struct StoreState;
struct VaultChangePlan;

// Keeps the store file in step with the open vault while the program runs:
// - a committed change is saved about a second later, from a snapshot, on a worker thread;
// - before each save, and when the store's folder changes, the file is checked against what was
//   last loaded or written; a file put there by someone else (a sync tool bringing another
//   computer's changes) is merged three-way into the open vault, in place, and never overwritten;
// - conflicted copies a sync tool leaves beside the store are merged two-way and, once the merge
//   is saved, renamed so they are not merged again;
// - a failed save is retried, backing off; a file that does not read as a store is left alone.
// Everything but the file work happens on the thread the saver lives on (the GUI thread).
class AutoSaver : public QObject
{
    Q_OBJECT

public:
    AutoSaver(StoreState& state, const SettingsStore& store, QObject* parent = nullptr);
    // Waits for a round in flight; saves nothing more (flush() does).
    ~AutoSaver() override;

    // Starts saving and watching. `loaded` is the state as it was read from the file that
    // `fingerprint` describes: the common ancestor of the next merge. The ancestor stays the
    // state last taken in from elsewhere (never this program's own writes, which the other
    // computer may not have seen when it made its version).
    void start(const StoreSnapshot& loaded, const StoreFingerprint& fingerprint);
    bool isStarted() const { return started; }

    // Delays, in milliseconds: from a change to its save (1000), from a folder event to the
    // look at the file (300), and before the first retry of a failed save (1000, doubling up to 30 s).
    void setSaveDelay(int ms);
    void setCheckDelay(int ms);
    void setRetryDelay(int ms);
    // A vault that may not be written: changes from elsewhere are still merged in.
    void setReadOnly(bool readOnly);
    bool isReadOnly() const { return readOnly; }
    // Takes a merge's changes into the open vault and its preferences; `stepName` says what the
    // merge did ("Merge from Another Computer"), for a window that keeps it as a step to undo.
    // The vault's changes made meanwhile are the merge's, not the user's; by default (nullptr)
    // the plan is applied directly.
    using MergeApplier = std::function<void(const VaultChangePlan& plan, const Preferences& preferences,
                                            const QString& stepName)>;
    void setMergeApplier(MergeApplier applier);
    // Faults for tests, applied to every write.
    void setWriteHooks(const WriteHooks& hooks);

    // A committed change of the preferences. Changes of the vault are seen from its signals.
    void noteChange();
    bool hasUnsavedChanges() const { return dirty; }
    // Whether the vault is being changed by a merge right now (for observers of the vault).
    bool isMerging() const { return merging; }

    // Saves now, after any round in flight, merging a changed file first; returns when done.
    // A store file that does not read as a store is set aside (renamed) rather than merged.
    StoreSaveResult flush();
    // Looks at the folder now, as a change reported by it would.
    void checkNow();

signals:
    void saved();
    // The first failure of a save since the last success; retries follow.
    void saveFailed(const QString& message);
    // A save succeeded after failures.
    void saveRecovered();
    // Changes from elsewhere are in the open vault now; `summary` says what, for the user.
    void merged(const QString& summary);
    // The store file has not read as a store for a while; it is left alone meanwhile.
    void problem(const QString& message);
    // The store file is protected under a master password this session does not hold (changed on
    // another computer): once SettingsStore::adoptFileProtection has it, checkNow() merges the file.
    void masterPasswordNeeded();

private:
    struct Round;
    struct Outcome;

    void onVaultChanged();
    void onVaultReset();
    void onFolderChanged();
    // Starts a round on the worker unless one runs; otherwise it follows that one.
    void requestRound();
    // `full`: a round that writes whatever it finds, as a flush wants.
    std::unique_ptr<Round> makeRound(bool setAsideUnreadable, bool full = false);
    // The file work of a round, on whichever thread runs it; touches nothing of the saver's.
    static void runRound(Round& round);
    void startRound();
    // Called on this thread when the worker is done with round `id`.
    void roundDone(quint64 id);
    // Waits for a round in flight and handles its outcome here.
    void finishRunning();
    // Takes in an outcome; true when another round should follow at once.
    bool handle(Outcome& outcome, quint64 changesAtStart);
    void replaceBase(StoreSnapshot&& newBase);
    void scheduleRetry();
    void setAsideMergedCopies();

    StoreState& state;
    const SettingsStore& store;
    WriteHooks hooks;
    MergeApplier mergeApplier;
    QFileSystemWatcher* watcher = nullptr;
    QTimer* saveTimer = nullptr;
    QTimer* checkTimer = nullptr;
    QTimer* retryTimer = nullptr;

    StoreSnapshot base;
    StoreSnapshot garbage; // an old ancestor, for the next round to free
    StoreFingerprint known;
    std::shared_ptr<const ProtectionKey> writtenKey; // the form the file was last written in
    bool started = false;
    bool readOnly = false;
    bool dirty = false;
    bool merging = false;
    bool flushing = false;
    bool fullRoundWanted = false; // a probe found something to take in
    quint64 changes = 0;          // every committed change counts one
    int retryDelayMs = 1000;
    int nextRetryMs = 1000;
    bool failing = false;
    int notAStoreRounds = 0;
    bool problemShown = false;
    bool passwordAsked = false;
    QStringList mergedCopies;    // merged, to be renamed once the merge is saved
    QStringList skippedCopies;   // did not read as stores; not tried again this session
    QList<QByteArray> ownWrites; // hashes of the files written since the ancestor came in
    int roundsDone = 0;

    std::thread worker;
    quint64 roundId = 0;
    bool roundRunning = false;
    bool roundWanted = false;
    std::unique_ptr<Round> running;
};
