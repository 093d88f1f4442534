#include "treeitem.h"

#include "entry.h"

TreeItem::TreeItem(const QVector<QVariant>& data, TreeItem* parent) : itemData(data), parentItem(parent) {}

TreeItem::~TreeItem()
{
    qDeleteAll(childItems);
}

TreeItem* TreeItem::child(int number) const
{
    if (number < 0 || number >= childItems.size())
        return nullptr;
    return childItems.at(number);
}

int TreeItem::childCount() const
{
    return int(childItems.size());
}

int TreeItem::childNumber() const
{
    if (!parentItem)
        return 0;
    return int(parentItem->childItems.indexOf(const_cast<TreeItem*>(this)));
}

int TreeItem::columnCount() const
{
    return int(itemData.size());
}

QVariant TreeItem::data(int column) const
{
    if (column < 0 || column >= itemData.size())
        return QVariant();
    return itemData.at(column);
}

const QVariant& TreeItem::cell(int column) const
{
    static const QVariant invalid;
    if (column < 0 || column >= itemData.size())
        return invalid;
    return itemData.at(column);
}

bool TreeItem::setData(int column, const QVariant& value)
{
    if (column < 0 || column >= itemData.size())
        return false;
    itemData[column] = value;
    return true;
}

bool TreeItem::insertChildren(int position, int count, int columns)
{
    if (position < 0 || position > childItems.size())
        return false;
    if (count <= 0)
        return true;
    QList<TreeItem*> fresh;
    fresh.reserve(count);
    for (int row = 0; row < count; ++row)
        fresh.append(new TreeItem(QVector<QVariant>(qMax(columns, 0)), this));
    childItems.insert(position, count, nullptr);
    std::copy(fresh.cbegin(), fresh.cend(), childItems.begin() + position);
    return true;
}

bool TreeItem::removeChildren(int position, int count)
{
    if (position < 0 || count < 0 || position + count > childItems.size())
        return false;
    for (int row = 0; row < count; ++row)
        delete childItems.at(position + row);
    childItems.remove(position, count);
    return true;
}

bool TreeItem::insertColumns(int position, int columns)
{
    if (position < 0 || position > itemData.size())
        return false;
    if (columns > 0)
        itemData.insert(position, columns, QVariant());
    for (TreeItem* child : std::as_const(childItems))
        child->insertColumns(position, columns);
    return true;
}

bool TreeItem::removeColumns(int position, int columns)
{
    if (position < 0 || columns < 0 || position + columns > itemData.size())
        return false;
    itemData.remove(position, columns);
    for (TreeItem* child : std::as_const(childItems))
        child->removeColumns(position, columns);
    return true;
}

void TreeItem::setFromEntry(const Entry& entry)
{
    setData(TitleColumn, entry.title);
    setData(IsEntryColumn, true);
    setData(IdColumn, entry.id);
    setData(UrlColumn, entry.url);
    setData(AccountColumn, entry.account);
    setData(PasswordColumn, entry.password);
    setData(NotesColumn, entry.notes);
    setData(CategoryColumn, entry.category);
    setData(DateChangedColumn, entry.dateChanged.toDateTime());
    setData(DateCreatedColumn, entry.dateCreated.toDateTime());
}

Entry TreeItem::toEntry() const
{
    Entry entry(Entry::NoId);
    if (!data(IsEntryColumn).toBool()) {
        entry.id = QStringLiteral("0");
        return entry;
    }
    entry.title = data(TitleColumn).toString();
    entry.id = data(IdColumn).toString();
    entry.url = data(UrlColumn).toString();
    entry.account = data(AccountColumn).toString();
    entry.password = data(PasswordColumn).toString();
    entry.notes = data(NotesColumn).toString();
    entry.category = data(CategoryColumn).toString();
    entry.dateChanged = data(DateChangedColumn).toDateTime();
    entry.dateCreated = data(DateCreatedColumn).toDateTime();
    return entry;
}
