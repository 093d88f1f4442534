#include "entry.h"
#include "entrylist.h"
#include "randomsource.h"

#include <QDataStream>
#include <QIODevice>
#include <QVarLengthArray>
#include <QtEndian>

#include <algorithm>
#include <cstring>
#include <vector>

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

EntryTime EntryTime::fromStream(quint32 julianDay, quint32 msecs, qint8 spec)
{
    EntryTime time;
    time.julianDay = julianDay;
    time.msecs = msecs;
    time.spec = spec;
    time.stored = true;
    return time;
}

QDateTime EntryTime::toDateTime() const
{
    if (!stored)
        return held;
    // As QDataStream reads stream version 12: spec 2 is UTC and 3 an offset (always 0 there),
    // anything else local time.
    const QDate date = julianDay != 0 ? QDate::fromJulianDay(julianDay) : QDate();
    const QTime time = QTime::fromMSecsSinceStartOfDay(int(msecs));
    return QDateTime(date, time, (spec == 2 || spec == 3) ? Qt::UTC : Qt::LocalTime);
}

void EntryTime::toStream(char out[9]) const
{
    if (stored) {
        qToBigEndian(julianDay, out);
        qToBigEndian(msecs, out + 4);
        out[8] = char(spec);
        return;
    }
    QByteArray bytes;
    QDataStream stream(&bytes, QIODevice::WriteOnly);
    stream.setVersion(QDataStream::Qt_4_6);
    stream << held;
    std::memcpy(out, bytes.constData(), 9);
}

QDataStream& operator<<(QDataStream& stream, const EntryTime& time)
{
    if (stream.version() != QDataStream::Qt_4_6)
        return stream << time.toDateTime();
    char bytes[9];
    time.toStream(bytes);
    return stream << qFromBigEndian<quint32>(bytes) << qFromBigEndian<quint32>(bytes + 4) << qint8(bytes[8]);
}

QDataStream& operator>>(QDataStream& stream, EntryTime& time)
{
    if (stream.version() != QDataStream::Qt_4_6) {
        QDateTime dateTime;
        stream >> dateTime;
        time = dateTime;
        return stream;
    }
    quint32 julianDay = 0;
    quint32 msecs = 0;
    qint8 spec = 0;
    stream >> julianDay >> msecs >> spec;
    time = EntryTime::fromStream(julianDay, msecs, spec);
    return stream;
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

namespace {

// A slot of the id index: the element's position and 32 bits of its id's hash, so that a probe
// rarely needs to read an id.
constexpr quint64 kEmptySlot = ~quint64(0);

quint32 idHash(const QString& id)
{
    return quint32(qHash(id));
}

quint64 slotFor(qsizetype position, quint32 hash)
{
    return (quint64(hash) << 32) | quint32(position);
}

} // namespace

qsizetype EntryList::indexOfId(const QString& id) const
{
    if (!indexValid)
        rebuildIndex();
    if (idSlots.isEmpty())
        return -1;
    const quint32 hash = idHash(id);
    const size_t mask = size_t(idSlots.size()) - 1;
    for (size_t slot = hash & mask;; slot = (slot + 1) & mask) {
        const quint64 entry = idSlots.at(slot);
        if (entry == kEmptySlot)
            return -1;
        const qsizetype position = qsizetype(quint32(entry));
        if (quint32(entry >> 32) == hash && items.at(position).id == id)
            return position;
    }
}

const Entry* EntryList::findById(const QString& id) const
{
    const qsizetype i = indexOfId(id);
    return i < 0 ? nullptr : &items.at(i);
}

bool EntryList::hasDuplicateIds() const
{
    if (!indexValid)
        rebuildIndex();
    return duplicateIds;
}

QString EntryList::searchText(qsizetype i) const
{
    const Entry& entry = items.at(i);
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

bool EntryList::indexElement(qsizetype i) const
{
    // At most half full, so that probes stay short.
    if ((items.size()) * 2 > idSlots.size())
        return false;
    const QString& id = items.at(i).id;
    const quint32 hash = idHash(id);
    const size_t mask = size_t(idSlots.size()) - 1;
    for (size_t slot = hash & mask;; slot = (slot + 1) & mask) {
        const quint64 entry = idSlots.at(slot);
        if (entry == kEmptySlot) {
            idSlots[slot] = slotFor(i, hash);
            return true;
        }
        if (quint32(entry >> 32) == hash && items.at(qsizetype(quint32(entry))).id == id) {
            duplicateIds = true; // the first element keeps the id
            return true;
        }
    }
}

void EntryList::rebuildIndex(qsizetype expected) const
{
    qsizetype capacity = 16;
    while (capacity < qMax(expected, items.size()) * 2)
        capacity *= 2;
    idSlots.fill(kEmptySlot, capacity);
    duplicateIds = false;
    for (qsizetype i = 0; i < items.size(); ++i)
        indexElement(i);
    indexValid = true;
}

void EntryList::appended()
{
    serials.append(quint32(positions.size()));
    positions.append(qint32(items.size() - 1));
    ++changes;
    if (indexValid && !indexElement(items.size() - 1))
        rebuildIndex();
}

void EntryList::append(const Entry& entry)
{
    items.append(entry);
    appended();
}

void EntryList::append(Entry&& entry)
{
    items.append(std::move(entry));
    appended();
}

void EntryList::replace(qsizetype i, const Entry& entry)
{
    if (items.at(i).id != entry.id)
        indexValid = false;
    items.replace(i, entry);
    ++changes;
}

void EntryList::insert(const QList<qsizetype>& at, const QList<Entry>& entries)
{
    if (entries.isEmpty())
        return;
    const qsizetype total = items.size() + entries.size();
    QList<Entry> merged;
    QList<quint32> mergedSerials;
    merged.reserve(total);
    mergedSerials.reserve(total);
    qsizetype kept = 0, inserted = 0;
    for (qsizetype i = 0; i < total; ++i) {
        if (inserted < entries.size() && (at.at(inserted) <= i || kept == items.size())) {
            merged.append(entries.at(inserted++));
            mergedSerials.append(quint32(positions.size()));
            positions.append(qint32(i));
        } else {
            merged.append(items.at(kept)); // a copy: the list may be shared with a snapshot
            mergedSerials.append(serials.at(kept++));
        }
    }
    items = std::move(merged);
    serials = std::move(mergedSerials);
    renumber(qMin(at.constFirst(), items.size() - 1));
}

void EntryList::renumber(qsizetype from)
{
    for (qsizetype i = from; i < serials.size(); ++i)
        positions[serials.at(i)] = qint32(i);
    indexValid = false;
    ++changes;
}

void EntryList::removeAt(qsizetype i)
{
    positions[serials.at(i)] = -1;
    items.removeAt(i);
    serials.removeAt(i);
    renumber(i);
}

qsizetype EntryList::removeIf(const std::function<bool(const Entry&)>& predicate)
{
    qsizetype kept = 0;
    for (qsizetype i = 0; i < items.size(); ++i) {
        if (predicate(items.at(i))) {
            positions[serials.at(i)] = -1;
            continue;
        }
        if (kept != i) {
            items[kept] = std::move(items[i]);
            serials[kept] = serials.at(i);
        }
        ++kept;
    }
    const qsizetype removed = items.size() - kept;
    if (removed > 0) {
        items.resize(kept);
        serials.resize(kept);
        renumber(0);
    }
    return removed;
}

void EntryList::clear()
{
    items.clear();
    serials.clear();
    positions.clear();
    idSlots.clear();
    indexValid = true;
    duplicateIds = false;
    ++changes;
}

QList<Entry> EntryList::takeAll()
{
    QList<Entry> taken = std::move(items);
    clear();
    return taken;
}

bool EntryList::appendInto(QList<Entry>& more)
{
    const qsizetype first = items.size();
    if (!more.isDetached() || more.size() <= first)
        return false;
    // Room for the elements held now, made at the end (in place where realloc can), then the new
    // ones moved behind them; the old elements are copied, as the list may share them with a snapshot.
    const qsizetype added = more.size();
    more.insert(more.size(), first, Entry(Entry::NoId));
    std::move_backward(more.begin(), more.begin() + added, more.end());
    std::copy(items.cbegin(), items.cend(), more.begin());
    items = std::move(more);
    more = QList<Entry>();
    // The first element with an id keeps it: a new one repeating an id held before stays out.
    rebuildIndex();
    if (duplicateIds) {
        std::vector<bool> repeated(size_t(items.size() - first));
        for (qsizetype i = first; i < items.size(); ++i)
            repeated[size_t(i - first)] = indexOfId(items.at(i).id) != i;
        qsizetype kept = first;
        for (qsizetype i = first; i < items.size(); ++i) {
            if (repeated[size_t(i - first)])
                continue;
            if (kept != i)
                items[kept] = std::move(items[i]);
            ++kept;
        }
        items.resize(kept);
        rebuildIndex();
    }
    serials.reserve(items.size());
    positions.reserve(positions.size() + items.size() - first);
    for (qsizetype i = first; i < items.size(); ++i) {
        serials.append(quint32(positions.size()));
        positions.append(qint32(i));
    }
    ++changes;
    return true;
}

void EntryList::reserve(qsizetype size)
{
    items.reserve(size);
    serials.reserve(size);
    positions.reserve(positions.size() + size);
    // Grown once rather than step by step while the elements come.
    if (indexValid && idSlots.size() < size * 2)
        rebuildIndex(size);
}
