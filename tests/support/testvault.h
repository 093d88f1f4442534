#pragma once

#include "vault/entry.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>

class EntryList;
class QDataStream;

// Helpers that put the process-wide vault into a known state.
namespace TestVault {

// Lets event loops run again after a closed main window asked the application to quit.
void clearQuitRequest();

// Start-up preferences, no categories, no entries, a seeded random source, and the store
// directory pointed at `storeDir` (when given).
void reset(const QString& storeDir = QString());

// An entry with every text set from `title`, in `category`, with fixed times.
Entry makeEntry(const QString& title, const QString& category, const QString& account = QString(),
                const QString& url = QString(), const QString& notes = QString(), const QString& password = QString());

// Appends names and entries to the vault lists.
void add(const QStringList& categories, const QList<Entry>& vaultEntries);

// Every field of each entry as one line, null texts marked, for comparing whole records.
QString describe(const Entry& entry);
QStringList describe(const QList<Entry>& list);
QStringList describe(const EntryList& list);

// Bytes written by a stream at the version every Vaultry file uses, for crafting files.
QByteArray streamBytes(const std::function<void(QDataStream&)>& write);

} // namespace TestVault
