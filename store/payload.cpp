#include "payload.h"

#include <QBuffer>
#include <QDataStream>
#include <QDateTime>
#include <QHash>
#include <QVarLengthArray>
#include <QtEndian>

#include <cstring>
#include <limits>
#include <memory>

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

// One block of UTF-16 text for the strings of a loaded vault, in place of a heap block each.
// The strings share the block's header and reference count, as QString's own slices of a
// buffer do, so the block lives exactly as long as any of them. References for as many strings
// as the data can hold are taken at once and the unused ones given back at the end, rather
// than one atomic operation per string. Each text is followed by a 0, as a QString's is.
class TextArena
{
public:
    TextArena(qsizetype capacity, qsizetype maxStrings)
    {
        if (capacity <= 0 || maxStrings <= 0)
            return;
        // Pages are only touched as text is written, so an oversized block costs no memory.
        auto [block, text] = QTypedArrayData<char16_t>::allocate(capacity);
        if (!block)
            return;
        header = block;
        base = text;
        room = capacity;
        reserved = int(qMin<qsizetype>(maxStrings, std::numeric_limits<int>::max() / 2));
        header->ref_.fetchAndAddRelaxed(reserved);
    }

    ~TextArena()
    {
        if (!header)
            return;
        const int unused = reserved - handedOut + 1; // and the block's own
        if (header->ref_.fetchAndSubOrdered(unused) == unused)
            QTypedArrayData<char16_t>::deallocate(header);
    }

    TextArena(const TextArena&) = delete;
    TextArena& operator=(const TextArena&) = delete;

    // Room for `units` code units and the 0 after them, or null when the block cannot take it.
    char16_t* take(qsizetype units)
    {
        if (!header || handedOut == reserved || units + 1 > room - used)
            return nullptr;
        char16_t* at = base + used;
        at[units] = 0;
        used += units + 1;
        return at;
    }

    // The string of `units` code units at `at`, which take() gave out.
    QString string(char16_t* at, qsizetype units)
    {
        ++handedOut;
        return QString(QString::DataPointer(header, at, units));
    }

private:
    QTypedArrayData<char16_t>* header = nullptr;
    char16_t* base = nullptr;
    qsizetype room = 0;
    qsizetype used = 0;
    int reserved = 0;
    int handedOut = 0;
};

// Reads the stream-version-12 encoding straight from memory, a window at a time when the
// bytes come from a source. QDataStream over a QBuffer costs a virtual read per field,
// which dominates loading a large vault.
//
// Once a read runs past the end (or meets a malformed string) the reader is broken: every
// later field reads as zero, false or empty, as QDataStream fields past the end do.
class Reader
{
public:
    enum Head
    {
        Null,    // 0xFFFFFFFF
        Empty,   // no text
        Text,    // `units` code units follow
        Missing, // the data ended before the byte count: reads as empty
        Bad,     // a count that cannot be right: reads as null
    };

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
        qsizetype units = 0;
        const Head head = readStringHead(&units);
        if (head != Text)
            return notText(head);
        QString text(units, Qt::Uninitialized);
        if (!readUnits(reinterpret_cast<char16_t*>(text.data()), units))
            return QString();
        return text;
    }

    // A string of an entry, in the arena when there is one.
    QString readEntryString()
    {
        if (!arena)
            return readString();
        qsizetype units = 0;
        const Head head = readStringHead(&units);
        if (head == Null || head == Missing || head == Bad)
            return notText(head);
        char16_t* text = arena->take(units);
        if (!text) {
            // Not expected (the arena is sized by the data), but never fatal.
            QString copy(units, Qt::Uninitialized);
            return readUnits(reinterpret_cast<char16_t*>(copy.data()), units) ? copy : QString();
        }
        QString string = arena->string(text, units);
        return readUnits(text, units) ? string : QString();
    }

    // A string's text read into `buffer`; `head` says what was there, Bad also when the text ran out.
    void readStringInto(QVarLengthArray<char16_t, 64>& buffer, Head* head)
    {
        qsizetype units = 0;
        *head = readStringHead(&units);
        buffer.resize(units);
        if (*head == Text && !readUnits(buffer.data(), units))
            *head = Bad;
    }

    // Kept as stored: no time zone is asked for here (see EntryTime).
    EntryTime readDateTime()
    {
        const quint32 julianDay = readUInt32();
        const quint32 msecs = readUInt32();
        const qint8 spec = qint8(readUInt8());
        return EntryTime::fromStream(julianDay, msecs, spec);
    }

    // Fills every field of `entry`. With an arena the searchable texts lie side by side there
    // (title, website, account, notes, each ended by its 0), so that a search scans one stretch
    // per entry; the password follows them, outside that stretch.
    void readEntry(Entry& entry)
    {
        entry.id = readEntryString();
        entry.title = readEntryString();
        if (arena) {
            Head head = Bad;
            readStringInto(categoryBuffer, &head);
            const QStringView name(categoryBuffer.constData(), categoryBuffer.size());
            const auto known = head == Text ? categoryNames.constFind(name) : categoryNames.constEnd();
            if (known != categoryNames.constEnd())
                entry.category = *known;
            else
                entry.category = head == Text ? keep(name) : notText(head);
        } else {
            entry.category = readString();
        }
        entry.url = readEntryString();
        entry.account = readEntryString();
        if (arena) {
            Head head = Bad;
            readStringInto(passwordBuffer, &head);
            entry.notes = readEntryString();
            entry.password =
                head == Text ? keep(QStringView(passwordBuffer.constData(), passwordBuffer.size())) : notText(head);
        } else {
            entry.password = readString();
            entry.notes = readString();
        }
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

    // Keeps the texts of the entries read from now on in one block (see decodeStorePayload),
    // naming categories with the strings of `names` where they are equal.
    void keepTextsTogether(const QStringList& names)
    {
        // A text takes fewer bytes in the block than in the data (a 0 for its 4-byte count),
        // so the data left bounds the block and, at 4 bytes a string, the number of strings.
        arena = std::make_unique<TextArena>(remaining() / 2, remaining() / 4);
        categoryNames.reserve(names.size());
        for (const QString& name : names)
            categoryNames.insert(QStringView(name), name);
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
            list.append(std::move(entry));
            if (atEnd()) {
                cutShort = cutShort || i + 1 < count;
                break;
            }
        }
    }

private:
    Head readStringHead(qsizetype* units)
    {
        *units = 0;
        if (!need(4))
            return Missing;
        const quint32 bytes = readUInt32();
        if (bytes == 0xFFFFFFFFu)
            return Null;
        if (bytes == 0)
            return Empty;
        // An odd count cannot be UTF-16; a count past the data would only allocate for nothing.
        if ((bytes & 1) != 0 || bytes > quint64(remaining())) {
            breakOff();
            return Bad;
        }
        *units = qsizetype(bytes / 2);
        return Text;
    }

    // What a string reads as when it has no text of its own (see Head).
    static QString notText(Head head) { return head == Null || head == Bad ? QString() : QString(QLatin1String("")); }

    // `units` big-endian code units into `out`, in host order; false when the data ran out.
    // remaining() has vouched for them; they need not lie in one window.
    bool readUnits(char16_t* out, qsizetype units)
    {
        while (units > 0) {
            if (end - pos < 2 && !need(qMin<qint64>(qint64(units) * 2, kPayloadPiece)))
                return false;
            const qsizetype piece = qMin<qsizetype>(units, (end - pos) / 2);
            qFromBigEndian<char16_t>(pos, piece, out);
            pos += piece * 2;
            out += piece;
            units -= piece;
        }
        return !failed;
    }

    // A copy of `text` in the arena (or on the heap when the arena is full).
    QString keep(QStringView text)
    {
        char16_t* at = arena->take(text.size());
        if (!at)
            return text.toString();
        std::memcpy(at, text.utf16(), size_t(text.size()) * 2);
        return arena->string(at, text.size());
    }

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
    // The tail moves to the front of the same buffer, a new one is made only for a longer text:
    // one piece in memory rather than two.
    void refill(qint64 n)
    {
        const qint64 left = end - pos;
        const qint64 wanted = qMin(qMax(n, kPayloadPiece), remaining());
        if (window.capacity() >= wanted && window.isDetached()) {
            std::memmove(window.data(), pos, size_t(left));
            window.truncate(left);
        } else {
            QByteArray next;
            next.reserve(wanted);
            next.append(pos, left);
            window = std::move(next);
        }
        while (window.size() < wanted) {
            if (source->readMore(window, wanted - window.size()) <= 0)
                break;
        }
        pos = window.constData();
        end = pos + window.size();
        if (end - pos < n)
            breakOff(); // the source promised more than it gave
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

    std::unique_ptr<TextArena> arena;
    QHash<QStringView, QString> categoryNames;
    QVarLengthArray<char16_t, 64> categoryBuffer;
    QVarLengthArray<char16_t, 64> passwordBuffer;
};

bool readPayload(Reader& reader, Payload& payload, bool textsTogether = false)
{
    reader.readPreferences(payload.preferences);
    reader.readCategories(payload.categories);
    if (textsTogether)
        reader.keepTextsTogether(payload.categories);
    reader.readEntries(payload.entries);
    return reader.exact();
}

QByteArray encodePreferences(const Preferences& preferences)
{
    QByteArray data;
    QDataStream stream(&data, QIODevice::WriteOnly);
    stream.setVersion(QDataStream::Qt_4_6);
    stream << preferences;
    return data;
}

qint64 stringSize(const QString& text)
{
    return 4 + (text.isNull() ? 0 : qint64(text.size()) * 2);
}

// Writes what QDataStream (version 12, big-endian) writes for the same values, into a buffer
// that goes to the sink whenever it is full: much faster than a stream over a QBuffer, and the
// whole payload is never in memory at once.
class Writer
{
public:
    explicit Writer(const PayloadSink& sink) : sink(sink), buffer(new char[kChunk]) {}

    void uint32(quint32 value)
    {
        if (kChunk - used < 4)
            flush();
        qToBigEndian(value, buffer.get() + used);
        used += 4;
    }

    void raw(const char* data, qint64 size)
    {
        while (size > 0) {
            if (used == kChunk)
                flush();
            const qint64 piece = qMin(size, kChunk - used);
            std::memcpy(buffer.get() + used, data, size_t(piece));
            used += piece;
            data += piece;
            size -= piece;
        }
    }

    void string(const QString& text)
    {
        if (text.isNull()) {
            uint32(0xFFFFFFFFu);
            return;
        }
        uint32(quint32(text.size() * 2));
        // constData, not utf16(): that would copy a string that points into a loaded block.
        const char16_t* units = reinterpret_cast<const char16_t*>(text.constData());
        qsizetype left = text.size();
        while (left > 0) {
            if (kChunk - used < 2)
                flush();
            const qsizetype piece = qMin<qsizetype>(left, (kChunk - used) / 2);
            qToBigEndian<char16_t>(units, piece, buffer.get() + used);
            used += piece * 2;
            units += piece;
            left -= piece;
        }
    }

    void time(const EntryTime& time)
    {
        char bytes[9];
        time.toStream(bytes);
        raw(bytes, 9);
    }

    void entry(const Entry& entry)
    {
        string(entry.id);
        string(entry.title);
        string(entry.category);
        string(entry.url);
        string(entry.account);
        string(entry.password);
        string(entry.notes);
        time(entry.dateCreated);
        time(entry.dateChanged);
    }

    bool finish()
    {
        flush();
        return !failed;
    }

private:
    static constexpr qint64 kChunk = 1 << 20;

    void flush()
    {
        if (used > 0 && !failed)
            failed = !sink(buffer.get(), used);
        used = 0;
    }

    const PayloadSink& sink;
    std::unique_ptr<char[]> buffer;
    qint64 used = 0;
    bool failed = false;
};

} // namespace

qint64 payloadSize(const Preferences& preferences, const QStringList& categories, const EntryList& entries)
{
    qint64 size = encodePreferences(preferences).size() + 4;
    for (const QString& name : categories)
        size += stringSize(name);
    size += 4;
    for (const Entry& entry : entries) {
        size += stringSize(entry.id) + stringSize(entry.title) + stringSize(entry.category) + stringSize(entry.url) +
                stringSize(entry.account) + stringSize(entry.password) + stringSize(entry.notes) + 2 * 9;
    }
    return size;
}

bool writePayload(const Preferences& preferences, const QStringList& categories, const EntryList& entries,
                  const PayloadSink& sink)
{
    Writer writer(sink);
    const QByteArray head = encodePreferences(preferences);
    writer.raw(head.constData(), head.size());
    writer.uint32(quint32(categories.size()));
    for (const QString& name : categories)
        writer.string(name);
    writer.uint32(quint32(entries.size()));
    for (const Entry& entry : entries)
        writer.entry(entry);
    return writer.finish();
}

QByteArray encodePayload(const Preferences& preferences, const QStringList& categories, const EntryList& entries)
{
    QByteArray data;
    data.reserve(payloadSize(preferences, categories, entries));
    writePayload(preferences, categories, entries, [&data](const char* bytes, qint64 size) {
        data.append(bytes, size);
        return true;
    });
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

bool decodeStorePayload(PayloadSource& source, Payload& payload)
{
    Reader reader(source);
    return readPayload(reader, payload, true);
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
