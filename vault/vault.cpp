#include "vault.h"

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

Vault::MergeResult Vault::merge(const EntryList& incoming)
{
    MergeResult result;
    for (const Entry& entry : incoming) {
        if (addCategory(entry.category))
            result.createdCategories.append(entry.category);
        if (addEntry(entry))
            ++result.added;
        else
            ++result.skipped;
    }
    return result;
}

void Vault::sortCategoryNames()
{
    names.sort(Qt::CaseSensitive);
}
