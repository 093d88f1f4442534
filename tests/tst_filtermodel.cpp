#include "support/testvault.h"
#include "vault/filtermodel.h"
#include "vault/treemodel.h"
#include "vault/vault.h"

#include <QAbstractItemModelTester>
#include <QSignalSpy>
#include <QSortFilterProxyModel>
#include <QTest>

#include <functional>

namespace {

// One change to the vault.
using Edit = std::function<void(Vault&)>;

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
QStringList shownRows(const QAbstractItemModel& filter)
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

    // The count belongs to the category's display text; every other role passes through, so no
    // row takes a string for its icon or size (an empty name reads like any missing value).
    void countOnlyInTheDisplayText_data()
    {
        QTest::addColumn<int>("role");
        QTest::newRow("display") << int(Qt::DisplayRole);
        QTest::newRow("edit") << int(Qt::EditRole);
        QTest::newRow("decoration") << int(Qt::DecorationRole);
        QTest::newRow("tool tip") << int(Qt::ToolTipRole);
        QTest::newRow("size hint") << int(Qt::SizeHintRole);
        QTest::newRow("accessible text") << int(Qt::AccessibleTextRole);
    }

    void countOnlyInTheDisplayText()
    {
        QFETCH(int, role);
        build({QString(), QStringLiteral("General"), QStringLiteral("Work")},
              {TestVault::makeEntry(QStringLiteral("Loose"), QString()),
               TestVault::makeEntry(QStringLiteral("Mail"), QStringLiteral("Work"))});
        QCOMPARE(rowTexts(*filter), QStringList({" (1)", "General", "Work (1)"}));
        for (int row = 0; row < filter->rowCount(); ++row) {
            const QModelIndex shown = filter->index(row, 0);
            const QVariant value = filter->data(shown, role);
            const QVariant source = tree->data(filter->mapToSource(shown), role);
            if (role == Qt::DisplayRole) {
                const int count = filter->rowCount(shown);
                QCOMPARE(value.toString(),
                         count > 0 ? source.toString() + QStringLiteral(" (%1)").arg(count) : source.toString());
            } else {
                QCOMPARE(value.metaType(), source.metaType());
                if (source.metaType() == QMetaType::fromType<QString>())
                    QCOMPARE(value.toString(), source.toString());
            }
        }
    }

    // A reset moves a new list into the vault; whatever was worked out for the old one is stale.
    void resetShowsTheNewVault_data()
    {
        QTest::addColumn<std::function<void(Vault&)>>("before");
        QTest::addColumn<int>("padding"); // entries of the new list before the two below
        QTest::addColumn<QStringList>("rows");

        // An old list of three made by three appends has the change count of the new one.
        QTest::newRow("same change count") << std::function<void(Vault&)>([](Vault& v) {
            v.reset({"Fruit"},
                    TestVault::entryList({TestVault::makeEntry("apple", "Fruit"), TestVault::makeEntry("kiwi", "Fruit"),
                                          TestVault::makeEntry("plum", "Fruit")}));
        }) << 1 << QStringList({"Fruit (1)", "  apple pie"});
        // Two entries left of seventy-one changes; the new list needs a second block of bits.
        QTest::newRow("more blocks") << std::function<void(Vault&)>([](Vault& v) {
            QList<Entry> entries;
            for (int i = 0; i < 70; ++i)
                entries << TestVault::makeEntry(i < 2 ? "apple" : "kiwi", "Fruit");
            EntryList list = TestVault::entryList(entries);
            list.removeIf([](const Entry& entry) { return entry.title == "kiwi"; });
            v.reset({"Fruit"}, std::move(list));
        }) << 69 << QStringList({"Fruit (1)", "  apple pie"});
        // Room left at the front of the proxy's list of category rows, as many rows as come next.
        QTest::newRow("first category gone") << std::function<void(Vault&)>([](Vault& v) {
            v.reset({"A", "B", "C", "D", "E", "F", "G", "H"}, EntryList());
            v.removeCategory("A");
        }) << 1 << QStringList({"Fruit (1)", "  apple pie"});
    }

    void resetShowsTheNewVault()
    {
        QFETCH(std::function<void(Vault&)>, before);
        QFETCH(int, padding);
        QFETCH(QStringList, rows);
        before(vault);
        filter->setFilterFixedString(QStringLiteral("apple"));
        QCOMPARE(filter->rowCount(), vault.categoryNames().size());
        QList<Entry> entries;
        for (int i = 0; i < padding; ++i)
            entries << TestVault::makeEntry("zebra", "Fruit");
        entries << TestVault::makeEntry("apple pie", "Fruit") << TestVault::makeEntry("fig", "Fruit");
        vault.reset({"Fruit", "Veg", "Nuts", "X1", "X2", "X3", "X4", "X5"}, TestVault::entryList(entries));
        QCOMPARE(shownRows(*filter).mid(0, 2), rows);
        QCOMPARE(filter->rowCount(), 8);
    }

    // Whatever reads the proxy while it announces a change (a stacked proxy, an accessibility
    // client) must find it as it was, even in a category nobody has looked at since the search.
    void readWhileAnnounced_data()
    {
        QTest::addColumn<Edit>("edit");
        QTest::addColumn<QStringList>("rows");
        const QStringList before = {"Bank (1)", "  Savings", "Empty"};
        const QStringList after = {"Zebra", "apple"};
        QTest::newRow("entry added") << Edit([](Vault& v) { v.addEntry(TestVault::makeEntry("Zip", "Work")); })
                                     << before + QStringList{"Work (3)", "  Build", "  Mail", "  Zip"} + after;
        QTest::newRow("entry added, then removed") << Edit([](Vault& v) {
            v.addEntry(TestVault::makeEntry("Zip", "Work"));
            v.removeEntry(v.entries().last().id);
        }) << before + QStringList{"Work (2)", "  Build", "  Mail"} + after;
        QTest::newRow("entry saved into the search") << Edit([](Vault& v) {
            Entry chat = v.entries().at(1);
            chat.title = "Aim";
            v.saveEntry(chat, chat.category);
        }) << before + QStringList{"Work (3)", "  Aim", "  Build", "  Mail"} + after;
        QTest::newRow("entry removed") << Edit([](Vault& v) { v.removeEntry(v.entries().at(2).id); })
                                       << before + QStringList{"Work (1)", "  Mail"} + after;
    }

    void readWhileAnnounced()
    {
        QFETCH(Edit, edit);
        QFETCH(QStringList, rows);
        // Every category read once, so its order is known; then a search that matches Build, Mail
        // and Savings leaves its rows unread.
        QCOMPARE(shownRows(*filter).size(), 10);
        filter->setFilterFixedString(QStringLiteral("i"));
        QCOMPARE(filter->rowCount(category(QStringLiteral("Work"))), 2);
        QSortFilterProxyModel stacked;
        stacked.setSourceModel(filter.get());
        // The reader keeps what it saw: rows that stay must still show the same entries.
        QList<QPair<QPersistentModelIndex, QString>> seen;
        const auto readAll = [&](const QModelIndex& parent) {
            for (int row = 0; row < filter->rowCount(parent); ++row) {
                const QModelIndex index = filter->index(row, 0, parent);
                seen.append({index, index.data().toString()});
            }
        };
        for (auto about : {&QAbstractItemModel::rowsAboutToBeInserted, &QAbstractItemModel::rowsAboutToBeRemoved})
            connect(filter.get(), about, this, readAll);
        edit(vault);
        QCOMPARE(shownRows(*filter), rows);
        QCOMPARE(shownRows(stacked), rows);
        QVERIFY(!seen.isEmpty());
        for (const auto& [index, title] : std::as_const(seen)) {
            if (index.isValid())
                QCOMPARE(index.data().toString(), title);
        }
    }

    // Text that is not well-formed UTF-16 (from an import or a paste) matches as QString::contains
    // finds it, in either case sensitivity.
    void oddTextMatchesAsQStringContains_data()
    {
        QTest::addColumn<QString>("notes");
        QTest::addColumn<QString>("search");
        const QChar high(0xD83D), low(0xDE00);
        QTest::newRow("lone high surrogate") << QString("a") + high + "b" << QString(high);
        QTest::newRow("lone low surrogate, with a letter") << QString("a") + low + "B" << QString(low) + "b";
        QTest::newRow("lone low surrogate after a capital") << QString("xa") + low + "B" << QString("A") + low;
        QTest::newRow("low half of a pair") << QString("x\U0001F600") << QString(low);
        QTest::newRow("high half of a pair") << QString("x\U0001F600") << QString(high);
        QTest::newRow("whole pair") << QString("x\U0001F600") << QString("\U0001F600");
        QTest::newRow("lone surrogate against a pair") << QString("x\U0001F600") << QString(high) + "y";
        QTest::newRow("cased pair") << QString("\U00010400") << QString("\U00010428");
        QTest::newRow("replacement character") << QString("a\uFFFDb") << QString(high);
    }

    void oddTextMatchesAsQStringContains()
    {
        QFETCH(QString, notes);
        QFETCH(QString, search);
        build({QStringLiteral("Work")},
              {TestVault::makeEntry(QStringLiteral("Odd"), QStringLiteral("Work"), QString(), QString(), notes)});
        for (Qt::CaseSensitivity cs : {Qt::CaseSensitive, Qt::CaseInsensitive}) {
            filter->setFilterCaseSensitivity(cs);
            filter->setFilterFixedString(search);
            QCOMPARE(filter->rowCount(category(QStringLiteral("Work"))), notes.contains(search, cs) ? 1 : 0);
            filter->setFilterFixedString(QString());
        }
    }
};

QTEST_MAIN(TestFilterModel)
#include "tst_filtermodel.moc"
