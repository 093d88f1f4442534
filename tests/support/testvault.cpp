#include "testvault.h"

#include "app/version.h"
#include "app/windowsettings.h"
#include "vault/entrylist.h"
#include "vault/randomsource.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QDataStream>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>

namespace TestVault {

namespace {

// Lets event loops run again after a closed main window asked the application to quit.
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

// What the windows remember between runs, and Qt's file dialog history, go into a folder of
// this test process, never into the user's own config folder; each test starts without them.
void isolateWindowSettings()
{
    static QTemporaryDir config;
    static QTemporaryDir data;
    static const bool pointed = [] {
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path()));
        // Journals, merged copies and what the program keeps per computer, likewise.
        qputenv("XDG_DATA_HOME", QFile::encodeName(data.path()));
        // QSettings keeps the config folder it found first (the application object may have
        // asked already).
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, config.path());
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, config.path());
        return true;
    }();
    Q_UNUSED(pointed);
    QFile::remove(WindowSettings::filePath());
}

} // namespace

void prepare()
{
    initVaultryResources();
    isolateWindowSettings();
    clearQuitRequest();
    RandomSource::useSeed(12345);
}

Fixture::Fixture()
{
    prepare();
    if (!dir.isValid())
        qFatal("no temporary directory: %s", qPrintable(dir.errorString()));
}

bool Fixture::seed(const QStringList& categories, const QList<Entry>& entries)
{
    state.vault.reset(categories, entryList(entries));
    state.preferences.firstRun = false;
    const bool saved = store.save(state).ok;
    forget();
    return saved;
}

void Fixture::forget()
{
    clearQuitRequest();
    state.preferences = Preferences();
    state.vault.clear();
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

EntryList entryList(const QList<Entry>& entries)
{
    EntryList list;
    for (const Entry& entry : entries)
        list.append(entry);
    return list;
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

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

Payload readPayload(const QString& path)
{
    Payload payload;
    decodeStore(readFile(path), payload);
    return payload;
}

QStringList titlesAndPasswords(const EntryList& entries)
{
    QStringList list;
    for (const Entry& entry : entries)
        list << entry.title + QLatin1Char('/') + entry.password;
    list.sort();
    return list;
}

} // namespace TestVault
