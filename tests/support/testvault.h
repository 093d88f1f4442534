#pragma once

#include "vault/entry.h"

#include <QString>
#include <QTemporaryDir>

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

} // namespace TestVault
