#pragma once

#include "vault/vault.h"
#include "vault/vaultchanges.h"

#include <QList>
#include <QStringList>
#include <QUndoCommand>

// The vault's changes that can be taken back within a session, as steps of a QUndoStack.
// Each step names its records by id and does its work through the Vault's own operations,
// so everything that observes the vault hears of undo and redo as of any other change.
// What a step takes back is read from the vault when it is done, so that a step still does
// the right thing after changes that are not on the stack (a merge from another computer).
// A step whose first redo() changed nothing marks itself obsolete: QUndoStack drops it.
class VaultCommand : public QUndoCommand
{
public:
    // Whether undoing or redoing this step changes or removes the entry with this id.
    virtual bool touchesEntry(const QString& id) const = 0;

protected:
    explicit VaultCommand(Vault& vault) : vault(vault) {}

    Vault& vault;
};

// Deletes one entry; undo puts the record back where it was in the list.
class DeleteEntryCommand : public VaultCommand
{
public:
    DeleteEntryCommand(Vault& vault, const QString& id);

    void redo() override;
    void undo() override;
    bool touchesEntry(const QString& id) const override { return id == entryId; }

private:
    QString entryId;
    Entry removed;
    bool categoryExisted = false;
    qsizetype position = -1; // in the entry list, while deleted
};

// Deletes a category with its entries; undo brings back the name and every record in place.
class DeleteCategoryCommand : public VaultCommand
{
public:
    DeleteCategoryCommand(Vault& vault, const QString& name);

    void redo() override;
    void undo() override;
    bool touchesEntry(const QString& id) const override;

private:
    QString name;
    qsizetype namePosition = -1; // while deleted
    QList<qsizetype> positions;
    QList<Entry> removed;
};

// Stores a record over the one with its id, moving it to `category` as Vault::saveEntry does.
// A step that `adds` the entry (the first save of a new entry) takes it away on undo. Undo and
// redo put back only the fields the save changed: a field changed since by a merge stays.
class SaveEntryCommand : public VaultCommand
{
public:
    SaveEntryCommand(Vault& vault, const Entry& entry, const QString& category, bool adds = false);

    void redo() override;
    void undo() override;
    bool touchesEntry(const QString& id) const override { return id == after.id; }

    // The record as stored, in the category it ended up in.
    const Entry& saved() const { return after; }

private:
    Entry before;
    Entry after;
    QString category;
    bool adds;
    bool done = false;
    qsizetype position = -1; // in the entry list, while an added entry is taken away
};

// Merges an imported list (Vault::merge); undo takes away the entries and the categories it
// added, all in one step. A category keeps its place when other entries have come into it.
class ImportCommand : public VaultCommand
{
public:
    // Adds the `categories` (some may come without entries), then merges `incoming`. The first
    // redo() puts what the merge did into `report`, if given: the stack drops a step that
    // added nothing, so the step itself cannot be asked afterwards.
    // Given `incoming` as its only holder (moved in), the vault takes its storage over.
    ImportCommand(Vault& vault, EntryList incoming, const QStringList& categories = QStringList(),
                  Vault::MergeResult* report = nullptr);

    void redo() override;
    void undo() override;
    bool touchesEntry(const QString& id) const override { return addedIds.contains(id); }

private:
    EntryList incoming; // until the first redo()
    QStringList categories;
    Vault::MergeResult* report;
    QStringList addedIds;
    QList<Entry> added; // the records as they were when taken away
    QStringList createdCategories;
    bool done = false;
};

// Takes a merge's result into the vault (planVaultChanges of the vault and the result); undo
// takes back only what the merge did: its entries and categories added go, its deletions come
// back, and of the entries it changed only the fields it changed return to what they were.
class MergeCommand : public VaultCommand
{
public:
    // `name` says what the step did, as the Edit menu shows it ("Merge from Another Computer").
    MergeCommand(Vault& vault, const VaultChangePlan& plan, const QString& name);

    void redo() override;
    void undo() override;
    bool touchesEntry(const QString& id) const override;

private:
    // Takes away the plan's entries and categories, noting where they were.
    void removeNoted();

    VaultChangePlan plan;       // after the first redo, only what it did
    QList<Entry> changedBefore; // the records of plan.changed as they were
    QStringList addedIds;
    QList<Entry> addedHeld;            // the added records as they were when taken away
    QList<qsizetype> removedPositions; // in the entry list before the removal, ascending
    QList<Entry> removed;
    QStringList removedFrom;            // per removed record: its category when that had a name then
    QList<qsizetype> categoryPositions; // per removedNames, each after the ones before went
    QStringList removedNames;
    bool done = false;
};
