#include "filtermodel.h"

#include "entrylist.h"
#include "treeitem.h"

#include <QRegularExpression>

FilterModel::FilterModel(QObject* parent) : QSortFilterProxyModel(parent) {}

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
    const QAbstractItemModel* source = sourceModel();
    const QModelIndex flag = source->index(sourceRow, TreeItem::IsEntryColumn, sourceParent);
    if (!source->data(flag, Qt::EditRole).toBool())
        return true;
    const QString id = source->data(source->index(sourceRow, TreeItem::IdColumn, sourceParent)).toString();
    const Entry* entry = entries.findById(id);
    if (!entry)
        return false; // a row without its record has nothing to match against
    const Qt::CaseSensitivity sensitivity = filterCaseSensitivity();
    for (const QString* field : {&entry->account, &entry->category, &entry->notes, &entry->title, &entry->url}) {
        if (field->contains(text, sensitivity))
            return true;
    }
    return false;
}

QVariant FilterModel::data(const QModelIndex& index, int role) const
{
    const QVariant value = QSortFilterProxyModel::data(index, role);
    const QString text = value.toString();
    if (!categoryNames.contains(text))
        return value;
    const int visible = rowCount(index);
    if (visible <= 0)
        return value;
    return QStringLiteral("%1 (%2)").arg(text).arg(visible);
}
