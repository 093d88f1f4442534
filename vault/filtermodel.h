#pragma once

#include <QSortFilterProxyModel>
#include <QStringMatcher>

class TreeModel;
class Vault;

// Sorts the tree and hides the entries that do not contain the search text; category
// rows always stay and show how many of their entries are visible.
class FilterModel : public QSortFilterProxyModel
{
    Q_OBJECT

public:
    explicit FilterModel(const Vault& vault, QObject* parent = nullptr);

    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    void setSourceModel(QAbstractItemModel* model) override;

protected:
    bool filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const override;

private:
    // The literal search text behind the escaped pattern that setFilterFixedString keeps.
    const QString& searchText() const;

    const Vault& vault;
    // The source when it is the vault's tree, whose rows are then read without copies.
    const TreeModel* tree = nullptr;
    mutable QString cachedPattern;
    mutable QString cachedText;
    // The search text case-folded, matched against the entries' folded search texts.
    mutable QStringMatcher foldedMatcher;
};
