#pragma once

#include <QAbstractItemModel>

class Entry;
class TreeItem;
class Vault;

// The vault as a two-level tree: categories at the top, their entries below them.
// Rows keep insertion order; the proxy above sorts them. The model observes the vault and
// mirrors each change it announces; rows are never changed behind the vault's back.
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
    // The node of a row, for readers that must not copy its values; null if there is none.
    const TreeItem* itemAt(int row, const QModelIndex& parent) const;

private:
    TreeItem* itemFor(const QModelIndex& index) const;
    void buildTree();

    void rebuild();
    void appendCategory(const QString& name);
    void appendEntry(const Entry& entry);
    void moveOrUpdateEntry(const Entry& before, const Entry& after);
    void removeCategoryRows(const QString& name);
    void removeEntryRow(const Entry& entry);

    const Vault& vault;
    TreeItem* rootItem;
};
