#include "filtermodel.h"

#include "entrylist.h"
#include "treeitem.h"
#include "treemodel.h"
#include "vault.h"

#include <QRegularExpression>

FilterModel::FilterModel(const Vault& vault, QObject* parent) : QSortFilterProxyModel(parent), vault(vault) {}

void FilterModel::setSourceModel(QAbstractItemModel* model)
{
    tree = qobject_cast<const TreeModel*>(model);
    QSortFilterProxyModel::setSourceModel(model);
}

const QString& FilterModel::searchText() const
{
    const QString pattern = filterRegularExpression().pattern();
    if (pattern != cachedPattern) {
        // Undo QRegularExpression::escape: "\\0" stands for NUL, a backslash for the character after it.
        cachedText.clear();
        for (qsizetype i = 0; i < pattern.size(); ++i) {
            QChar ch = pattern.at(i);
            if (ch == u'\\' && i + 1 < pattern.size()) {
                ch = pattern.at(++i);
                if (ch == u'0')
                    ch = QChar(0);
            }
            cachedText.append(ch);
        }
        cachedPattern = pattern;
        foldedMatcher.setPattern(cachedText.toCaseFolded());
    }
    return cachedText;
}

bool FilterModel::filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const
{
    // The search text is only ever set with setFilterFixedString, so it is matched as a literal
    // substring; a plain substring search keeps a keystroke cheap on large vaults.
    const QString& text = searchText();
    if (text.isEmpty())
        return true;
    const EntryList& entries = vault.entries();
    qsizetype position = -1;
    if (tree) {
        // Read the flag and the id in place: copying them would touch every entry's id string.
        const TreeItem* item = tree->itemAt(sourceRow, sourceParent);
        if (!item || !item->cell(TreeItem::IsEntryColumn).toBool())
            return true;
        const QVariant& id = item->cell(TreeItem::IdColumn);
        position = id.metaType() == QMetaType::fromType<QString>()
                       ? entries.indexOfId(*static_cast<const QString*>(id.constData()))
                       : entries.indexOfId(id.toString());
    } else {
        const QAbstractItemModel* source = sourceModel();
        if (!source->data(source->index(sourceRow, TreeItem::IsEntryColumn, sourceParent), Qt::EditRole).toBool())
            return true;
        position = entries.indexOfId(
            source->data(source->index(sourceRow, TreeItem::IdColumn, sourceParent), Qt::EditRole).toString());
    }
    if (position < 0)
        return false; // a row without its record has nothing to match against
    if (filterCaseSensitivity() == Qt::CaseInsensitive && !text.contains(EntryList::kSearchSeparator))
        return foldedMatcher.indexIn(entries.searchText(position)) >= 0;
    const Entry& entry = entries.at(position);
    for (const QString* field : {&entry.account, &entry.category, &entry.notes, &entry.title, &entry.url}) {
        if (field->contains(text, filterCaseSensitivity()))
            return true;
    }
    return false;
}

QVariant FilterModel::data(const QModelIndex& index, int role) const
{
    const QVariant value = QSortFilterProxyModel::data(index, role);
    const QString text = value.toString();
    if (!vault.categoryNames().contains(text))
        return value;
    const int visible = rowCount(index);
    if (visible <= 0)
        return value;
    // Concatenated, not arg(): a name may itself contain "%1".
    return text + QStringLiteral(" (") + QString::number(visible) + QLatin1Char(')');
}
