#pragma once

#include "store/listcodec.h"
#include "vault/vault.h"

#include <QByteArray>
#include <QString>

// The file side of list export and import, without dialogs: the caller asks for the path
// and the password and tells the user what the result says.

// No list could be this large; anything bigger is refused before it is read.
inline constexpr qint64 kMaxListFileBytes = qint64(1) << 30;

struct ListWriteResult
{
    bool ok = true;
    QString reason; // why the file could not be written, when !ok
};

// Writes the entries as a list file locked with `password`; an earlier file at `path`
// survives any failure.
ListWriteResult writeListFile(const QString& path, const EntryList& entries, const QString& password);

struct ListReadResult
{
    enum Status
    {
        Ok,
        Missing,
        Unreadable, // not a regular file, too large, or a read error: see reason
    };
    Status status = Ok;
    QByteArray bytes;
    QString reason;
};

ListReadResult readListFile(const QString& path);

struct ListImportResult
{
    ListDecodeResult::Status status = ListDecodeResult::Unreadable;
    Vault::MergeResult merged; // what the merge did, when status is Ok
};

// Decodes a list file's bytes and, only when the whole list is sound, merges it into `vault`.
ListImportResult importList(const QByteArray& fileBytes, const QString& password, Vault& vault);
