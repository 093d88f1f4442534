#include "store/protectedstore.h"
#include "support/testvault.h"
#include "sync/conflictcopies.h"
#include "sync/mergebase.h"
#include "sync/mergebasefile.h"
#include "sync/storemerge.h"
#include "vault/merge.h"

#include <QFileInfo>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <optional>

namespace {

using TextField = QString Entry::*;
const TextField kTypedFields[] = {&Entry::title,   &Entry::category, &Entry::url,
                                  &Entry::account, &Entry::password, &Entry::notes};

EntryTime at(int minute)
{
    return EntryTime(QDateTime(QDate(2026, 3, 1), QTime(10, 0).addSecs(60 * minute), Qt::UTC));
}

// "General Work | a:Mail:Work:p:5 b:Shop": the category names, then entries as
// id:title:category:password:minute of change (category General, password empty, minute 0
// when left out).
VaultContents vault(const QString& text)
{
    VaultContents contents;
    const QStringList halves = text.split(QLatin1Char('|'));
    contents.categories = halves.at(0).split(QLatin1Char(' '), Qt::SkipEmptyParts);
    for (const QString& record : halves.value(1).split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        const QStringList parts = record.split(QLatin1Char(':'));
        Entry entry(Entry::NoId);
        entry.id = parts.at(0);
        entry.title = parts.value(1);
        entry.category = parts.value(2, QStringLiteral("General"));
        entry.password = parts.value(3, QLatin1String(""));
        entry.dateCreated = at(-60);
        entry.dateChanged = at(parts.value(4).toInt());
        contents.entries.append(entry);
    }
    return contents;
}

// The same form back, copies shown as "~id" and their title suffix as "*".
QString describe(const VaultMerge& merge)
{
    QStringList entries;
    for (const Entry& entry : merge.merged.entries) {
        QString id = entry.id;
        for (const MergeConflict& conflict : merge.report.conflicts) {
            if (conflict.copyId == entry.id)
                id = QLatin1Char('~') + conflict.id;
        }
        QString title = entry.title;
        title.replace(conflictCopySuffix(), QStringLiteral("*"));
        const int minute = int(at(0).toDateTime().secsTo(entry.dateChanged.toDateTime()) / 60);
        entries << QStringList{id, title, entry.category, entry.password, QString::number(minute)}.join(':');
    }
    return merge.merged.categories.join(' ') + QStringLiteral(" | ") + entries.join(' ');
}

QStringList lines(const VaultContents& contents)
{
    return QStringList{contents.categories.join('/')} + TestVault::describe(contents.entries);
}

// The same categories and records in any order.
QStringList sortedLines(const VaultContents& contents)
{
    QStringList categories = contents.categories;
    categories.sort();
    QStringList records = TestVault::describe(contents.entries);
    records.sort();
    return QStringList{categories.join('/')} + records;
}

const Entry* findCopyOf(const VaultContents& merged, const Entry& loser)
{
    return merged.entries.findById(conflictCopyId(loser));
}

// Small pools, so that both sides often touch the same field, or set the same value.
QString pick(QRandomGenerator& random, const QStringList& pool)
{
    return pool.at(random.bounded(int(pool.size())));
}

// A base vault of a few entries in a few categories.
VaultContents randomBase(QRandomGenerator& random)
{
    VaultContents base;
    base.categories = {QStringLiteral("General"), QStringLiteral("Work"), QStringLiteral("Home")};
    const int count = random.bounded(7);
    for (int i = 0; i < count; ++i) {
        Entry entry(Entry::NoId);
        entry.id = QStringLiteral("e%1").arg(i);
        for (TextField field : kTypedFields)
            entry.*field = pick(random, {"", "x", "y"});
        entry.category = pick(random, base.categories);
        entry.dateCreated = at(-100 - random.bounded(2));
        entry.dateChanged = at(0);
        base.entries.append(entry);
    }
    return base;
}

// What one computer does to its copy of the base: edits, moves, adds and deletes, as the
// vault's commands would, most edits stamped with one of a few change times.
VaultContents randomEdits(QRandomGenerator& random, VaultContents side, const QString& prefix)
{
    QList<Entry> entries = side.entries.toList();
    const int edits = random.bounded(5);
    for (int n = 0; n < edits; ++n) {
        const int kind = random.bounded(10);
        const qsizetype i = entries.isEmpty() ? -1 : random.bounded(int(entries.size()));
        if (kind < 4 && i >= 0) { // edit one or two fields, or only save
            for (int k = random.bounded(3); k > 0; --k) {
                const TextField field = kTypedFields[random.bounded(6)];
                entries[i].*field =
                    field == &Entry::category ? pick(random, side.categories) : pick(random, {"", "x", "y", "z"});
            }
            // Now and then the time stays, as a record from an older file may have it; a clock
            // running behind may even stamp a time before the base's.
            if (random.bounded(5) > 0)
                entries[i].dateChanged = at(random.bounded(-1, 3));
        } else if (kind < 6) { // add, sometimes with an id the other side may add too
            Entry entry(Entry::NoId);
            entry.id = random.bounded(2) ? QStringLiteral("new%1").arg(random.bounded(2))
                                         : QStringLiteral("%1%2").arg(prefix).arg(n);
            if (std::any_of(entries.begin(), entries.end(), [&](const Entry& e) { return e.id == entry.id; }))
                continue;
            entry.title = pick(random, {"x", "y"});
            entry.password = pick(random, {"x", "y"});
            entry.category = pick(random, side.categories);
            entry.dateCreated = at(1 + random.bounded(2));
            entry.dateChanged = entry.dateCreated;
            entries.append(entry);
        } else if (kind == 6 && i >= 0) {
            entries.removeAt(i);
        } else if (kind == 7) {
            const QString name = pick(random, {"Travel", "Bank"});
            if (!side.categories.contains(name))
                side.categories.append(name);
        } else if (kind == 8 && side.categories.size() > 1) { // a category with its entries
            const QString name = side.categories.at(1 + random.bounded(int(side.categories.size()) - 1));
            side.categories.removeAll(name);
            entries.removeIf([&](const Entry& e) { return e.category == name; });
        }
    }
    side.entries = TestVault::entryList(entries);
    return side;
}

// Checks what must hold of every merge of `ours` and `theirs` over `base` (empty for a
// two-way merge); returns the first fault found.
QString faultOf(const VaultContents& base, const VaultContents& ours, const VaultContents& theirs, bool twoWay)
{
    const auto merge = [&](const VaultContents& a, const VaultContents& b) {
        return twoWay ? mergeVaults(a, b) : mergeVaults(base, a, b);
    };
    const VaultMerge result = merge(ours, theirs);
    const VaultContents& merged = result.merged;

    // Nothing typed on either side is lost: each value that differs from the base is in the
    // entry or in the copy of that version.
    for (const VaultContents* side : {&ours, &theirs}) {
        for (const Entry& entry : side->entries) {
            const Entry* before = base.entries.findById(entry.id);
            const Entry* kept = merged.entries.findById(entry.id);
            const Entry* copy = findCopyOf(merged, entry);
            for (TextField field : kTypedFields) {
                const QString& value = entry.*field;
                if (before && before->*field == value)
                    continue;
                const QString copied = field == &Entry::title ? value + conflictCopySuffix() : value;
                if (!(kept && kept->*field == value) && !(copy && copy->*field == copied))
                    return QStringLiteral("lost %1 of %2").arg(value, entry.id);
            }
        }
    }
    // Nothing is made up: a field holds a value of one side, a copy a whole version.
    QStringList ids;
    for (const Entry& entry : merged.entries) {
        ids << entry.id;
        const Entry* mine = ours.entries.findById(entry.id);
        const Entry* other = theirs.entries.findById(entry.id);
        if (!mine && !other) {
            const auto isCopy = [&](const VaultContents& side) {
                return std::any_of(side.entries.begin(), side.entries.end(),
                                   [&](const Entry& e) { return conflictCopyId(e) == entry.id; });
            };
            if (!isCopy(ours) && !isCopy(theirs))
                return QStringLiteral("made up %1").arg(entry.id);
            continue;
        }
        for (TextField field : kTypedFields) {
            if (!(mine && mine->*field == entry.*field) && !(other && other->*field == entry.*field))
                return QStringLiteral("made up a field of %1").arg(entry.id);
        }
        if (!merged.categories.contains(entry.category))
            return QStringLiteral("%1 outside the categories").arg(entry.id);
    }
    if (ids.removeDuplicates() > 0)
        return QStringLiteral("an id twice");
    // A deletion holds unless the other side changed the entry; with no base nothing is deleted.
    for (const Entry& entry : base.entries) {
        const Entry* mine = ours.entries.findById(entry.id);
        const Entry* other = theirs.entries.findById(entry.id);
        const auto unchanged = [&](const Entry* e) {
            if (!e)
                return true;
            Entry saved = *e;
            saved.dateChanged = entry.dateChanged;
            return sameRecord(saved, entry);
        };
        if ((!mine || !other) && unchanged(mine) && unchanged(other) && merged.entries.containsId(entry.id))
            return QStringLiteral("kept deleted %1").arg(entry.id);
    }
    for (const VaultContents* side : {&ours, &theirs}) {
        for (const QString& name : side->categories) {
            const bool added = !base.categories.contains(name);
            const bool onBoth = ours.categories.contains(name) && theirs.categories.contains(name);
            if ((added || onBoth) && !merged.categories.contains(name))
                return QStringLiteral("lost category %1").arg(name);
        }
    }

    // The report names what changes in ours.
    QStringList copies;
    for (const MergeConflict& conflict : result.report.conflicts)
        copies << conflict.copyId;
    QStringList added;
    QStringList changed;
    QStringList deleted;
    for (const Entry& entry : merged.entries) {
        if (!ours.entries.containsId(entry.id) && !copies.contains(entry.id))
            added << entry.id;
    }
    for (const Entry& entry : ours.entries) {
        const Entry* now = merged.entries.findById(entry.id);
        (now ? changed : deleted) << (now && sameRecord(*now, entry) ? QString() : entry.id);
    }
    changed.removeAll(QString());
    deleted.removeAll(QString());
    const auto sorted = [](QStringList list) {
        list.sort();
        return list;
    };
    if (sorted(added) != sorted(result.report.addedIds) || sorted(changed) != sorted(result.report.changedIds) ||
        sorted(deleted) != sorted(result.report.deletedIds) ||
        std::any_of(copies.begin(), copies.end(), [&](const QString& id) { return ours.entries.containsId(id); }))
        return QStringLiteral("the report is wrong");

    // The same change merged again is no change.
    const VaultMerge again = merge(merged, theirs);
    if (lines(again.merged) != lines(merged) || !again.report.leavesOursAsIs())
        return QStringLiteral("not idempotent");
    // Either side may be ours.
    if (sortedLines(merge(theirs, ours).merged) != sortedLines(merged))
        return QStringLiteral("depends on the side");
    // The other computer, merging the file this one wrote, ends with the same vault.
    if (sortedLines(merge(theirs, merged).merged) != sortedLines(merged))
        return QStringLiteral("the other computer differs");
    return QString();
}

Preferences prefs(const QString& changes)
{
    Preferences p;
    for (const QString& change : changes.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        const QString name = change.section(QLatin1Char('='), 0, 0);
        const QString value = change.section(QLatin1Char('='), 1);
        if (name == QLatin1String("hash"))
            p.masterPasswordHash = value;
        else if (name == QLatin1String("attempts"))
            p.maxLoginAttempts = value.toInt();
        else if (name == QLatin1String("hide"))
            p.hidePassword = value == QLatin1String("1");
        else if (name == QLatin1String("min"))
            p.genMinLength = value.toInt();
        else if (name == QLatin1String("max"))
            p.genMaxLength = value.toInt();
        else if (name == QLatin1String("first"))
            p.firstRun = value == QLatin1String("1");
        else
            qFatal("unknown preference %s", qPrintable(name));
    }
    return p;
}

QString describe(const Preferences& p)
{
    return QStringLiteral("hash=%1 attempts=%2 hide=%3 min=%4 max=%5 first=%6")
        .arg(p.masterPasswordHash)
        .arg(p.maxLoginAttempts)
        .arg(int(p.hidePassword))
        .arg(p.genMinLength)
        .arg(p.genMaxLength)
        .arg(int(p.firstRun));
}

Payload payloadOf(const QString& text)
{
    const VaultContents contents = vault(text);
    Payload payload;
    payload.categories = contents.categories;
    payload.entries = contents.entries;
    return payload;
}

QString describe(const IncomingMerge& merge)
{
    return sortedLines({merge.merged.categories, merge.merged.entries}).join(QLatin1Char(' '));
}

// The base as it comes back from its bytes, as after a restart.
MergeBase restarted(const MergeBase& base)
{
    MergeBase read;
    if (!MergeBase::decode(base.encode(), read))
        qFatal("the base does not read back");
    return read;
}

} // namespace

class TestMerge : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { TestVault::prepare(); }

    void examples_data()
    {
        QTest::addColumn<QString>("base"); // "-": none, a two-way merge
        QTest::addColumn<QString>("ours");
        QTest::addColumn<QString>("theirs");
        QTest::addColumn<QString>("merged");
        QTest::addColumn<QString>("summary");
        QTest::addColumn<bool>("theirsOutdated");
        const QString base = QStringLiteral("General Work | a:Mail:Work:p b:Shop:General:q");
        const QString b = QStringLiteral(" b:Shop:General:q"); // as in the base

        QTest::newRow("nothing changed") << base << base << base << "General Work | a:Mail:Work:p:0 b:Shop:General:q:0"
                                         << "" << false;
        QTest::newRow("deleted there, unchanged here: deleted") << base << base << "General Work | a:Mail:Work:p"
                                                                << "General Work | a:Mail:Work:p:0"
                                                                << "0 added, 0 changed, 1 deleted" << false;
        QTest::newRow("deleted there, only saved here: deleted")
            << base << "General Work | a:Mail:Work:p b:Shop:General:q:5"
            << "General Work | a:Mail:Work:p"
            << "General Work | a:Mail:Work:p:0"
            << "0 added, 0 changed, 1 deleted" << false;
        QTest::newRow("deleted there, changed here: kept")
            << base << "General Work | a:Mail:Work:p b:Shop:General:x:5"
            << "General Work | a:Mail:Work:p"
            << "General Work | a:Mail:Work:p:0 b:Shop:General:x:5"
            << "1 entry deleted on one computer was kept with the changes made on the other" << true;
        QTest::newRow("deleted here, changed there: back") << base << "General Work | a:Mail:Work:p"
                                                           << "General Work | a:Mail:Work:p b:Shop:Work:q:5"
                                                           << "General Work | a:Mail:Work:p:0 b:Shop:Work:q:5"
                                                           << "1 added, 0 changed, 0 deleted; 1 entry deleted on one "
                                                              "computer was kept with the changes made on the other"
                                                           << false;
        QTest::newRow("added on both sides, after ours")
            << base << base + " c:Bank:Work:r:3" << base + " d:Wiki:General:s:4"
            << "General Work | a:Mail:Work:p:0 b:Shop:General:q:0 c:Bank:Work:r:3 d:Wiki:General:s:4"
            << "1 added, 0 changed, 0 deleted" << true;
        QTest::newRow("different fields: both in the one entry, the later time")
            << base << "General Work | a:Mail:Work:x:5" + b << "General Work | a:Post:Work:p:7" + b
            << "General Work | a:Post:Work:x:7 b:Shop:General:q:0"
            << "0 added, 1 changed, 0 deleted" << true;
        QTest::newRow("same field, theirs later: ours kept as a copy")
            << base << "General Work | a:Mail:Work:x:5" + b << "General Work | a:Mail:Work:y:7" + b
            << "General Work | a:Mail:Work:y:7 ~a:Mail*:Work:x:5 b:Shop:General:q:0"
            << "0 added, 1 changed, 0 deleted; 1 entry was changed on both computers; the other version was kept as a "
               "copy"
            << true;
        QTest::newRow("same field, ours later: theirs kept as a copy")
            << base << "General Work | a:Mail:Work:x:7" + b << "General Work | a:Mail:Work:y:5" + b
            << "General Work | a:Mail:Work:x:7 ~a:Mail*:Work:y:5 b:Shop:General:q:0"
            << "1 entry was changed on both computers; the other version was kept as a copy" << true;
        QTest::newRow("same field, same time: the greater value stays")
            << base << "General Work | a:Mail:Work:y:5" + b << "General Work | a:Mail:Work:x:5" + b
            << "General Work | a:Mail:Work:y:5 ~a:Mail*:Work:x:5 b:Shop:General:q:0"
            << "1 entry was changed on both computers; the other version was kept as a copy" << true;
        QTest::newRow("same change on both: no copy")
            << base << "General Work | a:Mail:Work:x:5" + b << "General Work | a:Mail:Work:x:7" + b
            << "General Work | a:Mail:Work:x:7 b:Shop:General:q:0"
            << "0 added, 1 changed, 0 deleted" << false;
        // The copy is the losing version whole, in its own category.
        QTest::newRow("moved apart on both")
            << base << "General Work | a:Mail:General:p:5" + b << "General Work Home | a:Mail:Home:p:7" + b
            << "General Work Home | a:Mail:Home:p:7 ~a:Mail*:General:p:5 b:Shop:General:q:0"
            << "0 added, 1 changed, 0 deleted; 1 entry was changed on both computers; the other version was kept as a "
               "copy; "
               "1 category added"
            << true;
        QTest::newRow("category deleted here, gained an entry there: stays")
            << base << "General |" + b << base + " c:Bank:Work:r:3"
            << "General Work | b:Shop:General:q:0 c:Bank:Work:r:3"
            << "1 added, 0 changed, 0 deleted; 1 category added; deleted on one computer, kept for the "
               "entries the other put in it: Work"
            << true;
        QTest::newRow("category deleted there with its unchanged entries")
            << base << base << "General | b:Shop:General:q"
            << "General | b:Shop:General:q:0"
            << "0 added, 0 changed, 1 deleted; 1 category deleted" << false;
        QTest::newRow("category added on both sides, once")
            << base << "General Work Home |" + b << "General Home Work | a:Mail:Work:p"
            << "General Work Home | "
            << "0 added, 0 changed, 1 deleted" << true;
        QTest::newRow("two-way: union") << "-"
                                        << "General Work | a:Mail:Work:p b:Shop"
                                        << "General Home | a:Mail:Work:p c:Bank:Home:r"
                                        << "General Work Home | a:Mail:Work:p:0 b:Shop:General::0 c:Bank:Home:r:0"
                                        << "1 added, 0 changed, 0 deleted; 1 category added" << true;
        QTest::newRow("two-way: one field apart, the later stays, the other is a copy")
            << "-"
            << "General | a:Mail:General:p:5"
            << "General | a:Mail:General:x:3"
            << "General | a:Mail:General:p:5 ~a:Mail*:General:x:3"
            << "1 entry was changed on both computers; the other version was kept as a copy" << true;
        QTest::newRow("two-way: only saved apart, the later time") << "-"
                                                                   << "General | a:Mail:General:p:5"
                                                                   << "General | a:Mail:General:p:8"
                                                                   << "General | a:Mail:General:p:8"
                                                                   << "0 added, 1 changed, 0 deleted" << false;
    }

    // Worked cases, with what the user is told.
    void examples()
    {
        QFETCH(QString, base);
        QFETCH(QString, ours);
        QFETCH(QString, theirs);
        QFETCH(QString, merged);
        QFETCH(QString, summary);
        QFETCH(bool, theirsOutdated);
        const VaultMerge result = base == "-" ? mergeVaults(vault(ours), vault(theirs))
                                              : mergeVaults(vault(base), vault(ours), vault(theirs));
        QCOMPARE(describe(result), merged);
        QCOMPARE(result.report.summary(), summary);
        QCOMPARE(result.report.theirsOutdated, theirsOutdated);
        for (const MergeConflict& conflict : result.report.conflicts) {
            const VaultContents& loser = vault(conflict.oursKept ? theirs : ours);
            QCOMPARE(conflict.copyId, conflictCopyId(*loser.entries.findById(conflict.id)));
        }
    }

    void copyIdDependsOnEveryField()
    {
        const Entry entry = vault("General | a:Mail:General:p:5").entries.first();
        const QString id = conflictCopyId(entry);
        QCOMPARE(id.size(), 30);
        QCOMPARE(conflictCopyId(entry), id);
        for (int field = 0; field < 9; ++field) {
            Entry other = entry;
            switch (field) {
            case 8:
                other.dateCreated = at(1);
                break;
            case 7:
                other.dateChanged = at(1);
                break;
            case 6:
                other.id = QStringLiteral("b");
                break;
            default:
                other.*kTypedFields[field] += QLatin1Char('!');
            }
            QVERIFY2(conflictCopyId(other) != id, qPrintable(QString::number(field)));
        }
        // Null and empty texts are stored apart, so they are different versions.
        Entry nullNotes = entry;
        nullNotes.notes = QString();
        QVERIFY(!sameRecord(nullNotes, entry));
        QVERIFY(conflictCopyId(nullNotes) != id);
    }

    // A file may hold an id twice: our second record stays, theirs is added unless we hold it.
    void duplicateIds()
    {
        const VaultContents base = vault("General | a:Mail");
        const VaultContents ours = vault("General | a:Mail a:Twin");
        const VaultContents theirs = vault("General | a:Mail a:Twin a:Other");
        const VaultMerge result = mergeVaults(base, ours, theirs);
        QCOMPARE(describe(result), QStringLiteral("General | a:Mail:General::0 a:Twin:General::0 a:Other:General::0"));
        QCOMPARE(lines(mergeVaults(base, result.merged, theirs).merged), lines(result.merged));
    }

    // Random edits on two computers: nothing typed is lost, nothing made up, deletions hold,
    // merging again changes nothing, the sides may swap, and both computers end alike.
    void randomized()
    {
        // VAULTRY_SEED runs other cases than the suite's, for longer runs by hand.
        QRandomGenerator random(20261207 + qEnvironmentVariableIntValue("VAULTRY_SEED"));
        for (int round = 0; round < 400; ++round) {
            const VaultContents base = randomBase(random);
            const VaultContents ours = randomEdits(random, base, QStringLiteral("o"));
            const VaultContents theirs = randomEdits(random, base, QStringLiteral("t"));
            const bool twoWay = round % 4 == 3;
            const QString fault = faultOf(twoWay ? VaultContents() : base, ours, theirs, twoWay);
            if (!fault.isEmpty()) {
                qWarning().noquote() << "base" << lines(base).join("\n  ") << "\nours" << lines(ours).join("\n  ")
                                     << "\ntheirs" << lines(theirs).join("\n  ");
                QFAIL(qPrintable(QStringLiteral("round %1: %2").arg(round).arg(fault)));
            }
        }
    }

    // The cases the base exists for, each across a restart (the base read back from its bytes).
    void mergeBase_data()
    {
        QTest::addColumn<QString>("shared");  // what both computers took in
        QTest::addColumn<QString>("written"); // what this computer then wrote ("-": nothing)
        QTest::addColumn<QString>("ours");    // the open vault after the restart
        QTest::addColumn<QString>("theirs");
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("merged");
        const QString s = QStringLiteral("General | a:Mail:General:p b:Shop:General:q");
        const int file = int(IncomingKind::StoreFile);
        const int beside = int(IncomingKind::StoreFileBesideCopy);
        const int copy = int(IncomingKind::ConflictedCopy);
        // Offline edits written, then the other computer's file after a restart: both kept.
        QTest::newRow("offline edits survive a restart") << s << "General | a:Mail:General:x:5 b:Shop:General:q"
                                                         << "General | a:Mail:General:x:5 b:Shop:General:q"
                                                         << "General | a:Mail:General:p b:Shop:General:y:6" << beside
                                                         << "General /a|Mail|General|x/b|Shop|General|y";
        // Deleted here and written; an old version from elsewhere does not bring it back.
        QTest::newRow("a deletion holds against an old version")
            << s << "General | a:Mail:General:p"
            << "General | a:Mail:General:p" << s << beside << "General /a|Mail|General|p";
        QTest::newRow("a deletion holds against an old copy")
            << s << "General | a:Mail:General:p"
            << "General | a:Mail:General:p" << s << copy << "General /a|Mail|General|p";
        // Changed elsewhere after the deletion: kept with the change.
        QTest::newRow("changed after the deletion: back") << s << "General | a:Mail:General:p"
                                                          << "General | a:Mail:General:p"
                                                          << "General | a:Mail:General:p b:Shop:General:z:9" << beside
                                                          << "General /a|Mail|General|p/b|Shop|General|z";
        // A file that followed our write and lacks an entry: deleted there.
        QTest::newRow("deleted by a file that followed our write")
            << s << "General | a:Mail:General:x:5 b:Shop:General:q"
            << "General | a:Mail:General:x:5 b:Shop:General:q"
            << "General | a:Mail:General:x:5" << file << "General /a|Mail|General|x";
        // Beside a copy, a file that keeps a field as we changed it followed our write: what it lacks
        // of the shared version it deleted; what we added stays. An entry we added is no such sign
        // (an older file of ours may hold it).
        QTest::newRow("deleted by a file beside a copy that followed our write")
            << s << "General | a:Mail:General:x:5 b:Shop:General:q c:Bank:General:r:3"
            << "General | a:Mail:General:x:5 b:Shop:General:q c:Bank:General:r:3"
            << "General | a:Mail:General:x:5" << beside << "General /a|Mail|General|x/c|Bank|General|r";
        QTest::newRow("an entry we added shows no write")
            << s << "General | a:Mail:General:x:5 b:Shop:General:q c:Bank:General:r:3"
            << "General | a:Mail:General:x:5 b:Shop:General:q c:Bank:General:r:3"
            << "General | a:Mail:General:p c:Bank:General:r:3" << beside
            << "General /a|Mail|General|x/b|Shop|General|q/c|Bank|General|r";
        // Our write echoed while we edited again: no copy (only this computer changed the field).
        QTest::newRow("an echo of our write is no clash") << s << "General | a:Mail:General:x:5 b:Shop:General:q"
                                                          << "General | a:Mail:General:w:7 b:Shop:General:q"
                                                          << "General | a:Mail:General:x:5 b:Shop:General:q" << beside
                                                          << "General /a|Mail|General|w/b|Shop|General|q";
        // The other computer changed the very field we wrote, and nothing else in its file shows that
        // it saw our write: both versions stay, the later in place, ours as a copy. Nothing is lost.
        QTest::newRow("changed there after our write")
            << s << "General | a:Mail:General:x:5 b:Shop:General:q"
            << "General | a:Mail:General:x:5 b:Shop:General:q"
            << "General | a:Mail:General:v:8 b:Shop:General:q" << file
            << "General "
               "/XfvZW6VqlBC9Gdmv9DufqyrceutApi|Mail||/(changed|||/on|||/another|||/computer)|General||/"
               "a|Mail|General|v/b|Shop|General|q";
        // A copy only adds: it never undoes or deletes.
        QTest::newRow("a copy adds only") << s << "-"
                                          << "General | a:Mail:General:x:5 b:Shop:General:q"
                                          << "General | a:Mail:General:p c:Bank:General:r:3" << copy
                                          << "General /a|Mail|General|x/b|Shop|General|q/c|Bank|General|r";
        // No base (a new computer): two-way, nothing deleted.
        QTest::newRow("no base: nothing deleted")
            << ""
            << "-" << s << "General | a:Mail:General:p" << file << "General /a|Mail|General|p/b|Shop|General|q";
    }

    void mergeBase()
    {
        QFETCH(QString, shared);
        QFETCH(QString, written);
        QFETCH(QString, ours);
        QFETCH(QString, theirs);
        QFETCH(int, kind);
        QFETCH(QString, merged);
        MergeBase base;
        if (!shared.isEmpty()) {
            base = MergeBase::of(payloadOf(shared));
            if (written != QLatin1String("-"))
                base.noteOwnWrite(payloadOf(written), "written", 1000);
        }
        const IncomingMerge result =
            mergeIncoming(restarted(base), payloadOf(ours), payloadOf(theirs), IncomingKind(kind), 2000);
        const auto compact = [](QString text) {
            // "General /a|Mail|General|p|..." : the categories, then id, title, category, password.
            QStringList parts = text.split(QLatin1Char(' '));
            QStringList out{parts.takeFirst()};
            for (const QString& part : parts) {
                const QStringList f = part.split(QLatin1Char('|'));
                out << QStringList{f.value(0), f.value(1), f.value(2), f.value(5)}.join(QLatin1Char('|'));
            }
            return out.join(QLatin1Char('/')).replace(QStringLiteral("General/"), QStringLiteral("General /"));
        };
        QCOMPARE(compact(describe(result)), merged);
        QCOMPARE(result.vault.conflicts.isEmpty(), !merged.contains(QStringLiteral("(changed")));
        // Merging the result again changes nothing.
        const IncomingMerge again =
            mergeIncoming(result.base, result.merged, result.merged, IncomingKind::StoreFile, 3000);
        QVERIFY(!again.theirsOutdated);
        QCOMPARE(describe(again), describe(result));
    }

    // Ours changed, theirs lacks it: kept once, with the change. A later store file that replaced
    // the one holding it (no copy beside) and still lacks it deleted it after seeing it: it goes,
    // so that two computers agree rather than write for ever. Beside a copy it stays.
    void keptAgainstADeletionOnce()
    {
        const MergeBase base = MergeBase::of(payloadOf("General | a:Mail:General:p b:Shop:General:q"));
        const Payload ours = payloadOf("General | a:Mail:General:x:5 b:Shop:General:q");
        const Payload theirs = payloadOf("General | b:Shop:General:q");
        const IncomingMerge kept = mergeIncoming(base, ours, theirs, IncomingKind::StoreFile, 1000);
        QVERIFY(kept.merged.entries.containsId(QStringLiteral("a")));
        for (const IncomingKind kind : {IncomingKind::StoreFile, IncomingKind::StoreFileBesideCopy}) {
            const IncomingMerge again = mergeIncoming(restarted(kept.base), kept.merged, theirs, kind, 2000);
            QCOMPARE(again.merged.entries.containsId(QStringLiteral("a")), kind != IncomingKind::StoreFile);
        }
    }

    // A vault copied over the store shares no id with ours nor the base: the saver asks first.
    void differentVault()
    {
        const MergeBase base = MergeBase::of(payloadOf("General | a:Mail"));
        QVERIFY(base.sharesNoEntry(payloadOf("General | b:Shop"), payloadOf("General | c:Bank")));
        QVERIFY(!base.sharesNoEntry(payloadOf("General | b:Shop"), payloadOf("General | a:Mail c:Bank")));
        QVERIFY(!base.sharesNoEntry(payloadOf("General | b:Shop"), payloadOf("General | b:Shop c:Bank")));
        QVERIFY(!base.sharesNoEntry(payloadOf("General | b:Shop"), payloadOf("General |")));
    }

    // Damaged or cut bytes read as no base, never a crash; what reads back merges alike.
    void baseBytes()
    {
        QRandomGenerator random(20261207 + qEnvironmentVariableIntValue("VAULTRY_SEED"));
        MergeBase base = MergeBase::of(payloadOf("General Work | a:Mail:Work:p b:Shop c:Bank"));
        base.noteOwnWrite(payloadOf("General Work | a:Mail:Work:x:4 c:Bank d:Wiki"), "own", 5);
        base.noteTakenIn("in");
        const QByteArray bytes = base.encode();
        MergeBase read;
        QVERIFY(MergeBase::decode(bytes, read));
        QCOMPARE(read.encode(), bytes);
        QVERIFY(read.isOwnWrite("own") && read.isLastKnownFile("in") && !read.isOwnWrite("in"));
        QVERIFY(base.memoryBytes() < 1000);
        for (int n = 0; n < 2000; ++n) {
            QByteArray damaged = bytes;
            if (n % 2)
                damaged.truncate(random.bounded(int(bytes.size())));
            else
                damaged[random.bounded(int(bytes.size()))] = char(random.bounded(256));
            MergeBase maybe;
            if (MergeBase::decode(damaged, maybe)) // a changed digest may still read: it is a base
                mergeIncoming(maybe, payloadOf("General | a:Mail"), payloadOf("General | b:Shop"),
                              IncomingKind::StoreFile, 9);
        }
    }

    // An id held more than once stands for its first record in the base, in whatever order the ids
    // come: their change to that version is taken in without a clash.
    void baseOfRepeatedIds()
    {
        QRandomGenerator random(20261208 + qEnvironmentVariableIntValue("VAULTRY_SEED"));
        Payload shared, ours, theirs;
        for (int i = 0; i < 3000; ++i) {
            Entry entry =
                vault(QStringLiteral("General | %1:t%2:General:%2").arg(random.bounded(1000)).arg(i)).entries[0];
            shared.entries.append(entry);
            if (ours.entries.containsId(entry.id))
                continue;
            ours.entries.append(entry);
            entry.password += QLatin1Char('+');
            entry.dateChanged = at(5);
            theirs.entries.append(entry);
        }
        const IncomingMerge merge = mergeIncoming(MergeBase::of(shared), ours, theirs, IncomingKind::StoreFile, 1000);
        QVERIFY(merge.vault.conflicts.isEmpty());
        QCOMPARE(TestVault::describe(merge.merged.entries), TestVault::describe(theirs.entries));
    }

    // The file: owner-only, beside nothing of the store, sealed under the session key.
    void baseFile()
    {
        QTemporaryDir dir;
        const QString folder = dir.filePath(QStringLiteral("data/merge-base"));
        const QString storePath = dir.filePath(QStringLiteral("sync/settings2.vydat"));
        const MergeBase base = MergeBase::of(payloadOf("General | a:Mail"));
        QVERIFY(readMergeBase(folder, storePath, nullptr).isEmpty());
        QVERIFY(writeMergeBase(folder, storePath, base, nullptr).ok);
        const QString path = mergeBaseFilePath(folder, storePath);
        QVERIFY(path.startsWith(folder));
        QCOMPARE(QFileInfo(folder).permissions() & 0x0077, QFileDevice::Permissions());
        QCOMPARE(QFileInfo(path).permissions() & 0x0077, QFileDevice::Permissions());
        QCOMPARE(readMergeBase(folder, storePath, nullptr).encode(), base.encode());

        const auto key = ProtectionKey::create(QStringLiteral("pw"), kLowestKdfLimits);
        const auto other = ProtectionKey::create(QStringLiteral("other"), kLowestKdfLimits);
        QVERIFY(writeMergeBase(folder, storePath, base, key.get()).ok);
        QVERIFY(!TestVault::readFile(path).contains(base.encode().left(64)));
        QCOMPARE(readMergeBase(folder, storePath, key.get()).encode(), base.encode());
        QVERIFY(readMergeBase(folder, storePath, other.get()).isEmpty());
        QVERIFY(readMergeBase(folder, storePath, nullptr).isEmpty());
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadWrite));
        file.resize(file.size() / 2);
        file.close();
        QVERIFY(readMergeBase(folder, storePath, key.get()).isEmpty());
    }

    void preferences_data()
    {
        QTest::addColumn<QString>("base"); // "-": two-way
        QTest::addColumn<QString>("ours");
        QTest::addColumn<QString>("theirs");
        QTest::addColumn<QString>("merged");
        QTest::addColumn<QString>("summary");
        QTest::addColumn<bool>("masterPasswordFromTheirs");
        const QString start = describe(Preferences());

        QTest::newRow("unchanged") << ""
                                   << ""
                                   << "" << start << "" << false;
        QTest::newRow("master password changed there")
            << "hash=aa"
            << "hash=aa"
            << "hash=bb" << describe(prefs("hash=bb"))
            << "Changed on another computer and taken over: the master password." << true;
        QTest::newRow("master password changed here") << "hash=aa"
                                                      << "hash=cc"
                                                      << "hash=aa" << describe(prefs("hash=cc")) << "" << false;
        QTest::newRow("master password changed on both: ours")
            << "hash=aa"
            << "hash=cc"
            << "hash=bb" << describe(prefs("hash=cc"))
            << "Changed on both computers, this computer's setting was kept: the master password." << false;
        QTest::newRow("same change on both") << ""
                                             << "attempts=3"
                                             << "attempts=3" << describe(prefs("attempts=3")) << "" << false;
        QTest::newRow("different settings on each side")
            << ""
            << "attempts=3"
            << "hide=0" << describe(prefs("attempts=3 hide=0"))
            << "Changed on another computer and taken over: hiding passwords." << false;
        // The generator's lengths are one setting: mixing them could make the least above the most.
        QTest::newRow("generator lengths changed apart: ours whole")
            << ""
            << "min=20 max=24"
            << "max=15" << describe(prefs("min=20 max=24"))
            << "Changed on both computers, this computer's setting was kept: the password generator." << false;
        QTest::newRow("first run told nobody")
            << ""
            << "first=0"
            << "first=1 hide=0" << describe(prefs("first=0 hide=0"))
            << "Changed on another computer and taken over: hiding passwords." << false;
        QTest::newRow("two-way: ours, differences told")
            << "-"
            << "hash=aa"
            << "hash=bb attempts=2" << describe(prefs("hash=aa"))
            << "Changed on both computers, this computer's setting was kept: the master password, the number of "
               "login attempts."
            << false;
    }

    void preferences()
    {
        QFETCH(QString, base);
        QFETCH(QString, ours);
        QFETCH(QString, theirs);
        QFETCH(QString, merged);
        QFETCH(QString, summary);
        QFETCH(bool, masterPasswordFromTheirs);
        const PreferencesMerge result = base == "-" ? mergePreferences(prefs(ours), prefs(theirs))
                                                    : mergePreferences(prefs(base), prefs(ours), prefs(theirs));
        QCOMPARE(describe(result.merged), merged);
        QCOMPARE(result.report.summary(), summary);
        QCOMPARE(result.report.masterPasswordFromTheirs, masterPasswordFromTheirs);
    }

    // The store's merge carries both halves, and says when the file is behind.
    void store()
    {
        Payload base;
        base.categories = {QStringLiteral("General")};
        Payload ours = base;
        Payload theirs = base;
        theirs.preferences.hidePassword = false;
        theirs.entries = vault("General | a:Mail").entries;
        StoreMerge result = mergeStore(base, ours, theirs);
        QCOMPARE(result.merged.preferences.hidePassword, false);
        QCOMPARE(result.merged.entries.size(), 1);
        QCOMPARE(result.vault.addedIds, QStringList{"a"});
        QCOMPARE(result.preferences.fromTheirs, QStringList{"hiding passwords"});
        QVERIFY(!result.theirsOutdated);

        ours.preferences.genMinLength = 4; // only a setting of ours differs
        QVERIFY(mergeStore(base, ours, theirs).theirsOutdated);
        QVERIFY(mergeStore(ours, theirs).theirsOutdated);
        QVERIFY(!mergeStore(theirs, theirs).theirsOutdated);
    }

    void conflictCopyNames_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("conflict");
        QTest::newRow("the store") << "settings2.vydat" << false;
        QTest::newRow("Syncthing") << "settings2.sync-conflict-20261207-143012-ABCDEFG.vydat" << true;
        QTest::newRow("Syncthing, short date") << "settings2.sync-conflict-2026127-143012-ABCDEFG.vydat" << false;
        QTest::newRow("Syncthing, no device") << "settings2.sync-conflict-20261207-143012-.vydat" << false;
        QTest::newRow("Syncthing, another file") << "settings.sync-conflict-20261207-143012-ABCDEFG.vydat" << false;
        QTest::newRow("Nextcloud") << "settings2 (conflicted copy 2026-12-07 143012).vydat" << true;
        QTest::newRow("Nextcloud with the user") << "settings2 (conflicted copy ann 2026-12-07 143012).vydat" << true;
        QTest::newRow("Nextcloud, no time") << "settings2 (conflicted copy 2026-12-07).vydat" << false;
        QTest::newRow("Dropbox") << "settings2 (Ann's conflicted copy 2026-12-07).vydat" << true;
        QTest::newRow("Dropbox, typographic apostrophe")
            << "settings2 (Ann\u2019s conflicted copy 2026-12-07).vydat" << true;
        QTest::newRow("Dropbox, second that day") << "settings2 (Ann's conflicted copy 2026-12-07 (1)).vydat" << true;
        QTest::newRow("Dropbox, no name") << "settings2 ('s conflicted copy 2026-12-07).vydat" << false;
        QTest::newRow("another suffix") << "settings2 (conflicted copy 2026-12-07 143012).vydat.tmp" << false;
        QTest::newRow("a folder's path") << "x/settings2 (conflicted copy 2026-12-07 143012).vydat" << false;
        QTest::newRow("letter case") << "Settings2 (conflicted copy 2026-12-07 143012).vydat" << false;
        QTest::newRow("the lock") << "settings2.vydat.lock" << false;
    }

    // Recognised by name; once merged, the new name says so and is not recognised again.
    void conflictCopyNames()
    {
        QFETCH(QString, name);
        QFETCH(bool, conflict);
        QCOMPARE(isStoreConflictCopy(name), conflict);
        QCOMPARE(storeConflictCopies({QStringLiteral("settings2.vydat"), name}),
                 conflict ? QStringList{name} : QStringList());
        if (!conflict)
            return;
        const QString merged = mergedConflictCopyName(name, {name});
        QVERIFY2(merged.contains(QStringLiteral("(merged)")) && merged.endsWith(QStringLiteral(".vydat")),
                 qPrintable(merged));
        QVERIFY(!isStoreConflictCopy(merged));
        const QString second = mergedConflictCopyName(name, {name, merged});
        QVERIFY2(second.contains(QStringLiteral("(merged 2)")), qPrintable(second));
        QVERIFY(!isStoreConflictCopy(second));
    }
};

QTEST_MAIN(TestMerge)
#include "tst_merge.moc"
