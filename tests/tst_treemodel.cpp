#include "support/testvault.h"
#include "vault/treeitem.h"
#include "vault/treemodel.h"
#include "vault/vault.h"

#include <QAbstractItemModelTester>
#include <QIcon>
#include <QSignalSpy>
#include <QTest>

class TestTreeModel : public QObject
{
    Q_OBJECT

private:
    QList<Entry> sample;
    Vault vault;

private slots:
    void init()
    {
        TestVault::prepare();
        sample = {TestVault::makeEntry(QStringLiteral("Mail"), QStringLiteral("Work")),
                  TestVault::makeEntry(QStringLiteral("Bank"), QStringLiteral("Home")),
                  TestVault::makeEntry(QStringLiteral("Wiki"), QStringLiteral("Work")),
                  TestVault::makeEntry(QStringLiteral("Lost"), QStringLiteral("Nowhere"))};
        vault.reset({QStringLiteral("Work"), QStringLiteral("Home"), QStringLiteral("Work")},
                    TestVault::entryList(sample));
    }

    void buildsTwoLevelsInListOrder()
    {
        TreeModel model(vault);
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
        QCOMPARE(model.rowCount(), 3);
        const QModelIndex work = model.index(0, 0);
        QCOMPARE(model.data(work).toString(), QStringLiteral("Work"));
        QCOMPARE(model.rowCount(work), 2);
        QCOMPARE(model.data(model.index(1, 0, work)).toString(), QStringLiteral("Wiki"));
        // A duplicate name gets its own row, but every entry goes under the first one.
        QCOMPARE(model.rowCount(model.index(2, 0)), 0);
        // An entry whose category does not exist has no row but stays in the list.
        QVERIFY(!model.findEntry(sample.at(3)).isValid());
        QCOMPARE(vault.entries().size(), 4);
    }

    void rolesColumnsAndFlags()
    {
        TreeModel model(vault);
        const QModelIndex work = model.index(0, 0);
        const QModelIndex mail = model.index(0, 0, work);
        QCOMPARE(model.columnCount(), 1);
        QCOMPARE(model.columnCount(work), 1);
        QCOMPARE(model.headerData(0, Qt::Horizontal, Qt::DisplayRole).toString(), QStringLiteral("Entries"));
        QVERIFY(!model.headerData(0, Qt::Vertical, Qt::DisplayRole).isValid());
        // Columns past the reported count still reach the record.
        QCOMPARE(model.data(model.index(0, 2, work)).toString(), sample.at(0).id);
        QVERIFY(!model.index(0, 0, model.index(0, 1)).isValid());
        QCOMPARE(model.data(mail, Qt::DecorationRole).value<QIcon>().cacheKey(),
                 model.data(model.index(1, 0, work), Qt::DecorationRole).value<QIcon>().cacheKey());
        QVERIFY(model.data(mail, Qt::DecorationRole).value<QIcon>().cacheKey() !=
                model.data(work, Qt::DecorationRole).value<QIcon>().cacheKey());
        QVERIFY(!model.data(mail, Qt::ToolTipRole).isValid());
        QCOMPARE(int(model.flags(QModelIndex())), 0);
        QCOMPARE(int(model.flags(mail)), 35);
        QVERIFY(!model.parent(work).isValid());
        QCOMPARE(model.parent(mail), work);
    }

    void rowOperationsSignalAndValidate()
    {
        TreeModel model(vault);
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
        QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
        QSignalSpy removed(&model, &QAbstractItemModel::rowsRemoved);
        QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
        const QModelIndex home = model.index(1, 0);

        QVERIFY(!model.insertRows(model.rowCount(home) + 1, 1, home));
        QVERIFY(!model.insertRows(-1, 1, home));
        QVERIFY(!model.removeRows(0, 2, home));
        QVERIFY(model.removeRows(0, 0, home)); // nothing to remove is no failure
        QCOMPARE(inserted.count() + removed.count(), 0);

        QVERIFY(model.insertRows(model.rowCount(home), 1, home));
        QCOMPARE(inserted.count(), 1);
        Entry added = TestVault::makeEntry(QStringLiteral("Added"), QStringLiteral("Home"));
        model.setEntryAt(added, model.index(1, 0, home));
        QCOMPARE(changed.count(), 1);
        QCOMPARE(model.findEntry(added), model.index(1, 0, home));
        QCOMPARE(model.entryAt(model.index(1, 0, home)).title, QStringLiteral("Added"));
        QCOMPARE(model.entryAt(home).id, QStringLiteral("0"));
        QCOMPARE(model.entryAt(QModelIndex()).id, QStringLiteral("0"));

        QVERIFY(model.setData(model.index(0, 0), QStringLiteral("Job")));
        QVERIFY(!model.setData(model.index(0, 0), QStringLiteral("x"), Qt::DisplayRole));
        QVERIFY(model.removeRows(0, 1, QModelIndex()));
        QCOMPARE(removed.count(), 1);
        QCOMPARE(model.rowCount(), 2);
        QVERIFY(model.setHeaderData(0, Qt::Horizontal, QStringLiteral("All")));
        QVERIFY(!model.setHeaderData(0, Qt::Vertical, QStringLiteral("All")));
        QCOMPARE(model.headerData(0, Qt::Horizontal).toString(), QStringLiteral("All"));
    }

    void lookups()
    {
        TreeModel model(vault);
        QCOMPARE(model.findCategory(QStringLiteral("Home")), model.index(1, 0));
        QVERIFY(!model.findCategory(QStringLiteral("home")).isValid());
        QCOMPARE(model.findEntry(sample.at(2)), model.index(1, 0, model.index(0, 0)));
        // Only the category and id of the record are looked at.
        Entry moved = sample.at(2);
        moved.category = QStringLiteral("Home");
        QVERIFY(!model.findEntry(moved).isValid());
    }

    void columnsAreSharedByTheWholeTree()
    {
        TreeModel model(vault);
        QVERIFY(model.insertColumns(1, 1));
        QCOMPARE(model.columnCount(), 2);
        QVERIFY(!model.insertColumns(5, 1));
        QVERIFY(model.insertColumns(2, 0));
        QVERIFY(model.removeColumns(0, 0)); // nothing to remove is no failure
        QVERIFY(!model.removeColumns(0, -1));
        QCOMPARE(model.columnCount(), 2);
        QVERIFY(model.removeColumns(0, 2));
        // With no column left the rows go too.
        QCOMPARE(model.rowCount(), 0);
    }

    // rows keep showing their own entries when an entry before them goes.
    void rowsFollowTheirEntriesThroughRemovals()
    {
        TestVault::prepare();
        Vault vault;
        const QList<Entry> entries = {TestVault::makeEntry("a", "C"), TestVault::makeEntry("b", "C"),
                                      TestVault::makeEntry("c", "D"), TestVault::makeEntry("d", "C")};
        vault.reset({"C", "D"}, TestVault::entryList(entries));
        TreeModel tree(vault);
        vault.removeEntry(entries.at(1).id);
        const QModelIndex c = tree.findCategory("C");
        QCOMPARE(tree.rowCount(c), 2);
        QCOMPARE(tree.index(1, 0, c).data().toString(), QStringLiteral("d"));
        QCOMPARE(tree.entryAt(tree.index(0, 0, tree.findCategory("D"))).id, entries.at(2).id);
        vault.removeCategory("D");
        QCOMPARE(tree.entryAt(tree.index(1, 0, tree.findCategory("C"))).id, entries.at(3).id);
    }

    // Two entries with one id (only a damaged file holds them): each edit reaches the row of the
    // entry the vault changed, never its twin's, and no row is left without its entry.
    void duplicateIdsKeepTheirOwnRows()
    {
        TestVault::prepare();
        Vault vault;
        Entry first = TestVault::makeEntry("First", "C");
        Entry second = TestVault::makeEntry("Second", "D");
        second.id = first.id;
        vault.reset({"C", "D"}, TestVault::entryList({first, second}));
        TreeModel tree(vault);
        QAbstractItemModelTester tester(&tree, QAbstractItemModelTester::FailureReportingMode::QtTest);
        const auto titles = [&tree](const QString& category) {
            QStringList titles;
            const QModelIndex parent = tree.findCategory(category);
            for (int row = 0; row < tree.rowCount(parent); ++row)
                titles << tree.index(row, 0, parent).data().toString();
            return titles;
        };

        // The vault changes the first of the two; its row moves behind its twin's.
        first.title = "Moved";
        vault.saveEntry(first, "D");
        QCOMPARE(titles("C"), QStringList());
        QCOMPARE(titles("D"), QStringList({"Second", "Moved"}));
        first.category = "D";
        first.title = "Again";
        vault.saveEntry(first, "D");
        QCOMPARE(titles("D"), QStringList({"Second", "Again"}));
        vault.removeEntry(first.id);
        QCOMPARE(titles("D"), QStringList({"Second"}));
        vault.removeEntry(first.id);
        QCOMPARE(titles("D"), QStringList());
    }
};

QTEST_MAIN(TestTreeModel)
#include "tst_treemodel.moc"
