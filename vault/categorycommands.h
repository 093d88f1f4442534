#pragma once

#include "vault/vaultcommands.h"

// Adds a category; undo takes the name away again while no entry has come into it.
class AddCategoryCommand : public VaultCommand
{
public:
    AddCategoryCommand(Vault& vault, const QString& name);

    void redo() override;
    void undo() override;
    bool touchesEntry(const QString&) const override { return false; }

private:
    QString name;
    qsizetype position = -1; // among the names, while added
};

// Renames a category: as the vault and a merge see it, the new name is added where the old one
// was, every entry of the old one moves into it, and the old name goes; one step of the history.
class RenameCategoryCommand : public VaultCommand
{
public:
    RenameCategoryCommand(Vault& vault, const QString& from, const QString& to);

    void redo() override;
    void undo() override;
    bool touchesEntry(const QString& id) const override { return moved.contains(id); }

private:
    // Moves the entries with these ids (all of `source`'s when `ids` is empty) into `target`.
    QStringList move(const QString& source, const QString& target, const QStringList& ids);

    QString from;
    QString to;
    QStringList moved; // the ids moved by the last redo
};
