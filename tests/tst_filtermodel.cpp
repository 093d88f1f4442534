#include "support/testvault.h"
#include "vault/filtermodel.h"
#include "vault/treeitem.h"
#include "vault/treemodel.h"
#include "vault/vault.h"

#include <QAbstractItemModelTester>
#include <QSignalSpy>
#include <QSortFilterProxyModel>
#include <QTest>

#include <QRandomGenerator>

#include <algorithm>
#include <functional>
#include <numeric>

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

// A vault edited at random, and the rows the proxy must show worked out from the vault's rules
// alone: every category row, counting its visible entries; under the first row of each name the
// entries that reached the tree while that row stood (on a reset, an add, or a move to another
// category) and that contain the search text in account, category, notes, title or website;
// sorted by text, equal texts in the order they came.
class RandomEdits
{
public:
    explicit RandomEdits(Vault& vault, quint32 seed) : vault(vault), random(seed) {}

    QString search;
    Qt::CaseSensitivity cs = Qt::CaseInsensitive;
    QStringList log; // what was done, for a failure's message

    void step(FilterModel& filter)
    {
        const int choice = pick(100);
        if (choice < 16)
            addEntry();
        else if (choice < 20)
            addEntries();
        else if (choice < 27)
            removeEntry();
        else if (choice < 30)
            removeEntries();
        else if (choice < 45)
            saveEntry();
        else if (choice < 52)
            addCategory();
        else if (choice < 56)
            removeCategory();
        else if (choice < 61)
            reset();
        else if (choice < 62)
            clear();
        else if (choice < 92)
            changeSearch(filter);
        else
            toggleCase(filter);
        widest = qMax(widest, int(vault.categoryNames().size()));
    }

    // Now and then as many names as the vault has had at most, and a list with the change count
    // of the one it replaces, as a reload of the same store would bring.
    void reset()
    {
        QStringList names;
        const int nameCount = random.bounded(3) ? pick(6) + 1 : widest;
        while (names.size() < nameCount)
            names << pickName();
        QList<Entry> entries;
        for (int i = pick(16); i > 0; --i) {
            Entry entry = makeEntry(random.bounded(8) ? pickExisting(names) : pickName());
            if (!entries.isEmpty() && random.bounded(3) == 0)
                entry.id = entries.at(pick(entries.size())).id; // as only a damaged file has it
            entries << entry;
        }
        EntryList list = TestVault::entryList(entries);
        const qint64 padding = qint64(vault.entries().generation()) - list.size() - 1;
        if (random.bounded(2) && padding >= 0) {
            for (qint64 i = 0; i < padding; ++i)
                list.append(makeEntry(QStringLiteral("padding")));
            list.removeIf([](const Entry& entry) { return entry.category == QStringLiteral("padding"); });
        }
        log << QStringLiteral("reset %1 names, %2 entries").arg(names.size()).arg(list.size());
        vault.reset(names, std::move(list));
        arrivals.clear();
        for (qsizetype i = 0; i < vault.entries().size(); ++i) {
            if (vault.categoryNames().contains(vault.entries().at(i).category))
                arrivals.insert(vault.entries().serialAt(i), ++clock);
        }
        widest = qMax(widest, int(names.size()));
    }

    // Category rows as "name (count)", entry rows as "  title #id".
    QStringList expected() const
    {
        const QStringList& names = vault.categoryNames();
        const EntryList& entries = vault.entries();
        QList<int> order(names.size());
        std::iota(order.begin(), order.end(), 0);
        std::stable_sort(order.begin(), order.end(), [&](int a, int b) { return names.at(a) < names.at(b); });
        QStringList rows;
        for (int c : std::as_const(order)) {
            QList<qsizetype> shown;
            if (names.indexOf(names.at(c)) == c) {
                for (qsizetype i = 0; i < entries.size(); ++i) {
                    if (entries.at(i).category == names.at(c) && arrivals.contains(entries.serialAt(i)) &&
                        holdsSearch(entries.at(i)))
                        shown << i;
                }
            }
            std::sort(shown.begin(), shown.end(), [&](qsizetype a, qsizetype b) {
                const int byTitle = entries.at(a).title.compare(entries.at(b).title);
                return byTitle != 0 ? byTitle < 0
                                    : arrivals.value(entries.serialAt(a)) < arrivals.value(entries.serialAt(b));
            });
            rows << (shown.isEmpty() ? names.at(c) : names.at(c) + QStringLiteral(" (%1)").arg(shown.size()));
            for (qsizetype i : std::as_const(shown))
                rows << QStringLiteral("  %1 #%2").arg(entries.at(i).title, entries.at(i).id);
        }
        return rows;
    }

    int pick(int bound) { return bound > 0 ? int(random.bounded(bound)) : 0; }

private:
    // Texts from units that fold into each other or fold specially, a 0, the unit the search joins
    // fields with, and surrogates alone and in pairs.
    QString text(int maxLength)
    {
        static const QString common = QStringLiteral("aAbB");
        static const QString letters =
            QStringLiteral("kK\u212A\u00DF\u00FC\u00DC \u0130\u0131iI\u017FsS") + QChar(0) + QChar(0xFFFF);
        static const QStringList surrogates = {QString(QChar(0xD83D)), QString(QChar(0xDE00)), "\U0001F600"};
        QString text;
        for (int i = pick(maxLength + 1); i > 0; --i) {
            const int kind = pick(10);
            if (kind < 4)
                text += common.at(pick(common.size()));
            else if (kind < 6)
                text += letters.at(pick(letters.size()));
            else
                text += surrogates.at(pick(surrogates.size()));
        }
        return text;
    }

    QString pickName()
    {
        static const QStringList names = {"", "General", "Work", "work", "B", "ab", "Ab", "K"};
        return names.at(pick(names.size()));
    }

    QString pickExisting(const QStringList& names)
    {
        return names.isEmpty() || random.bounded(5) == 0 ? pickName() : names.at(pick(names.size()));
    }

    Entry makeEntry(const QString& category)
    {
        Entry entry = TestVault::makeEntry(text(3), category, text(2), text(2), text(3), text(2));
        entry.id = QStringLiteral("id%1").arg(++ids);
        return entry;
    }

    const Entry* pickEntry()
    {
        return vault.entries().isEmpty() ? nullptr : &vault.entries().at(pick(vault.entries().size()));
    }

    void addEntry()
    {
        const Entry entry = makeEntry(pickExisting(vault.categoryNames()));
        log << QStringLiteral("add %1 \"%2\" in \"%3\"").arg(entry.id, entry.title, entry.category);
        const bool inTree = vault.categoryNames().contains(entry.category);
        if (vault.addEntry(entry) && inTree)
            arrivals.insert(vault.entries().serialAt(vault.entries().size() - 1), ++clock);
    }

    // A batch as an import brings it: many entries (some already there, some twice), few or
    // many categories, announced once.
    void addEntries()
    {
        QList<Entry> batch;
        const int size = pick(3) == 0 ? pick(4) : pick(60);
        for (int i = 0; i < size; ++i) {
            if (!batch.isEmpty() && random.bounded(10) == 0)
                batch.append(batch.at(pick(batch.size())));
            else if (const Entry* held = random.bounded(10) == 0 ? pickEntry() : nullptr)
                batch.append(*held);
            else
                batch.append(makeEntry(pickExisting(vault.categoryNames())));
        }
        log << QStringLiteral("add %1 entries at once").arg(size);
        const qsizetype first = vault.entries().size();
        vault.addEntries(batch);
        for (qsizetype at = first; at < vault.entries().size(); ++at) {
            if (vault.categoryNames().contains(vault.entries().at(at).category))
                arrivals.insert(vault.entries().serialAt(at), ++clock);
        }
    }

    void removeEntries()
    {
        QStringList ids;
        for (int i = pick(40); i > 0; --i) {
            if (const Entry* entry = pickEntry())
                ids << entry->id;
        }
        log << QStringLiteral("remove %1 entries at once").arg(ids.size());
        vault.removeEntries(ids);
    }

    void removeEntry()
    {
        const Entry* entry = pickEntry();
        const QString id = entry ? entry->id : QStringLiteral("none");
        log << QStringLiteral("remove %1").arg(id);
        vault.removeEntry(id);
    }

    // Saved as the details panel does: the record with a new title or notes, into its own
    // category or another one (now and then with a category the vault lacks).
    void saveEntry()
    {
        const Entry* stored = pickEntry();
        if (!stored)
            return;
        Entry entry = *stored;
        if (random.bounded(2))
            entry.title = text(3);
        else
            entry.notes = text(3);
        if (random.bounded(8) == 0)
            entry.category = pickName();
        const QString target = random.bounded(2) ? entry.category : pickExisting(vault.categoryNames());
        const qsizetype at = vault.entries().indexOfId(entry.id);
        const QString before = vault.entries().at(at).category;
        const quint32 serial = vault.entries().serialAt(at);
        log << QStringLiteral("save %1 \"%2\" in \"%3\" to \"%4\"").arg(entry.id, entry.title, entry.category, target);
        const Entry saved = vault.saveEntry(entry, target);
        if (saved.category != before) {
            if (vault.categoryNames().contains(saved.category))
                arrivals.insert(serial, ++clock);
            else
                arrivals.remove(serial);
        }
    }

    void addCategory()
    {
        const QString name = pickName();
        log << QStringLiteral("add category \"%1\"").arg(name);
        vault.addCategory(name);
    }

    void removeCategory()
    {
        const QString name = pickExisting(vault.categoryNames());
        log << QStringLiteral("remove category \"%1\"").arg(name);
        vault.removeCategory(name);
    }

    void clear()
    {
        log << QStringLiteral("clear");
        vault.clear();
        arrivals.clear();
    }

    // Mostly typed and erased a unit at a time, as at the keyboard, or a part of an entry's text
    // with its letters' case changed here and there.
    void changeSearch(FilterModel& filter)
    {
        const int how = pick(12);
        if (how < 4) {
            search += text(1);
        } else if (how < 6) {
            search.chop(1);
        } else if (how < 10 && !vault.entries().isEmpty()) {
            const Entry& entry = vault.entries().at(pick(vault.entries().size()));
            const QString& field = random.bounded(2) ? entry.title : entry.notes;
            search = field.mid(pick(field.size() - 1), pick(2) + 2);
            for (QChar& unit : search) {
                if (!unit.isSurrogate() && random.bounded(2))
                    unit = unit.isUpper() ? unit.toLower() : unit.toUpper();
            }
        } else if (how < 11) {
            search = text(2);
        } else {
            search.clear();
        }
        log << QStringLiteral("search \"%1\"").arg(search);
        filter.setFilterFixedString(search);
    }

    void toggleCase(FilterModel& filter)
    {
        cs = cs == Qt::CaseSensitive ? Qt::CaseInsensitive : Qt::CaseSensitive;
        log << QStringLiteral("case %1").arg(cs == Qt::CaseSensitive ? "sensitive" : "insensitive");
        filter.setFilterCaseSensitivity(cs);
    }

    bool holdsSearch(const Entry& entry) const
    {
        return search.isEmpty() || entry.account.contains(search, cs) || entry.category.contains(search, cs) ||
               entry.notes.contains(search, cs) || entry.title.contains(search, cs) || entry.url.contains(search, cs);
    }

    Vault& vault;
    QRandomGenerator random;
    QHash<quint32, quint64> arrivals; // by serial: when the entry reached the tree; absent when outside it
    quint64 clock = 0;
    int ids = 0;
    int widest = 1; // the most category names the vault has had
};

// The proxy's rows in the form RandomEdits::expected gives.
QStringList visibleRows(const QAbstractItemModel& model, const std::function<QString(const QModelIndex&)>& idOf)
{
    QStringList rows;
    for (int row = 0; row < model.rowCount(); ++row) {
        const QModelIndex category = model.index(row, 0);
        rows << category.data().toString();
        for (int child = 0; child < model.rowCount(category); ++child) {
            const QModelIndex entry = model.index(child, 0, category);
            rows << QStringLiteral("  %1 #%2").arg(entry.data().toString(), idOf(entry));
        }
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
        // Folding the search alone would turn its surrogate into U+FFFD; folding both sides would
        // then match a text's own U+FFFD.
        QTest::newRow("lone low surrogate after a capital") << QString("xa") + low + "B" << QString("A") + low;
        QTest::newRow("replacement character") << QString("xa\uFFFDB") << QString("A") + low;
        QTest::newRow("low half of a pair") << QString("x\U0001F600") << QString(low);
        QTest::newRow("cased pair") << QString("\U00010400") << QString("\U00010428");
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

    // A few hundred random edits and searches, each followed by a comparison with the rows the
    // vault's rules give. Once watched by Qt's model tester, a stacked proxy and a reader of every
    // announced change; once with only the reader, so that categories stay unread between edits.
    void randomEditsMatchTheReference()
    {
        for (const bool watched : {true, false}) {
            TestVault::prepare();
            Vault vault;
            // VAULTRY_SEED runs other sequences than the suite's, for longer runs by hand.
            RandomEdits edits(vault, (watched ? 15 : 14) + 2 * qEnvironmentVariableIntValue("VAULTRY_SEED"));
            edits.reset();
            TreeModel tree(vault);
            FilterModel filter(vault);
            filter.setSourceModel(&tree);
            filter.setFilterCaseSensitivity(edits.cs);
            filter.sort(0);
            std::unique_ptr<QAbstractItemModelTester> treeTester, filterTester, stackedTester;
            QSortFilterProxyModel stacked;
            if (watched) {
                using Mode = QAbstractItemModelTester::FailureReportingMode;
                treeTester = std::make_unique<QAbstractItemModelTester>(&tree, Mode::QtTest);
                filterTester = std::make_unique<QAbstractItemModelTester>(&filter, Mode::QtTest);
                stacked.setSourceModel(&filter);
                stackedTester = std::make_unique<QAbstractItemModelTester>(&stacked, Mode::QtTest);
            }
            const auto filterIdOf = [&filter](const QModelIndex& index) {
                return filter.mapToSource(index).siblingAtColumn(TreeItem::IdColumn).data().toString();
            };
            const auto stackedIdOf = [&](const QModelIndex& index) { return filterIdOf(stacked.mapToSource(index)); };
            // Whatever reads the rows while a change is announced, holding on to what it saw.
            QList<QPair<QPersistentModelIndex, QString>> held;
            const auto identity = [&](const QModelIndex& index) {
                return index.parent().isValid() ? filterIdOf(index)
                                                : filter.mapToSource(index).data().toString() + QStringLiteral("/");
            };
            // It reads the rows there are and the place announced, as Qt's model tester does.
            const auto read = [&](const QModelIndex& parent, int first) {
                filter.index(first, 0, parent).data();
                for (int row = 0; row < filter.rowCount(parent); ++row) {
                    const QModelIndex index = filter.index(row, 0, parent);
                    index.data();
                    if (edits.pick(4) == 0 && held.size() < 12)
                        held.append({index, identity(index)});
                }
            };
            for (auto about : {&QAbstractItemModel::rowsAboutToBeInserted, &QAbstractItemModel::rowsAboutToBeRemoved})
                connect(&filter, about, this, read);

            for (int step = 0; step < 300; ++step) {
                edits.step(filter);
                // Reading every row builds every category's rows: unwatched, a few edits go by
                // between the comparisons.
                if (!watched && step % 4 != 3)
                    continue;
                const QStringList expected = edits.expected();
                const QStringList shown = visibleRows(filter, filterIdOf);
                if (shown != expected || (watched && visibleRows(stacked, stackedIdOf) != expected)) {
                    QFAIL(qPrintable(
                        QStringLiteral("step %1 (%2)\nlast edits:\n%3\nshown:\n%4\nexpected:\n%5\nstacked:\n%6")
                            .arg(step)
                            .arg(watched ? "watched" : "unwatched")
                            .arg(edits.log.mid(qMax(0, int(edits.log.size()) - 12)).join('\n'))
                            .arg(shown.join('\n'), expected.join('\n'),
                                 watched ? visibleRows(stacked, stackedIdOf).join('\n') : QString())));
                }
                // The count is in the display text alone; every other role is the source's.
                for (int row = 0; row < filter.rowCount(); ++row) {
                    const QModelIndex shown = filter.index(row, 0);
                    for (int role : {Qt::EditRole, Qt::DecorationRole, Qt::ToolTipRole, Qt::SizeHintRole})
                        QCOMPARE(shown.data(role).metaType(), filter.mapToSource(shown).data(role).metaType());
                    QCOMPARE(shown.data(Qt::EditRole).toString(), filter.mapToSource(shown).data().toString());
                    // Each row maps to its source row and back to itself.
                    QCOMPARE(filter.mapFromSource(filter.mapToSource(shown)), shown);
                    for (int child = 0; child < filter.rowCount(shown); ++child) {
                        const QModelIndex entry = filter.index(child, 0, shown);
                        QCOMPARE(filter.mapFromSource(filter.mapToSource(entry)), entry);
                    }
                }
                // Indexes held keep their rows, or become invalid when the rows go.
                for (qsizetype i = held.size() - 1; i >= 0; --i) {
                    if (!held.at(i).first.isValid()) {
                        held.removeAt(i);
                        continue;
                    }
                    QCOMPARE(identity(held.at(i).first), held.at(i).second);
                }
                // And a few more from the rows as they are now.
                if (filter.rowCount() > 0 && held.size() < 12) {
                    const QModelIndex category = filter.index(edits.pick(filter.rowCount()), 0);
                    const int children = filter.rowCount(category);
                    const QModelIndex index =
                        children > 0 && edits.pick(3) ? filter.index(edits.pick(children), 0, category) : category;
                    held.append({index, identity(index)});
                }
            }
        }
    }
};

QTEST_MAIN(TestFilterModel)
#include "tst_filtermodel.moc"
