#include "listfile.h"

#include "securefile.h"

#include <QFileInfo>

ListWriteResult writeListFile(const QString& path, const EntryList& entries, const QString& password)
{
    ListWriteResult result;
    const WriteResult written = writeSecretFile(path, encodeList(entries, password));
    result.ok = written.ok;
    result.reason = written.reason;
    return result;
}

ListReadResult readListFile(const QString& path)
{
    ListReadResult result;
    if (!QFileInfo::exists(path)) {
        result.status = ListReadResult::Missing;
        return result;
    }
    // Refused before reading; the reader also stops at the bound should the file grow meanwhile.
    const QFileInfo info(path);
    if (info.isFile() && info.size() > kMaxListFileBytes) {
        result.status = ListReadResult::Unreadable;
        result.reason = QStringLiteral("The file is larger than 1 GiB.");
        return result;
    }
    ReadResult read = readRegularFile(path, kMaxListFileBytes);
    if (!read.ok) {
        result.status = ListReadResult::Unreadable;
        result.reason = read.reason;
        return result;
    }
    result.bytes = std::move(read.bytes);
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
