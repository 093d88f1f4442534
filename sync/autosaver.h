#pragma once

#include "store/securefile.h"
#include "store/settingsstore.h"
#include "sync/mergebase.h"
#include "sync/saveround.h"

#include <QHash>
#include <QObject>
#include <QStringList>

#include <functional>
#include <memory>
#include <thread>

class DerivedKeys;
class QTimer;
class StoreWatch;
struct StoreState;
struct VaultChangePlan;

// Keeps the store file in step with the open vault while the program runs: it schedules rounds
// (sync/saveround.h: snapshot, read and authenticate, merge, encode, compare-and-swap write) on a
// worker thread and takes their outcomes in on the thread it lives on (the GUI thread):
// - a committed change is saved about a second later;
// - when the store's folder changes (sync/watch.h), and before each save, the file is checked
//   against what was last known of it; a version from elsewhere is merged three-way into the open
//   vault, in place, and never overwritten unseen;
// - conflicted copies a sync tool leaves beside the store are merged and, once the merge is saved,
//   moved out of the synced folder;
// - a failed save is retried, backing off; a file that does not read as a store is left alone.
class AutoSaver : public QObject
{
    Q_OBJECT

public:
    AutoSaver(StoreState& state, const SettingsStore& store, QObject* parent = nullptr);
    // Waits for a round in flight; saves nothing more (flush() does).
    ~AutoSaver() override;

    // Starts saving and watching. `loaded` is the state as it was read from the file that
    // `fingerprint` describes.
    void start(const StoreSnapshot& loaded, const StoreFingerprint& fingerprint);
    bool isStarted() const { return started; }

    // Delays, in milliseconds: from a change to its save (1000), from a folder event to the
    // look at the file (300), and before the first retry of a failed save (1000, doubling up to 30 s).
    void setSaveDelay(int ms);
    void setCheckDelay(int ms);
    void setRetryDelay(int ms);
    // How long a conflicted copy made on another computer, once merged here, is left in the synced
    // folder for its maker to take out (10 minutes); after that this computer takes it out too.
    void setCopyMakerGrace(qint64 ms);
    // A vault that may not be written: changes from elsewhere are still merged in.
    void setReadOnly(bool readOnly);
    bool isReadOnly() const { return readOnly; }
    // Takes a merge's changes into the open vault and its preferences; `stepName` says what the
    // merge did ("Merge from Another Computer"), for a window that keeps it as a step to undo.
    // The vault's changes made meanwhile are the merge's, not the user's; by default (nullptr)
    // the plan is applied directly.
    using MergeApplier =
        std::function<void(const VaultChangePlan& plan, const Preferences& preferences, const QString& stepName)>;
    void setMergeApplier(MergeApplier applier);
    // Faults for tests, applied to every write.
    void setWriteHooks(const WriteHooks& hooks);

    // A committed change of the preferences. Changes of the vault are seen from its signals.
    void noteChange();
    bool hasUnsavedChanges() const { return dirty; }
    // Whether the vault is being changed by a merge right now (for observers of the vault).
    bool isMerging() const { return merging; }

    // Saves now, after any round in flight, merging a changed file first; returns when done.
    // A store file that does not read as a store is kept aside (copied) rather than merged.
    StoreSaveResult flush();
    // Looks at the folder now, as a change reported by it would.
    void checkNow();

    // The answer to takeInQuestion: take the file in (merged, two-way for another vault), or keep
    // this vault (the file is kept aside and this vault saved in its place).
    void answerTakeIn(bool takeTheirs);

    // The merge base as it stands (for tests and for keeping it).
    const MergeBase& mergeBase() const { return base; }

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
    // Something done that the user should know of, needing no answer (readable copies encrypted).
    void notice(const QString& message);
    // A version of the store file waits for the user's word before it is taken in (another vault,
    // or an unprotected file over a protected vault); `question` asks it, for a yes (take it in) or a
    // no (keep this vault, the default). answerTakeIn() gives the answer; until then nothing is
    // written over the file.
    void takeInQuestion(const QString& question);

private:
    struct Running;

    void onVaultChanged();
    void onVaultReset();
    // Starts a round on the worker unless one runs; otherwise it follows that one.
    void requestRound();
    // `full`: a round that writes whatever it finds, as a flush wants.
    std::unique_ptr<SaveRound> makeRound(bool setAsideUnreadable, bool full = false);
    void startRound();
    // Called on this thread when the worker is done with round `id`.
    void roundDone(quint64 id);
    // Waits for a round in flight and handles its outcome here.
    void finishRunning();
    // Takes in an outcome; true when another round should follow at once.
    bool handle(RoundOutcome& outcome, quint64 changesAtStart);
    void noteCopiesLeft(const QStringList& names);
    void scheduleRetry();
    void moveMergedCopies();
    // The merge base comes from the first round (it reads or builds it on the worker); a round that
    // saves writes it too, and storeMergeBase() writes it after a merge taken in here.
    void loadMergeBase(const StoreSnapshot& loaded);
    void storeMergeBase();

    StoreState& state;
    const SettingsStore& store;
    WriteHooks hooks;
    MergeApplier mergeApplier;
    StoreWatch* watch = nullptr;
    int checkDelayMs = 300;
    QTimer* saveTimer = nullptr;
    QTimer* retryTimer = nullptr;

    MergeBase base;
    StoreSnapshot loadedState; // until the first round has built the base from it
    KnownFile known;
    std::shared_ptr<DerivedKeys> derivedKeys;
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
    QByteArray questionDigest; // the file waiting for the user's word
    QByteArray agreedDigest;
    QByteArray overruledDigest;
    QStringList mergedCopies;  // merged, to be moved out once the merge is saved
    QStringList skippedCopies; // did not read as stores; not tried again this session
    // Made elsewhere and merged here, with when: left for their maker to take out for a while.
    QHash<QString, qint64> copiesLeftSince;
    qint64 copyMakerGraceMs = 10 * 60 * 1000;
    int roundsDone = 0;

    std::thread worker;
    quint64 roundId = 0;
    bool roundRunning = false;
    bool roundWanted = false;
    std::unique_ptr<Running> running;
};
