#include "filtermodel.h"

#include "entrylist.h"
#include "treeitem.h"
#include "treemodel.h"
#include "vault.h"

#include <QDateTime>

#include <algorithm>
#include <cstring>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace {

// Up to this many rows (or runs of rows) are announced one by one; more as a block or a reset.
constexpr int kFewRows = 16;
constexpr char16_t kSeparator = 0xFFFF; // EntryList::kSearchSeparator, never in a fast needle

// Case folding of each UTF-16 code unit. Folding maps BMP characters to BMP characters and
// leaves surrogates for pairs to be folded together, so a needle without surrogates matches a
// text folded unit by unit exactly where QString::contains(…, Qt::CaseInsensitive) finds it.
const char16_t* foldTable()
{
    static const std::unique_ptr<char16_t[]> table = [] {
        std::unique_ptr<char16_t[]> folds(new char16_t[0x10000]);
        for (char32_t unit = 0; unit < 0x10000; ++unit) {
            const bool surrogate = unit >= 0xD800 && unit <= 0xDFFF;
            folds[unit] = char16_t(surrogate ? unit : QChar::toCaseFolded(unit));
        }
        return folds;
    }();
    return table.get();
}

const char16_t* unitsOf(const QString& text)
{
    return reinterpret_cast<const char16_t*>(text.constData()); // constData never copies a string
}

// `size` elements, each -1. Not QList::fill: Qt 6.4's checks capacity() rather than the room after
// the elements, so a list that lost elements at its front would be written past its end.
void unsetAll(QList<int>& list, qsizetype size)
{
    list.clear();
    list.resize(size, -1);
}

bool hasSurrogates(const QString& text)
{
    return std::any_of(text.cbegin(), text.cend(), [](QChar c) { return c.isSurrogate(); });
}

// QAbstractItemModelPrivate::isVariantLessThan, which QSortFilterProxyModel sorts by.
bool variantLess(const QVariant& left, const QVariant& right)
{
    if (left.userType() == QMetaType::UnknownType)
        return false;
    if (right.userType() == QMetaType::UnknownType)
        return true;
    switch (left.userType()) {
    case QMetaType::Int:
        return left.toInt() < right.toInt();
    case QMetaType::UInt:
        return left.toUInt() < right.toUInt();
    case QMetaType::LongLong:
        return left.toLongLong() < right.toLongLong();
    case QMetaType::ULongLong:
        return left.toULongLong() < right.toULongLong();
    case QMetaType::Float:
        return left.toFloat() < right.toFloat();
    case QMetaType::Double:
        return left.toDouble() < right.toDouble();
    case QMetaType::QChar:
        return left.toChar() < right.toChar();
    case QMetaType::QDate:
        return left.toDate() < right.toDate();
    case QMetaType::QTime:
        return left.toTime() < right.toTime();
    case QMetaType::QDateTime:
        return left.toDateTime() < right.toDateTime();
    case QMetaType::QString:
    default:
        return left.toString().compare(right.toString(), Qt::CaseSensitive) < 0;
    }
}

// The first eight code units, so that most comparisons of a sort need not read the strings.
// Orders as QString::compare does wherever it differs; equal keys fall back to the strings.
struct SortKey
{
    quint64 high = 0;
    quint64 low = 0;

    explicit SortKey(const QString& text)
    {
        const qsizetype n = qMin<qsizetype>(text.size(), 8);
        const char16_t* units = unitsOf(text);
        for (qsizetype i = 0; i < 8; ++i)
            (i < 4 ? high : low) = ((i < 4 ? high : low) << 16) | (i < n ? units[i] : 0);
    }
    bool operator!=(const SortKey& other) const { return high != other.high || low != other.low; }
    bool operator<(const SortKey& other) const { return high != other.high ? high < other.high : low < other.low; }
};

} // namespace

// The search text prepared for scanning, and which of the vault's entries hold it.
class FilterModel::Search
{
public:
    void setText(const QString& text, Qt::CaseSensitivity sensitivity)
    {
        typed = text;
        cs = sensitivity;
        if (text.isEmpty()) {
            mode = Everything;
            return;
        }
        folded = cs == Qt::CaseInsensitive ? text.toCaseFolded() : text;
        // Rare: matched field by field with QString::contains, whose answer the scan gives for the
        // rest. Surrogates in the typed text are never folded first: QString::toCaseFolded turns a
        // lone one into U+FFFD, which contains() would not look for.
        if (text.contains(QChar(kSeparator)) || hasSurrogates(text) || hasSurrogates(folded)) {
            mode = Fields;
            return;
        }
        mode = cs == Qt::CaseInsensitive ? Folded : Exact;
        spans = !folded.contains(QChar(0));
        needle = unitsOf(folded);
        length = folded.size();
        // The units a match can start with.
        firstCount = 0;
        if (mode == Exact) {
            firsts[firstCount++] = needle[0];
        } else {
            const char16_t* fold = foldTable();
            for (char32_t unit = 0; unit < 0x10000; ++unit) {
                if (fold[unit] != needle[0])
                    continue;
                if (firstCount == kMaxFirsts) {
                    firstCount = 0; // too many to compare at once: one unit at a time
                    break;
                }
                firsts[firstCount++] = char16_t(unit);
            }
        }
        for (int i = qMax(firstCount, 1); i < kMaxFirsts; ++i)
            firsts[i] = firsts[0];
    }

    bool everything() const { return mode == Everything; }

    bool matches(const Entry& entry) const
    {
        switch (mode) {
        case Everything:
            return true;
        case Fields:
            for (const QString* field : {&entry.account, &entry.category, &entry.notes, &entry.title, &entry.url}) {
                if (field->contains(typed, cs))
                    return true;
            }
            return false;
        default:
            break;
        }
        if (inText(entry.category))
            return true;
        // Loaded entries keep title, website, account and notes side by side, each ended by a 0:
        // one scan covers all four unless the needle holds a 0.
        const QChar* title = entry.title.constData();
        const QChar* url = entry.url.constData();
        const QChar* account = entry.account.constData();
        const QChar* notes = entry.notes.constData();
        if (spans && url == title + entry.title.size() + 1 && account == url + entry.url.size() + 1 &&
            notes == account + entry.account.size() + 1 && title[entry.title.size()].isNull() &&
            url[entry.url.size()].isNull() && account[entry.account.size()].isNull())
            return inUnits(reinterpret_cast<const char16_t*>(title), notes + entry.notes.size() - title);
        return inText(entry.title) || inText(entry.url) || inText(entry.account) || inText(entry.notes);
    }

    // Bit i set for each entry i that matches. `resets` tells apart lists that share an address and
    // a change count (a reset moves a new list into the same object).
    const std::vector<quint64>& scan(const EntryList& entries, quint64 resets)
    {
        if (entries.generation() != generation || resets != resetCount || &entries != list) {
            sets.clear();
            generation = entries.generation();
            resetCount = resets;
            list = &entries;
        }
        for (qsizetype i = 0; i < sets.size(); ++i) {
            if (sets.at(i).text == typed && sets.at(i).cs == cs) {
                sets.move(i, sets.size() - 1);
                return sets.last().bits;
            }
        }
        // Entries that hold a longer text hold any part of it: only the matches of a text this
        // one contains need looking at.
        const MatchSet* base = nullptr;
        if (mode == Folded || mode == Exact) {
            for (const MatchSet& set : std::as_const(sets)) {
                if (set.cs == cs && set.narrowable && folded.contains(set.folded) && (!base || set.count < base->count))
                    base = &set;
            }
        }
        MatchSet result;
        result.text = typed;
        result.folded = folded;
        result.cs = cs;
        result.narrowable = mode == Folded || mode == Exact;
        const qsizetype words = (entries.size() + 63) / 64;
        result.bits.assign(size_t(words), 0);
        const quint64* from = base ? base->bits.data() : nullptr;
        quint64* to = result.bits.data();
        const auto run = [&](qsizetype firstWord, qsizetype endWord) {
            for (qsizetype w = firstWord; w < endWord; ++w) {
                quint64 candidates = from ? from[w] : ~quint64(0);
                if (w == words - 1 && entries.size() % 64 != 0)
                    candidates &= (quint64(1) << (entries.size() % 64)) - 1;
                quint64 found = 0;
                while (candidates) {
                    const int bit = qCountTrailingZeroBits(candidates);
                    candidates &= candidates - 1;
                    if (matches(entries.at(w * 64 + bit)))
                        found |= quint64(1) << bit;
                }
                to[w] = found;
            }
        };
        // Both cores when there is enough to share.
        const qsizetype half = words / 2;
        std::thread helper;
        if (entries.size() >= 4096) {
            try {
                helper = std::thread(run, half, words);
            } catch (const std::system_error&) {
            }
        }
        run(0, helper.joinable() ? half : words);
        if (helper.joinable())
            helper.join();
        for (quint64 word : result.bits)
            result.count += qPopulationCount(word);
        if (sets.size() >= kKeptSets)
            sets.removeFirst();
        sets.append(std::move(result));
        return sets.last().bits;
    }

private:
    enum Mode
    {
        Everything,
        Folded, // case-insensitive: the folded needle against text folded unit by unit
        Exact,  // case-sensitive: code units as they are
        Fields, // anything else, with QString
    };
    struct MatchSet
    {
        QString text;
        QString folded;
        Qt::CaseSensitivity cs = Qt::CaseSensitive;
        bool narrowable = false;
        std::vector<quint64> bits;
        qsizetype count = 0;
    };
    static constexpr int kMaxFirsts = 4;
    static constexpr int kKeptSets = 16; // the texts typed on the way, for going back

    bool inText(const QString& text) const { return inUnits(unitsOf(text), text.size()); }

    bool startsAt(const char16_t* at) const
    {
        if (mode == Folded) {
            const char16_t* fold = foldTable();
            for (qsizetype k = 1; k < length; ++k) {
                if (fold[at[k]] != needle[k])
                    return false;
            }
            return true;
        }
        return std::memcmp(at + 1, needle + 1, size_t(length - 1) * 2) == 0;
    }

    bool inUnits(const char16_t* text, qsizetype size) const
    {
        const qsizetype last = size - length; // the last place a match can start
        if (last < 0)
            return false;
        qsizetype i = 0;
#ifdef __SSE2__
        if (firstCount > 0) {
            const __m128i f0 = _mm_set1_epi16(short(firsts[0]));
            const __m128i f1 = _mm_set1_epi16(short(firsts[1]));
            const __m128i f2 = _mm_set1_epi16(short(firsts[2]));
            const __m128i f3 = _mm_set1_epi16(short(firsts[3]));
            for (; i + 8 <= size; i += 8) {
                const __m128i units = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i));
                const __m128i hit = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi16(units, f0), _mm_cmpeq_epi16(units, f1)),
                                                 _mm_or_si128(_mm_cmpeq_epi16(units, f2), _mm_cmpeq_epi16(units, f3)));
                unsigned hits = unsigned(_mm_movemask_epi8(hit));
                while (hits) {
                    const qsizetype at = i + qCountTrailingZeroBits(hits) / 2;
                    hits &= hits - 1;
                    hits &= hits - 1; // two mask bits per unit
                    if (at > last)
                        return false;
                    if (startsAt(text + at))
                        return true;
                }
            }
        }
#endif
        const char16_t* fold = mode == Folded ? foldTable() : nullptr;
        for (; i <= last; ++i) {
            if ((fold ? fold[text[i]] : text[i]) == needle[0] && startsAt(text + i))
                return true;
        }
        return false;
    }

    Mode mode = Everything;
    QString typed;
    QString folded;
    Qt::CaseSensitivity cs = Qt::CaseSensitive;
    bool spans = true;
    const char16_t* needle = nullptr;
    qsizetype length = 0;
    char16_t firsts[kMaxFirsts] = {};
    int firstCount = 0;

    QList<MatchSet> sets;
    quint64 generation = 0;
    quint64 resetCount = 0;
    const EntryList* list = nullptr;
};

// The rows of one source category: which stay, in what order, and where each is shown.
struct FilterModel::Group
{
    int sourceRow = 0;
    std::vector<quint8> accepted; // per source row
    int count = 0;                // accepted rows
    QList<int> sorted;            // every source row in display order
    bool sortedValid = false;
    QList<int> shown; // proxy row -> source row
    bool shownValid = false;
    QList<int> proxyRowOf; // source row -> proxy row, -1 when hidden
    bool inverseValid = false;

    void invalidate()
    {
        shownValid = false;
        inverseValid = false;
    }
};

FilterModel::FilterModel(const Vault& vault, QObject* parent)
    : QAbstractProxyModel(parent), vault(vault), matcher(new Search)
{
}

FilterModel::~FilterModel()
{
    qDeleteAll(groups);
}

void FilterModel::setSourceModel(QAbstractItemModel* model)
{
    beginResetModel();
    for (const QMetaObject::Connection& connection : std::as_const(connections))
        disconnect(connection);
    connections.clear();
    QAbstractProxyModel::setSourceModel(model);
    tree = qobject_cast<const TreeModel*>(model);
    if (model) {
        connections = {
            connect(model, &QAbstractItemModel::rowsInserted, this, &FilterModel::sourceRowsInserted),
            connect(model, &QAbstractItemModel::rowsAboutToBeRemoved, this, &FilterModel::sourceRowsAboutToBeRemoved),
            connect(model, &QAbstractItemModel::rowsRemoved, this, &FilterModel::sourceRowsRemoved),
            connect(model, &QAbstractItemModel::dataChanged, this, &FilterModel::sourceDataChanged),
            connect(model, &QAbstractItemModel::headerDataChanged, this, &QAbstractItemModel::headerDataChanged),
            connect(model, &QAbstractItemModel::modelAboutToBeReset, this, &FilterModel::beginResetModel),
            connect(model, &QAbstractItemModel::modelReset, this,
                    [this] {
                        rebuild();
                        endResetModel();
                    }),
            connect(model, &QAbstractItemModel::layoutAboutToBeChanged, this,
                    &FilterModel::sourceLayoutAboutToBeChanged),
            connect(model, &QAbstractItemModel::layoutChanged, this, &FilterModel::sourceLayoutChanged),
        };
        // Moved rows and changed columns are rare enough to start over for.
        for (auto about : {&QAbstractItemModel::columnsAboutToBeInserted, &QAbstractItemModel::columnsAboutToBeRemoved})
            connections.append(connect(model, about, this, &FilterModel::beginResetModel));
        for (auto done : {&QAbstractItemModel::columnsInserted, &QAbstractItemModel::columnsRemoved}) {
            connections.append(connect(model, done, this, [this] {
                rebuild();
                endResetModel();
            }));
        }
        connections.append(
            connect(model, &QAbstractItemModel::rowsAboutToBeMoved, this, &FilterModel::beginResetModel));
        connections.append(connect(model, &QAbstractItemModel::rowsMoved, this, [this] {
            rebuild();
            endResetModel();
        }));
        // A source that goes first leaves nothing to show.
        connections.append(connect(model, &QObject::destroyed, this, [this] {
            beginResetModel();
            tree = nullptr;
            qDeleteAll(groups);
            groups.clear();
            categoryOrder.clear();
            categoryProxyRow.clear();
            columns = 0;
            endResetModel();
        }));
    }
    rebuild();
    endResetModel();
}

void FilterModel::setFilterFixedString(const QString& text)
{
    if (text == search)
        return;
    relayout(
        [this, text] {
            search = text;
            refilter();
        },
        QAbstractItemModel::NoLayoutChangeHint);
}

void FilterModel::setFilterCaseSensitivity(Qt::CaseSensitivity sensitivity)
{
    if (sensitivity == caseSensitivity)
        return;
    relayout(
        [this, sensitivity] {
            caseSensitivity = sensitivity;
            refilter();
        },
        QAbstractItemModel::NoLayoutChangeHint);
}

void FilterModel::sort(int column, Qt::SortOrder sortOrder)
{
    if (column == sortBy && sortOrder == order)
        return;
    relayout(
        [this, column, sortOrder] {
            sortBy = column;
            order = sortOrder;
            for (Group* group : std::as_const(groups)) {
                group->sortedValid = false;
                group->invalidate();
            }
            sortCategories();
        },
        QAbstractItemModel::VerticalSortHint);
}

void FilterModel::relayout(const std::function<void()>& change, QAbstractItemModel::LayoutChangeHint hint)
{
    emit layoutAboutToBeChanged({}, hint);
    const QModelIndexList before = persistentIndexList();
    QList<QModelIndex> sources;
    sources.reserve(before.size());
    for (const QModelIndex& index : before)
        sources.append(mapToSource(index));
    change();
    QModelIndexList after;
    after.reserve(sources.size());
    for (const QModelIndex& source : std::as_const(sources))
        after.append(mapFromSource(source));
    changePersistentIndexList(before, after);
    emit layoutChanged({}, hint);
}

// Everything again from the source; the order of a category's entries is worked out when its
// rows are first asked for.
void FilterModel::rebuild()
{
    qDeleteAll(groups);
    groups.clear();
    const QAbstractItemModel* source = sourceModel();
    const int categories = source ? source->rowCount() : 0;
    // The vault's tree has the same columns under every parent.
    columns = source ? source->columnCount() : 0;
    groups.reserve(categories);
    for (int row = 0; row < categories; ++row) {
        auto* group = new Group;
        group->sourceRow = row;
        groups.append(group);
    }
    refilter();
}

// Which rows stay under the current search, and the order of the categories. The entries keep
// their order, which a search does not change.
void FilterModel::refilter()
{
    matcher->setText(search, caseSensitivity);
    // One pass over the entries for the search, then one over the rows for the counts.
    if (tree && !matcher->everything()) {
        const EntryList& entries = vault.entries();
        const std::vector<quint64>& bits = matcher->scan(entries, vault.resetCount());
        for (Group* group : std::as_const(groups)) {
            const int rows = tree->rowCount(tree->index(group->sourceRow, 0));
            group->accepted.resize(size_t(rows));
            group->count = 0;
            group->invalidate();
            for (int row = 0; row < rows; ++row) {
                const qsizetype position = tree->entryPosition(group->sourceRow, row);
                const bool accepted = position >= 0 ? (bits[size_t(position) / 64] >> (position % 64)) & 1
                                                    : filterAcceptsRow(row, categoryIndex(group->sourceRow));
                group->accepted[size_t(row)] = accepted;
                group->count += accepted;
            }
        }
    } else {
        for (Group* group : std::as_const(groups))
            countGroup(*group);
    }
    sortCategories();
}

void FilterModel::countGroup(Group& group)
{
    const QModelIndex parent = categoryIndex(group.sourceRow);
    const int rows = sourceModel()->rowCount(parent);
    group.accepted.resize(size_t(rows));
    group.count = 0;
    for (int row = 0; row < rows; ++row) {
        const bool accepted = rowAccepted(group, row);
        group.accepted[size_t(row)] = accepted;
        group.count += accepted;
    }
    group.invalidate();
}

bool FilterModel::rowAccepted(const Group& group, int row) const
{
    if (matcher->everything())
        return true;
    if (tree) {
        const qsizetype position = tree->entryPosition(group.sourceRow, row);
        // The entry the row shows decides, even where a damaged file gave its id to another.
        if (position >= 0)
            return matcher->matches(vault.entries().at(position));
    }
    return filterAcceptsRow(row, categoryIndex(group.sourceRow));
}

bool FilterModel::filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const
{
    if (search.isEmpty())
        return true;
    const QAbstractItemModel* source = sourceModel();
    if (!source->data(source->index(sourceRow, TreeItem::IsEntryColumn, sourceParent), Qt::EditRole).toBool())
        return true;
    const EntryList& entries = vault.entries();
    const qsizetype position = entries.indexOfId(
        source->data(source->index(sourceRow, TreeItem::IdColumn, sourceParent), Qt::EditRole).toString());
    if (position < 0)
        return false; // a row without its record has nothing to match against
    return matcher->matches(entries.at(position));
}

QModelIndex FilterModel::categoryIndex(int sourceCategory, int column) const
{
    return sourceModel()->index(sourceCategory, column);
}

// The proxy's order of two source rows under source category `category` (-1: the categories).
bool FilterModel::less(int category, int left, int right) const
{
    const QAbstractItemModel* source = sourceModel();
    const QModelIndex parent = category < 0 ? QModelIndex() : categoryIndex(category);
    const int column = sortedColumn();
    if (tree && column == 0) {
        const QString* a = tree->titleAt(category < 0 ? left : category, category < 0 ? -1 : left);
        const QString* b = tree->titleAt(category < 0 ? right : category, category < 0 ? -1 : right);
        if (a && b)
            return QStringView(*a).compare(QStringView(*b)) < 0;
    }
    return variantLess(source->index(left, column, parent).data(), source->index(right, column, parent).data());
}

// Display order: by the sort column, then (equal texts) the source's order.
bool FilterModel::ordered(int category, int left, int right) const
{
    if (sortedColumn() < 0)
        return left < right; // the source's order, whichever way (as Qt 6.4 has it)
    const bool before = order == Qt::AscendingOrder ? less(category, left, right) : less(category, right, left);
    if (before)
        return true;
    const bool after = order == Qt::AscendingOrder ? less(category, right, left) : less(category, left, right);
    return !after && left < right;
}

void FilterModel::sortRows(QList<int>& rows, int category) const
{
    const auto stable = [&](auto before) {
        if (!std::is_sorted(rows.begin(), rows.end(), before))
            std::stable_sort(rows.begin(), rows.end(), before);
    };
    if (sortedColumn() < 0)
        return;
    if (tree && sortedColumn() == 0 && category >= 0) {
        // Titles compared in place, mostly by their first units alone.
        struct Keyed
        {
            SortKey key;
            const QString* title;
            int row;
        };
        std::vector<Keyed> keyed;
        keyed.reserve(size_t(rows.size()));
        for (int row : std::as_const(rows)) {
            const QString* title = tree->titleAt(category, row);
            if (!title)
                break;
            keyed.push_back({SortKey(*title), title, row});
        }
        if (keyed.size() == size_t(rows.size())) {
            const auto titleLess = [](const Keyed& a, const Keyed& b) {
                return a.key != b.key ? a.key < b.key : QStringView(*a.title).compare(QStringView(*b.title)) < 0;
            };
            if (order == Qt::AscendingOrder) {
                if (!std::is_sorted(keyed.begin(), keyed.end(), titleLess))
                    std::stable_sort(keyed.begin(), keyed.end(), titleLess);
            } else {
                const auto titleGreater = [&titleLess](const Keyed& a, const Keyed& b) { return titleLess(b, a); };
                if (!std::is_sorted(keyed.begin(), keyed.end(), titleGreater))
                    std::stable_sort(keyed.begin(), keyed.end(), titleGreater);
            }
            for (size_t i = 0; i < keyed.size(); ++i)
                rows[qsizetype(i)] = keyed[i].row;
            return;
        }
    }
    if (order == Qt::AscendingOrder)
        stable([&](int a, int b) { return less(category, a, b); });
    else
        stable([&](int a, int b) { return less(category, b, a); });
}

FilterModel::Group& FilterModel::ensureShown(Group& group) const
{
    if (group.shownValid)
        return group;
    if (!group.sortedValid) {
        group.sorted.resize(qsizetype(group.accepted.size()));
        for (qsizetype row = 0; row < group.sorted.size(); ++row)
            group.sorted[row] = int(row);
        sortRows(group.sorted, group.sourceRow);
        group.sortedValid = true;
    }
    group.shown.clear();
    group.shown.reserve(group.count);
    for (int row : std::as_const(group.sorted)) {
        if (group.accepted[size_t(row)])
            group.shown.append(row);
    }
    group.shownValid = true;
    group.inverseValid = false;
    return group;
}

void FilterModel::ensureInverse(Group& group) const
{
    ensureShown(group);
    if (group.inverseValid)
        return;
    unsetAll(group.proxyRowOf, qsizetype(group.accepted.size()));
    for (int proxyRow = 0; proxyRow < group.shown.size(); ++proxyRow)
        group.proxyRowOf[group.shown.at(proxyRow)] = proxyRow;
    group.inverseValid = true;
}

int FilterModel::insertionPoint(const QList<int>& rows, int category, int row) const
{
    return int(std::lower_bound(rows.begin(), rows.end(), row, [&](int a, int b) { return ordered(category, a, b); }) -
               rows.begin());
}

void FilterModel::sortCategories()
{
    QList<int> rows;
    for (Group* group : std::as_const(groups)) {
        if (filterAcceptsRow(group->sourceRow, QModelIndex()))
            rows.append(group->sourceRow);
    }
    if (sortedColumn() >= 0)
        std::stable_sort(rows.begin(), rows.end(), [this](int a, int b) { return ordered(-1, a, b); });
    categoryOrder = rows;
    unsetAll(categoryProxyRow, groups.size());
    for (int proxyRow = 0; proxyRow < categoryOrder.size(); ++proxyRow)
        categoryProxyRow[categoryOrder.at(proxyRow)] = proxyRow;
}

QModelIndex FilterModel::index(int row, int column, const QModelIndex& parent) const
{
    if (row < 0 || column < 0 || column >= columns)
        return QModelIndex();
    if (!parent.isValid())
        return row < categoryOrder.size() ? createIndex(row, column) : QModelIndex();
    if (parent.internalPointer() || parent.column() != 0 || parent.row() >= categoryOrder.size())
        return QModelIndex(); // entry rows have no children
    Group& group = ensureShown(*groups.at(categoryOrder.at(parent.row())));
    return row < group.shown.size() ? createIndex(row, column, &group) : QModelIndex();
}

QModelIndex FilterModel::parent(const QModelIndex& child) const
{
    if (!child.isValid() || !child.internalPointer())
        return QModelIndex();
    const auto* group = static_cast<const Group*>(child.internalPointer());
    return createIndex(categoryProxyRow.value(group->sourceRow, -1), 0);
}

int FilterModel::rowCount(const QModelIndex& parent) const
{
    if (!parent.isValid())
        return int(categoryOrder.size());
    if (parent.internalPointer() || parent.column() != 0 || parent.row() >= categoryOrder.size())
        return 0;
    return groups.at(categoryOrder.at(parent.row()))->count;
}

int FilterModel::columnCount(const QModelIndex& parent) const
{
    return parent.internalPointer() ? 0 : columns;
}

int FilterModel::sortedColumn() const
{
    // As in QSortFilterProxyModel, a column the source lacks sorts nothing.
    return sortBy < columns ? sortBy : -1;
}

bool FilterModel::hasChildren(const QModelIndex& parent) const
{
    return rowCount(parent) > 0;
}

QVariant FilterModel::data(const QModelIndex& index, int role) const
{
    const QVariant value = QAbstractProxyModel::data(index, role);
    // The count belongs to a category's name as shown, nothing else: any other role (an icon, a
    // size, a missing value) would read as an empty name and become text.
    if (role != Qt::DisplayRole || index.column() != TreeItem::TitleColumn || index.internalPointer() ||
        !value.isValid())
        return value;
    const int visible = rowCount(index);
    if (visible <= 0)
        return value;
    const QString text = value.toString();
    if (!vault.categoryNames().contains(text))
        return value;
    // Concatenated, not arg(): a name may itself contain "%1".
    return text + QStringLiteral(" (") + QString::number(visible) + QLatin1Char(')');
}

QVariant FilterModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    const QAbstractItemModel* source = sourceModel();
    if (!source)
        return QVariant();
    if (orientation == Qt::Horizontal)
        return source->headerData(section, orientation, role);
    return source->headerData(categoryOrder.value(section, -1), orientation, role);
}

Qt::ItemFlags FilterModel::flags(const QModelIndex& index) const
{
    const Qt::ItemFlags flags = QAbstractProxyModel::flags(index);
    // Tells views not to ask an entry row for children, nor to keep it expanded.
    return index.internalPointer() ? flags | Qt::ItemNeverHasChildren : flags;
}

QModelIndex FilterModel::mapToSource(const QModelIndex& proxyIndex) const
{
    const QAbstractItemModel* source = sourceModel();
    if (!source || !proxyIndex.isValid())
        return QModelIndex();
    if (!proxyIndex.internalPointer()) {
        const int category = categoryOrder.value(proxyIndex.row(), -1);
        return category < 0 ? QModelIndex() : source->index(category, proxyIndex.column());
    }
    Group& group = ensureShown(*static_cast<Group*>(proxyIndex.internalPointer()));
    if (proxyIndex.row() >= group.shown.size())
        return QModelIndex();
    return source->index(group.shown.at(proxyIndex.row()), proxyIndex.column(), categoryIndex(group.sourceRow));
}

QModelIndex FilterModel::mapFromSource(const QModelIndex& sourceIndex) const
{
    if (!sourceIndex.isValid() || sourceIndex.model() != sourceModel())
        return QModelIndex();
    const QModelIndex sourceParent = sourceIndex.parent();
    if (!sourceParent.isValid()) {
        const int proxyRow = categoryProxyRow.value(sourceIndex.row(), -1);
        return proxyRow < 0 ? QModelIndex() : createIndex(proxyRow, sourceIndex.column());
    }
    if (sourceParent.parent().isValid() || categoryProxyRow.value(sourceParent.row(), -1) < 0)
        return QModelIndex();
    Group& group = *groups.at(sourceParent.row());
    ensureInverse(group);
    const int proxyRow = group.proxyRowOf.value(sourceIndex.row(), -1);
    return proxyRow < 0 ? QModelIndex() : createIndex(proxyRow, sourceIndex.column(), &group);
}

// A category's count is part of its text.
void FilterModel::countChanged(int proxyRow)
{
    if (columns > 0)
        emit dataChanged(createIndex(proxyRow, 0), createIndex(proxyRow, columns - 1));
}

void FilterModel::sourceRowsInserted(const QModelIndex& parent, int first, int last)
{
    const int added = last - first + 1;
    if (!parent.isValid()) {
        // New categories: their rows, then the places they take among the categories shown.
        for (int row = first; row <= last; ++row) {
            auto* group = new Group;
            groups.insert(row, group);
        }
        for (int row = 0; row < groups.size(); ++row)
            groups.at(row)->sourceRow = row;
        for (int& row : categoryOrder)
            row += row >= first ? added : 0;
        for (int row = first; row <= last; ++row)
            countGroup(*groups.at(row));
        categoryProxyRow.insert(first, added, -1);
        for (int row = first; row <= last; ++row) {
            if (!filterAcceptsRow(row, QModelIndex()))
                continue;
            const int at = insertionPoint(categoryOrder, -1, row);
            beginInsertRows(QModelIndex(), at, at);
            categoryOrder.insert(at, row);
            unsetAll(categoryProxyRow, groups.size());
            for (int proxyRow = 0; proxyRow < categoryOrder.size(); ++proxyRow)
                categoryProxyRow[categoryOrder.at(proxyRow)] = proxyRow;
            endInsertRows();
        }
        return;
    }
    if (parent.parent().isValid() || parent.row() >= groups.size())
        return;
    Group& group = *groups.at(parent.row());
    const int category = group.sourceRow;
    group.accepted.insert(group.accepted.begin() + first, size_t(added), 0);
    for (QList<int>* rows : {&group.sorted, &group.shown}) {
        for (int& row : *rows)
            row += row >= first ? added : 0;
    }
    group.inverseValid = false;
    // A few rows find their places one by one; a block is sorted and merged in, in linear time.
    const bool block = added > kFewRows;
    QList<int> incoming;
    if (block) {
        incoming.reserve(added);
        for (int row = first; row <= last; ++row)
            incoming.append(row);
        sortRows(incoming, category);
    }
    const auto ordering = [this, category](int a, int b) { return ordered(category, a, b); };
    if (group.sortedValid) {
        if (block) {
            QList<int> merged(group.sorted.size() + incoming.size());
            std::merge(group.sorted.cbegin(), group.sorted.cend(), incoming.cbegin(), incoming.cend(), merged.begin(),
                       ordering);
            group.sorted = std::move(merged);
        } else {
            for (int row = first; row <= last; ++row)
                group.sorted.insert(insertionPoint(group.sorted, category, row), row);
        }
    }
    const int proxyParentRow = categoryProxyRow.value(category, -1);
    if (proxyParentRow < 0) {
        // Not shown: nothing to announce; the rows are worked out when it is shown again.
        for (int row = first; row <= last; ++row) {
            group.accepted[size_t(row)] = rowAccepted(group, row);
            group.count += group.accepted[size_t(row)];
        }
        group.invalidate();
        return;
    }
    // The rows as they were, before anything is announced: whatever reads the proxy while it
    // announces (a stacked proxy, an accessibility client) must find it as it was.
    ensureShown(group);
    if (block) {
        incoming.removeIf([&](int row) { return !rowAccepted(group, row); });
        QList<int> merged(group.shown.size() + incoming.size());
        std::merge(group.shown.cbegin(), group.shown.cend(), incoming.cbegin(), incoming.cend(), merged.begin(),
                   ordering);
        // Each run of new rows in the merged order is one insertion, announced in order so that
        // the rows before it are in place; many runs are one reset instead.
        QList<QPair<int, int>> runs; // proxy row, length
        for (int at = 0, taken = 0; at < merged.size(); ++at) {
            const bool fresh = taken < incoming.size() && merged.at(at) == incoming.at(taken);
            if (!fresh)
                continue;
            ++taken;
            if (!runs.isEmpty() && runs.last().first + runs.last().second == at)
                ++runs.last().second;
            else
                runs.append({at, 1});
        }
        if (runs.size() > kFewRows) {
            beginResetModel();
            for (int row : std::as_const(incoming))
                group.accepted[size_t(row)] = 1;
            group.count += int(incoming.size());
            group.shown = std::move(merged);
            group.inverseValid = false;
            endResetModel();
            return;
        }
        qsizetype taken = 0;
        for (const auto& [at, length] : std::as_const(runs)) {
            beginInsertRows(createIndex(proxyParentRow, 0), at, at + length - 1);
            const QList<int> run = incoming.mid(taken, length);
            group.shown.insert(at, length, 0);
            for (int k = 0; k < length; ++k) {
                group.shown[at + k] = run.at(k);
                group.accepted[size_t(run.at(k))] = 1;
            }
            group.count += length;
            taken += length;
            group.inverseValid = false;
            endInsertRows();
        }
        countChanged(proxyParentRow);
        return;
    }
    for (int row = first; row <= last; ++row) {
        if (!rowAccepted(group, row))
            continue;
        const int at = insertionPoint(group.shown, category, row);
        beginInsertRows(createIndex(proxyParentRow, 0), at, at);
        group.shown.insert(at, row);
        group.accepted[size_t(row)] = 1;
        ++group.count;
        group.inverseValid = false;
        endInsertRows();
    }
    countChanged(proxyParentRow);
}

void FilterModel::sourceRowsAboutToBeRemoved(const QModelIndex& parent, int first, int last)
{
    if (!parent.isValid()) {
        for (int row = last; row >= first; --row) {
            const int proxyRow = categoryProxyRow.value(row, -1);
            if (proxyRow < 0)
                continue;
            beginRemoveRows(QModelIndex(), proxyRow, proxyRow);
            categoryOrder.removeAt(proxyRow);
            categoryProxyRow[row] = -1;
            for (int& shown : categoryProxyRow)
                shown -= shown > proxyRow ? 1 : 0;
            endRemoveRows();
        }
        return;
    }
    if (parent.parent().isValid() || parent.row() >= groups.size())
        return;
    Group& group = *groups.at(parent.row());
    const int proxyParentRow = categoryProxyRow.value(group.sourceRow, -1);
    int leaving = 0;
    for (int row = first; row <= last; ++row)
        leaving += group.accepted[size_t(row)];
    if (leaving == 0)
        return;
    if (proxyParentRow < 0) {
        group.count -= leaving;
        group.invalidate();
    } else {
        // Built before it is announced, as for insertions.
        ensureInverse(group);
        QList<int> proxyRows;
        for (int row = first; row <= last; ++row) {
            if (group.accepted[size_t(row)])
                proxyRows.append(group.proxyRowOf.at(row));
        }
        std::sort(proxyRows.begin(), proxyRows.end());
        int runs = proxyRows.isEmpty() ? 0 : 1;
        for (qsizetype i = 1; i < proxyRows.size(); ++i)
            runs += proxyRows.at(i) != proxyRows.at(i - 1) + 1;
        if (runs > kFewRows) {
            // Rows scattered all over (an import taken back): one reset rather than a removal each.
            beginResetModel();
            for (int row = first; row <= last; ++row)
                group.accepted[size_t(row)] = 0;
            group.count -= leaving;
            group.invalidate();
            pendingReset = true;
            return;
        }
        // In runs, from the end, so that the earlier proxy rows stay where they are.
        while (!proxyRows.isEmpty()) {
            int start = proxyRows.size() - 1;
            while (start > 0 && proxyRows.at(start - 1) == proxyRows.at(start) - 1)
                --start;
            const int from = proxyRows.at(start);
            const int to = proxyRows.last();
            beginRemoveRows(createIndex(proxyParentRow, 0), from, to);
            group.shown.remove(from, to - from + 1);
            group.count -= to - from + 1;
            group.inverseValid = false;
            endRemoveRows();
            proxyRows.resize(start);
        }
    }
    for (int row = first; row <= last; ++row)
        group.accepted[size_t(row)] = 0; // gone from the proxy already
    if (proxyParentRow >= 0)
        countChanged(proxyParentRow);
}

void FilterModel::sourceRowsRemoved(const QModelIndex& parent, int first, int last)
{
    const int removed = last - first + 1;
    if (!parent.isValid()) {
        for (int row = first; row <= last; ++row)
            delete groups.at(row);
        groups.remove(first, removed);
        for (int row = 0; row < groups.size(); ++row)
            groups.at(row)->sourceRow = row;
        for (int& row : categoryOrder)
            row -= row > last ? removed : 0;
        categoryProxyRow.remove(first, removed);
        return;
    }
    if (parent.parent().isValid() || parent.row() >= groups.size())
        return;
    Group& group = *groups.at(parent.row());
    const bool reset = std::exchange(pendingReset, false);
    group.accepted.erase(group.accepted.begin() + first, group.accepted.begin() + last + 1);
    for (QList<int>* rows : {&group.sorted, &group.shown}) {
        rows->removeIf([first, last](int row) { return row >= first && row <= last; });
        for (int& row : *rows)
            row -= row > last ? removed : 0;
    }
    group.inverseValid = false;
    if (reset)
        endResetModel();
}

void FilterModel::sourceDataChanged(const QModelIndex& topLeft, const QModelIndex& bottomRight, const QList<int>& roles)
{
    if (!topLeft.isValid() || !bottomRight.isValid())
        return;
    const QModelIndex parent = topLeft.parent();
    if (!parent.isValid()) {
        // A category row: it may sort elsewhere now (or, written over with a record, be hidden).
        const QList<int> wasOrder = categoryOrder;
        const QList<int> wasProxyRow = categoryProxyRow;
        sortCategories();
        if (categoryOrder != wasOrder) {
            categoryOrder = wasOrder;
            categoryProxyRow = wasProxyRow;
            relayout([this] { sortCategories(); }, QAbstractItemModel::VerticalSortHint);
        }
        for (int row = topLeft.row(); row <= bottomRight.row(); ++row) {
            const int proxyRow = categoryProxyRow.value(row, -1);
            if (proxyRow >= 0)
                emit dataChanged(createIndex(proxyRow, topLeft.column()), createIndex(proxyRow, bottomRight.column()),
                                 roles);
        }
        return;
    }
    if (parent.parent().isValid() || parent.row() >= groups.size())
        return;
    Group& group = *groups.at(parent.row());
    const int category = group.sourceRow;
    const int proxyParentRow = categoryProxyRow.value(category, -1);
    const QModelIndex proxyParent = proxyParentRow < 0 ? QModelIndex() : createIndex(proxyParentRow, 0);
    const int countBefore = group.count;
    for (int row = topLeft.row(); row <= bottomRight.row(); ++row) {
        const bool was = group.accepted[size_t(row)];
        const bool now = rowAccepted(group, row);
        // Its place in the order, which a new title may change.
        bool moved = false;
        if (group.sortedValid) {
            const qsizetype at = group.sorted.indexOf(row);
            const bool inPlace = (at == 0 || ordered(category, group.sorted.at(at - 1), row)) &&
                                 (at == group.sorted.size() - 1 || ordered(category, row, group.sorted.at(at + 1)));
            if (!inPlace) {
                group.sorted.removeAt(at);
                group.sorted.insert(insertionPoint(group.sorted, category, row), row);
                moved = true;
            }
        }
        if (proxyParentRow < 0) {
            group.accepted[size_t(row)] = now;
            group.count += int(now) - int(was);
            group.invalidate();
            continue;
        }
        if (was != now)
            ensureShown(group); // as it was, before the change is announced
        if (was && !now) {
            ensureInverse(group);
            const int proxyRow = group.proxyRowOf.at(row);
            beginRemoveRows(proxyParent, proxyRow, proxyRow);
            group.shown.removeAt(proxyRow);
            group.accepted[size_t(row)] = 0;
            --group.count;
            group.inverseValid = false;
            endRemoveRows();
        } else if (!was && now) {
            const int at = insertionPoint(group.shown, category, row);
            beginInsertRows(proxyParent, at, at);
            group.shown.insert(at, row);
            group.accepted[size_t(row)] = 1;
            ++group.count;
            group.inverseValid = false;
            endInsertRows();
        } else if (now) {
            if (moved && group.shownValid) {
                // Sorted again, as QSortFilterProxyModel does: a layout change of this category.
                const QList<QPersistentModelIndex> parents{proxyParent};
                emit layoutAboutToBeChanged(parents, QAbstractItemModel::VerticalSortHint);
                const QModelIndexList before = persistentIndexList();
                QList<QModelIndex> sources;
                for (const QModelIndex& index : before)
                    sources.append(mapToSource(index));
                group.invalidate();
                QModelIndexList after;
                for (const QModelIndex& source : std::as_const(sources))
                    after.append(mapFromSource(source));
                changePersistentIndexList(before, after);
                emit layoutChanged(parents, QAbstractItemModel::VerticalSortHint);
            }
            const QModelIndex shown = mapFromSource(topLeft.siblingAtRow(row));
            if (shown.isValid())
                emit dataChanged(shown.siblingAtColumn(topLeft.column()), shown.siblingAtColumn(bottomRight.column()),
                                 roles);
        }
    }
    if (proxyParentRow >= 0 && group.count != countBefore)
        countChanged(proxyParentRow);
}

void FilterModel::sourceLayoutAboutToBeChanged()
{
    emit layoutAboutToBeChanged();
    layoutSources.clear();
    for (const QModelIndex& index : persistentIndexList())
        layoutSources.append(QPersistentModelIndex(mapToSource(index)));
}

void FilterModel::sourceLayoutChanged()
{
    const QModelIndexList before = persistentIndexList();
    rebuild();
    QModelIndexList after;
    for (qsizetype i = 0; i < before.size(); ++i)
        after.append(i < layoutSources.size() ? mapFromSource(layoutSources.at(i)) : QModelIndex());
    layoutSources.clear();
    changePersistentIndexList(before, after);
    emit layoutChanged();
}
