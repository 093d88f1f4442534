#pragma once

#include "entry.h"

#include <QHash>
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

    // The searchable fields of element i (account, category, notes, title, url), case-folded
    // and joined by kSearchSeparator. Built on first use and kept in step from then on, so a
    // search touches one string per entry.
    const QString& searchText(qsizetype i) const;
    static constexpr QChar kSearchSeparator = QChar(0xFFFF);

    void append(const Entry& entry);
    void replace(qsizetype i, const Entry& entry);
    void removeAt(qsizetype i);
    // Removes every element the predicate holds for; returns how many went.
    qsizetype removeIf(const std::function<bool(const Entry&)>& predicate);
    void clear();
    void reserve(qsizetype size) { items.reserve(size); }

private:
    void rebuildIndex() const;
    static QString makeSearchText(const Entry& entry);

    QList<Entry> items;
    mutable QHash<QString, qsizetype> firstIndexById;
    // The same positions keyed by the address of the id's characters. Tree rows share their id
    // strings with the list, so a row's id is found without reading (hashing) its characters.
    mutable QHash<const void*, qsizetype> firstIndexByIdData;
    mutable bool indexValid = true;
    mutable QList<QString> searchTexts; // empty until the first search, or after a bulk change
};
