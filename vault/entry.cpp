#include "entry.h"
#include "entrylist.h"
#include "randomsource.h"

#include <QDataStream>
#include <QVarLengthArray>

QStringList categoryNames;
EntryList entries;

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
    return firstIndexById.value(id, -1);
}

const Entry* EntryList::findById(const QString& id) const
{
    const qsizetype i = indexOfId(id);
    return i < 0 ? nullptr : &items.at(i);
}

void EntryList::append(const Entry& entry)
{
    items.append(entry);
    if (indexValid && !firstIndexById.contains(entry.id))
        firstIndexById.insert(entry.id, items.size() - 1);
}

void EntryList::replace(qsizetype i, const Entry& entry)
{
    if (items.at(i).id != entry.id)
        indexValid = false;
    items.replace(i, entry);
}

void EntryList::removeAt(qsizetype i)
{
    items.removeAt(i);
    indexValid = false;
}

qsizetype EntryList::removeIf(const std::function<bool(const Entry&)>& predicate)
{
    const qsizetype removed = items.removeIf(predicate);
    if (removed > 0)
        indexValid = false;
    return removed;
}

void EntryList::clear()
{
    items.clear();
    firstIndexById.clear();
    indexValid = true;
}

void EntryList::rebuildIndex() const
{
    firstIndexById.clear();
    firstIndexById.reserve(items.size());
    // Duplicate ids (possible only from a file) map to their first occurrence.
    for (qsizetype i = 0; i < items.size(); ++i) {
        if (!firstIndexById.contains(items.at(i).id))
            firstIndexById.insert(items.at(i).id, i);
    }
    indexValid = true;
}
