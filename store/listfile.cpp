#include "listfile.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

ListWriteResult writeListFile(const QString& path, const EntryList& entries, const QString& password)
{
    ListWriteResult result;
    const QByteArray bytes = encodeList(entries, password);
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
        result.ok = false;
        result.reason = file.errorString();
    }
    return result;
}

ListReadResult readListFile(const QString& path)
{
    ListReadResult result;
    const QFileInfo info(path);
    if (!info.exists()) {
        result.status = ListReadResult::Missing;
        return result;
    }
    QFile file(path);
    if (file.open(QIODevice::ReadOnly))
        result.bytes = file.readAll();
    if (!file.isOpen() || file.error() != QFileDevice::NoError) {
        result.status = ListReadResult::Unreadable;
        result.reason = file.errorString();
        result.bytes.clear();
    }
    return result;
}

ListImportResult importList(const QByteArray& fileBytes, const QString& password, Vault& vault)
{
    ListImportResult result;
    const ListDecodeResult list = decodeList(fileBytes, password);
    result.status = list.status;
    // Merging part of a damaged list would leave the vault half-changed.
    if (list.status == ListDecodeResult::Ok)
        result.merged = vault.merge(list.entries);
    return result;
}
