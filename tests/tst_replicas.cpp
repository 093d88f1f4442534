// Three computers sharing a vault through a simulated sync tool, with the merge and merge base as
// the saver uses them (sync/mergebase.h): random edits, offline periods, restarts, kills, conflicted
// copies and clocks up to 15 minutes apart. Checks that nothing typed is lost, deletions hold,
// copies come only from real clashes, and that all computers end with the same bytes and stop writing.

#include "support/testvault.h"
#include "sync/mergebase.h"

#include <QCryptographicHash>
#include <QRandomGenerator>
#include <QSet>
#include <QTest>

#include <algorithm>

namespace {

using TextField = QString Entry::*;
const TextField kValueFields[] = {&Entry::title, &Entry::url, &Entry::account, &Entry::password, &Entry::notes};
const QStringList kCategories = {"General", "Work", "Home", "Bank"};
constexpr qint64 kStart = 1'800'000'000'000;

QByteArray digestOf(const QByteArray& bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256);
}

// A file version as the sync tool knows it: its bytes and every version it has seen.
struct Version
{
    QByteArray bytes;
    QSet<int> seen;
};

// A value typed into a field: what must survive unless someone who saw it replaced or deleted it.
struct Typed
{
    QString entryId;
    int field; // index into kValueFields, or -1 for the category
    int replica;
    QSet<QString> replacedBy; // typed values that replaced it where it was seen
    bool deleted = false;     // deleted where it was seen
    bool published = false;   // written by its computer (a kill before that loses it rightly)
};

struct Replica
{
    Payload vault;
    MergeBase base;
    QByteArray savedBase;
    QByteArray lastKnown; // digest of the file as last written or taken in
    int file = -1;        // the version in this computer's folder
    QSet<int> copies;     // conflicted copies in the folder
    bool online = true;
    bool running = true;
    bool dirty = false;
    qint64 skew = 0;
    QList<std::function<void()>> unsaved; // what becomes known to the others once written
};

class Simulation
{
public:
    explicit Simulation(quint32 seed) : random(seed)
    {
        Payload start;
        start.categories = {"General", "Work"};
        versions.append({encodePayload(start), {0}});
        for (int r = 0; r < 3; ++r) {
            Replica& replica = replicas[r];
            replica.file = 0;
            replica.skew = random.bounded(-15 * 60, 15 * 60 + 1) * 1000;
            startProgram(r);
        }
    }

    QString run(int steps)
    {
        for (int step = 0; step < steps && fault.isEmpty(); ++step) {
            now += random.bounded(1, 4000);
            const int r = random.bounded(3);
            const int what = random.bounded(20);
            if (what < 8) {
                if (replicas[r].running)
                    edit(r);
            } else if (what < 12) {
                saveRound(r);
            } else if (what < 16) {
                exchange(random.bounded(3), random.bounded(3));
            } else if (what < 18) {
                replicas[r].online = !replicas[r].online;
            } else if (what == 18) {
                kill(r); // what was not written is gone
            } else {
                replicas[r].running = false; // closed after a save
                saveRound(r);
                kill(r);
            }
        }
        if (!fault.isEmpty())
            return fault;
        // Everything online and exchanged until nothing more is written.
        for (Replica& replica : replicas)
            replica.online = true;
        for (int r = 0; r < 3; ++r) {
            if (!replicas[r].running)
                startProgram(r);
        }
        int quiet = 0;
        for (int pass = 0; pass < 40 && quiet < 2 && fault.isEmpty(); ++pass) {
            writes = 0;
            for (int r = 0; r < 3; ++r)
                saveRound(r);
            for (int i = 0; i < 3; ++i)
                for (int j = i + 1; j < 3; ++j)
                    exchange(i, j);
            for (int r = 0; r < 3; ++r)
                saveRound(r);
            quiet = writes == 0 && allCopiesGone() ? quiet + 1 : 0;
        }
        if (!fault.isEmpty())
            return fault;
        if (quiet < 2)
            return QStringLiteral("writes never stop");
        for (int r = 1; r < 3; ++r) {
            if (versions[replicas[r].file].bytes != versions[replicas[0].file].bytes)
                return QStringLiteral("folders differ");
            if (TestVault::describe(sorted(replicas[r].vault.entries)) !=
                TestVault::describe(sorted(replicas[0].vault.entries))) {
                if (qEnvironmentVariableIsSet("VAULTRY_DUMP"))
                    qWarning().noquote() << TestVault::describe(sorted(replicas[r].vault.entries)).join("\n")
                                         << "\n---\n"
                                         << TestVault::describe(sorted(replicas[0].vault.entries)).join("\n")
                                         << "\n---file\n"
                                         << TestVault::describe(sorted(decoded(replicas[0].file).entries)).join("\n");
                return QStringLiteral("open vaults differ");
            }
        }
        return check(replicas[0].vault);
    }

private:
    // VAULTRY_TRACE=1 tells every step, for a case run alone.
    void trace(const QString& line) const
    {
        if (tracing)
            qWarning().noquote() << now << line;
    }

    qint64 clock(int r) const { return kStart + now + replicas[r].skew; }

    static EntryList sorted(const EntryList& list)
    {
        QList<Entry> entries = list.toList();
        std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) { return a.id < b.id; });
        return TestVault::entryList(entries);
    }

    QString newValue(const QString& entryId, int field, int r)
    {
        const QString value = QStringLiteral("v%1").arg(typed.size());
        typed.insert(value, {entryId, field, r, {}, false, false});
        replicas[r].unsaved << [this, value]() { typed[value].published = true; };
        return value;
    }

    // The values of `entry` as this computer holds them, replaced or deleted once written.
    void supersede(int r, const Entry& entry, const QString& by, int onlyField)
    {
        for (int f = 0; f < int(std::size(kValueFields)); ++f) {
            if (onlyField >= 0 && f != onlyField)
                continue;
            const QString old = entry.*kValueFields[f];
            replicas[r].unsaved << [this, old, by]() {
                auto it = typed.find(old);
                if (it == typed.end())
                    return;
                if (by.isEmpty())
                    it->deleted = true;
                else
                    it->replacedBy.insert(by);
            };
        }
    }

    void edit(int r)
    {
        Replica& replica = replicas[r];
        Payload& vault = replica.vault;
        QList<Entry> entries = vault.entries.toList();
        const int kind = random.bounded(10);
        const qsizetype i = entries.isEmpty() ? -1 : random.bounded(int(entries.size()));
        const EntryTime stamp(QDateTime::fromMSecsSinceEpoch(clock(r), Qt::UTC));
        if (kind < 5 && i >= 0) {
            Entry& entry = entries[i];
            const int field = random.bounded(6);
            if (field == 5) {
                entry.category = vault.categories.at(random.bounded(int(vault.categories.size())));
                const QString id = entry.id;
                replica.unsaved << [this, id, r]() { moves[id].insert(r); };
            } else {
                const QString value = newValue(entry.id, field, r);
                supersede(r, entry, value, field);
                trace(QStringLiteral("r%1 types %2 into field %3 of %4 (was %5)")
                          .arg(r)
                          .arg(value)
                          .arg(field)
                          .arg(entry.id, entry.*kValueFields[field]));
                entry.*kValueFields[field] = value;
            }
            entry.dateChanged = stamp;
        } else if (kind < 8) {
            Entry entry(Entry::NoId);
            entry.id = QStringLiteral("r%1n%2").arg(r).arg(typed.size());
            for (int f = 0; f < int(std::size(kValueFields)); ++f)
                entry.*kValueFields[f] = newValue(entry.id, f, r);
            entry.category = vault.categories.first();
            entry.dateCreated = entry.dateChanged = stamp;
            entries.append(entry);
            trace(QStringLiteral("r%1 adds %2").arg(r).arg(entry.id));
        } else if (kind == 8 && i >= 0) {
            trace(QStringLiteral("r%1 deletes %2").arg(r).arg(entries[i].id));
            supersede(r, entries[i], QString(), -1);
            entries.removeAt(i);
        } else {
            const QString name = kCategories.at(random.bounded(int(kCategories.size())));
            if (!vault.categories.contains(name)) {
                vault.categories.append(name);
            } else if (name != QLatin1String("General")) {
                vault.categories.removeAll(name);
                for (const Entry& entry : entries) {
                    if (entry.category == name)
                        supersede(r, entry, QString(), -1);
                }
                entries.removeIf([&](const Entry& e) { return e.category == name; });
                trace(QStringLiteral("r%1 deletes category %2").arg(r).arg(name));
            }
        }
        vault.entries = TestVault::entryList(entries);
        replica.dirty = true;
    }

    void persistBase(int r) { replicas[r].savedBase = replicas[r].base.encode(); }

    void takeIn(int r, const IncomingMerge& merge, bool& needsWrite)
    {
        trace(QStringLiteral("  r%1 merge: %2 | conflicts %3 | kept %4")
                  .arg(r)
                  .arg(merge.vault.summary())
                  .arg(merge.vault.conflicts.size())
                  .arg(merge.vault.keptEntryIds.join(",")));
        if (tracing)
            for (const Entry& e : replicas[r].vault.entries)
                if (e.id == qgetenv("VAULTRY_ENTRY"))
                    trace("  ours " + TestVault::describe(e));
        Replica& replica = replicas[r];
        replica.vault = merge.merged;
        replica.base = merge.base;
        needsWrite = needsWrite || merge.theirsOutdated;
    }

    // A copy not yet merged here: the version before the store file may have lost to it.
    bool hasCopyBeside(int r) const
    {
        for (int c : replicas[r].copies) {
            const QByteArray digest = digestOf(versions[c].bytes);
            if (replicas[r].base.isOwnWrite(digest) || !replicas[r].base.isCopyMerged(digest))
                return true;
        }
        return false;
    }

    Payload decoded(int version) const
    {
        Payload payload;
        if (!decodePayload(versions[version].bytes, payload))
            qFatal("a version does not decode");
        return payload;
    }

    // The saver's round: take in the store file and the copies, then write if needed.
    void saveRound(int r)
    {
        Replica& replica = replicas[r];
        if (!replica.running)
            return;
        bool needsWrite = replica.dirty;
        const QByteArray fileDigest = digestOf(versions[replica.file].bytes);
        if (!replica.base.isLastKnownFile(fileDigest)) {
            const IncomingKind kind = hasCopyBeside(r) ? IncomingKind::StoreFileBesideOwnCopy : IncomingKind::StoreFile;
            trace(QStringLiteral("r%1 takes in file %2 as %3").arg(r).arg(replica.file).arg(int(kind)));
            takeIn(r, mergeIncoming(replica.base, replica.vault, decoded(replica.file), kind, clock(r)), needsWrite);
            replica.base.noteTakenIn(fileDigest);
        }
        replica.lastKnown = fileDigest;
        QList<int> own;
        // Copies in any order the seed gives.
        QList<int> copies(replica.copies.begin(), replica.copies.end());
        std::sort(copies.begin(), copies.end());
        std::shuffle(copies.begin(), copies.end(), random);
        for (int c : copies) {
            const QByteArray digest = digestOf(versions[c].bytes);
            if (replica.base.isOwnWrite(digest)) {
                own << c;
            } else if (!replica.base.isCopyMerged(digest)) {
                trace(QStringLiteral("r%1 merges copy %2").arg(r).arg(c));
                takeIn(r,
                       mergeIncoming(replica.base, replica.vault, decoded(c), IncomingKind::ConflictedCopy, clock(r)),
                       needsWrite);
                replica.base.noteCopyMerged(digest);
            }
        }
        // Taken out of the synced folder by its maker (the step is atomic here: the write below follows).
        for (int c : own) {
            replica.copies.remove(c);
            removedCopies.insert(c);
        }
        // What was taken in is kept as known only with the merge on disk: killed before the write,
        // the program takes the file in again at its next start.
        if (!needsWrite) {
            persistBase(r);
            return;
        }
        const QByteArray bytes = encodePayload(replica.vault);
        if (bytes == versions[replica.file].bytes) {
            replica.dirty = false;
            persistBase(r);
            return;
        }
        Version written{bytes, versions[replica.file].seen};
        written.seen.insert(int(versions.size()));
        replica.file = int(versions.size());
        versions.append(written);
        ++writes;
        trace(QStringLiteral("r%1 writes %2: %3")
                  .arg(r)
                  .arg(replica.file)
                  .arg(TestVault::describe(sorted(replica.vault.entries)).join(" ")));
        replica.base.noteOwnWrite(replica.vault, digestOf(bytes), clock(r));
        replica.lastKnown = digestOf(bytes);
        persistBase(r);
        for (const auto& publish : replica.unsaved)
            publish();
        replica.unsaved.clear();
        replica.dirty = false;
    }

    void kill(int r)
    {
        Replica& replica = replicas[r];
        trace(QStringLiteral("r%1 killed").arg(r));
        replica.unsaved.clear();
        replica.dirty = false;
        if (replica.running && random.bounded(2))
            startProgram(r);
        else
            replica.running = false;
    }

    // Start-up: the file loaded, the base read back, then the protocol of sync/mergebase.h.
    void startProgram(int r)
    {
        Replica& replica = replicas[r];
        trace(QStringLiteral("r%1 starts on file %2").arg(r).arg(replica.file));
        replica.running = true;
        replica.vault = decoded(replica.file);
        replica.base = MergeBase();
        if (!replica.savedBase.isEmpty() && !MergeBase::decode(replica.savedBase, replica.base))
            fault = QStringLiteral("the base does not read back");
        const QByteArray fileDigest = digestOf(versions[replica.file].bytes);
        bool needsWrite = false;
        if (replica.base.isEmpty()) {
            replica.base = MergeBase::of(replica.vault);
            replica.base.noteTakenIn(fileDigest);
        } else if (!replica.base.isLastKnownFile(fileDigest)) {
            int own = -1;
            // The file as last known here, kept as a copy: what this computer had when it stopped.
            for (int c : replica.copies) {
                const QByteArray digest = digestOf(versions[c].bytes);
                if (replica.base.isLastKnownFile(digest) || (replica.base.isOwnWrite(digest) && own < 0))
                    own = c;
            }
            const Payload file = replica.vault;
            const IncomingKind kind = hasCopyBeside(r) ? IncomingKind::StoreFileBesideCopy : IncomingKind::StoreFile;
            takeIn(r, mergeIncoming(replica.base, own >= 0 ? decoded(own) : file, file, kind, clock(r)), needsWrite);
            replica.base.noteTakenIn(fileDigest);
        }
        replica.lastKnown = fileDigest;
        replica.dirty = needsWrite;
        if (!needsWrite)
            persistBase(r);
    }

    // The sync tool between two online folders: a version that follows the other's is copied
    // over; two that went apart leave the older as a conflicted copy in both folders.
    void exchange(int i, int j)
    {
        if (i == j || !replicas[i].online || !replicas[j].online)
            return;
        Replica& a = replicas[i];
        Replica& b = replicas[j];
        if (a.file != b.file) {
            if (versions[b.file].seen.contains(a.file)) {
                trace(QStringLiteral("r%1 gets %2 from r%3").arg(i).arg(b.file).arg(j));
                a.file = b.file;
            } else if (versions[a.file].seen.contains(b.file)) {
                trace(QStringLiteral("r%1 gets %2 from r%3").arg(j).arg(a.file).arg(i));
                b.file = a.file;
            } else {
                const bool aWins = versions[a.file].bytes == versions[b.file].bytes || random.bounded(2);
                const int winner = aWins ? a.file : b.file;
                const int loser = aWins ? b.file : a.file;
                trace(QStringLiteral("conflict r%1/r%2: %3 wins, %4 a copy").arg(i).arg(j).arg(winner).arg(loser));
                versions[winner].seen.unite(versions[loser].seen);
                if (versions[winner].bytes != versions[loser].bytes) {
                    a.copies.insert(loser);
                    b.copies.insert(loser);
                }
                a.file = b.file = winner;
            }
        }
        const QSet<int> copies = (a.copies | b.copies) - removedCopies;
        a.copies = b.copies = copies;
    }

    bool allCopiesGone() const
    {
        for (const Replica& replica : replicas) {
            if (!replica.copies.isEmpty())
                return false;
        }
        return true;
    }

    bool descends(const QString& value, const QString& from) const
    {
        QList<QString> todo{from};
        QSet<QString> done;
        while (!todo.isEmpty()) {
            const QString v = todo.takeLast();
            if (v == value)
                return true;
            if (done.contains(v))
                continue;
            done.insert(v);
            for (const QString& next : typed.value(v).replacedBy)
                todo << next;
        }
        return false;
    }

    QString check(const Payload& vault) const
    {
        QSet<QString> held;
        for (const Entry& entry : vault.entries) {
            for (TextField field : kValueFields)
                held.insert((entry.*field).section(QLatin1Char(' '), 0, 0));
            if (!vault.categories.contains(entry.category))
                return QStringLiteral("%1 outside the categories").arg(entry.id);
        }
        QHash<QString, QStringList> valuesOf; // entry id -> values typed into it
        for (auto it = typed.begin(); it != typed.end(); ++it) {
            if (!it->published)
                continue;
            valuesOf[it->entryId] << it.key();
            if (it->replacedBy.isEmpty() && !it->deleted && !held.contains(it.key()))
                return QStringLiteral("lost %1 of %2").arg(it.key(), it->entryId);
        }
        for (const Entry& entry : vault.entries) {
            const QString title = entry.title.section(QLatin1Char(' '), 0, 0);
            if (entry.title.endsWith(conflictCopySuffix())) {
                // A copy: some field of its entry got two values from computers that had not seen each other's.
                const QString of = typed.value(title).entryId;
                bool clash = moves.value(of).size() > 1;
                const QStringList values = valuesOf.value(of);
                for (const QString& x : values)
                    for (const QString& y : values)
                        clash =
                            clash || (typed[x].published && typed[y].published && typed[x].field == typed[y].field &&
                                      typed[x].replica != typed[y].replica && !descends(x, y) && !descends(y, x));
                if (!clash)
                    return QStringLiteral("a copy of %1 without a clash").arg(of);
                continue;
            }
            // Every value ever typed into it was replaced or deleted where seen: it must be gone.
            const QStringList values = valuesOf.value(entry.id);
            const auto gone = [&](const QString& v) { return !typed[v].replacedBy.isEmpty() || typed[v].deleted; };
            const auto deleted = [&](const QString& v) { return typed[v].deleted; };
            if (!values.isEmpty() && std::all_of(values.begin(), values.end(), gone) &&
                std::any_of(values.begin(), values.end(), deleted))
                return QStringLiteral("deleted %1 came back").arg(entry.id);
        }
        return QString();
    }

    QRandomGenerator random;
    Replica replicas[3];
    QList<Version> versions;
    QSet<int> removedCopies;
    QHash<QString, Typed> typed;
    QHash<QString, QSet<int>> moves; // entry id -> computers that moved it to another category
    qint64 now = 0;
    int writes = 0;
    QString fault;
    const bool tracing = qEnvironmentVariableIsSet("VAULTRY_TRACE");
};

} // namespace

class TestReplicas : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { TestVault::prepare(); }

    void randomized()
    {
        const int seed = qEnvironmentVariableIntValue("VAULTRY_SEED");
        const int cases =
            qEnvironmentVariableIsSet("VAULTRY_CASES") ? qEnvironmentVariableIntValue("VAULTRY_CASES") : 2000;
        int failures = 0;
        QMap<QString, int> kinds;
        for (int n = 0; n < cases; ++n) {
            const quint32 caseSeed = qEnvironmentVariableIsSet("VAULTRY_CASE")
                                         ? quint32(qEnvironmentVariableIntValue("VAULTRY_CASE"))
                                         : quint32(seed) * 100003u + quint32(n);
            Simulation simulation(caseSeed);
            const QString fault = simulation.run(60);
            if (!fault.isEmpty()) {
                if (++failures <= 5 || qEnvironmentVariableIsSet("VAULTRY_ALL"))
                    qWarning().noquote() << "case" << caseSeed << fault;
                ++kinds[fault.section(QLatin1Char(' '), 0, 1)];
            }
        }
        for (auto it = kinds.begin(); it != kinds.end(); ++it)
            qWarning().noquote() << it.value() << "cases:" << it.key();
        QVERIFY2(failures == 0, qPrintable(QStringLiteral("%1 of %2 cases failed").arg(failures).arg(cases)));
    }
};

QTEST_MAIN(TestReplicas)
#include "tst_replicas.moc"
