#include "sync/saveround.h"

#include "store/protectedstore.h"
#include "store/settingsstore.h"
#include "store/storeload.h"
#include "sync/caswrite.h"
#include "sync/conflictcopies.h"
#include "sync/fileread.h"
#include "sync/mergebasefile.h"
#include "sync/storemerge.h"

#include <QCoreApplication>
#include <QDir>
#include <QSet>

#include <optional>

namespace {

QString tr(const char* text)
{
    return QCoreApplication::translate("AutoSaver", text);
}

QString native(const QString& path)
{
    return QDir::toNativeSeparators(path);
}

// A copy of `entries` that shares no list with it (the texts stay shared): made away from the
// GUI thread, so that the open vault's next edit need not copy the whole list while the round
// still holds the snapshot.
EntryList ownCopy(const EntryList& entries)
{
    EntryList copy;
    copy.reserve(entries.size());
    for (const Entry& entry : entries)
        copy.append(entry);
    return copy;
}

// Writes the base to its file (sync/mergebasefile.h) on the round's thread: encoding and syncing
// it took the GUI thread 10 to 20 ms a save at 100,000 entries. Failing costs only a merge that
// deletes nothing, later.
void keepBase(const SaveRound& round, const QString& path, const MergeBase& base)
{
    const WriteResult written = writeMergeBase(round.baseFolder, path, base, round.key.get());
    if (!written.ok)
        qWarning("The merge base could not be kept: %s", qPrintable(written.reason));
}

// A conflicted copy as read with the round's keys; `takeable` only when it reads as a store and, for a
// protected vault, authenticates (an ordinary-form copy anyone could make is not taken in).
StoreFileRead readCopy(const SaveRound& round, const QDir& copies, const QString& name, bool* takeable)
{
    StoreFileRead copy =
        readStoreFile(copies.filePath(name), round.key.get(), round.derivedKeys.get(), round.mayDerive);
    *takeable = copy.status == StoreFileRead::Read && (!round.key || copy.protectedForm);
    return copy;
}

void addSummaries(RoundOutcome& out, const QString& vaultLine, const IncomingMerge& merge)
{
    if (!vaultLine.isEmpty())
        out.summaries << vaultLine;
    const QString preferences = merge.preferences.summary();
    if (!preferences.isEmpty())
        out.summaries << preferences;
}

} // namespace

bool isDifferentVault(const Payload& ours, const Payload& theirs)
{
    if (ours.entries.isEmpty() || theirs.entries.isEmpty())
        return false;
    for (const Entry& entry : theirs.entries) {
        if (ours.entries.containsId(entry.id))
            return false;
    }
    return true;
}

QString keepUnreadableAside(const QString& path, QString* error)
{
    return keepCopy(path, QStringLiteral("unreadable"), error);
}

void runSaveRound(SaveRound& round, RoundOutcome& out)
{
    // Whatever way the round ends, the lists it no longer needs are freed here, not on the GUI thread.
    struct LetGo
    {
        SaveRound& round;
        ~LetGo() { round.ours = StoreSnapshot(); }
    } letGo{round};
    const QString path = round.store->saveFilePath();
    out.known = round.known;
    const QDir copies(conflictCopyFolder(path));
    const QStringList copyNames = storeConflictCopies(copies.entryList(QDir::Files | QDir::Hidden));
    // At start, what this computer had and the file loaded, merged, while the file needs it.
    std::optional<Payload> startMerged;
    QString startSummary;
    StoreSnapshot startLoaded;
    if (round.buildBase) {
        // At start: the base kept for this store, or, on a computer that has none, the file loaded.
        // A file that is not the one last known here came from elsewhere while the program was not
        // running: it is what is shared now (what this computer had then lost to it, and comes back
        // as a conflicted copy if the sync tool kept it).
        const QByteArray& loadedDigest = round.known.fingerprint.digest;
        StoreSnapshot loaded = std::move(round.loaded);
        round.base = readMergeBase(round.baseFolder, path, round.key.get());
        if (round.base.isEmpty()) {
            // Not written until the first save: until then the next start builds the same from the file.
            out.builtBase = MergeBase::of(loaded);
            out.builtBase.noteTakenIn(loadedDigest);
        } else if (!round.base.isLastKnownFile(loadedDigest)) {
            // What this computer had when it stopped, kept by the sync tool as a copy beside the
            // file that replaced it: the file last known here, else one of our writes.
            StoreFileRead had;
            bool copyPending = false;
            for (const QString& name : copyNames) {
                bool takeable = false;
                StoreFileRead copy = readCopy(round, copies, name, &takeable);
                if (!takeable)
                    continue;
                const QByteArray& digest = copy.fingerprint.digest;
                const bool own = round.base.isOwnWrite(digest);
                copyPending = copyPending || own || !round.base.isCopyMerged(digest);
                if (round.base.isLastKnownFile(digest) || (own && had.status != StoreFileRead::Read))
                    had = std::move(copy);
            }
            const bool hadOwn = had.status == StoreFileRead::Read;
            IncomingMerge merge = mergeIncoming(
                round.base, hadOwn ? had.payload : loaded, loaded,
                copyPending ? IncomingKind::StoreFileBesideCopy : IncomingKind::StoreFile, round.nowMsecs);
            out.builtBase = std::move(merge.base);
            out.builtBase.noteTakenIn(loadedDigest);
            if (hadOwn && merge.theirsOutdated) {
                startMerged = std::move(merge.merged);
                startSummary = merge.vault.summary();
            } else if (round.keepBase) {
                // Nothing of ours to write: the file is taken in. Else the base is kept with the save.
                keepBase(round, path, out.builtBase);
            }
            startLoaded = std::move(loaded);
        } else {
            out.builtBase = std::move(round.base);
        }
        out.baseBuilt = true;
        // A probe merges nothing: only a full round needs a base of its own to merge against.
        if (!round.probe)
            round.base = out.builtBase;
    }
    if (round.probe) {
        out.worthARound = !stillTheFile(path, round.known.fingerprint);
        for (const QString& name : copyNames)
            out.worthARound = out.worthARound || !round.knownCopies.contains(name);
        return;
    }
    // Our own list first, so that the open vault stops sharing its list as soon as can be.
    StoreSnapshot current = round.ours;
    current.entries = ownCopy(round.ours.entries);
    round.ours.entries = current.entries;
    MergeBase base = std::move(round.base);
    bool tookIn = false;
    if (startMerged) {
        // Edits made since the window opened stay: a three-way merge against the file loaded.
        current = mergeStore(startLoaded, current, *startMerged).merged;
        tookIn = true;
        out.needsWrite = true;
        if (!startSummary.isEmpty())
            out.summaries << tr("Merged what this computer had when it last stopped: %1.").arg(startSummary);
    }

    // 2. The file as it is now, read and authenticated.
    if (!stillTheFile(path, round.known.fingerprint)) {
        StoreFileRead file = readStoreFile(path, round.key.get(), round.derivedKeys.get(), round.mayDerive);
        bool readWithAdopted = false;
        if (file.needsPassword && round.adoptedKey) {
            file = readStoreFile(path, round.adoptedKey.get(), round.derivedKeys.get(), round.mayDerive);
            readWithAdopted = true;
        }
        const QByteArray& digest = file.fingerprint.digest;
        const bool ours = (!round.known.fingerprint.digest.isEmpty() && digest == round.known.fingerprint.digest) ||
                          base.isOwnWrite(digest);
        const bool agreed = !digest.isEmpty() && digest == round.agreedDigest;
        const bool overruled = !digest.isEmpty() && digest == round.overruledDigest;
        TakeInQuestion question = TakeInQuestion::None;
        if (file.status == StoreFileRead::Read && !ours && !agreed && !overruled) {
            // A protected vault takes in only what authenticates: an ordinary file anyone could make.
            if (round.key && !file.protectedForm)
                question = TakeInQuestion::NotProtected;
            else if (isDifferentVault(current, file.payload))
                question = TakeInQuestion::DifferentVault;
        }
        if (ours) {
            out.known.fingerprint = file.fingerprint; // touched, not changed
        } else if (question != TakeInQuestion::None) {
            out.kind = RoundOutcome::Question;
            out.question = question;
            out.questionDigest = digest;
            out.known.fingerprint = file.fingerprint;
            return;
        } else if (file.status == StoreFileRead::Read && !overruled) {
            // 3. Merged against the base; a file the user chose to take in (another vault, or one that
            // did not authenticate) two-way, so that it deletes nothing.
            const bool withoutBase = agreed;
            // Beside a conflicted copy not yet merged (or one of ours), the file need not follow our
            // last write: the version before may have lost to it.
            bool copyPending = false;
            for (const QString& name : copyNames)
                copyPending = copyPending || !round.knownCopies.contains(name);
            IncomingMerge merge = mergeIncoming(
                withoutBase ? MergeBase() : base, current, file.payload,
                copyPending ? IncomingKind::StoreFileBesideCopy : IncomingKind::StoreFile, round.nowMsecs);
            // A master password never comes from a file that did not authenticate under ours.
            if (round.key && !file.protectedForm)
                merge.merged.preferences.masterPasswordHash = current.preferences.masterPasswordHash;
            current = std::move(merge.merged);
            // Saves are written under the key of the password whose hash the result holds.
            out.useAdoptedKey = readWithAdopted && file.status == StoreFileRead::Read &&
                                round.adoptedKey->holdsPasswordOf(current.preferences.masterPasswordHash);
            base = std::move(merge.base);
            base.noteTakenIn(digest);
            tookIn = true;
            out.baseChanged = true;
            out.known.fingerprint = file.fingerprint;
            out.needsWrite = merge.theirsOutdated;
            const QString vaultSummary = merge.vault.summary();
            addSummaries(out,
                         vaultSummary.isEmpty() ? QString()
                                                : tr("Merged changes from another computer: %1.").arg(vaultSummary),
                         merge);
        } else if (file.status == StoreFileRead::Missing) {
            out.known.fingerprint = StoreFingerprint(); // deleted elsewhere: written again below
        } else if (round.setAsideUnreadable || overruled) {
            // Copied, never renamed: a link stays a link, and a file that cannot be copied is not
            // written over.
            QString error;
            const QString aside = keepUnreadableAside(path, &error);
            if (aside.isEmpty()) {
                out.kind = RoundOutcome::SaveFailed;
                out.message = tr("The vault file %1 does not hold this vault and could not be kept aside (%2), so it "
                                 "was not replaced; this computer's changes are not saved to it.")
                                  .arg(native(path), error);
                return;
            }
            out.message = overruled ? tr("The vault file %1 was kept as %2 and this vault saved in its place.")
                                          .arg(native(path), native(aside))
                                    : tr("The vault file %1 did not read as a vault, so it was kept as %2 and the "
                                         "vault saved in its place.")
                                          .arg(native(path), native(aside));
            out.known.fingerprint = file.fingerprint;
            round.write = true;
        } else {
            out.kind = RoundOutcome::NotAStore;
            out.needsPassword = file.needsPassword;
            const QString why = file.status == StoreFileRead::Unreadable
                                    ? file.reason
                                    : tr("it is damaged or not a vault file, perhaps not yet complete");
            out.message = tr("The vault file %1 was changed by another program and cannot be read: %2. "
                             "It is left as it is, and this computer's changes are not saved to it until "
                             "it reads as a vault again.")
                              .arg(native(path), why);
            return;
        }
    }

    // Conflicted copies beside the real file, each merged once.
    for (const QString& name : copyNames) {
        if (round.knownCopies.contains(name))
            continue;
        bool takeable = false;
        StoreFileRead copy = readCopy(round, copies, name, &takeable);
        if (!takeable) {
            out.damagedCopies << name;
            out.summaries << (copy.status == StoreFileRead::Read
                                  ? tr("The conflicted copy %1 made by a sync program is not protected by the master "
                                       "password, so it was not taken in; it was left as it is.")
                                        .arg(name)
                                  : tr("The conflicted copy %1 made by a sync program does not read as a vault; "
                                       "it was left as it is.")
                                        .arg(name));
            continue;
        }
        // A version this program wrote, set aside by the sync tool: nothing in it is new here.
        if (base.isOwnWrite(copy.fingerprint.digest) || copy.fingerprint.digest == round.known.fingerprint.digest) {
            out.mergedCopies << name;
            continue;
        }
        // Made elsewhere: merged once (it only adds what this vault lacks) and left where it is for
        // its maker, which alone knows whether it was merged, to take out: two computers taking the
        // same file out at once leave the sync tool stuck on it.
        if (base.isCopyMerged(copy.fingerprint.digest)) {
            (round.takeOutMerged.contains(name) ? out.mergedCopies : out.copiesLeft) << name;
            continue;
        }
        IncomingMerge merge = mergeIncoming(base, current, copy.payload, IncomingKind::ConflictedCopy, round.nowMsecs);
        const QString vaultSummary = merge.vault.summary();
        if (!vaultSummary.isEmpty() || !merge.preferences.summary().isEmpty())
            out.needsWrite = true;
        current = std::move(merge.merged);
        base = std::move(merge.base);
        base.noteCopyMerged(copy.fingerprint.digest);
        out.baseChanged = true;
        out.copiesLeft << name;
        addSummaries(out,
                     tr("Merged the conflicted copy %1 made by a sync program%2.")
                         .arg(name, vaultSummary.isEmpty() ? QString() : QStringLiteral(": ") + vaultSummary),
                     merge);
    }
    if (out.baseChanged)
        out.base = std::move(base);

    if (tookIn || !out.mergedCopies.isEmpty() || !out.damagedCopies.isEmpty() || out.baseChanged) {
        out.kind = RoundOutcome::Merged;
        out.plan = planChanges(round.ours, current);
        out.plan.stepName = tookIn ? tr("Merge from Another Computer") : tr("Merge of Conflicted Copies");
        // Merged copies leave the synced folder after the save that holds them.
        out.needsWrite = out.needsWrite || !out.mergedCopies.isEmpty();
        return;
    }
    if (!round.write)
        return;
    // 4 and 5. Encoded and written, unless the file changed since it was read.
    const StoreSaveResult saved =
        compareAndSwapWrite(*round.store, current, round.key, out.known.fingerprint, round.hooks);
    if (!saved.ok) {
        out.kind = saved.superseded ? RoundOutcome::Superseded : RoundOutcome::SaveFailed;
        out.message = saved.error;
        return;
    }
    out.kind = RoundOutcome::Saved;
    out.known = KnownFile{saved.written, round.key};
    // 6. What was written is what a file that follows it is merged against.
    base.noteOwnWrite(current, saved.written.digest, round.nowMsecs);
    out.base = std::move(base);
    out.baseChanged = true;
    // 7. Right after the store, the base: one step behind (a kill in between) only makes the next
    // merge add without deleting.
    if (round.keepBase) {
        keepBase(round, path, out.base);
        out.baseKept = true;
    }
}
