#include "treemodel.h"

#include "entry.h"
#include "entrylist.h"
#include "treeitem.h"
#include "vault.h"

#include <QHash>
#include <QIcon>

TreeModel::TreeModel(const Vault& vault, QObject* parent)
    : QAbstractItemModel(parent), vault(vault), rootItem(new TreeItem({QStringLiteral("Entries")}))
{
    buildTree();
    connect(&vault, &Vault::vaultReset, this, &TreeModel::rebuild);
    connect(&vault, &Vault::categoryAdded, this, &TreeModel::appendCategory);
    connect(&vault, &Vault::categoryRemoved, this, &TreeModel::removeCategoryRows);
    connect(&vault, &Vault::entryAdded, this, &TreeModel::appendEntry);
    connect(&vault, &Vault::entryChanged, this, &TreeModel::moveOrUpdateEntry);
    connect(&vault, &Vault::entryRemoved, this, &TreeModel::removeEntryRow);
}

TreeModel::~TreeModel()
{
    delete rootItem;
}

TreeItem* TreeModel::itemFor(const QModelIndex& index) const
{
    if (index.isValid()) {
        if (auto* item = static_cast<TreeItem*>(index.internalPointer()))
            return item;
    }
    return rootItem;
}

const TreeItem* TreeModel::itemAt(int row, const QModelIndex& parent) const
{
    return itemFor(parent)->child(row);
}

void TreeModel::buildTree()
{
    // Each entry goes under the first category row of its name; looked up by name once
    // rather than by scanning the categories for every entry.
    QHash<QString, TreeItem*> categoryRows;
    categoryRows.reserve(vault.categoryNames().size());
    for (const QString& name : vault.categoryNames()) {
        const int row = rootItem->childCount();
        rootItem->insertChildren(row, 1, TreeItem::RowColumnCount);
        TreeItem* category = rootItem->child(row);
        category->setData(TreeItem::TitleColumn, name);
        category->setData(TreeItem::IsEntryColumn, 0);
        if (!categoryRows.contains(name))
            categoryRows.insert(name, category);
    }
    for (const Entry& entry : vault.entries()) {
        TreeItem* category = categoryRows.value(entry.category);
        if (!category)
            continue;
        const int row = category->childCount();
        category->insertChildren(row, 1, TreeItem::RowColumnCount);
        category->child(row)->setFromEntry(entry);
    }
}

QModelIndex TreeModel::index(int row, int column, const QModelIndex& parent) const
{
    if (parent.isValid() && parent.column() != 0)
        return QModelIndex();
    TreeItem* child = itemFor(parent)->child(row);
    if (!child || column < 0)
        return QModelIndex();
    return createIndex(row, column, child);
}

QModelIndex TreeModel::parent(const QModelIndex& index) const
{
    if (!index.isValid())
        return QModelIndex();
    TreeItem* parentItem = itemFor(index)->parent();
    if (!parentItem || parentItem == rootItem)
        return QModelIndex();
    return createIndex(parentItem->childNumber(), 0, parentItem);
}

int TreeModel::rowCount(const QModelIndex& parent) const
{
    return itemFor(parent)->childCount();
}

int TreeModel::columnCount(const QModelIndex&) const
{
    return rootItem->columnCount();
}

QVariant TreeModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid())
        return QVariant();
    const TreeItem* item = itemFor(index);
    switch (role) {
    case Qt::DecorationRole: {
        static const QIcon entryIcon(QStringLiteral(":/files/img-doc"));
        static const QIcon categoryIcon(QStringLiteral(":/files/img-folder"));
        return item->data(TreeItem::IsEntryColumn).toBool() ? entryIcon : categoryIcon;
    }
    case Qt::DisplayRole:
    case Qt::EditRole:
        return item->data(index.column());
    default:
        return QVariant();
    }
}

bool TreeModel::setData(const QModelIndex& index, const QVariant& value, int role)
{
    if (role != Qt::EditRole)
        return false;
    const bool stored = itemFor(index)->setData(index.column(), value);
    if (stored)
        emit dataChanged(index, index);
    return stored;
}

QVariant TreeModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole)
        return rootItem->data(section);
    return QVariant();
}

bool TreeModel::setHeaderData(int section, Qt::Orientation orientation, const QVariant& value, int role)
{
    if (role != Qt::EditRole || orientation != Qt::Horizontal)
        return false;
    const bool stored = rootItem->setData(section, value);
    if (stored)
        emit headerDataChanged(orientation, section, section);
    return stored;
}

bool TreeModel::insertRows(int position, int rows, const QModelIndex& parent)
{
    TreeItem* parentItem = itemFor(parent);
    if (position < 0 || position > parentItem->childCount())
        return false;
    if (rows <= 0)
        return true;
    beginInsertRows(parent, position, position + rows - 1);
    const bool inserted = parentItem->insertChildren(position, rows, TreeItem::RowColumnCount);
    endInsertRows();
    return inserted;
}

bool TreeModel::removeRows(int position, int rows, const QModelIndex& parent)
{
    TreeItem* parentItem = itemFor(parent);
    if (position < 0 || rows < 0 || position + rows > parentItem->childCount())
        return false;
    if (rows == 0)
        return true; // as the node answers for nothing to remove
    beginRemoveRows(parent, position, position + rows - 1);
    const bool removed = parentItem->removeChildren(position, rows);
    endRemoveRows();
    return removed;
}

bool TreeModel::insertColumns(int position, int columns, const QModelIndex& parent)
{
    if (position < 0 || position > rootItem->columnCount() || columns < 0)
        return false;
    if (columns == 0)
        return true;
    beginInsertColumns(parent, position, position + columns - 1);
    const bool inserted = rootItem->insertColumns(position, columns);
    endInsertColumns();
    return inserted;
}

bool TreeModel::removeColumns(int position, int columns, const QModelIndex& parent)
{
    if (position < 0 || columns <= 0 || position + columns > rootItem->columnCount())
        return false;
    beginRemoveColumns(parent, position, position + columns - 1);
    const bool removed = rootItem->removeColumns(position, columns);
    endRemoveColumns();
    if (rootItem->columnCount() == 0)
        removeRows(0, rowCount());
    return removed;
}

Qt::ItemFlags TreeModel::flags(const QModelIndex& index) const
{
    if (!index.isValid())
        return Qt::NoItemFlags;
    return Qt::ItemIsSelectable | Qt::ItemIsEditable | Qt::ItemIsEnabled;
}

Entry TreeModel::entryAt(const QModelIndex& index) const
{
    if (!index.isValid()) {
        Entry none(Entry::NoId);
        none.id = QStringLiteral("0");
        return none;
    }
    return itemFor(index)->toEntry();
}

void TreeModel::setEntryAt(const Entry& entry, const QModelIndex& index)
{
    // The root holds only the header text; writing a record into it would be meaningless.
    if (!index.isValid())
        return;
    itemFor(index)->setFromEntry(entry);
    emit dataChanged(index, index);
}

QModelIndex TreeModel::findCategory(const QString& name) const
{
    for (int row = 0; row < rootItem->childCount(); ++row) {
        TreeItem* category = rootItem->child(row);
        if (category->data(TreeItem::TitleColumn).toString() == name)
            return createIndex(row, 0, category);
    }
    return QModelIndex();
}

QModelIndex TreeModel::findEntry(const Entry& entry) const
{
    const QModelIndex category = findCategory(entry.category);
    if (!category.isValid())
        return QModelIndex();
    const TreeItem* categoryItem = itemFor(category);
    for (int row = 0; row < categoryItem->childCount(); ++row) {
        if (categoryItem->child(row)->data(TreeItem::IdColumn).toString() == entry.id)
            return index(row, 0, category);
    }
    return QModelIndex();
}

void TreeModel::rebuild()
{
    beginResetModel();
    rootItem->removeChildren(0, rootItem->childCount());
    buildTree();
    endResetModel();
}

void TreeModel::appendCategory(const QString& name)
{
    const int row = rowCount();
    if (insertRows(row, 1))
        setData(index(row, TreeItem::TitleColumn), name, Qt::EditRole);
}

void TreeModel::appendEntry(const Entry& entry)
{
    // Without its category row the entry stays out of the tree, as it would after a restart.
    const QModelIndex category = findCategory(entry.category);
    if (!category.isValid())
        return;
    const int row = rowCount(category);
    if (insertRows(row, 1, category))
        setEntryAt(entry, index(row, 0, category));
}

void TreeModel::moveOrUpdateEntry(const Entry& before, const Entry& after)
{
    QModelIndex row = findEntry(before);
    if (after.category != before.category) {
        if (row.isValid()) {
            removeRows(row.row(), 1, row.parent());
            row = QModelIndex();
        }
        // Removing under the old category leaves the top-level rows, and so the target, as they were.
        const QModelIndex target = findCategory(after.category);
        const int position = rowCount(target);
        if (target.isValid() && insertRows(position, 1, target))
            row = index(position, 0, target);
    }
    if (row.isValid())
        setEntryAt(after, row);
}

void TreeModel::removeCategoryRows(const QString& name)
{
    for (int row = rowCount() - 1; row >= 0; --row) {
        if (rootItem->child(row)->cell(TreeItem::TitleColumn).toString() == name)
            removeRows(row, 1);
    }
}

void TreeModel::removeEntryRow(const Entry& entry)
{
    const QModelIndex row = findEntry(entry);
    if (row.isValid())
        removeRows(row.row(), 1, row.parent());
}
