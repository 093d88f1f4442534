#pragma once

// vault/: the vault's data and what an edit means: records, the entry list, the Vault object,
// and the tree and filter models over it. QtCore and QtGui only; no widget header belongs here.

#include "vault/entrylist.h"

#include <QObject>
#include <QStringList>

// The category names and the entries, and the operations that change them together.
// Models observe the vault: each operation changes the data first and then announces the
// change, so an observer that reads the vault from its handler sees the new state.
class Vault : public QObject
{
    Q_OBJECT

public:
    explicit Vault(QObject* parent = nullptr);

    const QStringList& categoryNames() const { return names; }
    const EntryList& entries() const { return list; }
    // Moves on with every reset. The list brought in keeps its own change count, which may equal
    // the old list's: results worked out from the entries are keyed on both.
    quint64 resetCount() const { return resets; }

    // Replaces everything, as loading a store or wiping the vault does.
    void reset(const QStringList& categories, EntryList entries);
    void clear();

    // Appends a category; false when the name is already there.
    bool addCategory(const QString& name);
    // Appends an entry; false when an entry with its id is already there. An entry whose
    // category has no name in the vault is kept but sits outside the tree, as after a load.
    bool addEntry(const Entry& entry);
    // Stores `entry` over the record with its id. It moves to `category` when that differs
    // and names a category of the vault; otherwise it stays. Returns the record with the
    // category it ended up with (unstored when no record has its id).
    Entry saveEntry(Entry entry, const QString& category);
    // Removes the category (every name equal to it) with its entries. "General" stays.
    bool removeCategory(const QString& name);
    // Removes the first entry with this id; false when there is none.
    bool removeEntry(const QString& id);

    // For taking a change back: the same announcements as adding and removing, with the
    // records and names put back where they were.
    // Puts the name at `position` among the names (past the end: last); false when it is there.
    bool insertCategory(qsizetype position, const QString& name);
    // Puts entries[k] at position at[k] of the resulting list (`at` ascending), leaving out any
    // whose id is already held; returns how many came back.
    qsizetype restoreEntries(const QList<qsizetype>& at, const QList<Entry>& entries);
    // Removes the first entry with each of these ids in one pass, announced once (entriesRemoved);
    // returns how many went.
    qsizetype removeEntries(const QStringList& ids);

    // Appends, in order, each entry whose id neither the vault nor an earlier one of `entries`
    // holds, and announces them once (entriesAdded), so that observers take in a large import or
    // merge in one pass. As with addEntry, a category the vault lacks is not created. Returns how
    // many came in; `addedIds`, if given, gets their ids.
    qsizetype addEntries(const QList<Entry>& entries, QStringList* addedIds = nullptr);
    // The same, taking the entries' storage over where it can (EntryList::appendInto).
    qsizetype addEntries(QList<Entry>&& entries, QStringList* addedIds = nullptr);

    struct MergeResult
    {
        int added = 0;
        int skipped = 0; // an entry with the same id was already in the vault
        QStringList addedIds;
        QStringList createdCategories;
    };
    // Adds every entry of `incoming` whose id is new, creating the categories they name (each
    // announced by categoryAdded), then the entries as one batch (addEntries).
    MergeResult merge(EntryList incoming);

    // Sorts the names case-sensitively; the tree keeps its rows, the filter sorts the view.
    void sortCategoryNames();

    static QString generalCategory() { return QStringLiteral("General"); }

signals:
    void vaultReset();
    void categoryAdded(const QString& name);
    void categoryRemoved(const QString& name);
    void entryAdded(const Entry& entry);
    void entryChanged(const Entry& before, const Entry& after);
    void entryRemoved(const Entry& entry);
    // Batches: the entries at positions [first, first + count) of entries() are new; the
    // `removed` records have gone (from wherever they were).
    void entriesAdded(qsizetype first, qsizetype count);
    void entriesRemoved(const QList<Entry>& removed);

private:
    QStringList names;
    EntryList list;
    quint64 resets = 0;
};
