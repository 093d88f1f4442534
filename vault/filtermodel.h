#pragma once

#include <QAbstractProxyModel>
#include <QList>

#include <functional>
#include <memory>

class TreeModel;
class Vault;

// Sorts the tree and hides the entries that do not contain the search text; category
// rows always stay and show how many of their entries are visible.
//
// Made for the vault's two-level tree and large vaults: the search scans the entries' texts
// (both cores, and only the previous matches when the text grows), each category keeps its rows
// sorted once and is only filtered again, and a new search text reaches views as one layout
// change rather than a signal per block of rows. Its interface is the part of
// QSortFilterProxyModel that Vaultry uses, with the same meaning.
class FilterModel : public QAbstractProxyModel
{
    Q_OBJECT

public:
    explicit FilterModel(const Vault& vault, QObject* parent = nullptr);
    ~FilterModel() override;

    void setSourceModel(QAbstractItemModel* model) override;

    // The entries whose account, category, notes, title or website contain `text` stay;
    // passwords are never searched. An empty text shows everything.
    void setFilterFixedString(const QString& text);
    QString filterFixedString() const { return search; }
    // Case-sensitive unless set otherwise, as in QSortFilterProxyModel.
    void setFilterCaseSensitivity(Qt::CaseSensitivity sensitivity);
    Qt::CaseSensitivity filterCaseSensitivity() const { return caseSensitivity; }
    // Kept for callers written against QSortFilterProxyModel: the search reads whole records
    // rather than a column, and the model always follows its source as it changes.
    void setFilterKeyColumn(int column) { keyColumn = column; }
    int filterKeyColumn() const { return keyColumn; }
    void setDynamicSortFilter(bool) {}
    bool dynamicSortFilter() const { return true; }

    // Rows sort by the display text of `column`, case-sensitively; equal texts keep the
    // source's order. A column the source lacks, such as -1 (the start), keeps the source's order.
    void sort(int column, Qt::SortOrder order = Qt::AscendingOrder) override;
    int sortColumn() const { return sortBy; }
    Qt::SortOrder sortOrder() const { return order; }

    QModelIndex index(int row, int column, const QModelIndex& parent = QModelIndex()) const override;
    QModelIndex parent(const QModelIndex& child) const override;
    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    bool hasChildren(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    QModelIndex mapToSource(const QModelIndex& proxyIndex) const override;
    QModelIndex mapFromSource(const QModelIndex& sourceIndex) const override;

protected:
    // Whether a source row stays under the current search: category rows always do, entry
    // rows when their vault record (found by id) contains the text. A row of the vault's tree
    // that shows a vault entry is judged by that entry instead, bypassing this.
    virtual bool filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const;

private:
    struct Group;
    class Search;

    int sortedColumn() const;
    bool rowAccepted(const Group& group, int row) const;
    bool less(int category, int left, int right) const;
    bool ordered(int category, int left, int right) const;
    void sortRows(QList<int>& rows, int category) const;
    Group& ensureShown(Group& group) const;
    void ensureInverse(Group& group) const;
    int insertionPoint(const QList<int>& rows, int category, int row) const;
    QModelIndex categoryIndex(int sourceCategory, int column = 0) const;
    void sortCategories();
    void countGroup(Group& group);
    void rebuild();
    void refilter();
    // Applies a change of search or order to everything, as one layout change.
    void relayout(const std::function<void()>& change, QAbstractItemModel::LayoutChangeHint hint);

    void countChanged(int proxyRow);
    void sourceRowsInserted(const QModelIndex& parent, int first, int last);
    void sourceRowsAboutToBeRemoved(const QModelIndex& parent, int first, int last);
    void sourceRowsRemoved(const QModelIndex& parent, int first, int last);
    void sourceDataChanged(const QModelIndex& topLeft, const QModelIndex& bottomRight, const QList<int>& roles);
    void sourceLayoutAboutToBeChanged();
    void sourceLayoutChanged();

    const Vault& vault;
    const TreeModel* tree = nullptr; // the source when it is the vault's tree, read in bulk
    QList<QMetaObject::Connection> connections;
    QString search;
    Qt::CaseSensitivity caseSensitivity = Qt::CaseSensitive;
    int keyColumn = 0;
    int columns = 0; // of the source
    int sortBy = -1;
    Qt::SortOrder order = Qt::AscendingOrder;

    mutable QList<Group*> groups; // one per source category row
    QList<int> categoryOrder;     // proxy row -> source category row
    QList<int> categoryProxyRow;  // source category row -> proxy row, -1 when hidden
    std::unique_ptr<Search> matcher;
    QList<QPersistentModelIndex> layoutSources; // across a source layout change
    bool pendingReset = false;                  // a removal announced as a reset, ended once done
};
