#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>

class QDataStream;

// The 62 characters an identifier is drawn from.
inline constexpr char kIdAlphabet[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";

// `length` characters, one draw of the random source each, left to right.
QString randomString(int length);

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
    QDateTime dateCreated;
    QDateTime dateChanged;

    bool operator==(const Entry& other) const { return id == other.id; }
    bool operator!=(const Entry& other) const { return !(*this == other); }
};

// Field by field, in declaration order, with Qt's own QString and QDateTime operators.
QDataStream& operator<<(QDataStream& stream, const Entry& entry);
QDataStream& operator>>(QDataStream& stream, Entry& entry);
