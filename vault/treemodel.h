#pragma once

#include <QAbstractItemModel>
#include <QList>

#include <functional>

class Entry;
class TreeItem;
class Vault;

// The vault as a two-level tree: categories at the top, their entries below them.
// Rows keep insertion order; the proxy above sorts them. The model observes the vault and
// mirrors each change it announces; rows are never changed behind the vault's back.
// An entry row refers to its vault entry rather than copying it; a row given values of its
// own (setData, setEntryAt, a row inserted empty) keeps them, ten columns like any row.
// Entry rows have no children.
class TreeModel : public QAbstractItemModel
{
    Q_OBJECT

public:
    explicit TreeModel(const Vault& vault, QObject* parent = nullptr);
    ~TreeModel() override;

    QModelIndex index(int row, int column, const QModelIndex& parent = QModelIndex()) const override;
    QModelIndex parent(const QModelIndex& index) const override;
    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role = Qt::EditRole) override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    bool setHeaderData(int section, Qt::Orientation orientation, const QVariant& value,
                       int role = Qt::EditRole) override;
    bool insertRows(int position, int rows, const QModelIndex& parent = QModelIndex()) override;
    bool insertColumns(int position, int columns, const QModelIndex& parent = QModelIndex()) override;
    bool removeRows(int position, int rows, const QModelIndex& parent = QModelIndex()) override;
    bool removeColumns(int position, int columns, const QModelIndex& parent = QModelIndex()) override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    // The record of an entry row; a record with id "0" for a category row or an invalid index.
    Entry entryAt(const QModelIndex& index) const;
    void setEntryAt(const Entry& entry, const QModelIndex& index);
    // First top-level row named `name` (exact match), or an invalid index.
    QModelIndex findCategory(const QString& name) const;
    // The row of the entry with this id under the category the record names, or an invalid index.
    QModelIndex findEntry(const Entry& entry) const;

    // For the filter, which reads rows in bulk. `category` is a top-level row.
    // Where in the vault's entries the entry shown at `row` of `category` is; -1 for a row with
    // values of its own (or whose entry has just gone).
    qsizetype entryPosition(int category, int row) const;
    // The title (column 0) of an entry row, or of the category row itself when `row` is -1,
    // without a copy; null when it is not a string.
    const QString* titleAt(int category, int row) const;

private:
    struct Row
    {
        quint32 serial; // the vault entry, by EntryList::serialAt
        qint32 own;     // index into ownRows, or -1 for a row showing its vault entry
    };
    struct Category
    {
        TreeItem* item; // the category row's own values
        QList<Row> rows;
        int row; // where it is among the top-level rows
    };

    Category* categoryOf(const QModelIndex& index) const;
    const Entry* rowEntry(const Category* category, int row) const;
    TreeItem* ownItem(const Row& row) const { return row.own >= 0 ? ownRows.at(row.own) : nullptr; }
    // Gives the row values of its own, copied from what it shows.
    TreeItem* detach(Category* category, int row);
    void adopt(Row& row, TreeItem* item);
    void releaseOwn(Row& row);
    QVariant rowValue(const Category* category, int row, int column) const;
    void renumberCategories(int from);
    // Every entry row made a row of its own, for column changes that must shift all values.
    void detachAll();
    // The first row under `category` that has values of its own with this id, or that shows a vault
    // entry `shows` accepts.
    QModelIndex findEntryRow(const QString& category, const QString& id,
                             const std::function<bool(const Row&)>& shows) const;
    void showVaultEntry(const QModelIndex& index, qsizetype position);
    void buildTree();
    void clearTree();

    void rebuild();
    void appendCategory(const QString& name);
    void appendEntry(const Entry& entry);
    void moveOrUpdateEntry(const Entry& before, const Entry& after);
    void removeCategoryRows(const QString& name);
    void removeEntryRow(const Entry& entry);
    // Batches: one insertion or removal announced per category.
    void appendEntries(qsizetype first, qsizetype count);
    void removeEntryRows(const QList<Entry>& removed);

    const Vault& vault;
    TreeItem* rootItem;
    QList<Category*> categories;
    QList<TreeItem*> ownRows; // null where freed
    QList<qint32> freeOwnRows;
};
