#include "treemodel.h"

#include "entry.h"
#include "entrylist.h"
#include "treeitem.h"

#include <QHash>
#include <QIcon>

TreeModel::TreeModel(QObject* parent) : QAbstractItemModel(parent), rootItem(new TreeItem({QStringLiteral("Entries")}))
{
    buildTree();
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
    categoryRows.reserve(categoryNames.size());
    for (const QString& name : std::as_const(categoryNames)) {
        const int row = rootItem->childCount();
        rootItem->insertChildren(row, 1, TreeItem::RowColumnCount);
        TreeItem* category = rootItem->child(row);
        category->setData(TreeItem::TitleColumn, name);
        category->setData(TreeItem::IsEntryColumn, 0);
        if (!categoryRows.contains(name))
            categoryRows.insert(name, category);
    }
    for (const Entry& entry : entries) {
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
    if (position < 0 || rows <= 0 || position + rows > parentItem->childCount())
        return false;
    beginRemoveRows(parent, position, position + rows - 1);
    const bool removed = parentItem->removeChildren(position, rows);
    endRemoveRows();
    return removed;
}

bool TreeModel::insertColumns(int position, int columns, const QModelIndex& parent)
{
    if (position < 0 || position > rootItem->columnCount() || columns <= 0)
        return false;
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
