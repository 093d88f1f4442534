#pragma once

#include "vault/entrylist.h"

#include <QByteArray>
#include <QList>
#include <QString>

// The list file (".vydl") that carries entries between vaults: a check string made from
// the list password, then the entry list sealed under that password, both in QDataStream
// form (stream version 12, big-endian).

// The MD5 digest of the password's Latin-1 bytes, cut before its first zero byte, each byte
// taken as a Latin-1 character. Lets a wrong password be told before decrypting.
QString listCheckString(const QString& password);

QByteArray encodeList(const EntryList& entries, const QString& password);
QByteArray encodeList(const QList<Entry>& entries, const QString& password);
// A list file around an already serialised entry list (count and entries), sealed here.
QByteArray encodeListFile(const QByteArray& plainList, const QString& password);

struct ListDecodeResult
{
    enum Status
    {
        Ok,            // the password matches and the list parsed exactly
        WrongPassword, // the check string differs; nothing was decrypted
        Damaged,       // the check string matches but the list does not parse exactly
        Unreadable,    // too short to hold the check string and the sealed list
    };
    Status status = Unreadable;
    // What parsed, also when Damaged (as far as it went). Bounded by the data.
    EntryList entries;
};

ListDecodeResult decodeList(const QByteArray& fileBytes, const QString& password);
