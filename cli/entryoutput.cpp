#include "cli/entryoutput.h"

#include <QCoreApplication>

namespace {

QString tr(const char* text)
{
    return QCoreApplication::translate("vaultry-cli", text);
}

} // namespace

QString isoTime(const EntryTime& time)
{
    return time.isValid() ? time.toDateTime().toOffsetFromUtc(time.toDateTime().offsetFromUtc()).toString(Qt::ISODate)
                          : QString();
}

QString entryText(const Entry& entry, bool showPassword)
{
    QString notes = entry.notes;
    notes.replace(QLatin1Char('\n'), QLatin1String("\n       "));
    QString text;
    text += tr("Title: %1\n").arg(entry.title);
    text += tr("Category: %1\n").arg(entry.category);
    text += tr("Website: %1\n").arg(entry.url);
    text += tr("Account: %1\n").arg(entry.account);
    text += tr("Password: %1\n").arg(showPassword ? entry.password : tr("(hidden; --show-protected shows it)"));
    text += tr("Notes: %1\n").arg(notes);
    text += tr("Created: %1\n").arg(isoTime(entry.dateCreated));
    text += tr("Changed: %1\n").arg(isoTime(entry.dateChanged));
    text += tr("Id: %1\n").arg(entry.id);
    return text;
}

QJsonObject entryJson(const Entry& entry, bool showPassword)
{
    QJsonObject object{
        {QStringLiteral("id"), entry.id},
        {QStringLiteral("title"), entry.title},
        {QStringLiteral("category"), entry.category},
        {QStringLiteral("url"), entry.url},
        {QStringLiteral("account"), entry.account},
        {QStringLiteral("notes"), entry.notes},
        {QStringLiteral("created"), isoTime(entry.dateCreated)},
        {QStringLiteral("changed"), isoTime(entry.dateChanged)},
    };
    if (showPassword)
        object.insert(QStringLiteral("password"), entry.password);
    return object;
}
