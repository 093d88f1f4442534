#include "entry.h"
#include "entrylist.h"
#include "randomsource.h"

#include <QDataStream>
#include <QVarLengthArray>

QString randomString(int length)
{
    QString result;
    if (length <= 0)
        return result;
    QVarLengthArray<quint32, 64> draws(length);
    RandomSource::fill(draws.data(), length);
    result.reserve(length);
    const quint32 alphabetSize = sizeof(kIdAlphabet) - 1;
    for (quint32 draw : draws)
        result.append(QLatin1Char(kIdAlphabet[draw % alphabetSize]));
    return result;
}

Entry::Entry() : Entry(NoId)
{
    id = randomString(30);
}

Entry::Entry(NoIdTag)
    : title(QStringLiteral("New")), category(QStringLiteral("General")), url(QLatin1String("")),
      account(QLatin1String("")), password(QLatin1String("")), notes(QLatin1String("")),
      dateCreated(QDateTime::currentDateTime()), dateChanged(dateCreated)
{
}

QDataStream& operator<<(QDataStream& stream, const Entry& entry)
{
    stream << entry.id << entry.title << entry.category << entry.url << entry.account << entry.password << entry.notes
           << entry.dateCreated << entry.dateChanged;
    return stream;
}

QDataStream& operator>>(QDataStream& stream, Entry& entry)
{
    stream >> entry.id >> entry.title >> entry.category >> entry.url >> entry.account >> entry.password >>
        entry.notes >> entry.dateCreated >> entry.dateChanged;
    return stream;
}

qsizetype EntryList::indexOfId(const QString& id) const
{
    if (!indexValid)
        rebuildIndex();
    const auto shared = firstIndexByIdData.constFind(id.constData());
    if (shared != firstIndexByIdData.constEnd())
        return *shared;
    return firstIndexById.value(id, -1);
}

const Entry* EntryList::findById(const QString& id) const
{
    const qsizetype i = indexOfId(id);
    return i < 0 ? nullptr : &items.at(i);
}

const QString& EntryList::searchText(qsizetype i) const
{
    if (searchTexts.size() != items.size()) {
        searchTexts.clear();
        searchTexts.reserve(items.size());
        for (const Entry& entry : items)
            searchTexts.append(makeSearchText(entry));
    }
    return searchTexts.at(i);
}

QString EntryList::makeSearchText(const Entry& entry)
{
    QString text;
    text.reserve(entry.account.size() + entry.category.size() + entry.notes.size() + entry.title.size() +
                 entry.url.size() + 4);
    text += entry.account;
    text += kSearchSeparator;
    text += entry.category;
    text += kSearchSeparator;
    text += entry.notes;
    text += kSearchSeparator;
    text += entry.title;
    text += kSearchSeparator;
    text += entry.url;
    return text.toCaseFolded();
}

void EntryList::append(const Entry& entry)
{
    if (!searchTexts.isEmpty() && searchTexts.size() == items.size())
        searchTexts.append(makeSearchText(entry));
    else
        searchTexts.clear();
    items.append(entry);
    if (indexValid && !firstIndexById.contains(entry.id)) {
        firstIndexById.insert(entry.id, items.size() - 1);
        firstIndexByIdData.insert(items.last().id.constData(), items.size() - 1);
    }
}

void EntryList::replace(qsizetype i, const Entry& entry)
{
    if (items.at(i).id != entry.id) {
        indexValid = false;
    } else if (indexValid) {
        // Same id, possibly other characters' storage: the old address must not outlive it.
        firstIndexByIdData.remove(items.at(i).id.constData());
        if (firstIndexById.value(entry.id) == i)
            firstIndexByIdData.insert(entry.id.constData(), i);
    }
    items.replace(i, entry);
    if (searchTexts.size() == items.size())
        searchTexts.replace(i, makeSearchText(entry));
}

void EntryList::removeAt(qsizetype i)
{
    items.removeAt(i);
    if (searchTexts.size() == items.size() + 1)
        searchTexts.removeAt(i);
    indexValid = false;
}

qsizetype EntryList::removeIf(const std::function<bool(const Entry&)>& predicate)
{
    const qsizetype removed = items.removeIf(predicate);
    if (removed > 0) {
        indexValid = false;
        searchTexts.clear();
    }
    return removed;
}

void EntryList::clear()
{
    items.clear();
    searchTexts.clear();
    firstIndexById.clear();
    firstIndexByIdData.clear();
    indexValid = true;
}

void EntryList::rebuildIndex() const
{
    firstIndexById.clear();
    firstIndexByIdData.clear();
    firstIndexById.reserve(items.size());
    firstIndexByIdData.reserve(items.size());
    // Duplicate ids (possible only from a file) map to their first occurrence.
    for (qsizetype i = 0; i < items.size(); ++i) {
        const QString& id = items.at(i).id;
        if (!firstIndexById.contains(id)) {
            firstIndexById.insert(id, i);
            firstIndexByIdData.insert(id.constData(), i);
        }
    }
    indexValid = true;
}
