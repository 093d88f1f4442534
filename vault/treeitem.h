#pragma once

#include <QList>
#include <QVariant>
#include <QVector>

class Entry;

// One node of the category/entry tree, with a row's values in ten columns. The tree model keeps
// them for category rows and for entry rows given values of their own; setFromEntry and toEntry
// lay a record out in the columns.
class TreeItem
{
public:
    // Column layout of category and entry rows.
    enum Column
    {
        TitleColumn = 0,
        IsEntryColumn = 1,
        IdColumn = 2,
        UrlColumn = 3,
        AccountColumn = 4,
        PasswordColumn = 5,
        NotesColumn = 6,
        CategoryColumn = 7,
        DateChangedColumn = 8,
        DateCreatedColumn = 9,
        RowColumnCount = 10
    };

    explicit TreeItem(const QVector<QVariant>& data, TreeItem* parent = nullptr);
    ~TreeItem();

    TreeItem(const TreeItem&) = delete;
    TreeItem& operator=(const TreeItem&) = delete;

    TreeItem* child(int number) const;
    int childCount() const;
    int childNumber() const;
    int columnCount() const;
    QVariant data(int column) const;
    // The value without a copy; an invalid value for a column out of range.
    const QVariant& cell(int column) const;
    bool setData(int column, const QVariant& value);
    TreeItem* parent() const { return parentItem; }

    bool insertChildren(int position, int count, int columns);
    bool removeChildren(int position, int count);
    bool insertColumns(int position, int columns);
    bool removeColumns(int position, int columns);

    void setFromEntry(const Entry& entry);
    Entry toEntry() const;

private:
    QList<TreeItem*> childItems;
    QVector<QVariant> itemData;
    TreeItem* parentItem;
};
