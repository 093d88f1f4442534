#pragma once

#include "entry.h"

#include <QList>

#include <functional>

// The ordered list of entries with an index from id to the first element holding it.
// Every change goes through this class, so the index always follows the list.
class EntryList
{
public:
    using const_iterator = QList<Entry>::const_iterator;

    qsizetype size() const { return items.size(); }
    qsizetype count() const { return items.size(); }
    bool isEmpty() const { return items.isEmpty(); }
    const Entry& at(qsizetype i) const { return items.at(i); }
    const Entry& operator[](qsizetype i) const { return items.at(i); }
    const Entry& first() const { return items.first(); }
    const Entry& last() const { return items.last(); }
    const_iterator begin() const { return items.cbegin(); }
    const_iterator end() const { return items.cend(); }
    const QList<Entry>& toList() const { return items; }

    // Position of the first element with this id, or -1.
    qsizetype indexOfId(const QString& id) const;
    // The first element with this id, or null.
    const Entry* findById(const QString& id) const;
    bool containsId(const QString& id) const { return indexOfId(id) >= 0; }
    // Whether some id is held by more than one element (only possible from a file).
    bool hasDuplicateIds() const;

    // The searchable fields of element i (account, category, notes, title, url), case-folded
    // and joined by kSearchSeparator. Made when asked: searches read the fields themselves.
    QString searchText(qsizetype i) const;
    static constexpr QChar kSearchSeparator = QChar(0xFFFF);

    // A number that stays with element i while others come and go; the tree's rows keep it.
    quint32 serialAt(qsizetype i) const { return serials.at(i); }
    // Where the element with this serial is now, or -1 once it has gone.
    qsizetype indexOfSerial(quint32 serial) const
    {
        return serial < quint32(positions.size()) ? positions.at(serial) : -1;
    }
    // Changes with every change of the list, for results worked out from it.
    quint64 generation() const { return changes; }

    void append(const Entry& entry);
    void append(Entry&& entry);
    void replace(qsizetype i, const Entry& entry);
    // Puts entries[k] at position at[k] of the resulting list, for records coming back where
    // they were. `at` ascending; a position past the end appends. One pass for all of them.
    void insert(const QList<qsizetype>& at, const QList<Entry>& entries);
    void removeAt(qsizetype i);
    // Removes every element the predicate holds for; returns how many went.
    qsizetype removeIf(const std::function<bool(const Entry&)>& predicate);
    void clear();
    void reserve(qsizetype size);
    // Leaves the list empty and gives its elements, for a caller that passes them on whole.
    QList<Entry> takeAll();
    // Appends the elements of `more` whose ids neither the list nor an earlier one of them holds,
    // in `more`'s storage when `more` is its only holder and longer than the list (else returns
    // false and does nothing): a large import is then never held twice while it comes in.
    bool appendInto(QList<Entry>& more);

private:
    void appended();
    void renumber(qsizetype from);
    void rebuildIndex(qsizetype expected = 0) const;
    // Enters element i unless its id is there already; false when the table needs to grow.
    bool indexElement(qsizetype i) const;

    QList<Entry> items;
    QList<quint32> serials;  // per element
    QList<qint32> positions; // per serial handed out; -1 once its element has gone
    quint64 changes = 0;

    // Open addressing (linear probing) over element positions, keyed by the id's hash: a few
    // bytes an entry where a QHash node took dozens. Rebuilt when elements go or ids change.
    mutable QList<quint64> idSlots;
    mutable bool indexValid = true;
    mutable bool duplicateIds = false;
};
