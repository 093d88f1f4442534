#include "vault.h"

#include <QSet>

Vault::Vault(QObject* parent) : QObject(parent) {}

void Vault::reset(const QStringList& categories, EntryList entries)
{
    names = categories;
    list = std::move(entries);
    ++resets;
    emit vaultReset();
}

void Vault::clear()
{
    reset(QStringList(), EntryList());
}

bool Vault::addCategory(const QString& name)
{
    if (names.contains(name))
        return false;
    names.append(name);
    emit categoryAdded(name);
    return true;
}

bool Vault::addEntry(const Entry& entry)
{
    if (list.containsId(entry.id))
        return false;
    list.append(entry);
    emit entryAdded(entry);
    return true;
}

Entry Vault::saveEntry(Entry entry, const QString& category)
{
    const qsizetype stored = list.indexOfId(entry.id);
    const Entry before = stored >= 0 ? list.at(stored) : entry;
    if (category != entry.category && names.contains(category))
        entry.category = category;
    if (stored >= 0) {
        list.replace(stored, entry);
        emit entryChanged(before, entry);
    }
    return entry;
}

bool Vault::removeCategory(const QString& name)
{
    if (name == generalCategory() || !names.contains(name))
        return false;
    list.removeIf([&name](const Entry& entry) { return entry.category == name; });
    names.removeAll(name);
    emit categoryRemoved(name);
    return true;
}

bool Vault::removeEntry(const QString& id)
{
    const qsizetype stored = list.indexOfId(id);
    if (stored < 0)
        return false;
    const Entry removed = list.at(stored);
    list.removeAt(stored);
    emit entryRemoved(removed);
    return true;
}

bool Vault::insertCategory(qsizetype position, const QString& name)
{
    if (names.contains(name))
        return false;
    names.insert(qBound(qsizetype(0), position, names.size()), name);
    emit categoryAdded(name);
    return true;
}

qsizetype Vault::restoreEntries(const QList<qsizetype>& at, const QList<Entry>& entries)
{
    QList<qsizetype> positions;
    QList<Entry> restored;
    QSet<QString> ids;
    for (qsizetype k = 0; k < entries.size(); ++k) {
        const Entry& entry = entries.at(k);
        if (list.containsId(entry.id) || ids.contains(entry.id))
            continue;
        ids.insert(entry.id);
        // Each one left out moves the later ones up by one.
        positions.append(at.at(k) - (k - restored.size()));
        restored.append(entry);
    }
    list.insert(positions, restored);
    for (const Entry& entry : std::as_const(restored))
        emit entryAdded(entry);
    return restored.size();
}

qsizetype Vault::removeEntries(const QStringList& ids)
{
    QSet<QString> wanted(ids.cbegin(), ids.cend());
    QList<Entry> removed;
    list.removeIf([&](const Entry& entry) {
        // Only the first holder of an id, as removeEntry does.
        if (!wanted.remove(entry.id))
            return false;
        removed.append(entry);
        return true;
    });
    if (!removed.isEmpty())
        emit entriesRemoved(removed);
    return removed.size();
}

qsizetype Vault::addEntries(const QList<Entry>& entries, QStringList* addedIds)
{
    const qsizetype first = list.size();
    list.reserve(first + entries.size());
    for (const Entry& entry : entries) {
        // The list's index sees the ones appended before: a repeat within `entries` stays out.
        if (list.containsId(entry.id))
            continue;
        list.append(entry);
        if (addedIds)
            addedIds->append(entry.id);
    }
    const qsizetype count = list.size() - first;
    if (count > 0)
        emit entriesAdded(first, count);
    return count;
}

qsizetype Vault::addEntries(QList<Entry>&& entries, QStringList* addedIds)
{
    const qsizetype first = list.size();
    if (!list.appendInto(entries))
        return addEntries(std::as_const(entries), addedIds);
    const qsizetype count = list.size() - first;
    if (addedIds) {
        addedIds->reserve(addedIds->size() + count);
        for (qsizetype i = first; i < list.size(); ++i)
            addedIds->append(list.at(i).id);
    }
    if (count > 0)
        emit entriesAdded(first, count);
    return count;
}

Vault::MergeResult Vault::merge(EntryList incoming)
{
    MergeResult result;
    QSet<QString> held(names.cbegin(), names.cend());
    for (const Entry& entry : incoming) {
        if (held.contains(entry.category))
            continue;
        held.insert(entry.category);
        if (addCategory(entry.category))
            result.createdCategories.append(entry.category);
    }
    const qsizetype offered = incoming.size();
    result.added = int(addEntries(incoming.takeAll(), &result.addedIds));
    result.skipped = int(offered) - result.added;
    return result;
}

void Vault::sortCategoryNames()
{
    names.sort(Qt::CaseSensitive);
}
