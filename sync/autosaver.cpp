#include "sync/autosaver.h"

#include "store/storestate.h"
#include "sync/applyplan.h"
#include "sync/conflictcopies.h"
#include "sync/fileread.h"
#include "sync/mergebasefile.h"
#include "sync/readablecopies.h"
#include "sync/watch.h"

#include <QDateTime>
#include <QDir>
#include <QScopedValueRollback>
#include <QTimer>

#include <system_error>

namespace {

constexpr int kMaxRetryMs = 30000;
// Looks at a file that does not read as a store before the user hears of it.
constexpr int kNotAStoreRoundsBeforeTelling = 3;

QString questionText(TakeInQuestion why, const QString& path)
{
    const QString file = QDir::toNativeSeparators(path);
    if (why == TakeInQuestion::NotProtected) {
        return AutoSaver::tr("The vault file %1 was replaced by one that is not protected by the master password, "
                             "which anyone who can write the folder could have made. Take in its entries? (No "
                             "keeps this vault as it is; the file is kept aside.)")
            .arg(file);
    }
    return AutoSaver::tr("The vault file %1 was replaced by a different vault: it shares no entry with the open "
                         "one. Merge its entries into this vault? (No keeps this vault as it is; the file is kept "
                         "aside.)")
        .arg(file);
}

} // namespace

// A round on its way, and what it will have found.
struct AutoSaver::Running
{
    quint64 id = 0;
    SaveRound round;
    RoundOutcome outcome;
};

AutoSaver::AutoSaver(StoreState& state, const SettingsStore& store, QObject* parent)
    : QObject(parent), state(state), store(store), derivedKeys(std::make_shared<DerivedKeys>())
{
    saveTimer = new QTimer(this);
    saveTimer->setSingleShot(true);
    saveTimer->setInterval(1000);
    connect(saveTimer, &QTimer::timeout, this, &AutoSaver::requestRound);
    retryTimer = new QTimer(this);
    retryTimer->setSingleShot(true);
    connect(retryTimer, &QTimer::timeout, this, &AutoSaver::requestRound);

    const Vault* vault = &state.vault;
    connect(vault, &Vault::vaultReset, this, &AutoSaver::onVaultReset);
    connect(vault, &Vault::categoryAdded, this, &AutoSaver::onVaultChanged);
    connect(vault, &Vault::categoryRemoved, this, &AutoSaver::onVaultChanged);
    connect(vault, &Vault::entryAdded, this, &AutoSaver::onVaultChanged);
    connect(vault, &Vault::entryChanged, this, &AutoSaver::onVaultChanged);
    connect(vault, &Vault::entryRemoved, this, &AutoSaver::onVaultChanged);
    connect(vault, &Vault::entriesAdded, this, &AutoSaver::onVaultChanged);
    connect(vault, &Vault::entriesRemoved, this, &AutoSaver::onVaultChanged);
    setMergeApplier(nullptr);
}

void AutoSaver::setMergeApplier(MergeApplier applier)
{
    if (!applier) {
        applier = [this](const VaultChangePlan& plan, const Preferences& preferences, const QString&) {
            state.preferences = preferences;
            applyVaultChanges(state.vault, plan);
        };
    }
    mergeApplier = std::move(applier);
}

AutoSaver::~AutoSaver()
{
    if (worker.joinable())
        worker.join();
}

void AutoSaver::setSaveDelay(int ms)
{
    saveTimer->setInterval(ms);
}

void AutoSaver::setCheckDelay(int ms)
{
    checkDelayMs = ms;
    if (watch)
        watch->setDelay(ms);
}

void AutoSaver::setRetryDelay(int ms)
{
    retryDelayMs = nextRetryMs = ms;
}

void AutoSaver::setCopyMakerGrace(qint64 ms)
{
    copyMakerGraceMs = ms;
}

void AutoSaver::setReadOnly(bool value)
{
    readOnly = value;
}

void AutoSaver::setWriteHooks(const WriteHooks& writeHooks)
{
    hooks = writeHooks;
}

void AutoSaver::loadMergeBase(const StoreSnapshot& loaded)
{
    // The first round, on the worker, reads the base kept for this store on this computer, builds
    // one from the file loaded when there is none, and takes in a file that came while we were away.
    loadedState = loaded;
}

void AutoSaver::storeMergeBase()
{
    // After every save, and after a merge that needs no write, right after the store: a base one
    // step behind (a kill between the two) only makes the next merge add without deleting, never
    // lose anything; one ahead of the store would take the file as merged when it was not.
    if (readOnly)
        return;
    const WriteResult written =
        writeMergeBase(defaultMergeBaseFolder(), store.saveFilePath(), base, store.sessionKey().get());
    if (!written.ok)
        qWarning("The merge base could not be kept: %s", qPrintable(written.reason));
}

void AutoSaver::start(const StoreSnapshot& loaded, const StoreFingerprint& fingerprint)
{
    loadMergeBase(loaded);
    known = KnownFile{fingerprint, store.sessionKey()};
    started = true;
    pruneMergedCopies();
    watch = new StoreWatch(store.saveFilePath(), this);
    watch->setDelay(checkDelayMs);
    connect(watch, &StoreWatch::changed, this, &AutoSaver::requestRound);
    // Conflicted copies left while the program was not running, and changes made meanwhile; a full
    // round, which starts from the base kept here (a look alone would have none to start from).
    fullRoundWanted = true;
    requestRound();
}

void AutoSaver::noteChange()
{
    ++changes;
    dirty = true;
    if (started && !saveTimer->isActive() && !retryTimer->isActive())
        saveTimer->start();
}

void AutoSaver::onVaultReset()
{
    // The vault let go of (a lock) or read back from the file (an unlock): no change of the user's,
    // and nothing learnt of what the other computers share, so the merge base stays. Whose file was
    // read, the next round's look tells.
    if (merging || !started)
        return;
    known.fingerprint = StoreFingerprint();
}

void AutoSaver::onVaultChanged()
{
    if (!merging)
        noteChange();
}

void AutoSaver::checkNow()
{
    requestRound();
}

void AutoSaver::answerTakeIn(bool takeTheirs)
{
    (takeTheirs ? agreedDigest : overruledDigest) = questionDigest;
    questionDigest.clear();
    if (!takeTheirs)
        dirty = true; // this vault goes in the file's place
    requestRound();
}

void AutoSaver::requestRound()
{
    // A flush runs its rounds itself; no second writer may start beside it. While the vault is out
    // of memory (a locked window) there is nothing to save, nor anything to merge into.
    if (!started || flushing || store.isVaultReleased())
        return;
    if (roundRunning) {
        roundWanted = true;
        return;
    }
    saveTimer->stop();
    if (watch)
        watch->cancelPending();
    retryTimer->stop();
    startRound();
}

std::unique_ptr<SaveRound> AutoSaver::makeRound(bool setAsideUnreadable, bool full)
{
    auto round = std::make_unique<SaveRound>();
    round->changesAtStart = changes;
    round->store = &store;
    round->hooks = hooks;
    round->key = store.sessionKey();
    round->adoptedKey = store.adoptedKey();
    round->derivedKeys = derivedKeys;
    round->write = (full || dirty) && !readOnly;
    // Nothing to write: first only a look, which takes no snapshot (the vault is then not shared).
    round->probe = !round->write && !fullRoundWanted;
    fullRoundWanted = false;
    if (!round->probe) {
        // 1. The snapshot: the open vault's lists, shared, not copied.
        round->ours = snapshotOf(state);
        round->base = base;
    }
    if (roundsDone == 0) {
        round->buildBase = true;
        round->loaded = std::move(loadedState);
        loadedState = StoreSnapshot();
    }
    round->baseFolder = defaultMergeBaseFolder();
    round->keepBase = !readOnly;
    round->known = known;
    round->setAsideUnreadable = setAsideUnreadable;
    round->agreedDigest = agreedDigest;
    round->overruledDigest = overruledDigest;
    round->nowMsecs = QDateTime::currentMSecsSinceEpoch();
    // Listed by the round itself: a synced folder may hold many files.
    round->knownCopies = mergedCopies + skippedCopies;
    // A copy left for its maker past the grace is looked at again, and then taken out here.
    for (auto it = copiesLeftSince.cbegin(); it != copiesLeftSince.cend(); ++it) {
        if (round->nowMsecs - it.value() < copyMakerGraceMs)
            round->knownCopies << it.key();
        else
            round->takeOutMerged << it.key();
    }
    // Copies found at start may be of any age; those made while the program runs come from
    // versions that descend from the base it holds.
    round->copiesHaveBase = roundsDone > 0;
    ++roundsDone;
    return round;
}

void AutoSaver::startRound()
{
    running = std::make_unique<Running>();
    running->id = ++roundId;
    running->round = std::move(*makeRound(false));
    roundRunning = true;
    roundWanted = false;
    Running* job = running.get();
    const quint64 id = job->id;
    try {
        worker = std::thread([this, job, id] {
            runSaveRound(job->round, job->outcome);
            QMetaObject::invokeMethod(
                this, [this, id] { roundDone(id); }, Qt::QueuedConnection);
        });
    } catch (const std::system_error&) {
        // No thread to be had: the round runs here rather than not at all.
        runSaveRound(job->round, job->outcome);
        finishRunning();
    }
}

void AutoSaver::roundDone(quint64 id)
{
    // Already taken in by a flush that waited for it.
    if (!roundRunning || !running || running->id != id)
        return;
    finishRunning();
}

void AutoSaver::finishRunning()
{
    if (!roundRunning)
        return;
    if (worker.joinable())
        worker.join();
    roundRunning = false;
    const std::unique_ptr<Running> job = std::move(running);
    const bool again = handle(job->outcome, job->round.changesAtStart) || roundWanted;
    roundWanted = false;
    if (again)
        requestRound();
}

void AutoSaver::noteCopiesLeft(const QStringList& names)
{
    for (const QString& name : names) {
        if (copiesLeftSince.contains(name))
            continue;
        copiesLeftSince.insert(name, QDateTime::currentMSecsSinceEpoch());
        // A look once the grace is over, should nothing else bring one.
        QTimer::singleShot(copyMakerGraceMs + 1, this, &AutoSaver::requestRound);
    }
}

bool AutoSaver::handle(RoundOutcome& outcome, quint64 changesAtStart)
{
    // Copies merged before (a merge is taken in below, once it still fits the vault).
    if (outcome.kind != RoundOutcome::Merged)
        noteCopiesLeft(outcome.copiesLeft);
    // Kept on disk by the round that built it, or with the save that writes what it took in.
    if (outcome.baseBuilt)
        base = std::move(outcome.builtBase);
    switch (outcome.kind) {
    case RoundOutcome::Unchanged:
        known = outcome.known;
        if (outcome.worthARound) {
            fullRoundWanted = true;
            return true;
        }
        notAStoreRounds = 0;
        return false;
    case RoundOutcome::Saved: {
        notAStoreRounds = 0;
        problemShown = false;
        // The base stays what came from elsewhere: only that is known to be shared. What was
        // written is recognised by its hash, should it come back, as the file or as a copy.
        const bool protectedNow = outcome.known.form && !known.form;
        known = outcome.known;
        if (outcome.baseChanged)
            base = std::move(outcome.base);
        if (!outcome.baseKept)
            storeMergeBase();
        agreedDigest.clear();
        overruledDigest.clear();
        if (changes == changesAtStart)
            dirty = false;
        nextRetryMs = retryDelayMs;
        if (failing) {
            failing = false;
            emit saveRecovered();
        }
        if (!outcome.message.isEmpty())
            emit merged(outcome.message);
        moveMergedCopies();
        if (protectedNow) {
            // Protection turned on: the copies this program left readable go the same way.
            const QString summary =
                protectReadableCopies(store.saveFilePath(), store.saveFilePath(), *known.form).summary();
            if (!summary.isEmpty())
                emit notice(summary);
        }
        emit saved();
        // Changes made while it was written follow at their own pace.
        if (dirty && !saveTimer->isActive())
            saveTimer->start();
        return false;
    }
    case RoundOutcome::Superseded:
        // Another version came while this one was written: merged first, at once.
        fullRoundWanted = true;
        return true;
    case RoundOutcome::SaveFailed:
        if (!failing) {
            failing = true;
            emit saveFailed(outcome.message);
        }
        scheduleRetry();
        return false;
    case RoundOutcome::Question:
        // `known` stays as it was: the file waiting is not ours, and is not written over meanwhile.
        if (questionDigest != outcome.questionDigest) {
            questionDigest = outcome.questionDigest;
            emit takeInQuestion(questionText(outcome.question, store.saveFilePath()));
        }
        return false;
    case RoundOutcome::NotAStore:
        if (outcome.needsPassword) {
            // Asked once; the answer (or a later change of the file) brings the next round.
            if (!passwordAsked) {
                passwordAsked = true;
                emit masterPasswordNeeded();
            }
            return false;
        }
        if (++notAStoreRounds >= kNotAStoreRoundsBeforeTelling && !problemShown) {
            problemShown = true;
            failing = true; // the next save says that all is well again
            emit problem(outcome.message);
        }
        scheduleRetry();
        return false;
    case RoundOutcome::Merged:
        break;
    }

    notAStoreRounds = 0;
    problemShown = false;
    passwordAsked = false;
    skippedCopies << outcome.damagedCopies;

    // The vault changed while the merge was worked out: work it out again from what it is now.
    if (changes != changesAtStart)
        return true;
    noteCopiesLeft(outcome.copiesLeft);
    if (!outcome.plan.isEmpty()) {
        const QScopedValueRollback<bool> takingIn(merging, true);
        mergeApplier(outcome.plan.vault, outcome.plan.preferencesChanged ? outcome.plan.preferences : state.preferences,
                     outcome.plan.stepName);
    }
    if (outcome.useAdoptedKey)
        store.useAdoptedKey();

    if (outcome.baseChanged) {
        base = std::move(outcome.base);
        // Killed before the merge is written, the program must take the file in again at its next
        // start, with what it had then: the base file stays one step behind until the save.
        if (!outcome.needsWrite)
            storeMergeBase();
    }
    known = outcome.known;
    mergedCopies << outcome.mergedCopies;
    if (outcome.needsWrite)
        dirty = true;
    const QString summary = outcome.summaries.join(QLatin1Char(' '));
    if (!summary.isEmpty())
        emit merged(summary);
    // Written at once: the other computer should see the merge as soon as this one does.
    return dirty && !readOnly;
}

void AutoSaver::scheduleRetry()
{
    retryTimer->start(nextRetryMs);
    nextRetryMs = qMin(nextRetryMs * 2, kMaxRetryMs);
}

void AutoSaver::moveMergedCopies()
{
    const QDir folder(conflictCopyFolder(store.saveFilePath()));
    for (const QString& name : std::as_const(mergedCopies)) {
        copiesLeftSince.remove(name);
        QString error;
        if (moveToMergedCopies(folder.filePath(name), &error).isEmpty())
            skippedCopies << name; // merged already; merging it again would change nothing
    }
    mergedCopies.clear();
}

StoreSaveResult AutoSaver::flush()
{
    const QScopedValueRollback<bool> alone(flushing, true);
    finishRunning();
    saveTimer->stop();
    if (watch)
        watch->cancelPending();
    retryTimer->stop();
    StoreSaveResult result;
    if (!started || readOnly || store.isVaultReleased())
        return result;
    // With nothing new here, the file may still not hold this vault: another computer's changes
    // not yet merged, or a file that does not read as a vault, which must not be all that is left.
    // Protection turned on or off, or a new master password: the file changes form.
    bool needed =
        dirty || !statFingerprint(store.saveFilePath()).sameStat(known.fingerprint) || store.sessionKey() != known.form;
    // A merge found on the way is taken in and the round run again; a few at most.
    for (int attempt = 0; attempt < 4 && needed; ++attempt) {
        const std::unique_ptr<SaveRound> round = makeRound(true, true);
        round->mayDerive = false; // the GUI thread at the close: no key derived for a header never seen
        RoundOutcome outcome;
        runSaveRound(*round, outcome);
        // A first round's base stands whatever else the round found, a failure or a question included.
        if (outcome.baseBuilt) {
            base = std::move(outcome.builtBase);
            outcome.baseBuilt = false;
        }
        if (outcome.kind == RoundOutcome::SaveFailed) {
            result.ok = false;
            result.error = outcome.message;
            return result;
        }
        // A version waiting for the user's word at the close: the default answer, this vault kept and
        // the file kept aside.
        if (outcome.kind == RoundOutcome::Question) {
            overruledDigest = outcome.questionDigest;
            questionDigest.clear();
            dirty = true;
            continue;
        }
        handle(outcome, round->changesAtStart);
        retryTimer->stop();
        saveTimer->stop();
        if (outcome.kind == RoundOutcome::Saved) {
            result.written = outcome.known.fingerprint;
            if (!outcome.message.isEmpty())
                qWarning("%s", qPrintable(outcome.message));
        }
        needed = dirty || outcome.kind == RoundOutcome::Superseded;
    }
    return result;
}
