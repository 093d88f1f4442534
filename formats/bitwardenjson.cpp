#include "bitwardenjson.h"

#include "vault/vault.h"

#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

QString text(const QJsonValue& value)
{
    if (value.isString())
        return value.toString();
    if (value.isDouble())
        return QString::number(value.toDouble());
    if (value.isBool())
        return value.toBool() ? QStringLiteral("true") : QStringLiteral("false");
    return QLatin1String("");
}

// Bitwarden writes UTC times with milliseconds ("2024-05-17T09:30:15.123Z").
void readTime(const QJsonValue& value, EntryTime& time)
{
    takeImportedTime(QDateTime::fromString(value.toString(), Qt::ISODateWithMs), time);
}

// Every text member of `object` into the notes under its name, with `prefix` ("Card").
void appendMembers(QString& notes, const QString& prefix, const QJsonObject& object)
{
    for (auto member = object.begin(); member != object.end(); ++member)
        appendNamedField(notes, prefix + QLatin1Char(' ') + member.key(), text(member.value()));
}

void readLogin(const QJsonObject& login, Entry& entry)
{
    entry.account = text(login.value(QLatin1String("username")));
    entry.password = text(login.value(QLatin1String("password")));
    QStringList others;
    const QJsonArray uris = login.value(QLatin1String("uris")).toArray();
    for (const QJsonValue& uri : uris) {
        const QString address = text(uri.toObject().value(QLatin1String("uri")));
        if (address.isEmpty())
            continue;
        if (entry.url.isEmpty())
            entry.url = address;
        else
            others << address;
    }
    appendNamedField(entry.notes, QStringLiteral("Other websites"), others.join(QStringLiteral(", ")));
    appendNamedField(entry.notes, QStringLiteral("TOTP"), text(login.value(QLatin1String("totp"))));
}

} // namespace

ImportedEntries decodeBitwardenJson(const QByteArray& bytes, ImportProgress* progress)
{
    ImportedEntries result;
    if (progress)
        progress->total = bytes.size();
    if (bytes.size() > kMaxJsonImportBytes) {
        result.error = QStringLiteral("the file holds more than %1 MiB, more than a JSON export of a vault could")
                           .arg(kMaxJsonImportBytes >> 20);
        return result;
    }
    QString error;
    const QString decoded = decodeImportText(bytes, &error);
    if (decoded.isNull()) {
        result.error = error;
        return result;
    }
    const QByteArray utf8 = decoded.toUtf8();
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(utf8, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        const qsizetype offset = qBound(qsizetype(0), qsizetype(parseError.offset), utf8.size());
        const qsizetype lineStart = utf8.lastIndexOf('\n', offset - 1) + 1;
        result.error = QStringLiteral("line %1, column %2: %3")
                           .arg(QByteArrayView(utf8).first(offset).count('\n') + 1)
                           .arg(offset - lineStart + 1)
                           .arg(parseError.errorString());
        return result;
    }
    const QJsonObject root = document.object();
    if (root.value(QLatin1String("encrypted")).toBool() ||
        root.contains(QLatin1String("encKeyValidation_DO_NOT_EDIT"))) {
        result.error = QStringLiteral("this Bitwarden export is encrypted; export the vault again as unencrypted JSON");
        return result;
    }
    if (!document.isObject() || !root.value(QLatin1String("items")).isArray()) {
        result.error = QStringLiteral("there is no \"items\" list: this is not a Bitwarden JSON export");
        return result;
    }

    QHash<QString, QString> folderNames;
    const QJsonArray folders = root.value(QLatin1String("folders")).toArray();
    for (const QJsonValue& value : folders) {
        const QJsonObject folder = value.toObject();
        const QString name = text(folder.value(QLatin1String("name")));
        if (name.isEmpty())
            continue;
        folderNames.insert(text(folder.value(QLatin1String("id"))), name);
        noteCategory(result.categories, name);
    }

    // An organization's collections stand for categories as folders do.
    QHash<QString, QString> collectionNames;
    const QJsonArray collections = root.value(QLatin1String("collections")).toArray();
    for (const QJsonValue& value : collections) {
        const QJsonObject collection = value.toObject();
        const QString name = text(collection.value(QLatin1String("name")));
        if (name.isEmpty())
            continue;
        collectionNames.insert(text(collection.value(QLatin1String("id"))), name);
        noteCategory(result.categories, name);
    }

    const QJsonArray items = root.value(QLatin1String("items")).toArray();
    ImportedEntryMaker maker;
    for (qsizetype i = 0; i < items.size(); ++i) {
        if (progress && (i & 0xFF) == 0) {
            // The parse took the first half of the work; the items are the other.
            progress->done = bytes.size() / 2 + bytes.size() / 2 * i / items.size();
            if (progress->cancelled) {
                result.error = QStringLiteral("cancelled");
                result.entries.clear();
                return result;
            }
        }
        if (!items.at(i).isObject()) {
            result.error = QStringLiteral("item %1 of \"items\" is not an object").arg(i + 1);
            result.entries.clear();
            return result;
        }
        const QJsonObject item = items.at(i).toObject();
        // Items in the trash stay behind, as they would in Bitwarden.
        const QJsonValue deleted = item.value(QLatin1String("deletedDate"));
        if (!deleted.isNull() && !deleted.isUndefined()) {
            ++result.leftOut.recycled;
            continue;
        }
        const int type = item.value(QLatin1String("type")).toInt();
        if (type < 1 || type > 5) {
            ++result.leftOut.otherKinds;
            continue;
        }
        Entry entry = maker.make();
        entry.title = text(item.value(QLatin1String("name")));
        entry.notes = text(item.value(QLatin1String("notes")));
        // The folder, else the first collection; further collections are named in the notes.
        QStringList itemCollections;
        for (const QJsonValue& id : item.value(QLatin1String("collectionIds")).toArray()) {
            const QString name = collectionNames.value(text(id));
            if (!name.isEmpty())
                itemCollections << name;
        }
        const QString folder = folderNames.value(text(item.value(QLatin1String("folderId"))));
        entry.category = !folder.isEmpty()            ? folder
                         : !itemCollections.isEmpty() ? itemCollections.takeFirst()
                                                      : Vault::generalCategory();
        appendNamedField(entry.notes, QStringLiteral("Collections"), itemCollections.join(QStringLiteral(", ")));
        switch (type) {
        case 1:
            readLogin(item.value(QLatin1String("login")).toObject(), entry);
            break;
        case 3:
            appendMembers(entry.notes, QStringLiteral("Card"), item.value(QLatin1String("card")).toObject());
            break;
        case 4:
            appendMembers(entry.notes, QStringLiteral("Identity"), item.value(QLatin1String("identity")).toObject());
            break;
        case 5:
            appendMembers(entry.notes, QStringLiteral("SSH key"), item.value(QLatin1String("sshKey")).toObject());
            break;
        default: // 2, a secure note: only the notes
            break;
        }
        const QJsonArray fields = item.value(QLatin1String("fields")).toArray();
        for (const QJsonValue& value : fields) {
            const QJsonObject field = value.toObject();
            const QString name = text(field.value(QLatin1String("name")));
            appendNamedField(entry.notes, name.isEmpty() ? QStringLiteral("Field") : name,
                             text(field.value(QLatin1String("value"))));
        }
        // Old passwords stay with the entry, newest first, as Bitwarden lists them.
        const QJsonArray history = item.value(QLatin1String("passwordHistory")).toArray();
        for (const QJsonValue& value : history) {
            const QJsonObject old = value.toObject();
            const QString used = text(old.value(QLatin1String("lastUsedDate")));
            appendNamedField(entry.notes,
                             used.isEmpty() ? QStringLiteral("Old password")
                                            : QStringLiteral("Old password (until %1)").arg(used),
                             text(old.value(QLatin1String("password"))));
        }
        if (!history.isEmpty())
            ++result.leftOut.historyInNotes;
        readTime(item.value(QLatin1String("creationDate")), entry.dateCreated);
        readTime(item.value(QLatin1String("revisionDate")), entry.dateChanged);
        if (entry.title.isEmpty())
            entry.title = fallbackTitle(entry.url, entry.account);
        noteCategory(result.categories, entry.category);
        result.entries.append(std::move(entry));
    }
    result.categories.removeDuplicates();
    result.ok = true;
    if (progress)
        progress->done = bytes.size();
    return result;
}
