#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>

class QDataStream;

// The 62 characters an identifier is drawn from.
inline constexpr char kIdAlphabet[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";

// `length` characters, one draw of the random source each, left to right.
QString randomString(int length);

// A time of an entry. Times read from a file stay in the file's form (Julian day, milliseconds
// since midnight, time-spec code, as stream version 12 writes a QDateTime) and become a QDateTime
// only when used: making a local QDateTime asks the C library for the time zone, which for every
// time of a large vault took longer than the rest of loading. Written back, such a time gives the
// nine bytes it was read from, so that opening and closing a vault leaves its file unchanged:
// older programs marked local times 0 (standard time) or 1 (daylight time) where Qt now writes
// 0xFF, and a local time that falls into a daylight-saving gap would come back moved by an hour.
// Assigned times are kept as given and written as QDataStream writes them.
class EntryTime
{
public:
    EntryTime() = default; // a null time, as QDateTime()
    explicit EntryTime(const QDateTime& dateTime) : held(dateTime) {}
    EntryTime& operator=(const QDateTime& dateTime)
    {
        held = dateTime;
        stored = false;
        return *this;
    }

    // The time as stream version 12 holds it; no time zone is looked at.
    static EntryTime fromStream(quint32 julianDay, quint32 msecs, qint8 spec);

    // What QDataStream (version 12) reads from the stored form, or the time assigned.
    QDateTime toDateTime() const;
    operator QDateTime() const { return toDateTime(); }

    // The nine bytes of stream version 12 (big-endian): those read for a stored time, what
    // QDataStream writes for an assigned one.
    void toStream(char out[9]) const;

    bool isNull() const { return toDateTime().isNull(); }
    bool isValid() const { return toDateTime().isValid(); }
    QDate date() const { return toDateTime().date(); }
    QTime time() const { return toDateTime().time(); }
    Qt::TimeSpec timeSpec() const { return toDateTime().timeSpec(); }
    QString toString(Qt::DateFormat format = Qt::TextDate) const { return toDateTime().toString(format); }
    QString toString(const QString& format) const { return toDateTime().toString(format); }
    QDateTime addDays(qint64 days) const { return toDateTime().addDays(days); }
    QDateTime addSecs(qint64 secs) const { return toDateTime().addSecs(secs); }
    QDateTime addMSecs(qint64 msecs) const { return toDateTime().addMSecs(msecs); }
    qint64 toMSecsSinceEpoch() const { return toDateTime().toMSecsSinceEpoch(); }

    // As the QDateTimes compare.
    friend bool operator==(const EntryTime& a, const EntryTime& b) { return a.toDateTime() == b.toDateTime(); }
    friend bool operator!=(const EntryTime& a, const EntryTime& b) { return !(a == b); }
    friend bool operator<(const EntryTime& a, const EntryTime& b) { return a.toDateTime() < b.toDateTime(); }
    friend bool operator<=(const EntryTime& a, const EntryTime& b) { return !(b < a); }
    friend bool operator>(const EntryTime& a, const EntryTime& b) { return b < a; }
    friend bool operator>=(const EntryTime& a, const EntryTime& b) { return !(a < b); }

private:
    QDateTime held;
    quint32 julianDay = 0;
    quint32 msecs = 0;
    qint8 spec = 0;
    bool stored = false;
};

// At stream version 12 a time is read in its stored form and written back as it was read;
// other versions go through QDateTime.
QDataStream& operator<<(QDataStream& stream, const EntryTime& time);
QDataStream& operator>>(QDataStream& stream, EntryTime& time);

// One vault entry. Identity is the `id` alone; "0" means "no entry".
class Entry
{
public:
    Entry();

    // A record with the default texts and times but no identifier drawn: for readers
    // that overwrite every field anyway.
    enum NoIdTag
    {
        NoId
    };
    explicit Entry(NoIdTag);

    QString id;
    QString title;
    QString category;
    QString url;
    QString account;
    QString password;
    QString notes;
    EntryTime dateCreated;
    EntryTime dateChanged;

    bool operator==(const Entry& other) const { return id == other.id; }
    bool operator!=(const Entry& other) const { return !(*this == other); }
};

// Field by field, in declaration order, with Qt's own QString and QDateTime operators.
QDataStream& operator<<(QDataStream& stream, const Entry& entry);
QDataStream& operator>>(QDataStream& stream, Entry& entry);

// Both hold only Qt's shared values (QString, QDateTime) and numbers, which may be moved in
// memory as bytes: lists of entries grow in place (realloc) and shift with memmove.
Q_DECLARE_TYPEINFO(EntryTime, Q_RELOCATABLE_TYPE);
Q_DECLARE_TYPEINFO(Entry, Q_RELOCATABLE_TYPE);
