#include "autosaver.h"

#include "conflictcopies.h"
#include "storemerge.h"
#include "store/storestate.h"
#include "vault/vaultchanges.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QScopedValueRollback>
#include <QSet>
#include <QTimer>

#include <cstdio>
#include <system_error>

namespace {

constexpr int kMaxRetryMs = 30000;
// Hashes of this program's own writes remembered, to know them when they come back.
constexpr int kOwnWritesKept = 32;
// Looks at a file that does not read as a store before the user hears of it.
constexpr int kNotAStoreRoundsBeforeTelling = 3;

QString native(const QString& path)
{
    return QDir::toNativeSeparators(path);
}

bool samePreferences(const Preferences& a, const Preferences& b)
{
    return a.masterPasswordHash == b.masterPasswordHash && a.hidePassword == b.hidePassword &&
           a.maxLoginAttempts == b.maxLoginAttempts && a.genAlphanum == b.genAlphanum &&
           a.genMaxLength == b.genMaxLength && a.genMinLength == b.genMinLength && a.genMixedCase == b.genMixedCase &&
           a.genSpecialChars == b.genSpecialChars && a.firstRun == b.firstRun;
}

// A copy of `entries` that shares no list with it (the texts stay shared): made away from the
// GUI thread, so that the open vault's next edit need not copy the whole list while a snapshot
// or the ancestor of the next merge still shares it.
EntryList ownCopy(const EntryList& entries)
{
    EntryList copy;
    copy.reserve(entries.size());
    for (const Entry& entry : entries)
        copy.append(entry);
    return copy;
}

bool sharesList(const EntryList& a, const EntryList& b)
{
    return !a.isEmpty() && a.toList().isSharedWith(b.toList());
}

// A file that does not read as a store, moved out of the way of a save that must happen.
QString setAside(const QString& path)
{
    const QString stem = path + QStringLiteral(".unreadable-") +
                         QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-hhmmss"));
    QString aside = stem;
    for (int n = 2; QFileInfo::exists(aside); ++n)
        aside = stem + QLatin1Char('-') + QString::number(n);
    return ::rename(QFile::encodeName(path).constData(), QFile::encodeName(aside).constData()) == 0 ? aside : QString();
}

} // namespace

// What a round starts from, taken on the saver's thread.
struct AutoSaver::Round
{
    quint64 id = 0;
    quint64 changesAtStart = 0;
    const SettingsStore* store = nullptr;
    WriteHooks hooks;
    std::shared_ptr<const ProtectionKey> key; // the form to write, as the store had it
    StoreSnapshot ours;
    StoreSnapshot base;
    StoreFingerprint known;
    QStringList knownCopies;     // conflicted copies merged or skipped already, by name
    QList<QByteArray> ownWrites; // hashes of files this program wrote since `base` came in
    bool copiesHaveBase = false; // conflicted copies are younger than `base`: merged three-way
    bool copyBase = false;       // `base` shares the open vault's list: the round makes its own
    StoreSnapshot discard;       // let go of on the worker, where freeing a large list blocks no one
    bool write = false;
    bool probe = false; // only whether the file or conflicted copies call for a full round
    bool setAsideUnreadable = false;
    std::unique_ptr<Outcome> outcome;
};

// What a round found and did.
struct AutoSaver::Outcome
{
    enum Kind
    {
        Unchanged, // nothing to write, or nothing may be written
        Saved,
        SaveFailed,
        Merged,    // changes from elsewhere to take in; nothing written yet
        NotAStore, // the store file does not read as one; left alone
    };
    Kind kind = Unchanged;
    StoreFingerprint fingerprint;                    // of the file as now known
    std::shared_ptr<const ProtectionKey> writtenKey; // the form written, when Saved
    bool fileMerged = false;
    StoreSnapshot theirs;  // the file's contents, when fileMerged: the next merge's ancestor
    StoreSnapshot result;  // only its preferences, when Merged
    StoreSnapshot ownBase; // when the round was asked for a copy of the ancestor
    VaultChangePlan plan;
    bool preferencesChanged = false;
    QString stepName; // what the merge did, as one step of the history
    bool needsWrite = false;
    bool worthARound = false; // of a probe
    QStringList summaries;
    QStringList mergedCopies;
    QStringList damagedCopies;
    QString message;            // for the user, when SaveFailed or NotAStore, or a file set aside
    bool needsPassword = false; // NotAStore only for want of the master password it is under
};

AutoSaver::AutoSaver(StoreState& state, const SettingsStore& store, QObject* parent)
    : QObject(parent), state(state), store(store)
{
    saveTimer = new QTimer(this);
    saveTimer->setSingleShot(true);
    saveTimer->setInterval(1000);
    connect(saveTimer, &QTimer::timeout, this, &AutoSaver::requestRound);
    checkTimer = new QTimer(this);
    checkTimer->setSingleShot(true);
    checkTimer->setInterval(300);
    connect(checkTimer, &QTimer::timeout, this, &AutoSaver::requestRound);
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
    checkTimer->setInterval(ms);
}

void AutoSaver::setRetryDelay(int ms)
{
    retryDelayMs = nextRetryMs = ms;
}

void AutoSaver::setReadOnly(bool value)
{
    readOnly = value;
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

void AutoSaver::setWriteHooks(const WriteHooks& writeHooks)
{
    hooks = writeHooks;
}

void AutoSaver::start(const StoreSnapshot& loaded, const StoreFingerprint& fingerprint)
{
    base = loaded;
    known = fingerprint;
    writtenKey = store.sessionKey();
    started = true;
    watcher = new QFileSystemWatcher(this);
    // Sync tools replace the file by renaming another over it, which only the folder reports;
    // a file rewritten in place reports only itself.
    const QFileInfo file(store.saveFilePath());
    watcher->addPath(file.absolutePath());
    // A store that is a link to a file in a synced folder changes there.
    const QString target = file.canonicalFilePath();
    if (!target.isEmpty() && QFileInfo(target).absolutePath() != file.absolutePath())
        watcher->addPath(QFileInfo(target).absolutePath());
    if (file.exists())
        watcher->addPath(file.filePath());
    connect(watcher, &QFileSystemWatcher::directoryChanged, this, &AutoSaver::onFolderChanged);
    connect(watcher, &QFileSystemWatcher::fileChanged, this, &AutoSaver::onFolderChanged);
    // Conflicted copies left while the program was not running, and changes made meanwhile.
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
    // The vault let go of (a lock) or read back from the file (an unlock): no change of the
    // user's. What was read is the ancestor now; whose file it was, the next round's look tells.
    if (merging || !started)
        return;
    replaceBase(snapshotOf(state));
    known = StoreFingerprint();
    ownWrites.clear();
}

void AutoSaver::onVaultChanged()
{
    if (!merging)
        noteChange();
}

void AutoSaver::onFolderChanged()
{
    // A file replaced by a rename is no longer the one watched.
    if (!watcher->files().contains(store.saveFilePath()) && QFileInfo::exists(store.saveFilePath()))
        watcher->addPath(store.saveFilePath());
    if (!checkTimer->isActive())
        checkTimer->start();
}

void AutoSaver::checkNow()
{
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
    checkTimer->stop();
    retryTimer->stop();
    startRound();
}

std::unique_ptr<AutoSaver::Round> AutoSaver::makeRound(bool setAsideUnreadable, bool full)
{
    auto round = std::make_unique<Round>();
    round->id = ++roundId;
    round->changesAtStart = changes;
    round->store = &store;
    round->hooks = hooks;
    round->key = store.sessionKey();
    round->write = full || (dirty && !readOnly);
    round->copyBase = sharesList(base.entries, state.vault.entries());
    // Nothing to write: first only a look, which takes no snapshot (the vault is then not shared).
    round->probe = !round->write && !round->copyBase && !fullRoundWanted;
    fullRoundWanted = false;
    if (!round->probe) {
        round->ours = snapshotOf(state);
        round->base = base;
    }
    round->discard = std::move(garbage);
    garbage = StoreSnapshot();
    round->known = known;
    round->setAsideUnreadable = setAsideUnreadable;
    // Listed by the round itself: a synced folder may hold many files.
    round->knownCopies = mergedCopies + skippedCopies;
    round->ownWrites = ownWrites;
    // Copies found at start may be of any age; those made while the program runs come from
    // versions that descend from the ancestor it holds.
    round->copiesHaveBase = roundsDone > 0;
    ++roundsDone;
    return round;
}

void AutoSaver::startRound()
{
    running = makeRound(false);
    roundRunning = true;
    roundWanted = false;
    Round* round = running.get();
    const quint64 id = round->id;
    try {
        worker = std::thread([this, round, id] {
            runRound(*round);
            QMetaObject::invokeMethod(
                this, [this, id] { roundDone(id); }, Qt::QueuedConnection);
        });
    } catch (const std::system_error&) {
        // No thread to be had: the round runs here rather than not at all.
        runRound(*round);
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
    const std::unique_ptr<Round> round = std::move(running);
    const bool again = handle(*round->outcome, round->changesAtStart) || roundWanted;
    // The round's lists were let go of on the worker; what is left is small.
    roundWanted = false;
    if (again)
        requestRound();
}

void AutoSaver::replaceBase(StoreSnapshot&& newBase)
{
    // An old ancestor that shares the vault's list costs nothing to let go of here, and kept it
    // would make the next edit copy the list; any other is freed by the next round, away from here.
    if (sharesList(base.entries, state.vault.entries()))
        base = StoreSnapshot();
    else
        garbage = std::move(base);
    base = std::move(newBase);
}

bool AutoSaver::handle(Outcome& outcome, quint64 changesAtStart)
{
    if (!outcome.ownBase.entries.isEmpty() && !outcome.fileMerged)
        replaceBase(std::move(outcome.ownBase));
    switch (outcome.kind) {
    case Outcome::Unchanged:
        if (outcome.worthARound) {
            fullRoundWanted = true;
            return true;
        }
        notAStoreRounds = 0;
        return false;
    case Outcome::Saved: {
        notAStoreRounds = 0;
        problemShown = false;
        // The ancestor stays what came from elsewhere: only that is known to be shared. What was
        // written is recognised by its hash, should it come back, as the file or as a copy.
        known = outcome.fingerprint;
        writtenKey = outcome.writtenKey;
        ownWrites << known.digest;
        if (ownWrites.size() > kOwnWritesKept)
            ownWrites.removeFirst();
        if (changes == changesAtStart)
            dirty = false;
        nextRetryMs = retryDelayMs;
        if (failing) {
            failing = false;
            emit saveRecovered();
        }
        setAsideMergedCopies();
        emit saved();
        // Changes made while it was written follow at their own pace.
        if (dirty && !saveTimer->isActive())
            saveTimer->start();
        return false;
    }
    case Outcome::SaveFailed:
        if (!failing) {
            failing = true;
            emit saveFailed(outcome.message);
        }
        scheduleRetry();
        return false;
    case Outcome::NotAStore:
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
    case Outcome::Merged:
        break;
    }

    notAStoreRounds = 0;
    problemShown = false;
    passwordAsked = false;
    skippedCopies << outcome.damagedCopies;
    // The vault changed while the merge was worked out: work it out again from what it is now.
    if (changes != changesAtStart)
        return true;
    if (!outcome.plan.isEmpty() || outcome.preferencesChanged) {
        const QScopedValueRollback<bool> takingIn(merging, true);
        mergeApplier(outcome.plan, outcome.result.preferences, outcome.stepName);
    }

    if (outcome.fileMerged) {
        replaceBase(std::move(outcome.theirs));
        known = outcome.fingerprint;
    }
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

void AutoSaver::setAsideMergedCopies()
{
    for (const QString& name : std::as_const(mergedCopies)) {
        QDir folder(store.directory());
        const QString newName = mergedConflictCopyName(name, folder.entryList(QDir::Files | QDir::Hidden));
        if (!folder.rename(name, newName))
            skippedCopies << name; // merged already; merging it again would change nothing
    }
    mergedCopies.clear();
}

StoreSaveResult AutoSaver::flush()
{
    const QScopedValueRollback<bool> alone(flushing, true);
    finishRunning();
    saveTimer->stop();
    checkTimer->stop();
    retryTimer->stop();
    StoreSaveResult result;
    if (!started || readOnly || store.isVaultReleased())
        return result;
    // With nothing new here, the file may still not hold this vault: another computer's changes
    // not yet merged, or a file that does not read as a vault, which must not be all that is left.
    // Protection turned on or off, or a new master password: the file changes form.
    bool needed = dirty || !storeFileUnchanged(store.saveFilePath(), known) || store.sessionKey() != writtenKey;
    // A merge found on the way is taken in and the round run again; a few at most.
    for (int attempt = 0; attempt < 4 && needed; ++attempt) {
        const std::unique_ptr<Round> round = makeRound(true, true);
        runRound(*round);
        Outcome& outcome = *round->outcome;
        if (outcome.kind == Outcome::SaveFailed) {
            result.ok = false;
            result.error = outcome.message;
            return result;
        }
        handle(outcome, round->changesAtStart);
        retryTimer->stop();
        saveTimer->stop();
        if (outcome.kind == Outcome::Saved) {
            result.written = outcome.fingerprint;
            if (!outcome.message.isEmpty())
                qWarning("%s", qPrintable(outcome.message));
        }
        needed = dirty;
    }
    return result;
}

void AutoSaver::runRound(Round& round)
{
    round.outcome = std::make_unique<Outcome>();
    Outcome& out = *round.outcome;
    round.discard = StoreSnapshot();
    // Whatever way the round ends, the lists it no longer needs are freed here, not on the GUI thread.
    struct LetGo
    {
        Round& round;
        ~LetGo()
        {
            round.ours = round.base = StoreSnapshot();
            if (round.outcome->fileMerged)
                round.outcome->ownBase = StoreSnapshot();
        }
    } letGo{round};
    // The file saves go to: the store, unless a damaged store is being kept as it is.
    const QString path = round.store->saveFilePath();
    out.fingerprint = round.known;
    const QDir folder = QFileInfo(path).dir();
    if (round.probe) {
        out.worthARound = !storeFileUnchanged(path, round.known);
        for (const QString& name : storeConflictCopies(folder.entryList(QDir::Files | QDir::Hidden)))
            out.worthARound = out.worthARound || !round.knownCopies.contains(name);
        return;
    }
    // Our own lists first, so that the open vault stops sharing its list as soon as can be.
    StoreSnapshot current = round.ours;
    current.entries = ownCopy(round.ours.entries);
    round.ours.entries = current.entries;
    if (round.copyBase) {
        round.base.entries = ownCopy(round.base.entries);
        out.ownBase = round.base;
    }

    if (!storeFileUnchanged(path, round.known)) {
        StoreFileRead file = readStoreFile(path, round.key.get());
        const bool ours = (!round.known.digest.isEmpty() && file.fingerprint.digest == round.known.digest) ||
                          round.ownWrites.contains(file.fingerprint.digest);
        if (ours) {
            out.fingerprint = file.fingerprint; // touched, not changed
        } else if (file.status == StoreFileRead::Read) {
            StoreMerge merge = mergeStore(round.base, current, file.payload);
            current = std::move(merge.merged);
            out.fileMerged = true;
            out.theirs = std::move(file.payload);
            out.fingerprint = file.fingerprint;
            out.needsWrite = merge.theirsOutdated;
            const QString vaultSummary = merge.vault.summary();
            if (!vaultSummary.isEmpty())
                out.summaries << AutoSaver::tr("Merged changes from another computer: %1.").arg(vaultSummary);
            const QString preferencesSummary = merge.preferences.summary();
            if (!preferencesSummary.isEmpty())
                out.summaries << preferencesSummary;
        } else if (file.status == StoreFileRead::Missing) {
            out.fingerprint = StoreFingerprint(); // deleted elsewhere: written again below
        } else if (round.setAsideUnreadable) {
            const QString aside = setAside(path);
            if (!aside.isEmpty())
                out.message = AutoSaver::tr("The vault file %1 did not read as a vault, so it was kept as %2 and the "
                                            "vault saved in its place.")
                                  .arg(native(path), native(aside));
            out.fingerprint = StoreFingerprint();
        } else {
            out.kind = Outcome::NotAStore;
            out.needsPassword = file.needsPassword;
            const QString why = file.status == StoreFileRead::Unreadable
                                    ? file.reason
                                    : AutoSaver::tr("it is damaged or not a vault file, perhaps not yet complete");
            out.message = AutoSaver::tr("The vault file %1 was changed by another program and cannot be read: %2. "
                                        "It is left as it is, and this computer's changes are not saved to it until "
                                        "it reads as a vault again.")
                              .arg(native(path), why);
            return;
        }
    }

    for (const QString& name : storeConflictCopies(folder.entryList(QDir::Files | QDir::Hidden))) {
        if (round.knownCopies.contains(name))
            continue;
        const QString copyPath = folder.filePath(name);
        StoreFileRead copy = readStoreFile(copyPath, round.key.get());
        if (copy.status != StoreFileRead::Read) {
            out.damagedCopies << name;
            out.summaries << AutoSaver::tr("The conflicted copy %1 made by a sync program does not read as a vault; "
                                           "it was left as it is.")
                                 .arg(name);
            continue;
        }
        // A version this program wrote, set aside by the sync tool: nothing in it is new here.
        if (round.ownWrites.contains(copy.fingerprint.digest) || copy.fingerprint.digest == round.known.digest) {
            out.mergedCopies << name;
            continue;
        }
        // Three-way when the copy is known to descend from the ancestor (so that what was deleted
        // or changed here since is not undone), else two-way: the union by id.
        StoreMerge merge =
            round.copiesHaveBase ? mergeStore(round.base, current, copy.payload) : mergeStore(current, copy.payload);
        current = std::move(merge.merged);
        out.mergedCopies << name;
        const QString vaultSummary = merge.vault.summary();
        out.summaries << AutoSaver::tr("Merged the conflicted copy %1 made by a sync program%2.")
                             .arg(name, vaultSummary.isEmpty() ? QString() : QStringLiteral(": ") + vaultSummary);
        const QString preferencesSummary = merge.preferences.summary();
        if (!preferencesSummary.isEmpty())
            out.summaries << preferencesSummary;
    }

    if (out.fileMerged || !out.mergedCopies.isEmpty() || !out.damagedCopies.isEmpty()) {
        out.kind = Outcome::Merged;
        out.plan = planVaultChanges(round.ours.categories, round.ours.entries, current.categories, current.entries);
        out.preferencesChanged = !samePreferences(round.ours.preferences, current.preferences);
        out.stepName = out.fileMerged ? AutoSaver::tr("Merge from Another Computer")
                                      : AutoSaver::tr("Merge of Conflicted Copies");
        out.result.preferences = current.preferences;
        // Merged copies are renamed after the save that holds them.
        out.needsWrite = out.needsWrite || !out.mergedCopies.isEmpty();
        return;
    }
    if (!round.write)
        return;
    const StoreSaveResult saved = round.store->save(current, round.key, round.hooks);
    if (!saved.ok) {
        out.kind = Outcome::SaveFailed;
        out.message = saved.error;
        return;
    }
    out.kind = Outcome::Saved;
    out.fingerprint = saved.written;
    out.writtenKey = round.key;
}
