// The saver that keeps the store file in step with the open vault: saves in the background,
// waits for them at the close, retries failures, and merges what other computers put there.
#include "prefs/masterpassword.h"
#include "store/payload.h"
#include "store/protectedstore.h"
#include "store/settingsstore.h"
#include "support/readonlyfolder.h"
#include "support/testvault.h"
#include "sync/autosaver.h"
#include "sync/conflictcopies.h"
#include "sync/fileread.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTest>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <memory>
#include <thread>

using TestVault::makeEntry;

namespace {

using TestVault::readFile;

using TestVault::readPayload;

QStringList fileTitles(const QString& path)
{
    return TestVault::titlesAndPasswords(readPayload(path).entries);
}

// An entry whose password is its title, with a fixed id.
Entry entry(const QString& title, const QString& id, const QString& category = QStringLiteral("General"))
{
    Entry made = makeEntry(title, category, QString(), QString(), QString(), title);
    made.id = id;
    return made;
}

} // namespace

class TestAutoSaver : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<TestVault::Fixture> fixture;
    std::unique_ptr<AutoSaver> saver;

    QString storePath() const { return fixture->store.filePath(); }

    // A store with "General" and the entries A and D, loaded, and a saver started over it.
    void open(const WriteHooks& hooks = {})
    {
        QVERIFY(fixture->seed({QStringLiteral("General")}, {entry(QStringLiteral("A"), QStringLiteral("a")),
                                                            entry(QStringLiteral("D"), QStringLiteral("d"))}));
        start(hooks);
    }

    void start(const WriteHooks& hooks = {})
    {
        const StoreLoadResult loaded = fixture->store.load(fixture->state);
        QCOMPARE(loaded.outcome, StoreLoadResult::Loaded);
        saver = std::make_unique<AutoSaver>(fixture->state, fixture->store);
        saver->setSaveDelay(20);
        saver->setCheckDelay(20);
        saver->setRetryDelay(20);
        saver->setCopyMakerGrace(300);
        saver->setWriteHooks(hooks);
        saver->start(snapshotOf(fixture->state), loaded.fingerprint);
    }

    // What another computer's copy of the program would write: the store as it was, with X
    // added, A's password changed and D deleted; by a rename, as sync tools do, or in place.
    void writeAsAnotherComputer(bool inPlace)
    {
        Payload other = readPayload(storePath());
        EntryList entries;
        for (const Entry& entry : other.entries) {
            if (entry.id == QLatin1String("d"))
                continue;
            Entry copy = entry;
            if (copy.id == QLatin1String("a")) {
                copy.password = QStringLiteral("there");
                copy.dateChanged = QDateTime(QDate(2026, 1, 1), QTime(12, 0));
            }
            entries.append(copy);
        }
        entries.append(entry(QStringLiteral("X"), QStringLiteral("x")));
        const QByteArray bytes = sealStore(encodePayload(other.preferences, other.categories, entries));
        if (inPlace) {
            QFile file(storePath());
            QVERIFY(file.open(QIODevice::ReadWrite | QIODevice::Truncate));
            QCOMPARE(file.write(bytes), bytes.size());
        } else {
            QVERIFY(writeStoreFile(storePath(), bytes).ok);
        }
    }

private slots:
    void init() { fixture = std::make_unique<TestVault::Fixture>(); }

    void cleanup()
    {
        saver.reset();
        fixture.reset();
    }

    // Entries and preferences reach the file without a close.
    void changesReachTheDisk()
    {
        open();
        // Nothing the saver keeps shares the vault's list, so that an edit need not copy it whole:
        // not the state as loaded, once the first look at the folder made its own copy of it ...
        QTRY_VERIFY(fixture->state.vault.entries().toList().isDetached());
        QSignalSpy saved(saver.get(), &AutoSaver::saved);
        fixture->state.vault.addEntry(entry(QStringLiteral("B"), QStringLiteral("b")));
        QTRY_COMPARE(fileTitles(storePath()), (QStringList{"A/A", "B/B", "D/D"}));
        QTRY_VERIFY(!saver->hasUnsavedChanges());
        // ... nor what was written.
        QTRY_VERIFY(fixture->state.vault.entries().toList().isDetached());

        fixture->state.preferences.hidePassword = false;
        saved.clear();
        saver->noteChange();
        // The file is on the disk before the saver hears of it: wait for the save's report.
        QVERIFY(saved.wait());
        QVERIFY(!saver->hasUnsavedChanges());
        QVERIFY(!readPayload(storePath()).preferences.hidePassword);
        // Nothing more to write: the file is not written again on its own.
        QVERIFY(!saved.wait(100));
    }

    // The close waits for a save in flight, then writes what changed meanwhile.
    void flushWaitsForASaveInFlight()
    {
        std::atomic<bool> writing{false};
        std::atomic<int> writes{0};
        WriteHooks hooks;
        hooks.write = [&](qint64 offset, qint64&) {
            if (offset == 0 && writes++ == 0) {
                writing = true;
                std::this_thread::sleep_for(std::chrono::milliseconds(300));
            }
            return 0;
        };
        open(hooks);
        fixture->state.vault.addEntry(entry(QStringLiteral("B"), QStringLiteral("b")));
        QTRY_VERIFY(writing.load());
        fixture->state.vault.addEntry(entry(QStringLiteral("C"), QStringLiteral("c")));
        const StoreSaveResult result = saver->flush();
        QVERIFY2(result.ok, qPrintable(result.error));
        QCOMPARE(fileTitles(storePath()), (QStringList{"A/A", "B/B", "C/C", "D/D"}));
        QVERIFY(!saver->hasUnsavedChanges());
        QCOMPARE(writes.load(), 2);
    }

    // A failed save is reported once, the old file stays meanwhile, and a retry saves.
    void failedSaveIsRetried()
    {
        std::atomic<int> failuresLeft{3};
        WriteHooks hooks;
        hooks.write = [&](qint64, qint64&) { return failuresLeft > 0 ? (--failuresLeft, ENOSPC) : 0; };
        open(hooks);
        const QByteArray before = readFile(storePath());
        QSignalSpy failed(saver.get(), &AutoSaver::saveFailed);
        QSignalSpy recovered(saver.get(), &AutoSaver::saveRecovered);
        fixture->state.vault.addEntry(entry(QStringLiteral("B"), QStringLiteral("b")));
        QTRY_COMPARE(failed.count(), 1);
        QVERIFY(failed.at(0).at(0).toString().contains(QStringLiteral("No space left on device")));
        QCOMPARE(readFile(storePath()), before);
        QTRY_COMPARE_WITH_TIMEOUT(recovered.count(), 1, 5000);
        QCOMPARE(failed.count(), 1);
        QCOMPARE(fileTitles(storePath()), (QStringList{"A/A", "B/B", "D/D"}));
    }

    void externalChangeIsMerged_data()
    {
        QTest::addColumn<bool>("inPlace");
        QTest::addColumn<bool>("localChange");
        QTest::newRow("replaced by a rename, with a change here") << false << true;
        QTest::newRow("rewritten in place, nothing changed here") << true << false;
        QTest::newRow("replaced by a rename, nothing changed here") << false << false;
    }

    // The other computer's addition, change and deletion come into the open vault in place,
    // and the file keeps both sides' changes.
    void externalChangeIsMerged()
    {
        QFETCH(bool, inPlace);
        QFETCH(bool, localChange);
        open();
        QSignalSpy merged(saver.get(), &AutoSaver::merged);
        QSignalSpy reset(&fixture->state.vault, &Vault::vaultReset);
        QSignalSpy added(&fixture->state.vault, &Vault::entryAdded);
        writeAsAnotherComputer(inPlace);
        if (localChange) {
            fixture->state.vault.addEntry(entry(QStringLiteral("B"), QStringLiteral("b")));
        }
        QTRY_COMPARE(merged.count(), 1);
        QCOMPARE(merged.at(0).at(0).toString(),
                 QStringLiteral("Merged changes from another computer: 1 added, 1 changed, 1 deleted."));
        const QStringList expected = localChange ? QStringList{"A/there", "B/B", "X/X"} : QStringList{"A/there", "X/X"};
        QCOMPARE(TestVault::titlesAndPasswords(fixture->state.vault.entries()), expected);
        QCOMPARE(reset.count(), 0);
        QCOMPARE(added.count(), localChange ? 2 : 1);
        QTRY_COMPARE(fileTitles(storePath()), expected);
        QTRY_VERIFY(!saver->hasUnsavedChanges());
        QVERIFY(saver->flush().ok);
        QCOMPARE(fileTitles(storePath()), expected);
    }

    // The other computer's version was made without this one's last save (they were apart):
    // what was saved here is not undone by it, as a conflicted copy or as the file.
    void versionMadeWithoutOurSaveKeepsIt_data()
    {
        QTest::addColumn<bool>("asCopy");
        QTest::newRow("as the file") << false;
        QTest::newRow("as a conflicted copy") << true;
    }

    void versionMadeWithoutOurSaveKeepsIt()
    {
        QFETCH(bool, asCopy);
        open();
        const Payload loaded = readPayload(storePath());
        Entry a = *fixture->state.vault.entries().findById(QStringLiteral("a"));
        a.password = QStringLiteral("here");
        fixture->state.vault.saveEntry(a, a.category);
        QTRY_COMPARE(fileTitles(storePath()), (QStringList{"A/here", "D/D"}));
        QTRY_VERIFY(!saver->hasUnsavedChanges());

        // Made from the state as loaded: D deleted and X added there.
        EntryList entries;
        entries.append(*loaded.entries.findById(QStringLiteral("a")));
        entries.append(entry(QStringLiteral("X"), QStringLiteral("x")));
        const QByteArray other = sealStore(encodePayload(loaded.preferences, loaded.categories, entries));
        QSignalSpy merged(saver.get(), &AutoSaver::merged);
        const QString at = asCopy
                               ? fixture->path(QStringLiteral("settings2.sync-conflict-20261207-143012-ABCDEFG.vydat"))
                               : storePath();
        QVERIFY(writeStoreFile(at, other).ok);
        QTRY_COMPARE(merged.count(), 1);
        // What was saved here stays and X comes in; D, deleted there, stays until the computer that
        // deleted it writes the deletion again (a version that did not follow ours deletes nothing).
        QCOMPARE(TestVault::titlesAndPasswords(fixture->state.vault.entries()), (QStringList{"A/here", "D/D", "X/X"}));
        QTRY_COMPARE(fileTitles(storePath()), (QStringList{"A/here", "D/D", "X/X"}));
    }

    // A change found only when saving (no folder event came) is merged, not overwritten.
    void changeFoundAtTheCloseIsMerged()
    {
        open();
        saver->setCheckDelay(60000);
        saver->setSaveDelay(60000);
        writeAsAnotherComputer(false);
        fixture->state.vault.addEntry(entry(QStringLiteral("B"), QStringLiteral("b")));
        QVERIFY(saver->flush().ok);
        QCOMPARE(fileTitles(storePath()), (QStringList{"A/there", "B/B", "X/X"}));
    }

    void damagedFileIsLeftAlone_data()
    {
        QTest::addColumn<bool>("localChange");
        QTest::newRow("with a change here") << true;
        QTest::newRow("nothing changed here") << false;
    }

    // A file that does not read as a store is neither merged nor overwritten; the user hears of
    // it once it persists, and the close keeps it aside and saves the vault in its place.
    void damagedFileIsLeftAlone()
    {
        QFETCH(bool, localChange);
        open();
        QSignalSpy problem(saver.get(), &AutoSaver::problem);
        QSignalSpy merged(saver.get(), &AutoSaver::merged);
        const QByteArray damaged = readFile(storePath()).left(40);
        QVERIFY(writeStoreFile(storePath(), damaged).ok);
        if (localChange)
            fixture->state.vault.addEntry(entry(QStringLiteral("B"), QStringLiteral("b")));
        const QStringList expected = localChange ? QStringList{"A/A", "B/B", "D/D"} : QStringList{"A/A", "D/D"};
        QTRY_COMPARE_WITH_TIMEOUT(problem.count(), 1, 5000);
        QCOMPARE(readFile(storePath()), damaged);
        QCOMPARE(merged.count(), 0);
        QCOMPARE(TestVault::titlesAndPasswords(fixture->state.vault.entries()), expected);

        QVERIFY(saver->flush().ok);
        QCOMPARE(fileTitles(storePath()), expected);
        const QStringList aside =
            QDir(fixture->dir.path()).entryList({QStringLiteral("settings2.vydat.unreadable-*")}, QDir::Files);
        QCOMPARE(aside.size(), 1);
        QCOMPARE(readFile(fixture->path(aside.first())), damaged);
    }

    void conflictedCopyIsMergedOnce_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("Syncthing") << QStringLiteral("settings2.sync-conflict-20261207-143012-ABCDEFG.vydat");
        QTest::newRow("Nextcloud") << QStringLiteral("settings2 (conflicted copy 2026-12-07 143012).vydat");
        QTest::newRow("Dropbox") << QStringLiteral("settings2 (Ann's conflicted copy 2026-12-07).vydat");
    }

    // Merged at start and saved; made on another computer, it is left for its maker to take out,
    // then after a while moved out of the synced folder into this computer's folder of merged
    // copies; the same copy again changes nothing.
    void conflictedCopyIsMergedOnce()
    {
        QFETCH(QString, name);
        QDir(mergedCopiesFolder()).removeRecursively(); // what earlier tests merged
        QVERIFY(fixture->seed({QStringLiteral("General")}, {entry(QStringLiteral("A"), QStringLiteral("a"))}));
        const QByteArray copy = sealStore(encodePayload(
            Preferences(), {QStringLiteral("General"), QStringLiteral("Work")},
            TestVault::entryList({entry(QStringLiteral("A"), QStringLiteral("a")),
                                  entry(QStringLiteral("W"), QStringLiteral("w"), QStringLiteral("Work"))})));
        QVERIFY(writeStoreFile(fixture->path(name), copy).ok);
        start();
        QSignalSpy merged(saver.get(), &AutoSaver::merged);
        const QString kept = mergedCopiesFolder() + QLatin1Char('/') + name;
        QTRY_COMPARE(fileTitles(storePath()), (QStringList{"A/A", "W/W"}));
        QVERIFY(QFile::exists(fixture->path(name)));
        QTRY_VERIFY(QFile::exists(kept));
        QVERIFY(!QFile::exists(fixture->path(name)));
        QCOMPARE(QDir(fixture->dir.path()).entryList({QStringLiteral("*merged*")}), QStringList());
        QCOMPARE(QFile::permissions(kept) & (QFile::ReadGroup | QFile::ReadOther), QFileDevice::Permissions());
        QCOMPARE(readFile(kept), copy);
        QCOMPARE(fileTitles(storePath()), (QStringList{"A/A", "W/W"}));
        QCOMPARE(readPayload(storePath()).categories, (QStringList{"General", "Work"}));
        QCOMPARE(merged.count(), 1);
        QVERIFY(merged.at(0).at(0).toString().contains(name));

        QVERIFY(QFile::copy(kept, fixture->path(name)));
        saver->checkNow();
        QTRY_VERIFY(!QFile::exists(fixture->path(name)));
        QCOMPARE(TestVault::titlesAndPasswords(fixture->state.vault.entries()), (QStringList{"A/A", "W/W"}));
        QCOMPARE(readPayload(storePath()).categories, (QStringList{"General", "Work"}));
        QCOMPARE(QDir(mergedCopiesFolder()).entryList(QDir::Files).size(), 2);
        QVERIFY(QDir(mergedCopiesFolder()).removeRecursively());
    }

    // A store protected under the master password stays so: turning protection on is written at
    // the next flush with nothing else changed, and another computer's protected version (the
    // same key) is merged like any other.
    void protectedStoreStaysProtectedAndMerges()
    {
        open();
        fixture->store.setKdfCalibration([] { return kLowestKdfLimits; });
        QVERIFY(fixture->store.protect(QStringLiteral("master")));
        QVERIFY(saver->flush().ok);
        QVERIFY(isProtectedStore(readFile(storePath())));

        const std::shared_ptr<const ProtectionKey> key = fixture->store.sessionKey();
        Payload other = readPayload(storePath()); // not readable unprotected: built anew
        other.preferences.firstRun = false;
        other.categories = QStringList{QStringLiteral("General")};
        other.entries = TestVault::entryList({entry(QStringLiteral("A"), QStringLiteral("a")),
                                              entry(QStringLiteral("D"), QStringLiteral("d")),
                                              entry(QStringLiteral("X"), QStringLiteral("x"))});
        QSignalSpy merged(saver.get(), &AutoSaver::merged);
        QVERIFY(writeStoreFile(storePath(), encodeProtectedStore(encodePayload(other), *key)).ok);
        QTRY_COMPARE(merged.count(), 1);
        QCOMPARE(TestVault::titlesAndPasswords(fixture->state.vault.entries()), (QStringList{"A/A", "D/D", "X/X"}));

        fixture->state.vault.addEntry(entry(QStringLiteral("B"), QStringLiteral("b")));
        QVERIFY(saver->flush().ok);
        const QByteArray file = readFile(storePath());
        QByteArray plain;
        QCOMPARE(decodeProtectedStore(file, *key, plain), ProtectedOutcome::Opened);
        Payload saved;
        QVERIFY(decodePayload(plain, saved));
        QCOMPARE(TestVault::titlesAndPasswords(saved.entries), (QStringList{"A/A", "B/B", "D/D", "X/X"}));

        // Turned off and on again over there: a new salt, the same master password.
        const std::unique_ptr<ProtectionKey> resalted =
            ProtectionKey::create(QStringLiteral("master"), kLowestKdfLimits);
        QVERIFY(resalted && resalted->salt() != key->salt());
        saved.entries.append(entry(QStringLiteral("Y"), QStringLiteral("y")));
        QVERIFY(writeStoreFile(storePath(), encodeProtectedStore(encodePayload(saved), *resalted)).ok);
        QTRY_COMPARE(merged.count(), 2);
        QStringList now = TestVault::titlesAndPasswords(fixture->state.vault.entries());
        now.sort();
        QCOMPARE(now, (QStringList{"A/A", "B/B", "D/D", "X/X", "Y/Y"}));
    }

    // Locking lets the vault go and unlocking reads it back; neither is news from elsewhere, so the
    // merge base stays: another computer's version made before this one's save keeps that save.
    void lockAndUnlockKeepTheMergeBase()
    {
        open();
        const Payload before = readPayload(storePath());
        fixture->state.vault.addEntry(entry(QStringLiteral("B"), QStringLiteral("b")));
        QVERIFY(saver->flush().ok);
        fixture->store.setVaultReleased(true);
        fixture->state.vault.reset({}, EntryList());
        fixture->store.setVaultReleased(false);
        Payload reread = readPayload(storePath());
        fixture->state.vault.reset(reread.categories, std::move(reread.entries));

        EntryList theirs = before.entries;
        theirs.append(entry(QStringLiteral("X"), QStringLiteral("x")));
        QSignalSpy merged(saver.get(), &AutoSaver::merged);
        QVERIFY(
            writeStoreFile(storePath(), sealStore(encodePayload(before.preferences, before.categories, theirs))).ok);
        QTRY_COMPARE(merged.count(), 1);
        QCOMPARE(TestVault::titlesAndPasswords(fixture->state.vault.entries()),
                 (QStringList{"A/A", "B/B", "D/D", "X/X"}));
        QVERIFY(saver->flush().ok);
        QCOMPARE(fileTitles(storePath()), (QStringList{"A/A", "B/B", "D/D", "X/X"}));
    }

    // The merge base outlives the program: after a restart, a conflicted copy that still holds an
    // entry deleted here does not bring it back.
    void restartKeepsTheMergeBase()
    {
        open();
        const QByteArray before = readFile(storePath());
        QVERIFY(fixture->state.vault.removeEntry(QStringLiteral("d")));
        QVERIFY(saver->flush().ok);
        saver.reset();
        const QString copy = fixture->path(QStringLiteral("settings2.sync-conflict-20261207-143012-ABCDEFG.vydat"));
        QVERIFY(writeStoreFile(copy, before).ok);
        start();
        QTRY_VERIFY(!QFile::exists(copy));
        QVERIFY(saver->flush().ok);
        QCOMPARE(TestVault::titlesAndPasswords(fixture->state.vault.entries()), QStringList{"A/A"});
        QCOMPARE(fileTitles(storePath()), QStringList{"A/A"});
    }

    // A version put in place while a save is being written is not replaced unseen: the save
    // stops short of the rename, the version is merged, and then written.
    void versionArrivingDuringASaveIsMergedFirst()
    {
        QVERIFY(fixture->seed({QStringLiteral("General")}, {entry(QStringLiteral("A"), QStringLiteral("a")),
                                                            entry(QStringLiteral("D"), QStringLiteral("d"))}));
        const Payload seeded = readPayload(storePath());
        EntryList theirs = seeded.entries;
        theirs.append(entry(QStringLiteral("X"), QStringLiteral("x")));
        const QByteArray other = sealStore(encodePayload(seeded.preferences, seeded.categories, theirs));
        std::atomic<bool> arrived{false};
        WriteHooks hooks;
        hooks.sync = [this, &other, &arrived] {
            if (!arrived.exchange(true))
                writeStoreFile(storePath(), other);
            return 0;
        };
        start(hooks);
        fixture->state.vault.addEntry(entry(QStringLiteral("B"), QStringLiteral("b")));
        QTRY_VERIFY(arrived.load());
        QTRY_COMPARE(fileTitles(storePath()), (QStringList{"A/A", "B/B", "D/D", "X/X"}));
        QVERIFY(saver->flush().ok);
        QCOMPARE(fileTitles(storePath()), (QStringList{"A/A", "B/B", "D/D", "X/X"}));
    }

    // A file that does not hold this vault is replaced only once a copy of it is kept: where no
    // copy can be made (a folder that cannot be written, the file in it writable) it stays.
    void fileThatCannotBeKeptIsNotReplaced()
    {
        QVERIFY(fixture->seed({QStringLiteral("General")}, {entry(QStringLiteral("A"), QStringLiteral("a"))}));
        ReadOnlyFolder folder(fixture->dir.path(), true);
        if (!folder.valid)
            QSKIP("cannot make a read-only folder here");
        SettingsStore store(folder.path);
        StoreState state;
        const StoreLoadResult loaded = store.load(state);
        QCOMPARE(loaded.outcome, StoreLoadResult::Loaded);
        AutoSaver inPlace(state, store);
        inPlace.setSaveDelay(20);
        inPlace.setCheckDelay(20);
        inPlace.start(snapshotOf(state), loaded.fingerprint);
        const QByteArray junk(300, 'j');
        {
            QFile file(store.filePath());
            QVERIFY(file.open(QIODevice::ReadWrite | QIODevice::Truncate));
            QCOMPARE(file.write(junk), junk.size());
        }
        state.vault.addEntry(entry(QStringLiteral("B"), QStringLiteral("b")));
        const StoreSaveResult closed = inPlace.flush();
        QVERIFY(!closed.ok);
        QVERIFY(closed.error.contains(QDir::toNativeSeparators(store.filePath())));
        QCOMPARE(readFile(store.filePath()), junk);
    }

    // A store that is a link into a synced folder stays a link: conflicted copies are found beside
    // its target, a file that does not read as a vault is copied aside there, and saves write
    // through to the target.
    void storeThatIsALinkStaysOne()
    {
        QVERIFY(fixture->seed({QStringLiteral("General")}, {entry(QStringLiteral("A"), QStringLiteral("a"))}));
        QTemporaryDir synced;
        const QString target = synced.filePath(QStringLiteral("settings2.vydat"));
        QVERIFY(QFile::rename(storePath(), target));
        QVERIFY(QFile::link(target, storePath()));
        const QString copy = synced.filePath(QStringLiteral("settings2.sync-conflict-20261207-143012-ABCDEFG.vydat"));
        QVERIFY(writeStoreFile(copy, sealStore(encodePayload(
                                         Preferences(), {QStringLiteral("General")},
                                         TestVault::entryList({entry(QStringLiteral("A"), QStringLiteral("a")),
                                                               entry(QStringLiteral("W"), QStringLiteral("w"))}))))
                    .ok);
        start();
        QTRY_VERIFY(!QFile::exists(copy));
        QCOMPARE(TestVault::titlesAndPasswords(fixture->state.vault.entries()), (QStringList{"A/A", "W/W"}));

        const QByteArray junk(300, 'j');
        QVERIFY(writeStoreFile(target, junk).ok);
        fixture->state.vault.addEntry(entry(QStringLiteral("B"), QStringLiteral("b")));
        QVERIFY(saver->flush().ok);
        QVERIFY(QFileInfo(storePath()).isSymLink());
        QCOMPARE(fileTitles(target), (QStringList{"A/A", "B/B", "W/W"}));
        const QStringList aside = QDir(synced.path()).entryList({QStringLiteral("settings2.vydat.unreadable-*")});
        QCOMPARE(aside.size(), 1);
        QCOMPARE(readFile(synced.filePath(aside.first())), junk);
    }

    void versionThatWaitsForTheUser_data()
    {
        QTest::addColumn<bool>("protectedVault");
        QTest::addColumn<bool>("take");
        QTest::newRow("another vault, ours kept") << false << false;
        QTest::newRow("another vault, taken in") << false << true;
        QTest::newRow("unprotected over protected, ours kept") << true << false;
        QTest::newRow("unprotected over protected, taken in") << true << true;
    }

    // Versions that are not merged without the user's word: another vault (no entry in common),
    // and, over a protected vault, a file in the ordinary form, which anyone could have made. Until
    // the answer nothing is taken in or written; No keeps this vault and the file aside; Yes merges
    // without deleting, and never takes a master password from an unprotected file.
    void versionThatWaitsForTheUser()
    {
        QFETCH(bool, protectedVault);
        QFETCH(bool, take);
        open();
        if (protectedVault) {
            fixture->store.setKdfCalibration([] { return kLowestKdfLimits; });
            QVERIFY(fixture->store.protect(QStringLiteral("master")));
            QVERIFY(saver->flush().ok);
        }
        const QString ourHash = fixture->state.preferences.masterPasswordHash;
        Payload theirs;
        theirs.preferences.masterPasswordHash = QStringLiteral("forged");
        theirs.categories = QStringList{QStringLiteral("General")};
        theirs.entries =
            TestVault::entryList(protectedVault ? QList<Entry>{entry(QStringLiteral("A"), QStringLiteral("a")),
                                                               entry(QStringLiteral("Z"), QStringLiteral("z"))}
                                                : QList<Entry>{entry(QStringLiteral("Z"), QStringLiteral("z"))});
        const QByteArray bytes = sealStore(encodePayload(theirs));
        QSignalSpy asked(saver.get(), &AutoSaver::takeInQuestion);
        QVERIFY(writeStoreFile(storePath(), bytes).ok);
        QTRY_COMPARE(asked.count(), 1);
        fixture->state.vault.addEntry(entry(QStringLiteral("B"), QStringLiteral("b")));
        QTest::qWait(100);
        QCOMPARE(readFile(storePath()), bytes);
        QCOMPARE(TestVault::titlesAndPasswords(fixture->state.vault.entries()), (QStringList{"A/A", "B/B", "D/D"}));

        saver->answerTakeIn(take);
        const QStringList expected = take ? QStringList{"A/A", "B/B", "D/D", "Z/Z"} : QStringList{"A/A", "B/B", "D/D"};
        QTRY_COMPARE(TestVault::titlesAndPasswords(fixture->state.vault.entries()), expected);
        QVERIFY(saver->flush().ok);
        QCOMPARE(asked.count(), 1);
        QCOMPARE(fixture->state.preferences.masterPasswordHash, ourHash);
        const QByteArray file = readFile(storePath());
        QCOMPARE(isProtectedStore(file), protectedVault);
        if (!protectedVault)
            QCOMPARE(fileTitles(storePath()), expected);
        const QStringList aside =
            QDir(fixture->dir.path()).entryList({QStringLiteral("settings2.vydat.unreadable-*")}, QDir::Files);
        QCOMPARE(aside.size(), take ? 0 : 1);
        if (!take)
            QCOMPARE(readFile(fixture->path(aside.first())), bytes);
    }

    // A file under another salt is derived for once, however often it is looked at; a header never
    // seen is not derived for where derivation is not allowed (the GUI thread at the close).
    void keyDerivedOncePerHeader()
    {
        const std::unique_ptr<ProtectionKey> session =
            ProtectionKey::create(QStringLiteral("master"), kLowestKdfLimits);
        const std::unique_ptr<ProtectionKey> resalted =
            ProtectionKey::create(QStringLiteral("master"), kLowestKdfLimits);
        const std::unique_ptr<ProtectionKey> otherPassword =
            ProtectionKey::create(QStringLiteral("other"), kLowestKdfLimits);
        const QByteArray payload = encodePayload(Payload());
        const QString path = fixture->path(QStringLiteral("settings2.vydat"));
        DerivedKeys keys;
        QVERIFY(writeStoreFile(path, encodeProtectedStore(payload, *otherPassword)).ok);
        QCOMPARE(readStoreFile(path, session.get(), &keys, false).needsPassword, true);
        QCOMPARE(keys.derivationCount(), 0);
        for (int look = 0; look < 3; ++look)
            QCOMPARE(readStoreFile(path, session.get(), &keys).needsPassword, true);
        QCOMPARE(keys.derivationCount(), 1);
        QVERIFY(writeStoreFile(path, encodeProtectedStore(payload, *resalted)).ok);
        for (int look = 0; look < 3; ++look)
            QCOMPARE(readStoreFile(path, session.get(), &keys).status, StoreFileRead::Read);
        QCOMPARE(keys.derivationCount(), 2);
    }

    // Turning protection on leaves no readable copy this program made: a merged copy is encrypted
    // like the vault, a copy that does not read as a vault is deleted, and the user is told.
    void protectionTakesInTheReadableCopies()
    {
        open();
        QDir(mergedCopiesFolder()).removeRecursively();
        QVERIFY(QDir().mkpath(mergedCopiesFolder()));
        const QString merged =
            mergedCopiesFolder() + QStringLiteral("/settings2.sync-conflict-20261207-143012-A.vydat");
        QVERIFY(writeStoreFile(merged, readFile(storePath())).ok);
        const QString unreadable = storePath() + QStringLiteral(".unreadable-20261207-143012");
        QVERIFY(writeStoreFile(unreadable, QByteArray(300, 'j')).ok);
        QSignalSpy notice(saver.get(), &AutoSaver::notice);
        fixture->store.setKdfCalibration([] { return kLowestKdfLimits; });
        QVERIFY(fixture->store.protect(QStringLiteral("master")));
        QVERIFY(saver->flush().ok);
        QCOMPARE(notice.count(), 1);
        QVERIFY(!QFile::exists(unreadable));
        QByteArray plain;
        QCOMPARE(decodeProtectedStore(readFile(merged), *fixture->store.sessionKey(), plain), ProtectedOutcome::Opened);
        Payload copy;
        QVERIFY(decodePayload(plain, copy));
        QCOMPARE(TestVault::titlesAndPasswords(copy.entries), (QStringList{"A/A", "D/D"}));
        QDir(mergedCopiesFolder()).removeRecursively();
    }

    void newMasterPasswordOnOneSide_data()
    {
        QTest::addColumn<bool>("changedHere");
        QTest::newRow("changed here, the other side's file under the old one") << true;
        QTest::newRow("changed on the other side") << false;
    }

    // A new master password on one side while the other edits: whichever password the merged vault
    // holds the hash of, the file is written under that password's key.
    void newMasterPasswordOnOneSide()
    {
        QFETCH(bool, changedHere);
        const QString oldPassword = QStringLiteral("old"), newPassword = QStringLiteral("new");
        fixture->state.preferences.masterPasswordHash = hashMasterPassword(oldPassword);
        open();
        fixture->store.setKdfCalibration([] { return kLowestKdfLimits; });
        QVERIFY(fixture->store.protect(oldPassword));
        QVERIFY(saver->flush().ok);
        if (changedHere) {
            fixture->state.preferences.masterPasswordHash = hashMasterPassword(newPassword);
            QVERIFY(fixture->store.changeProtectionPassword(newPassword));
            saver->noteChange();
            QVERIFY(saver->flush().ok);
        }
        Payload theirs;
        theirs.preferences = fixture->state.preferences;
        theirs.preferences.masterPasswordHash = hashMasterPassword(changedHere ? oldPassword : newPassword);
        theirs.categories = QStringList{QStringLiteral("General")};
        theirs.entries = TestVault::entryList({entry(QStringLiteral("A"), QStringLiteral("a")),
                                               entry(QStringLiteral("D"), QStringLiteral("d")),
                                               entry(QStringLiteral("X"), QStringLiteral("x"))});
        const std::unique_ptr<ProtectionKey> theirKey =
            ProtectionKey::create(changedHere ? oldPassword : newPassword, kLowestKdfLimits);
        QSignalSpy asked(saver.get(), &AutoSaver::masterPasswordNeeded);
        QVERIFY(writeStoreFile(storePath(), encodeProtectedStore(encodePayload(theirs), *theirKey)).ok);
        QTRY_COMPARE(asked.count(), 1);
        QVERIFY(fixture->store.adoptFileProtection(changedHere ? oldPassword : newPassword));
        saver->checkNow();
        QTRY_COMPARE(TestVault::titlesAndPasswords(fixture->state.vault.entries()), (QStringList{"A/A", "D/D", "X/X"}));
        fixture->state.vault.addEntry(entry(QStringLiteral("B"), QStringLiteral("b")));
        QVERIFY(saver->flush().ok);
        QByteArray plain;
        QCOMPARE(openProtectedStore(readFile(storePath()), newPassword, plain), ProtectedOutcome::Opened);
        Payload saved;
        QVERIFY(decodePayload(plain, saved));
        QCOMPARE(saved.preferences.masterPasswordHash, hashMasterPassword(newPassword));
        QCOMPARE(TestVault::titlesAndPasswords(saved.entries), (QStringList{"A/A", "B/B", "D/D", "X/X"}));
    }

    // A read-only vault takes changes in but never writes.
    void readOnlyVaultNeverSaves()
    {
        open();
        saver->setReadOnly(true);
        QSignalSpy merged(saver.get(), &AutoSaver::merged);
        fixture->state.vault.addEntry(entry(QStringLiteral("B"), QStringLiteral("b")));
        writeAsAnotherComputer(false);
        const QByteArray theirs = readFile(storePath());
        QTRY_COMPARE(merged.count(), 1);
        QVERIFY(saver->flush().ok);
        QCOMPARE(readFile(storePath()), theirs);
        QCOMPARE(TestVault::titlesAndPasswords(fixture->state.vault.entries()), (QStringList{"A/there", "B/B", "X/X"}));
    }
};

QTEST_GUILESS_MAIN(TestAutoSaver)
#include "tst_autosaver.moc"
