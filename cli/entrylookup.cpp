#include "cli/entrylookup.h"

#include "vault/totp.h"

#include <QCoreApplication>
#include <QDateTime>

namespace {

QString tr(const char* text)
{
    return QCoreApplication::translate("vaultry-cli", text);
}

} // namespace

QString entryPath(const Entry& entry)
{
    return entry.category + QLatin1Char('/') + entry.title;
}

bool splitEntryPath(const QString& path, QString& category, QString& title)
{
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
    if (slash <= 0 || slash == path.size() - 1)
        return false;
    category = path.left(slash);
    title = path.mid(slash + 1);
    return true;
}

bool matchesSearch(const Entry& entry, const QString& text)
{
    for (const QString* field : {&entry.account, &entry.category, &entry.notes, &entry.title, &entry.url}) {
        if (field->contains(text, Qt::CaseInsensitive))
            return true;
    }
    return false;
}

qsizetype findEntry(const Payload& vault, const QString& reference, CliError& error)
{
    const EntryList& entries = vault.entries;
    const qsizetype byId = entries.indexOfId(reference);
    if (byId >= 0)
        return byId;
    QList<qsizetype> found;
    for (qsizetype i = 0; i < entries.size(); ++i) {
        if (entryPath(entries.at(i)) == reference)
            found << i;
    }
    if (found.isEmpty()) {
        for (qsizetype i = 0; i < entries.size(); ++i) {
            if (entries.at(i).title == reference)
                found << i;
        }
    }
    if (found.size() == 1)
        return found.first();
    if (found.isEmpty()) {
        error = CliError::badArgument(tr("no entry \"%1\"").arg(reference));
    } else {
        QStringList ids;
        for (qsizetype i : found)
            ids << entries.at(i).id;
        error = CliError::badArgument(tr("\"%1\" names %2 entries; give one of their ids: %3")
                                          .arg(reference)
                                          .arg(found.size())
                                          .arg(ids.join(", ")));
    }
    return -1;
}

bool currentOneTimeCode(const Entry& entry, QString& code)
{
    code = totpCodeInNotes(entry.notes, QDateTime::currentSecsSinceEpoch());
    return !code.isEmpty();
}
