#include "support/testvault.h"
#include "vault/filtermodel.h"
#include "vault/treemodel.h"
#include "vault/vault.h"

#include <QAbstractItemModelTester>
#include <QSignalSpy>
#include <QTest>

namespace {

// Texts of the proxy rows under `parent`, in display order.
QStringList rowTexts(const QAbstractItemModel& model, const QModelIndex& parent = QModelIndex())
{
    QStringList texts;
    for (int row = 0; row < model.rowCount(parent); ++row)
        texts << model.index(row, 0, parent).data().toString();
    return texts;
}

} // namespace

namespace {

// The rows a view would show, categories with their entries indented below them.
QStringList shownRows(const FilterModel& filter)
{
    QStringList rows;
    for (int row = 0; row < filter.rowCount(); ++row) {
        const QModelIndex category = filter.index(row, 0);
        rows << category.data().toString();
        for (int child = 0; child < filter.rowCount(category); ++child)
            rows << QStringLiteral("  ") + filter.index(child, 0, category).data().toString();
    }
    return rows;
}

} // namespace

class TestFilterModel : public QObject
{
    Q_OBJECT

private:
    Vault vault;
    std::unique_ptr<TreeModel> tree;
    std::unique_ptr<FilterModel> filter;

    void build(const QStringList& categories, const QList<Entry>& entries)
    {
        vault.reset(categories, TestVault::entryList(entries));
        tree = std::make_unique<TreeModel>(vault);
        filter = std::make_unique<FilterModel>(vault);
        filter->setDynamicSortFilter(true);
        filter->setSourceModel(tree.get());
        filter->setFilterCaseSensitivity(Qt::CaseInsensitive);
        filter->setFilterKeyColumn(0);
        filter->sort(0, Qt::AscendingOrder);
    }

    QModelIndex category(const QString& name) const { return filter->mapFromSource(tree->findCategory(name)); }

private slots:
    void init()
    {
        TestVault::prepare();
        build(
            {QStringLiteral("Work"), QStringLiteral("Zebra"), QStringLiteral("apple"), QStringLiteral("Bank"),
             QStringLiteral("Empty")},
            {TestVault::makeEntry(QStringLiteral("Mail"), QStringLiteral("Work"), QStringLiteral("webmail-user"),
                                  QStringLiteral("https://mail.example"), QStringLiteral(""), QStringLiteral("secret")),
             TestVault::makeEntry(QStringLiteral("Chat"), QStringLiteral("Work"), QStringLiteral("me"),
                                  QStringLiteral("chat.example"), QStringLiteral("uses *stars*"),
                                  QStringLiteral("mailpass")),
             TestVault::makeEntry(QStringLiteral("Build"), QStringLiteral("Work"), QStringLiteral("ci"),
                                  QStringLiteral("ci.example"), QStringLiteral("v1.2"), QStringLiteral("x")),
             TestVault::makeEntry(QStringLiteral("Savings"), QStringLiteral("Bank"), QStringLiteral("owner"),
                                  QStringLiteral("bank"), QStringLiteral("Zürich branch"), QStringLiteral("y")),
             TestVault::makeEntry(QStringLiteral("Alpha"), QStringLiteral("Bank"), QStringLiteral("a"),
                                  QStringLiteral("b"), QStringLiteral(""), QStringLiteral("z"))});
    }

    void sortsByCodeUnitAndCounts()
    {
        QAbstractItemModelTester tester(filter.get(), QAbstractItemModelTester::FailureReportingMode::QtTest);
        QCOMPARE(rowTexts(*filter), QStringList({"Bank (2)", "Empty", "Work (3)", "Zebra", "apple"}));
        QCOMPARE(rowTexts(*filter, category(QStringLiteral("Work"))), QStringList({"Build", "Chat", "Mail"}));
        // Sorting uses the bare name, not the counted text.
        QCOMPARE(tree->data(tree->findCategory(QStringLiteral("Work"))).toString(), QStringLiteral("Work"));
        // A name is shown as typed, even one that looks like a placeholder.
        vault.addCategory(QStringLiteral("%2 %1"));
        vault.addEntry(TestVault::makeEntry(QStringLiteral("Pin"), QStringLiteral("%2 %1")));
        QCOMPARE(category(QStringLiteral("%2 %1")).data().toString(), QStringLiteral("%2 %1 (1)"));
    }

    void filterRule_data()
    {
        QTest::addColumn<QString>("search");
        QTest::addColumn<QStringList>("work");
        QTest::addColumn<QStringList>("bank");

        QTest::newRow("empty shows all") << "" << QStringList{"Build", "Chat", "Mail"}
                                         << QStringList{"Alpha", "Savings"};
        QTest::newRow("case folded, account") << "MAIL" << QStringList{"Mail"} << QStringList{};
        QTest::newRow("password never searched") << "secret" << QStringList{} << QStringList{};
        QTest::newRow("id never searched") << "ZZZZ" << QStringList{} << QStringList{};
        QTest::newRow("dot is literal") << "." << QStringList{"Build", "Chat", "Mail"} << QStringList{};
        QTest::newRow("dot inside text") << "1.2" << QStringList{"Build"} << QStringList{};
        QTest::newRow("star is literal") << "*" << QStringList{"Chat"} << QStringList{};
        QTest::newRow("pattern characters") << "^ci" << QStringList{} << QStringList{};
        QTest::newRow("category name finds all") << "bank" << QStringList{} << QStringList{"Alpha", "Savings"};
        QTest::newRow("notes, non-ASCII") << "zÜRICH" << QStringList{} << QStringList{"Savings"};
        QTest::newRow("title") << "savi" << QStringList{} << QStringList{"Savings"};
        QTest::newRow("url") << "CHAT.EX" << QStringList{"Chat"} << QStringList{};
        QTest::newRow("backslash") << "\\" << QStringList{} << QStringList{};
    }

    void filterRule()
    {
        QFETCH(QString, search);
        QFETCH(QStringList, work);
        QFETCH(QStringList, bank);
        filter->setFilterFixedString(search);
        QCOMPARE(rowTexts(*filter, category(QStringLiteral("Work"))), work);
        QCOMPARE(rowTexts(*filter, category(QStringLiteral("Bank"))), bank);
        // Categories always stay; a count appears only while entries are visible.
        QCOMPARE(filter->rowCount(), 5);
        const QString workText = category(QStringLiteral("Work")).data().toString();
        QCOMPARE(workText, work.isEmpty() ? QStringLiteral("Work") : QStringLiteral("Work (%1)").arg(work.size()));
    }

    void followsTheSourceAsItChanges()
    {
        QAbstractItemModelTester tester(filter.get(), QAbstractItemModelTester::FailureReportingMode::QtTest);
        filter->setFilterFixedString(QStringLiteral("aa"));
        QSignalSpy inserted(filter.get(), &QAbstractItemModel::rowsInserted);

        // A new entry at the end of its category appears in its sorted place.
        vault.addEntry(TestVault::makeEntry(QStringLiteral("Aardvark"), QStringLiteral("Work")));
        QCOMPARE(rowTexts(*filter, category(QStringLiteral("Work"))), QStringList({"Aardvark"}));
        QVERIFY(inserted.count() >= 1);

        // A new category appears with its bare name.
        vault.addCategory(QStringLiteral("Cars"));
        QCOMPARE(rowTexts(*filter).at(1), QStringLiteral("Cars"));
    }

    void equalTitlesKeepTheirSourceOrder()
    {
        Entry first = TestVault::makeEntry(QStringLiteral("Same"), QStringLiteral("One"), QStringLiteral("first"));
        Entry second = TestVault::makeEntry(QStringLiteral("Same"), QStringLiteral("One"), QStringLiteral("second"));
        build({QStringLiteral("One")}, {first, second});
        const QModelIndex one = category(QStringLiteral("One"));
        QCOMPARE(filter->mapToSource(filter->index(0, 0, one)), tree->findEntry(first));
        QCOMPARE(filter->mapToSource(filter->index(1, 0, one)), tree->findEntry(second));
    }

    // each text typed narrows the last; the rows must be those a fresh search shows.
    void narrowingShowsWhatAFullSearchShows()
    {
        TestVault::prepare();
        Vault vault;
        QList<Entry> entries;
        const QStringList titles = {"Kamar", "kAMAR shop", "Kelvin \u212Aey", "Straße", "STRASSE", "kam", "Mark", "x"};
        for (int i = 0; i < 40; ++i)
            entries << TestVault::makeEntry(titles.at(i % titles.size()) + QString::number(i), i % 2 ? "Work" : "Home");
        vault.reset({"Home", "Work"}, TestVault::entryList(entries));
        TreeModel tree(vault);
        FilterModel typed(vault);
        typed.setSourceModel(&tree);
        typed.setFilterCaseSensitivity(Qt::CaseInsensitive);
        typed.sort(0);
        for (const char* text :
             {"k", "ka", "kam", "kama", "kam", "k", "s", "st", "str", "stra", "straß", "stras", "", "ke"}) {
            typed.setFilterFixedString(text);
            FilterModel fresh(vault);
            fresh.setSourceModel(&tree);
            fresh.setFilterCaseSensitivity(Qt::CaseInsensitive);
            fresh.sort(0);
            fresh.setFilterFixedString(text);
            QCOMPARE(shownRows(typed), shownRows(fresh));
        }
        // An entry edited between two keys is searched as it is now.
        typed.setFilterFixedString("ka");
        Entry edited = vault.entries().at(7);
        edited.title = QStringLiteral("Kamel");
        vault.saveEntry(edited, edited.category);
        typed.setFilterFixedString("kame");
        QCOMPARE(shownRows(typed), QStringList({"Home", "Work (1)", "  Kamel"}));
    }
};

QTEST_MAIN(TestFilterModel)
#include "tst_filtermodel.moc"
