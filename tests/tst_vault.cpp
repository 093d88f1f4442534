#include "support/testvault.h"
#include "vault/filtermodel.h"
#include "vault/treemodel.h"
#include "vault/vault.h"

#include <QAbstractItemModelTester>
#include <QSignalSpy>
#include <QTest>

#include <functional>
#include <memory>

namespace {

// One change to the vault; returns what the vault answered.
using Edit = std::function<bool(Vault&)>;

Entry entryWithId(const QString& id, const QString& title, const QString& category)
{
    Entry entry = TestVault::makeEntry(title, category);
    entry.id = id;
    return entry;
}

// Each category as "name|title|title": the tree's rows in row order, or the vault's names
// with their entries in list order.
QStringList titles(const EntryList& entries)
{
    QStringList list;
    for (const Entry& entry : entries)
        list << entry.title;
    return list;
}

QStringList lines(const TreeModel& tree)
{
    QStringList lines;
    for (int c = 0; c < tree.rowCount(); ++c) {
        const QModelIndex category = tree.index(c, 0);
        QStringList line{category.data().toString()};
        for (int r = 0; r < tree.rowCount(category); ++r)
            line << tree.index(r, 0, category).data().toString();
        lines << line.join(QLatin1Char('|'));
    }
    return lines;
}

QStringList lines(const Vault& vault)
{
    QStringList lines;
    for (const QString& name : vault.categoryNames()) {
        QStringList line{name};
        for (const Entry& entry : vault.entries()) {
            if (entry.category == name)
                line << entry.title;
        }
        lines << line.join(QLatin1Char('|'));
    }
    return lines;
}

// The models the main window puts over a vault, each checked by a tester.
struct Models
{
    explicit Models(const Vault& vault) : tree(vault), filter(vault)
    {
        filter.setSourceModel(&tree);
        filter.sort(0);
    }

    TreeModel tree;
    FilterModel filter;
    QAbstractItemModelTester treeTester{&tree, QAbstractItemModelTester::FailureReportingMode::QtTest};
    QAbstractItemModelTester filterTester{&filter, QAbstractItemModelTester::FailureReportingMode::QtTest};
};

} // namespace

// What editing and merging do to the vault and to the models that mirror it.
class TestVaultEditing : public QObject
{
    Q_OBJECT

private:
    Vault vault;
    std::unique_ptr<Models> models;
    const QString initial = QStringLiteral("General|Shop;Work|Mail|Wiki|Note");

private slots:
    void init()
    {
        TestVault::prepare();
        EntryList entries;
        for (const QString title : {"Shop", "Mail", "Wiki", "Note"})
            entries.append(entryWithId("id-" + title.toLower(), title, title == "Shop" ? "General" : "Work"));
        vault.reset({QStringLiteral("General"), QStringLiteral("Work")}, entries);
        models = std::make_unique<Models>(vault);
    }

    void cleanup() { models.reset(); }

    void edit_data()
    {
        QTest::addColumn<Edit>("edit");
        QTest::addColumn<bool>("done");
        QTest::addColumn<int>("inserted"); // rows of the tree
        QTest::addColumn<int>("removed");
        QTest::addColumn<QString>("rows"); // "category|title|title;category|title"
        const auto add = [](const QString& name) { return Edit([=](Vault& v) { return v.addCategory(name); }); };
        const auto append = [](const Entry& entry) { return Edit([=](Vault& v) { return v.addEntry(entry); }); };
        // Wiki (or a record the vault lacks) edited and saved; done when it ends in `category`.
        const auto save = [](const QString& category, const QString& id = QStringLiteral("id-wiki")) {
            return Edit([=](Vault& v) {
                Entry wiki = entryWithId(id, QStringLiteral("Edited"), QStringLiteral("Work"));
                return v.saveEntry(wiki, category).category == category;
            });
        };
        const auto drop = [](const QString& name) { return Edit([=](Vault& v) { return v.removeCategory(name); }); };
        const auto remove = [](const QString& id) { return Edit([=](Vault& v) { return v.removeEntry(id); }); };
        // Done when the counts and the categories made are those given.
        // A copy of the entries taken before (as a save's snapshot) stays as it was.
        const auto merge = [](const QList<Entry>& list, int added, int skipped, const QStringList& created) {
            return Edit([=](Vault& v) {
                const EntryList before = v.entries();
                const QStringList titlesBefore = titles(before);
                const Vault::MergeResult result = v.merge(TestVault::entryList(list));
                return result.added == added && result.skipped == skipped && result.createdCategories == created &&
                       titles(before) == titlesBefore && result.addedIds.size() == added &&
                       (added == 0 || v.entries().indexOfId(result.addedIds.last()) == v.entries().size() - 1);
            });
        };

        QTest::newRow("category") << add("Home") << true << 1 << 0 << initial + ";Home";
        QTest::newRow("category twice") << Edit([](Vault& v) {
            return v.addCategory("Home") && !v.addCategory("Home");
        }) << true << 1 << 0 << initial + ";Home";
        QTest::newRow("category differing in case") << add("work") << true << 1 << 0 << initial + ";work";
        QTest::newRow("entry at the end of its category")
            << append(entryWithId("id-new", "Aaa", "Work")) << true << 1 << 0 << initial + "|Aaa";
        // Kept, yet outside the tree until its category exists, as after a load.
        QTest::newRow("entry without its category") << Edit([](Vault& v) {
            return v.addEntry(entryWithId("id-new", "Lost", "Home")) && v.entries().size() == 5;
        }) << true << 0 << 0 << initial;
        QTest::newRow("entry with a known id")
            << append(entryWithId("id-mail", "Twin", "General")) << false << 0 << 0 << initial;
        QTest::newRow("saved in place") << save("Work") << true << 0 << 0 << "General|Shop;Work|Mail|Edited|Note";
        QTest::newRow("saved into another category, at its end")
            << save("General") << true << 1 << 1 << "General|Shop|Edited;Work|Mail|Note";
        QTest::newRow("saved into an unknown category stays")
            << save("Nowhere") << false << 0 << 0 << "General|Shop;Work|Mail|Edited|Note";
        QTest::newRow("saved, not held") << save("Work", "id-other") << true << 0 << 0 << initial;
        QTest::newRow("category with its entries") << drop("Work") << true << 0 << 1 << "General|Shop";
        QTest::newRow("General refused") << drop("General") << false << 0 << 0 << initial;
        QTest::newRow("unknown category") << drop("work") << false << 0 << 0 << initial;
        QTest::newRow("entry") << remove("id-wiki") << true << 0 << 1 << "General|Shop;Work|Mail|Note";
        QTest::newRow("unknown entry") << remove("id-none") << false << 0 << 0 << initial;
        // The known id keeps the local record, yet its category still arrives.
        QTest::newRow("merge: known id skipped, categories created")
            << merge({entryWithId("id-mail", "Remote", "Travel"), entryWithId("id-2", "Lower", "work")}, 1, 1,
                     {"Travel", "work"})
            << true << 3 << 0 << initial + ";Travel;work|Lower";
        QTest::newRow("merge: same id twice in the list")
            << merge({entryWithId("id-2", "Lower", "General"), entryWithId("id-2", "Other", "Work")}, 1, 1, {}) << true
            << 1 << 0 << "General|Shop|Lower;Work|Mail|Wiki|Note";
        QTest::newRow("merge: empty list") << merge({}, 0, 0, {}) << true << 0 << 0 << initial;
        // A list longer than the vault's lends its storage: the same rules hold.
        QTest::newRow("merge: longer than the vault")
            << merge({entryWithId("id-a", "A", "Work"), entryWithId("id-mail", "Remote", "Work"),
                      entryWithId("id-b", "B", "General"), entryWithId("id-a", "Again", "General"),
                      entryWithId("id-c", "C", "Travel"), entryWithId("id-d", "D", "Work")},
                     4, 2, {"Travel"})
            << true << 4 << 0 << "General|Shop|B;Work|Mail|Wiki|Note|A|D;Travel|C";
    }

    // The vault changes as asked, and the tree follows row by row.
    void edit()
    {
        QFETCH(Edit, edit);
        QFETCH(bool, done);
        QFETCH(int, inserted);
        QFETCH(int, removed);
        QFETCH(QString, rows);
        QSignalSpy insertions(&models->tree, &QAbstractItemModel::rowsInserted);
        QSignalSpy removals(&models->tree, &QAbstractItemModel::rowsRemoved);

        QCOMPARE(edit(vault), done);

        QCOMPARE(lines(vault).join(';'), rows);
        QCOMPARE(lines(models->tree).join(';'), rows);
        QCOMPARE(insertions.count(), inserted);
        QCOMPARE(removals.count(), removed);
        QCOMPARE(models->filter.rowCount(), rows.count(';') + 1);
    }
};

QTEST_MAIN(TestVaultEditing)
#include "tst_vault.moc"
