#include "support/testvault.h"
#include "vault/randomsource.h"
#include "vault/treemodel.h"
#include "vault/vault.h"
#include "vault/vaultchanges.h"
#include "vault/vaultcommands.h"

#include <QAbstractItemModelTester>
#include <QRandomGenerator>
#include <QTest>
#include <QUndoStack>

#include <functional>
#include <memory>

namespace {

using TestVault::describe;

Entry entryWithId(const QString& id, const QString& title, const QString& category)
{
    Entry entry = TestVault::makeEntry(title, category);
    entry.id = id;
    return entry;
}

// Everything a step must give back: the names in order, then every record in list order.
// Websites are left out when asked: the random history changes them only beside the stack.
QStringList snapshot(const Vault& vault, bool withUrls = true)
{
    QList<Entry> records = vault.entries().toList();
    for (Entry& entry : records) {
        if (!withUrls)
            entry.url.clear();
    }
    return QStringList{vault.categoryNames().join(QLatin1Char(','))} + describe(records);
}

QStringList sortedRecords(const QList<Entry>& records)
{
    QStringList lines = describe(records);
    lines.sort();
    return lines;
}

// Each category as "name|title|title" with its titles sorted: the tree's rows keep the order
// they were added in, so only the sets compare.
QStringList shown(const TreeModel& tree)
{
    QStringList lines;
    for (int c = 0; c < tree.rowCount(); ++c) {
        const QModelIndex category = tree.index(c, 0);
        QStringList titles;
        for (int r = 0; r < tree.rowCount(category); ++r)
            titles << tree.index(r, 0, category).data().toString();
        titles.sort();
        lines << category.data().toString() + QLatin1Char('|') + titles.join(QLatin1Char('|'));
    }
    lines.sort();
    return lines;
}

QStringList held(const Vault& vault)
{
    QStringList lines;
    for (const QString& name : vault.categoryNames()) {
        QStringList titles;
        for (const Entry& entry : vault.entries()) {
            if (entry.category == name)
                titles << entry.title;
        }
        titles.sort();
        lines << name + QLatin1Char('|') + titles.join(QLatin1Char('|'));
    }
    lines.sort();
    return lines;
}

using MakeCommand = std::function<VaultCommand*(Vault&)>;
// A change made beside the stack, between doing a step and taking it back.
using Change = std::function<void(Vault&)>;

} // namespace

Q_DECLARE_METATYPE(MakeCommand)
Q_DECLARE_METATYPE(Change)

class TestVaultCommands : public QObject
{
    Q_OBJECT

private:
    Vault vault;
    std::unique_ptr<TreeModel> tree;
    std::unique_ptr<QAbstractItemModelTester> tester;
    QUndoStack stack;

    static MakeCommand save(const QString& id, const QString& title, const QString& category, bool adds = false)
    {
        return [=](Vault& v) -> VaultCommand* {
            // A new entry is there before its first save, as Add Entry leaves it.
            if (adds)
                v.addEntry(entryWithId(id, QStringLiteral("New"), QStringLiteral("General")));
            Entry entry = v.entries().findById(id) ? *v.entries().findById(id) : entryWithId(id, title, category);
            entry.title = title;
            entry.password = QStringLiteral("changed");
            return new SaveEntryCommand(v, entry, category, adds);
        };
    }

    static MakeCommand import(const QList<Entry>& entries)
    {
        return [=](Vault& v) -> VaultCommand* { return new ImportCommand(v, TestVault::entryList(entries)); };
    }

private slots:
    // The entries of each category are spread through the list, so that putting records
    // back where they were is seen.
    void init()
    {
        TestVault::prepare();
        stack.clear();
        tester.reset();
        tree.reset();
        vault.reset(
            {QStringLiteral("General"), QStringLiteral("Work"), QStringLiteral("Home")},
            TestVault::entryList({entryWithId("id-mail", "Mail", "Work"), entryWithId("id-shop", "Shop", "General"),
                                  entryWithId("id-wiki", "Wiki", "Work"), entryWithId("id-bank", "Bank", "Home"),
                                  entryWithId("id-note", "Note", "Work")}));
        tree = std::make_unique<TreeModel>(vault);
        tester = std::make_unique<QAbstractItemModelTester>(tree.get(),
                                                            QAbstractItemModelTester::FailureReportingMode::QtTest);
    }

    void cleanup()
    {
        tester.reset();
        tree.reset();
    }

    void undoRedo_data()
    {
        QTest::addColumn<MakeCommand>("make");
        QTest::addColumn<QStringList>("after"); // held(vault), or empty when the step is dropped
        QTest::addColumn<QString>("text");
        const auto removeEntry = [](const QString& id) {
            return MakeCommand([=](Vault& v) { return new DeleteEntryCommand(v, id); });
        };
        const auto removeCategory = [](const QString& name) {
            return MakeCommand([=](Vault& v) { return new DeleteCategoryCommand(v, name); });
        };
        QTest::newRow("delete an entry from the middle")
            << removeEntry("id-wiki") << QStringList{"General|Shop", "Home|Bank", "Work|Mail|Note"}
            << "Delete \"Wiki\"";
        QTest::newRow("delete an unknown entry") << removeEntry("id-none") << QStringList() << "";
        QTest::newRow("delete a category spread through the list")
            << removeCategory("Work") << QStringList{"General|Shop", "Home|Bank"} << "Delete Category \"Work\"";
        QTest::newRow("delete the last category")
            << removeCategory("Home") << QStringList{"General|Shop", "Work|Mail|Note|Wiki"}
            << "Delete Category \"Home\"";
        QTest::newRow("General is refused") << removeCategory("General") << QStringList() << "";
        QTest::newRow("save in place") << save("id-wiki", "Edited", "Work")
                                       << QStringList{"General|Shop", "Home|Bank", "Work|Edited|Mail|Note"}
                                       << "Save \"Edited\"";
        QTest::newRow("save into another category")
            << save("id-wiki", "Edited", "Home") << QStringList{"General|Shop", "Home|Bank|Edited", "Work|Mail|Note"}
            << "Move \"Edited\" to \"Home\"";
        QTest::newRow("save into an unknown category stays")
            << save("id-wiki", "Edited", "Nowhere") << QStringList{"General|Shop", "Home|Bank", "Work|Edited|Mail|Note"}
            << "Save \"Edited\"";
        QTest::newRow("first save of a new entry, into another category")
            << save("id-new", "Added", "Work", true)
            << QStringList{"General|Shop", "Home|Bank", "Work|Added|Mail|Note|Wiki"} << "Add \"Added\"";
        QTest::newRow("save of an entry that has gone") << save("id-none", "Edited", "Work") << QStringList() << "";
        QTest::newRow("import: new categories, a known id skipped")
            << import({entryWithId("id-mail", "Remote", "Travel"), entryWithId("id-1", "Train", "Travel"),
                       entryWithId("id-2", "Lower", "work"), entryWithId("id-3", "Extra", "Home")})
            << QStringList{"General|Shop", "Home|Bank|Extra", "Travel|Train", "Work|Mail|Note|Wiki", "work|Lower"}
            << "Import 3 Entries";
        // A foreign format names its folders, empty ones too; the step takes them back with it.
        QTest::newRow("import: categories of their own, one empty") << MakeCommand([](Vault& v) -> VaultCommand* {
            return new ImportCommand(v, TestVault::entryList({entryWithId("id-1", "Train", "Travel")}),
                                     {"Empty", "Travel", "Work"});
        }) << QStringList{"Empty|", "General|Shop", "Home|Bank", "Travel|Train", "Work|Mail|Note|Wiki"}
                                                                    << "Import 1 Entry";
        QTest::newRow("import of known entries only")
            << import({entryWithId("id-mail", "Remote", "Work")}) << QStringList() << "";
    }

    // Undo gives back exactly the vault before the step, redo the vault after it, as often as
    // asked; the tree follows each time. A step that changed nothing is not kept.
    void undoRedo()
    {
        QFETCH(MakeCommand, make);
        QFETCH(QStringList, after);
        QFETCH(QString, text);
        const QStringList before = snapshot(vault);

        stack.push(make(vault));

        QCOMPARE(stack.count(), after.isEmpty() ? 0 : 1);
        if (after.isEmpty()) {
            QCOMPARE(snapshot(vault), before);
            return;
        }
        QCOMPARE(stack.undoText(), text);
        QCOMPARE(held(vault), after);
        const QStringList done = snapshot(vault);
        for (int round = 0; round < 2; ++round) {
            stack.undo();
            QCOMPARE(snapshot(vault), before);
            QCOMPARE(shown(*tree), held(vault));
            stack.redo();
            QCOMPARE(snapshot(vault), done);
            QCOMPARE(shown(*tree), held(vault));
        }
    }

    void afterOtherChanges_data()
    {
        QTest::addColumn<MakeCommand>("make");
        QTest::addColumn<Change>("change");
        QTest::addColumn<QStringList>("undone"); // held(vault) after the undo
        QTest::addColumn<QStringList>("redone");
        const Change addToHome = [](Vault& v) { v.addEntry(entryWithId("id-late", "Late", "Home")); };
        QTest::newRow("deleted entry comes back beside a later one")
            << MakeCommand([](Vault& v) { return new DeleteEntryCommand(v, QStringLiteral("id-bank")); }) << addToHome
            << QStringList{"General|Shop", "Home|Bank|Late", "Work|Mail|Note|Wiki"}
            << QStringList{"General|Shop", "Home|Late", "Work|Mail|Note|Wiki"};
        QTest::newRow("deleted entry whose category went meanwhile")
            << MakeCommand([](Vault& v) { return new DeleteEntryCommand(v, QStringLiteral("id-bank")); })
            << Change([](Vault& v) { v.removeCategory(QStringLiteral("Home")); })
            << QStringList{"General|Shop", "Home|Bank", "Work|Mail|Note|Wiki"}
            << QStringList{"General|Shop", "Home|", "Work|Mail|Note|Wiki"};
        QTest::newRow("deleted category made again meanwhile")
            << MakeCommand([](Vault& v) { return new DeleteCategoryCommand(v, QStringLiteral("Home")); })
            << Change([](Vault& v) { v.merge(TestVault::entryList({entryWithId("id-late", "Late", "Home")})); })
            << QStringList{"General|Shop", "Home|Bank|Late", "Work|Mail|Note|Wiki"}
            << QStringList{"General|Shop", "Work|Mail|Note|Wiki"};
        QTest::newRow("save of an entry deleted meanwhile")
            << save("id-bank", "Edited", "Work") << Change([](Vault& v) { v.removeEntry(QStringLiteral("id-bank")); })
            << QStringList{"General|Shop", "Home|", "Work|Mail|Note|Wiki"}
            << QStringList{"General|Shop", "Home|", "Work|Mail|Note|Wiki"};
        // The import's category stays for the entry that came into it from elsewhere.
        QTest::newRow("imported category gained an entry")
            << import({entryWithId("id-1", "Train", "Travel")})
            << Change([](Vault& v) { v.addEntry(entryWithId("id-late", "Late", "Travel")); })
            << QStringList{"General|Shop", "Home|Bank", "Travel|Late", "Work|Mail|Note|Wiki"}
            << QStringList{"General|Shop", "Home|Bank", "Travel|Late|Train", "Work|Mail|Note|Wiki"};
        QTest::newRow("imported entry deleted meanwhile")
            << import({entryWithId("id-1", "Train", "Home"), entryWithId("id-2", "Bus", "Home")})
            << Change([](Vault& v) { v.removeEntry(QStringLiteral("id-1")); })
            << QStringList{"General|Shop", "Home|Bank", "Work|Mail|Note|Wiki"}
            << QStringList{"General|Shop", "Home|Bank|Bus", "Work|Mail|Note|Wiki"};
    }

    // Steps name their records by id: a change beside the stack is neither undone nor lost.
    void afterOtherChanges()
    {
        QFETCH(MakeCommand, make);
        QFETCH(Change, change);
        QFETCH(QStringList, undone);
        QFETCH(QStringList, redone);
        stack.push(make(vault));
        QCOMPARE(stack.count(), 1);
        change(vault);

        stack.undo();
        QCOMPARE(held(vault), undone);
        QCOMPARE(shown(*tree), held(vault));
        stack.redo();
        QCOMPARE(held(vault), redone);
        QCOMPARE(shown(*tree), held(vault));
    }

    // Random steps (merges among them), undos and redos, and websites changed beside the stack as
    // another computer would: the vault always equals what it was after the step the stack stands
    // at, and every website holds its last change, which no undo or redo takes back.
    void randomHistory()
    {
        QRandomGenerator random(20261207);
        QList<QStringList> states{snapshot(vault, false)}; // states[i]: after i steps
        QHash<QString, QString> urls;                      // the websites changed beside the stack
        int serial = 0;
        for (int round = 0; round < 600; ++round) {
            const EntryList& entries = vault.entries();
            const QStringList& names = vault.categoryNames();
            const auto someEntry = [&] { return entries.at(random.bounded(int(entries.size()))); };
            const auto someName = [&] { return names.at(random.bounded(int(names.size()))); };
            const int choice = random.bounded(14);
            QList<Entry> merged; // a merge's result, to compare with what the step did
            VaultCommand* command = nullptr;
            if (choice < 2) {
                stack.undo();
            } else if (choice < 4) {
                stack.redo();
            } else if (choice == 4 && !entries.isEmpty()) {
                command = new DeleteEntryCommand(vault, someEntry().id);
            } else if (choice == 5 && !names.isEmpty()) {
                command = new DeleteCategoryCommand(vault, someName());
            } else if (choice == 6 && !entries.isEmpty() && !names.isEmpty()) {
                Entry entry = someEntry();
                entry.title = QStringLiteral("Saved %1").arg(++serial);
                command = new SaveEntryCommand(vault, entry, someName());
            } else if (choice == 7) {
                // The first save of an entry just added beside the stack, as the window does.
                ++serial;
                if (!names.isEmpty())
                    command = save(QStringLiteral("new-%1").arg(serial), QStringLiteral("Added %1").arg(serial),
                                   someName(), true)(vault);
            } else if ((choice == 10 || choice == 11) && !entries.isEmpty()) {
                // Mostly an entry of the step Undo takes back next, where a whole record put back shows.
                Entry changed = someEntry();
                const auto* next = dynamic_cast<const VaultCommand*>(stack.command(stack.index() - 1));
                for (const Entry& entry : entries) {
                    if (next && next->touchesEntry(entry.id) && random.bounded(3) > 0) {
                        changed = entry;
                        break;
                    }
                }
                changed.url = QStringLiteral("https://elsewhere/%1").arg(++serial);
                vault.saveEntry(changed, changed.category);
                urls.insert(changed.id, changed.url);
            } else if (choice >= 12) {
                // The other computer's version: some fields changed, an entry deleted, one added.
                merged = entries.toList();
                QStringList mergedNames = names;
                for (int k = random.bounded(4); k > 0 && !merged.isEmpty(); --k) {
                    Entry& entry = merged[random.bounded(int(merged.size()))];
                    switch (random.bounded(4)) {
                    case 0:
                        entry.title = QStringLiteral("There %1").arg(++serial);
                        break;
                    case 1:
                        entry.password = QStringLiteral("pw %1").arg(++serial);
                        entry.dateChanged = entry.dateChanged.addSecs(serial);
                        break;
                    case 2:
                        entry.category = names.isEmpty() ? entry.category : someName();
                        break;
                    default:
                        merged.removeAt(random.bounded(int(merged.size())));
                    }
                }
                if (random.bounded(4) == 0 && !names.isEmpty()) {
                    const QString gone = someName(); // with its entries, but "General" stays
                    if (gone != Vault::generalCategory()) {
                        mergedNames.removeAll(gone);
                        merged.removeIf([&gone](const Entry& entry) { return entry.category == gone; });
                    }
                }
                if (random.bounded(2) == 0) {
                    const QString name = QStringLiteral("Cat %1").arg(random.bounded(3));
                    if (!mergedNames.contains(name))
                        mergedNames << name;
                    merged << entryWithId(QStringLiteral("there-%1").arg(++serial), "There", name);
                }
                const VaultChangePlan plan =
                    planVaultChanges(names, entries, mergedNames, TestVault::entryList(merged));
                command = new MergeCommand(vault, plan, QStringLiteral("Merge from Another Computer"));
            } else {
                QList<Entry> list;
                for (int k = random.bounded(4); k >= 0; --k) {
                    const bool known = !entries.isEmpty() && random.bounded(3) == 0;
                    list << (known ? someEntry()
                                   : entryWithId(QStringLiteral("in-%1").arg(++serial), "In",
                                                 QStringLiteral("Cat %1").arg(random.bounded(3))));
                }
                command = new ImportCommand(vault, TestVault::entryList(list));
            }
            if (command) {
                const int at = stack.index();
                stack.push(command);
                if (stack.index() > at) {
                    states.resize(at + 1);
                    states << snapshot(vault, false);
                }
                if (choice >= 12)
                    QCOMPARE(sortedRecords(vault.entries().toList()), sortedRecords(merged));
            }
            QCOMPARE(snapshot(vault, false), states.at(stack.index()));
            QCOMPARE(shown(*tree), held(vault));
            for (const Entry& entry : vault.entries()) {
                if (urls.contains(entry.id))
                    QCOMPARE(entry.url, urls.value(entry.id));
            }
        }
    }
};

QTEST_GUILESS_MAIN(TestVaultCommands)
#include "tst_vaultcommands.moc"
