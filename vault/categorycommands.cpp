#include "categorycommands.h"

#include <QCoreApplication>

namespace {

QString tr(const char* text)
{
    return QCoreApplication::translate("VaultCommand", text);
}

} // namespace

AddCategoryCommand::AddCategoryCommand(Vault& vault, const QString& name) : VaultCommand(vault), name(name)
{
    setText(tr("Add Category \"%1\"").arg(name));
}

void AddCategoryCommand::redo()
{
    position = vault.categoryNames().size();
    if (!vault.addCategory(name)) {
        position = -1;
        setObsolete(true);
    }
}

void AddCategoryCommand::undo()
{
    if (position < 0)
        return;
    // An entry that came in by a merge keeps its category.
    for (const Entry& entry : vault.entries()) {
        if (entry.category == name)
            return;
    }
    vault.removeCategory(name);
    position = -1;
}

RenameCategoryCommand::RenameCategoryCommand(Vault& vault, const QString& from, const QString& to)
    : VaultCommand(vault), from(from), to(to)
{
    setText(tr("Rename Category \"%1\" to \"%2\"").arg(from, to));
}

QStringList RenameCategoryCommand::move(const QString& source, const QString& target, const QStringList& ids)
{
    QList<Entry> moving;
    for (const Entry& entry : vault.entries()) {
        if (entry.category == source && (ids.isEmpty() || ids.contains(entry.id)))
            moving.append(entry);
    }
    QStringList done;
    for (const Entry& entry : std::as_const(moving)) {
        vault.saveEntry(entry, target);
        done.append(entry.id);
    }
    return done;
}

void RenameCategoryCommand::redo()
{
    const qsizetype position = vault.categoryNames().indexOf(from);
    if (position < 0 || from == Vault::generalCategory() || !vault.insertCategory(position, to)) {
        moved.clear();
        setObsolete(true);
        return;
    }
    moved = move(from, to, QStringList());
    vault.removeCategory(from);
}

void RenameCategoryCommand::undo()
{
    const qsizetype position = vault.categoryNames().indexOf(to);
    if (position < 0 || !vault.insertCategory(position, from))
        return;
    // Entries that came into the new name since (a merge) stay there, and the name with them.
    move(to, from, moved);
    const bool stillHeld = std::any_of(vault.entries().begin(), vault.entries().end(),
                                       [this](const Entry& entry) { return entry.category == to; });
    if (!stillHeld)
        vault.removeCategory(to);
}
