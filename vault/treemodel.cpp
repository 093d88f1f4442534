#include "treemodel.h"

#include "entry.h"
#include "entrylist.h"
#include "treeitem.h"
#include "vault.h"

#include <QHash>
#include <QIcon>
#include <QSet>

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
    connect(&vault, &Vault::entriesAdded, this, &TreeModel::appendEntries);
    connect(&vault, &Vault::entriesRemoved, this, &TreeModel::removeEntryRows);
}

TreeModel::~TreeModel()
{
    clearTree();
    delete rootItem;
}

// Category rows carry no pointer; entry rows carry their category, which stays put while
// categories before it come and go.
TreeModel::Category* TreeModel::categoryOf(const QModelIndex& index) const
{
    if (!index.isValid())
        return nullptr;
    if (auto* category = static_cast<Category*>(index.internalPointer()))
        return category;
    return categories.value(index.row());
}

const Entry* TreeModel::rowEntry(const Category* category, int row) const
{
    const qsizetype position = vault.entries().indexOfSerial(category->rows.at(row).serial);
    return position < 0 ? nullptr : &vault.entries().at(position);
}

qsizetype TreeModel::entryPosition(int category, int row) const
{
    const Row& entryRow = categories.at(category)->rows.at(row);
    return entryRow.own >= 0 ? -1 : vault.entries().indexOfSerial(entryRow.serial);
}

const QString* TreeModel::titleAt(int category, int row) const
{
    const Category* node = categories.at(category);
    const TreeItem* item = node->item;
    if (row >= 0) {
        const Row& entryRow = node->rows.at(row);
        if (entryRow.own < 0) {
            const Entry* entry = rowEntry(node, row);
            return entry ? &entry->title : nullptr;
        }
        item = ownRows.at(entryRow.own);
    }
    const QVariant& title = item->cell(TreeItem::TitleColumn);
    return title.metaType() == QMetaType::fromType<QString>() ? static_cast<const QString*>(title.constData())
                                                              : nullptr;
}

QVariant TreeModel::rowValue(const Category* category, int row, int column) const
{
    const Row& entryRow = category->rows.at(row);
    if (entryRow.own >= 0)
        return ownRows.at(entryRow.own)->data(column);
    const Entry* entry = rowEntry(category, row);
    if (!entry)
        return QVariant();
    // The ten columns TreeItem::setFromEntry fills.
    switch (column) {
    case TreeItem::TitleColumn:
        return entry->title;
    case TreeItem::IsEntryColumn:
        return true;
    case TreeItem::IdColumn:
        return entry->id;
    case TreeItem::UrlColumn:
        return entry->url;
    case TreeItem::AccountColumn:
        return entry->account;
    case TreeItem::PasswordColumn:
        return entry->password;
    case TreeItem::NotesColumn:
        return entry->notes;
    case TreeItem::CategoryColumn:
        return entry->category;
    case TreeItem::DateChangedColumn:
        return entry->dateChanged.toDateTime();
    case TreeItem::DateCreatedColumn:
        return entry->dateCreated.toDateTime();
    default:
        return QVariant();
    }
}

TreeItem* TreeModel::detach(Category* category, int row)
{
    Row& entryRow = category->rows[row];
    if (entryRow.own >= 0)
        return ownRows.at(entryRow.own);
    auto* item = new TreeItem(QVector<QVariant>(TreeItem::RowColumnCount));
    if (const Entry* entry = rowEntry(category, row))
        item->setFromEntry(*entry);
    adopt(entryRow, item);
    return item;
}

void TreeModel::adopt(Row& row, TreeItem* item)
{
    if (freeOwnRows.isEmpty()) {
        row.own = qint32(ownRows.size());
        ownRows.append(item);
    } else {
        row.own = freeOwnRows.takeLast();
        ownRows[row.own] = item;
    }
}

void TreeModel::releaseOwn(Row& row)
{
    if (row.own < 0)
        return;
    delete ownRows.at(row.own);
    ownRows[row.own] = nullptr;
    freeOwnRows.append(row.own);
    row.own = -1;
}

void TreeModel::detachAll()
{
    for (Category* category : std::as_const(categories)) {
        for (int row = 0; row < category->rows.size(); ++row)
            detach(category, row);
    }
}

void TreeModel::renumberCategories(int from)
{
    for (int row = from; row < categories.size(); ++row)
        categories.at(row)->row = row;
}

void TreeModel::buildTree()
{
    // Each entry goes under the first category row of its name; looked up by name once
    // rather than by scanning the categories for every entry.
    QHash<QString, Category*> categoryRows;
    categoryRows.reserve(vault.categoryNames().size());
    for (const QString& name : vault.categoryNames()) {
        auto* category = new Category{new TreeItem(QVector<QVariant>(TreeItem::RowColumnCount)), {}, 0};
        category->item->setData(TreeItem::TitleColumn, name);
        category->item->setData(TreeItem::IsEntryColumn, 0);
        categories.append(category);
        if (!categoryRows.contains(name))
            categoryRows.insert(name, category);
    }
    renumberCategories(0);
    const EntryList& entries = vault.entries();
    // Entries of one category often follow each other: skip the look-up then.
    const QString* lastName = nullptr;
    Category* last = nullptr;
    for (qsizetype i = 0; i < entries.size(); ++i) {
        const QString& name = entries.at(i).category;
        if (!lastName || !(lastName->constData() == name.constData() && lastName->size() == name.size())) {
            last = categoryRows.value(name);
            lastName = &name;
        }
        if (last)
            last->rows.append(Row{entries.serialAt(i), -1});
    }
}

void TreeModel::appendEntries(qsizetype first, qsizetype count)
{
    // The new rows of each category, in the vault's order, found in one pass.
    QHash<QString, int> rowOfName;
    for (int row = int(categories.size()) - 1; row >= 0; --row)
        rowOfName.insert(categories.at(row)->item->cell(TreeItem::TitleColumn).toString(), row);
    QList<QList<quint32>> added(categories.size());
    const EntryList& entries = vault.entries();
    for (qsizetype i = first; i < first + count; ++i) {
        const auto found = rowOfName.constFind(entries.at(i).category);
        // Without its category row the entry stays out of the tree, as it would after a restart.
        if (found != rowOfName.cend())
            added[*found].append(entries.serialAt(i));
    }
    for (int row = 0; row < added.size(); ++row) {
        const QList<quint32>& serials = added.at(row);
        if (serials.isEmpty())
            continue;
        Category* category = categories.at(row);
        const int at = int(category->rows.size());
        beginInsertRows(createIndex(row, 0), at, at + int(serials.size()) - 1);
        category->rows.reserve(at + serials.size());
        for (const quint32 serial : serials)
            category->rows.append(Row{serial, -1});
        endInsertRows();
    }
}

void TreeModel::removeEntryRows(const QList<Entry>& removed)
{
    QSet<QString> touched;
    for (const Entry& entry : removed)
        touched.insert(entry.category);
    const EntryList& entries = vault.entries();
    for (int row = 0; row < categories.size(); ++row) {
        const Category* category = categories.at(row);
        if (!touched.contains(category->item->cell(TreeItem::TitleColumn).toString()))
            continue;
        // The rows whose element has gone, in runs from the end, so that the earlier rows stay put.
        for (int end = int(category->rows.size()) - 1; end >= 0; --end) {
            const auto gone = [&](int at) {
                const Row& entryRow = category->rows.at(at);
                return entryRow.own < 0 && entries.indexOfSerial(entryRow.serial) < 0;
            };
            if (!gone(end))
                continue;
            int start = end;
            while (start > 0 && gone(start - 1))
                --start;
            removeRows(start, end - start + 1, createIndex(row, 0));
            end = start;
        }
    }
}

void TreeModel::clearTree()
{
    for (Category* category : std::as_const(categories)) {
        delete category->item;
        delete category;
    }
    categories.clear();
    qDeleteAll(ownRows);
    ownRows.clear();
    freeOwnRows.clear();
}

QModelIndex TreeModel::index(int row, int column, const QModelIndex& parent) const
{
    if (column < 0 || row < 0)
        return QModelIndex();
    if (!parent.isValid())
        return row < categories.size() ? createIndex(row, column) : QModelIndex();
    if (parent.column() != 0 || parent.internalPointer())
        return QModelIndex(); // entry rows have no children
    Category* category = categories.value(parent.row());
    if (!category || row >= category->rows.size())
        return QModelIndex();
    return createIndex(row, column, category);
}

QModelIndex TreeModel::parent(const QModelIndex& index) const
{
    if (!index.isValid() || !index.internalPointer())
        return QModelIndex();
    return createIndex(static_cast<Category*>(index.internalPointer())->row, 0);
}

int TreeModel::rowCount(const QModelIndex& parent) const
{
    if (!parent.isValid())
        return int(categories.size());
    if (parent.internalPointer())
        return 0;
    const Category* category = categories.value(parent.row());
    return category ? int(category->rows.size()) : 0;
}

int TreeModel::columnCount(const QModelIndex&) const
{
    return rootItem->columnCount();
}

QVariant TreeModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid())
        return QVariant();
    const Category* category = categoryOf(index);
    if (!category)
        return QVariant();
    const bool entryRow = index.internalPointer() != nullptr;
    switch (role) {
    case Qt::DecorationRole: {
        static const QIcon entryIcon(QStringLiteral(":/files/img-doc"));
        static const QIcon categoryIcon(QStringLiteral(":/files/img-folder"));
        const QVariant isEntry = entryRow ? rowValue(category, index.row(), TreeItem::IsEntryColumn)
                                          : category->item->data(TreeItem::IsEntryColumn);
        return isEntry.toBool() ? entryIcon : categoryIcon;
    }
    case Qt::DisplayRole:
    case Qt::EditRole:
        return entryRow ? rowValue(category, index.row(), index.column()) : category->item->data(index.column());
    default:
        return QVariant();
    }
}

bool TreeModel::setData(const QModelIndex& index, const QVariant& value, int role)
{
    if (role != Qt::EditRole)
        return false;
    TreeItem* item = rootItem; // an invalid index names the header row, as ever
    if (Category* category = categoryOf(index))
        item = index.internalPointer() ? detach(category, index.row()) : category->item;
    const bool stored = item->setData(index.column(), value);
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
    if (parent.isValid() && (parent.internalPointer() || !categories.value(parent.row())))
        return false;
    Category* category = parent.isValid() ? categories.at(parent.row()) : nullptr;
    const int count = category ? int(category->rows.size()) : int(categories.size());
    if (position < 0 || position > count)
        return false;
    if (rows <= 0)
        return true;
    beginInsertRows(parent, position, position + rows - 1);
    if (category) {
        // Empty rows of their own until something is written into them.
        category->rows.insert(position, rows, Row{0, -1});
        for (int i = position; i < position + rows; ++i)
            adopt(category->rows[i], new TreeItem(QVector<QVariant>(TreeItem::RowColumnCount)));
    } else {
        for (int i = 0; i < rows; ++i) {
            auto* added = new Category{new TreeItem(QVector<QVariant>(TreeItem::RowColumnCount)), {}, 0};
            categories.insert(position + i, added);
        }
        renumberCategories(position);
    }
    endInsertRows();
    return true;
}

bool TreeModel::removeRows(int position, int rows, const QModelIndex& parent)
{
    if (parent.isValid() && (parent.internalPointer() || !categories.value(parent.row())))
        return false;
    Category* category = parent.isValid() ? categories.at(parent.row()) : nullptr;
    const int count = category ? int(category->rows.size()) : int(categories.size());
    if (position < 0 || rows < 0 || position + rows > count)
        return false;
    if (rows == 0)
        return true; // as the node answers for nothing to remove
    beginRemoveRows(parent, position, position + rows - 1);
    if (category) {
        for (int i = position; i < position + rows; ++i)
            releaseOwn(category->rows[i]);
        category->rows.remove(position, rows);
    } else {
        for (int i = position; i < position + rows; ++i) {
            Category* gone = categories.at(i);
            for (Row& row : gone->rows)
                releaseOwn(row);
            delete gone->item;
            delete gone;
        }
        categories.remove(position, rows);
        renumberCategories(position);
    }
    endRemoveRows();
    return true;
}

bool TreeModel::insertColumns(int position, int columns, const QModelIndex& parent)
{
    if (position < 0 || position > rootItem->columnCount() || columns < 0)
        return false;
    if (columns == 0)
        return true;
    beginInsertColumns(parent, position, position + columns - 1);
    // Every row's values shift, so every row needs values of its own.
    detachAll();
    bool inserted = rootItem->insertColumns(position, columns);
    for (Category* category : std::as_const(categories))
        inserted = category->item->insertColumns(position, columns) && inserted;
    for (TreeItem* item : std::as_const(ownRows)) {
        if (item)
            item->insertColumns(position, columns);
    }
    endInsertColumns();
    return inserted;
}

bool TreeModel::removeColumns(int position, int columns, const QModelIndex& parent)
{
    if (position < 0 || columns < 0 || position + columns > rootItem->columnCount())
        return false;
    if (columns == 0)
        return true; // as for rows: nothing to remove is no failure
    beginRemoveColumns(parent, position, position + columns - 1);
    detachAll();
    const bool removed = rootItem->removeColumns(position, columns);
    for (Category* category : std::as_const(categories))
        category->item->removeColumns(position, columns);
    for (TreeItem* item : std::as_const(ownRows)) {
        if (item)
            item->removeColumns(position, columns);
    }
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
    const Category* category = categoryOf(index);
    if (category && index.internalPointer()) {
        const Row& row = category->rows.at(index.row());
        if (row.own >= 0)
            return ownRows.at(row.own)->toEntry();
        if (const Entry* entry = rowEntry(category, index.row()))
            return *entry;
    } else if (category) {
        return category->item->toEntry();
    }
    Entry none(Entry::NoId);
    none.id = QStringLiteral("0");
    return none;
}

void TreeModel::setEntryAt(const Entry& entry, const QModelIndex& index)
{
    // The root holds only the header text; writing a record into it would be meaningless.
    Category* category = categoryOf(index);
    if (!category)
        return;
    TreeItem* item = index.internalPointer() ? detach(category, index.row()) : category->item;
    item->setFromEntry(entry);
    emit dataChanged(index, index);
}

void TreeModel::showVaultEntry(const QModelIndex& index, qsizetype position)
{
    Category* category = categoryOf(index);
    if (!category || !index.internalPointer())
        return;
    Row& row = category->rows[index.row()];
    releaseOwn(row);
    row.serial = vault.entries().serialAt(position);
    emit dataChanged(index, index);
}

QModelIndex TreeModel::findCategory(const QString& name) const
{
    for (int row = 0; row < categories.size(); ++row) {
        if (categories.at(row)->item->cell(TreeItem::TitleColumn).toString() == name)
            return createIndex(row, 0);
    }
    return QModelIndex();
}

QModelIndex TreeModel::findEntryRow(const QString& categoryName, const QString& id,
                                    const std::function<bool(const Row&)>& shows) const
{
    const QModelIndex categoryIndex = findCategory(categoryName);
    if (!categoryIndex.isValid())
        return QModelIndex();
    const Category* category = categories.at(categoryIndex.row());
    for (int row = 0; row < category->rows.size(); ++row) {
        const Row& entryRow = category->rows.at(row);
        const bool found =
            entryRow.own >= 0 ? ownRows.at(entryRow.own)->cell(TreeItem::IdColumn).toString() == id : shows(entryRow);
        if (found)
            return createIndex(row, 0, const_cast<Category*>(category));
    }
    return QModelIndex();
}

QModelIndex TreeModel::findEntry(const Entry& entry) const
{
    return findEntryRow(entry.category, entry.id, [this, &entry](const Row& row) {
        const qsizetype position = vault.entries().indexOfSerial(row.serial);
        return position >= 0 && vault.entries().at(position).id == entry.id;
    });
}

void TreeModel::rebuild()
{
    beginResetModel();
    clearTree();
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
    if (!insertRows(row, 1, category))
        return;
    const EntryList& entries = vault.entries();
    // The vault adds before it tells: at the end, or where a restored record was.
    qsizetype stored = entries.size() - 1;
    if (stored < 0 || entries.at(stored).id != entry.id)
        stored = entries.indexOfId(entry.id);
    if (stored >= 0)
        showVaultEntry(index(row, 0, category), stored);
    else
        setEntryAt(entry, index(row, 0, category));
}

void TreeModel::moveOrUpdateEntry(const Entry& before, const Entry& after)
{
    // The vault stored `after` where the first entry with its id is: that element's row, not a
    // twin's with the same id (only a damaged file holds them).
    const qsizetype stored = vault.entries().indexOfId(after.id);
    const quint32 serial = stored >= 0 ? vault.entries().serialAt(stored) : 0;
    QModelIndex row = findEntryRow(before.category, after.id, [stored, serial](const Row& entryRow) {
        return stored >= 0 && entryRow.serial == serial;
    });
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
    if (!row.isValid())
        return;
    if (stored >= 0)
        showVaultEntry(row, stored);
    else
        setEntryAt(after, row);
}

void TreeModel::removeCategoryRows(const QString& name)
{
    for (int row = rowCount() - 1; row >= 0; --row) {
        if (categories.at(row)->item->cell(TreeItem::TitleColumn).toString() == name)
            removeRows(row, 1);
    }
}

void TreeModel::removeEntryRow(const Entry& entry)
{
    // The row whose element has just gone, not a twin's with the same id.
    const QModelIndex row = findEntryRow(entry.category, entry.id, [this](const Row& entryRow) {
        return vault.entries().indexOfSerial(entryRow.serial) < 0;
    });
    if (row.isValid())
        removeRows(row.row(), 1, row.parent());
}
