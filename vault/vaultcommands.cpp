#include "vaultcommands.h"

#include <QCoreApplication>
#include <QSet>

#include <algorithm>

namespace {

QString tr(const char* text)
{
    return QCoreApplication::translate("VaultCommand", text);
}

// Removes each name that no entry holds.
void removeUnheldCategories(Vault& vault, const QStringList& names)
{
    if (names.isEmpty())
        return;
    QSet<QString> held;
    for (const Entry& entry : vault.entries())
        held.insert(entry.category);
    for (const QString& name : names) {
        if (!held.contains(name))
            vault.removeCategory(name);
    }
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
    if (const Entry* stored = vault.entries().findById(after.id)) {
        const Entry redone = carryFieldChanges(*stored, before, after);
        vault.saveEntry(redone, redone.category);
    }
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
    if (const Entry* stored = vault.entries().findById(after.id)) {
        const Entry undone = carryFieldChanges(*stored, after, before);
        vault.saveEntry(undone, undone.category);
    }
}

ImportCommand::ImportCommand(Vault& vault, EntryList incoming, const QStringList& categories,
                             Vault::MergeResult* report)
    : VaultCommand(vault), incoming(std::move(incoming)), categories(categories), report(report)
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
        const Vault::MergeResult merged = vault.merge(std::move(incoming));
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
    removeUnheldCategories(vault, createdCategories);
}

MergeCommand::MergeCommand(Vault& vault, const VaultChangePlan& plan, const QString& name)
    : VaultCommand(vault), plan(plan)
{
    setText(name);
}

void MergeCommand::removeNoted()
{
    removedPositions.clear();
    removed.clear();
    removedFrom.clear();
    const EntryList& entries = vault.entries();
    for (const QString& id : std::as_const(plan.removedIds)) {
        const qsizetype at = entries.indexOfId(id);
        if (at >= 0 && !removedPositions.contains(at))
            removedPositions << at;
    }
    std::sort(removedPositions.begin(), removedPositions.end());
    for (qsizetype at : std::as_const(removedPositions)) {
        removed << entries.at(at);
        removedFrom << (vault.categoryNames().contains(removed.last().category) ? removed.last().category : QString());
    }
    vault.removeEntries(plan.removedIds);

    categoryPositions.clear();
    removedNames.clear();
    QSet<QString> held;
    for (const Entry& entry : vault.entries())
        held.insert(entry.category);
    for (const QString& name : std::as_const(plan.removedCategories)) {
        // An entry that came into it since would go with it.
        const qsizetype at = vault.categoryNames().indexOf(name);
        if (held.contains(name) || !vault.removeCategory(name))
            continue;
        categoryPositions << at;
        removedNames << name;
    }
}

void MergeCommand::redo()
{
    if (!done) {
        done = true;
        // Only what the merge does here is taken back: what was there already is left out.
        QStringList created;
        for (const QString& name : std::as_const(plan.addedCategories)) {
            if (vault.addCategory(name))
                created << name;
        }
        plan.addedCategories = created;
        for (const Entry& entry : std::as_const(plan.added)) {
            if (vault.addEntry(entry))
                addedIds << entry.id;
        }
        plan.added.clear();
        QList<Entry> changed;
        for (const Entry& entry : std::as_const(plan.changed)) {
            if (const Entry* stored = vault.entries().findById(entry.id)) {
                changedBefore << *stored;
                changed << vault.saveEntry(entry, entry.category);
            }
        }
        plan.changed = changed;
        removeNoted();
        plan.removedIds.clear();
        for (const Entry& entry : std::as_const(removed))
            plan.removedIds << entry.id;
        plan.removedCategories = removedNames;
        if (created.isEmpty() && addedIds.isEmpty() && changed.isEmpty() && removed.isEmpty() && removedNames.isEmpty())
            setObsolete(true);
        return;
    }
    for (const QString& name : std::as_const(plan.addedCategories))
        vault.addCategory(name);
    for (const Entry& entry : std::as_const(addedHeld))
        vault.addEntry(entry);
    addedHeld.clear();
    for (qsizetype i = 0; i < plan.changed.size(); ++i) {
        if (const Entry* stored = vault.entries().findById(plan.changed.at(i).id)) {
            const Entry redone = carryFieldChanges(*stored, changedBefore.at(i), plan.changed.at(i));
            vault.saveEntry(redone, redone.category);
        }
    }
    removeNoted();
}

void MergeCommand::undo()
{
    for (qsizetype i = removedNames.size() - 1; i >= 0; --i)
        vault.insertCategory(categoryPositions.at(i), removedNames.at(i));
    // A category gone meanwhile comes back with its entry, which would not be seen without it.
    for (const QString& name : std::as_const(removedFrom)) {
        if (!name.isEmpty())
            vault.addCategory(name);
    }
    vault.restoreEntries(removedPositions, removed);
    removedPositions.clear();
    removed.clear();
    removedNames.clear();
    for (qsizetype i = 0; i < plan.changed.size(); ++i) {
        if (const Entry* stored = vault.entries().findById(plan.changed.at(i).id)) {
            const Entry undone = carryFieldChanges(*stored, plan.changed.at(i), changedBefore.at(i));
            vault.saveEntry(undone, undone.category);
        }
    }
    addedHeld.clear();
    for (const QString& id : std::as_const(addedIds)) {
        if (const Entry* entry = vault.entries().findById(id))
            addedHeld << *entry;
    }
    vault.removeEntries(addedIds);
    removeUnheldCategories(vault, plan.addedCategories);
}

bool MergeCommand::touchesEntry(const QString& id) const
{
    if (addedIds.contains(id) || plan.removedIds.contains(id))
        return true;
    return std::any_of(plan.changed.begin(), plan.changed.end(), [&id](const Entry& entry) { return entry.id == id; });
}
