#include "vaultcommands.h"

#include <QCoreApplication>
#include <QSet>

namespace {

QString tr(const char* text)
{
    return QCoreApplication::translate("VaultCommand", text);
}

} // namespace

DeleteEntryCommand::DeleteEntryCommand(Vault& vault, const QString& id) : VaultCommand(vault), entryId(id)
{
    if (const Entry* entry = vault.entries().findById(id))
        setText(tr("Delete \"%1\"").arg(entry->title));
}

void DeleteEntryCommand::redo()
{
    position = vault.entries().indexOfId(entryId);
    if (position < 0) {
        setObsolete(true);
        return;
    }
    removed = vault.entries().at(position);
    categoryExisted = vault.categoryNames().contains(removed.category);
    vault.removeEntry(entryId);
}

void DeleteEntryCommand::undo()
{
    if (position < 0)
        return;
    // Its category may have gone meanwhile; without it the entry would not be seen.
    if (categoryExisted)
        vault.addCategory(removed.category);
    vault.restoreEntries({position}, {removed});
    position = -1;
}

DeleteCategoryCommand::DeleteCategoryCommand(Vault& vault, const QString& name) : VaultCommand(vault), name(name)
{
    setText(tr("Delete Category \"%1\"").arg(name));
}

void DeleteCategoryCommand::redo()
{
    namePosition = vault.categoryNames().indexOf(name);
    positions.clear();
    removed.clear();
    const EntryList& entries = vault.entries();
    for (qsizetype i = 0; i < entries.size(); ++i) {
        if (entries.at(i).category == name) {
            positions.append(i);
            removed.append(entries.at(i));
        }
    }
    if (!vault.removeCategory(name)) {
        namePosition = -1;
        positions.clear();
        removed.clear();
        setObsolete(true);
    }
}

void DeleteCategoryCommand::undo()
{
    if (namePosition < 0)
        return;
    vault.insertCategory(namePosition, name);
    vault.restoreEntries(positions, removed);
    namePosition = -1;
}

bool DeleteCategoryCommand::touchesEntry(const QString& id) const
{
    for (const Entry& entry : removed) {
        if (entry.id == id)
            return true;
    }
    const Entry* entry = vault.entries().findById(id);
    return entry && entry->category == name;
}

SaveEntryCommand::SaveEntryCommand(Vault& vault, const Entry& entry, const QString& category, bool adds)
    : VaultCommand(vault), after(entry), category(category), adds(adds)
{
    setText((adds ? tr("Add \"%1\"") : tr("Save \"%1\"")).arg(entry.title));
}

void SaveEntryCommand::redo()
{
    if (!done) {
        done = true;
        const Entry* stored = vault.entries().findById(after.id);
        if (!stored) {
            setObsolete(true);
            return;
        }
        before = *stored;
        after = vault.saveEntry(after, category);
        if (!adds && after.category != before.category)
            setText(tr("Move \"%1\" to \"%2\"").arg(after.title, after.category));
        return;
    }
    if (adds && position >= 0) {
        vault.addCategory(after.category);
        vault.restoreEntries({position}, {after});
        position = -1;
        return;
    }
    // The category is the record's own: it is stored as it was, whatever names exist now.
    vault.saveEntry(after, after.category);
}

void SaveEntryCommand::undo()
{
    if (adds) {
        position = vault.entries().indexOfId(after.id);
        if (position >= 0) {
            after = vault.entries().at(position);
            vault.removeEntry(after.id);
        }
        return;
    }
    vault.saveEntry(before, before.category);
}

ImportCommand::ImportCommand(Vault& vault, const EntryList& incoming, const QStringList& categories,
                             Vault::MergeResult* report)
    : VaultCommand(vault), incoming(incoming), categories(categories), report(report)
{
}

void ImportCommand::redo()
{
    if (!done) {
        done = true;
        for (const QString& name : std::as_const(categories)) {
            if (vault.addCategory(name))
                createdCategories.append(name);
        }
        const Vault::MergeResult merged = vault.merge(incoming);
        if (report)
            *report = merged;
        incoming = EntryList();
        categories.clear();
        addedIds = merged.addedIds;
        createdCategories += merged.createdCategories;
        setText(merged.added == 1 ? tr("Import 1 Entry") : tr("Import %1 Entries").arg(merged.added));
        if (addedIds.isEmpty() && createdCategories.isEmpty())
            setObsolete(true);
        return;
    }
    for (const QString& name : std::as_const(createdCategories))
        vault.addCategory(name);
    vault.addEntries(added);
    added.clear();
}

void ImportCommand::undo()
{
    // Kept as they are now, for the redo.
    added.clear();
    added.reserve(addedIds.size());
    for (const QString& id : std::as_const(addedIds)) {
        if (const Entry* entry = vault.entries().findById(id))
            added.append(*entry);
    }
    vault.removeEntries(addedIds);
    if (createdCategories.isEmpty())
        return;
    QSet<QString> held;
    for (const Entry& entry : vault.entries())
        held.insert(entry.category);
    for (const QString& name : std::as_const(createdCategories)) {
        if (!held.contains(name))
            vault.removeCategory(name);
    }
}
