#include "payload.h"

#include <QBuffer>
#include <QDataStream>
#include <QDateTime>
#include <QtEndian>

#include <cstring>

namespace {

QDataStream& operator<<(QDataStream& stream, const Preferences& p)
{
    stream << p.masterPasswordHash << p.hidePassword << p.maxLoginAttempts << p.genAlphanum << p.genMaxLength
           << p.genMinLength << p.genMixedCase << p.genSpecialChars << p.firstRun;
    return stream;
}

template <typename List> QByteArray encodeEntries(const List& list)
{
    QByteArray data;
    QBuffer buffer(&data);
    buffer.open(QIODevice::WriteOnly);
    QDataStream stream(&buffer);
    stream.setVersion(QDataStream::Qt_4_6);
    writeEntryList(stream, list);
    return data;
}

// Reads the stream-version-12 encoding straight from memory, a window at a time when the
// bytes come from a source. QDataStream over a QBuffer costs a virtual read per field,
// which dominates loading a large vault.
//
// Once a read runs past the end (or meets a malformed string) the reader is broken: every
// later field reads as zero, false or empty, as QDataStream fields past the end do.
class Reader
{
public:
    explicit Reader(const QByteArray& data) : pos(data.constData()), end(pos + data.size()) {}
    explicit Reader(PayloadSource& source) : source(&source) {}

    // True when the data ended early or was malformed, even at an element boundary.
    bool broken() const { return failed || cutShort; }
    qint64 remaining() const { return failed ? 0 : (end - pos) + (source ? source->pending() : 0); }
    bool atEnd() const { return remaining() == 0; }
    // A parse is exact when it neither ran out nor left bytes over.
    bool exact() const { return !broken() && atEnd(); }

    quint32 readUInt32()
    {
        if (!need(4))
            return 0;
        const quint32 value = qFromBigEndian<quint32>(pos);
        pos += 4;
        return value;
    }
    qint32 readInt32() { return qint32(readUInt32()); }
    quint8 readUInt8()
    {
        if (!need(1))
            return 0;
        return quint8(*pos++);
    }
    bool readBool() { return readUInt8() != 0; }

    // A count for a list whose elements take at least `minSize` bytes each: negative
    // counts are zero, and the capacity to reserve is what the remaining data could hold.
    qint32 readCount(qint64 minSize, qsizetype* capacity)
    {
        const qint32 count = qMax(readInt32(), 0);
        *capacity = qsizetype(qMin<qint64>(count, remaining() / minSize));
        return count;
    }

    QString readString()
    {
        if (!need(4))
            return QString(QLatin1String(""));
        const quint32 bytes = readUInt32();
        if (bytes == 0xFFFFFFFFu)
            return QString();
        if (bytes == 0)
            return QString(QLatin1String(""));
        // An odd count cannot be UTF-16; a count past the data would only allocate for nothing.
        if ((bytes & 1) != 0 || bytes > quint64(remaining())) {
            breakOff();
            return QString();
        }
        QString text(qsizetype(bytes / 2), Qt::Uninitialized);
        copyOut(reinterpret_cast<char*>(text.data()), bytes);
        if (failed)
            return QString();
        qFromBigEndian<char16_t>(text.constData(), text.size(), text.data());
        return text;
    }

    QDateTime readDateTime()
    {
        const quint32 julianDay = readUInt32();
        const quint32 msecs = readUInt32();
        const qint8 spec = qint8(readUInt8());
        // The 9 bytes of an entry's two times are often equal (an entry never edited);
        // building a local time asks the C library for the zone, so reuse the last one.
        if (haveLast && julianDay == lastDay && msecs == lastMsecs && spec == lastSpec)
            return lastDateTime;
        const QDate date = julianDay != 0 ? QDate::fromJulianDay(julianDay) : QDate();
        const QTime time = QTime::fromMSecsSinceStartOfDay(int(msecs));
        // Stream version 12 stores Qt 4's spec codes: 2 UTC, 3 offset (always 0 there),
        // anything else local time, as QDataStream reads them.
        const Qt::TimeSpec timeSpec = (spec == 2 || spec == 3) ? Qt::UTC : Qt::LocalTime;
        lastDateTime = QDateTime(date, time, timeSpec);
        lastDay = julianDay;
        lastMsecs = msecs;
        lastSpec = spec;
        haveLast = true;
        return lastDateTime;
    }

    // Fills every field of `entry`.
    void readEntry(Entry& entry)
    {
        entry.id = readString();
        entry.title = readString();
        entry.category = readString();
        entry.url = readString();
        entry.account = readString();
        entry.password = readString();
        entry.notes = readString();
        entry.dateCreated = readDateTime();
        entry.dateChanged = readDateTime();
    }

    void readPreferences(Preferences& p)
    {
        p.masterPasswordHash = readString();
        p.hidePassword = readBool();
        p.maxLoginAttempts = readInt32();
        p.genAlphanum = readBool();
        p.genMaxLength = readInt32();
        p.genMinLength = readInt32();
        p.genMixedCase = readBool();
        p.genSpecialChars = readBool();
        p.firstRun = readBool();
    }

    void readCategories(QStringList& names)
    {
        names.clear();
        qsizetype capacity = 0;
        const qint32 count = readCount(kMinStringBytes, &capacity);
        names.reserve(capacity);
        for (qint32 i = 0; i < count; ++i) {
            names.append(readString());
            // Checked after the append: a name cut short by the end is still kept.
            if (atEnd()) {
                cutShort = cutShort || i + 1 < count;
                break;
            }
        }
    }

    void readEntries(EntryList& list)
    {
        list.clear();
        qsizetype capacity = 0;
        const qint32 count = readCount(kMinEntryBytes, &capacity);
        list.reserve(capacity);
        // Copying a blank record is far cheaper than constructing one, which reads the clock.
        const Entry blank(Entry::NoId);
        for (qint32 i = 0; i < count; ++i) {
            Entry entry = blank;
            readEntry(entry);
            list.append(entry);
            if (atEnd()) {
                cutShort = cutShort || i + 1 < count;
                break;
            }
        }
    }

private:
    static constexpr qint64 kChunk = 1 << 18;

    // Makes `n` bytes readable at pos; breaks the reader and returns false if fewer remain.
    bool need(qint64 n)
    {
        if (failed)
            return false;
        if (end - pos >= n)
            return true;
        if (remaining() < n) {
            breakOff();
            return false;
        }
        refill(n);
        return !failed;
    }

    // Keeps the unread tail of the window and appends at least `n` bytes' worth from the source.
    void refill(qint64 n)
    {
        const qint64 left = end - pos;
        const qint64 wanted = qMin(qMax(n, kChunk), remaining());
        QByteArray next;
        next.reserve(wanted);
        next.append(pos, left);
        while (next.size() < wanted) {
            if (source->readMore(next, wanted - next.size()) <= 0)
                break;
        }
        window = next;
        pos = window.constData();
        end = pos + window.size();
        if (end - pos < n)
            breakOff(); // the source promised more than it gave
    }

    // Copies `n` bytes, which remaining() has vouched for, without forcing them into one window.
    void copyOut(char* out, qint64 n)
    {
        while (n > 0) {
            if (end == pos && !need(qMin(n, kChunk)))
                return;
            const qint64 piece = qMin<qint64>(n, end - pos);
            std::memcpy(out, pos, size_t(piece));
            out += piece;
            pos += piece;
            n -= piece;
        }
    }

    void breakOff()
    {
        failed = true;
        pos = end;
    }

    PayloadSource* source = nullptr;
    QByteArray window;
    const char* pos = nullptr;
    const char* end = nullptr;
    bool failed = false;
    bool cutShort = false; // a list ended before its count

    bool haveLast = false;
    quint32 lastDay = 0;
    quint32 lastMsecs = 0;
    qint8 lastSpec = 0;
    QDateTime lastDateTime;
};

bool readPayload(Reader& reader, Payload& payload)
{
    reader.readPreferences(payload.preferences);
    reader.readCategories(payload.categories);
    reader.readEntries(payload.entries);
    return reader.exact();
}

} // namespace

QByteArray encodePayload(const Preferences& preferences, const QStringList& categories, const EntryList& entries)
{
    QByteArray data;
    QBuffer buffer(&data);
    buffer.open(QIODevice::WriteOnly);
    QDataStream stream(&buffer);
    stream.setVersion(QDataStream::Qt_4_6);
    stream << preferences;
    stream << qint32(categories.size());
    for (const QString& name : categories)
        stream << name;
    writeEntryList(stream, entries);
    return data;
}

QByteArray encodePayload(const Payload& payload)
{
    return encodePayload(payload.preferences, payload.categories, payload.entries);
}

bool decodePayload(const QByteArray& data, Payload& payload, bool* ranOut)
{
    Reader reader(data);
    const bool exact = readPayload(reader, payload);
    if (ranOut)
        *ranOut = reader.broken();
    return exact;
}

bool decodePayload(PayloadSource& source, Payload& payload)
{
    Reader reader(source);
    return readPayload(reader, payload);
}

void writeEntryList(QDataStream& stream, const EntryList& list)
{
    writeEntryList(stream, list.toList());
}

void writeEntryList(QDataStream& stream, const QList<Entry>& list)
{
    stream << qint32(list.size());
    for (const Entry& entry : list)
        stream << entry;
}

QByteArray encodeEntryList(const EntryList& list)
{
    return encodeEntries(list.toList());
}

QByteArray encodeEntryList(const QList<Entry>& list)
{
    return encodeEntries(list);
}

bool decodeEntryList(const QByteArray& data, EntryList& list)
{
    Reader reader(data);
    reader.readEntries(list);
    return reader.exact();
}
