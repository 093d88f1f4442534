#include "testvault.h"

#include "app/version.h"
#include "store/preferences.h"
#include "store/settingsstore.h"
#include "vault/entrylist.h"
#include "vault/randomsource.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QDataStream>
#include <QTimer>

namespace TestVault {

void clearQuitRequest()
{
    // Closing the main window asks the application to quit, which in a test process would make
    // every later dialog's event loop return at once. Running the application loop once and
    // leaving it again clears that request.
    if (!QCoreApplication::instance())
        return;
    QTimer::singleShot(0, QCoreApplication::instance(), [] { QCoreApplication::exit(0); });
    QCoreApplication::exec();
}

void reset(const QString& storeDir)
{
    initVaultryResources();
    clearQuitRequest();
    preferences = Preferences();
    categoryNames.clear();
    entries.clear();
    RandomSource::useSeed(12345);
    if (!storeDir.isEmpty())
        setStoreDirectory(storeDir);
}

Entry makeEntry(const QString& title, const QString& category, const QString& account, const QString& url,
                const QString& notes, const QString& password)
{
    Entry entry;
    entry.title = title;
    entry.category = category;
    entry.account = account;
    entry.url = url;
    entry.notes = notes;
    entry.password = password;
    entry.dateCreated = QDateTime(QDate(2024, 5, 17), QTime(9, 30, 15));
    entry.dateChanged = QDateTime(QDate(2025, 1, 2), QTime(18, 4, 59));
    return entry;
}

void add(const QStringList& categories, const QList<Entry>& vaultEntries)
{
    categoryNames += categories;
    for (const Entry& entry : vaultEntries)
        entries.append(entry);
}

QString describe(const Entry& entry)
{
    QStringList fields;
    for (const QString* text :
         {&entry.id, &entry.title, &entry.category, &entry.url, &entry.account, &entry.password, &entry.notes})
        fields << (text->isNull() ? QStringLiteral("<null>") : *text);
    fields << entry.dateCreated.toString(Qt::ISODateWithMs) << entry.dateChanged.toString(Qt::ISODateWithMs);
    return fields.join(QLatin1Char('|'));
}

QStringList describe(const QList<Entry>& list)
{
    QStringList lines;
    for (const Entry& entry : list)
        lines << describe(entry);
    return lines;
}

QStringList describe(const EntryList& list)
{
    return describe(list.toList());
}

QByteArray streamBytes(const std::function<void(QDataStream&)>& write)
{
    QByteArray data;
    QBuffer buffer(&data);
    buffer.open(QIODevice::WriteOnly);
    QDataStream stream(&buffer);
    stream.setVersion(QDataStream::Qt_4_6);
    write(stream);
    return data;
}

} // namespace TestVault
