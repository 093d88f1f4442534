#pragma once

#include "store/payload.h"
#include "store/settingsstore.h"
#include "store/storestate.h"
#include "vault/entry.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <functional>

class EntryList;
class QDataStream;

namespace TestVault {

// What every test starts from: the resources loaded, no quit request left by a closed main
// window, the random source seeded, and nothing remembered by the windows (their settings
// file lives in a temporary config folder of the test process).
void prepare();

// One test's store: a directory of its own, the settings store in it, and the state the
// program would own. One per directory, since the store keeps its directory locked while
// it lives; a main window made over it outlives neither.
class Fixture
{
public:
    Fixture();

    QTemporaryDir dir;
    SettingsStore store{dir.path()};
    StoreState state;

    QString path(const QString& name) const { return dir.filePath(name); }

    // Writes a store holding these names and entries as they are, with the preferences set so
    // far and the first run done, then forgets the state in memory, so that the next window
    // starts from the file alone.
    bool seed(const QStringList& categories = QStringList(), const QList<Entry>& entries = QList<Entry>());
    // Start-up preferences, an empty vault and no quit request, as in a program just started.
    void forget();
};

// An entry with every text set from `title`, in `category`, with fixed times.
Entry makeEntry(const QString& title, const QString& category, const QString& account = QString(),
                const QString& url = QString(), const QString& notes = QString(), const QString& password = QString());

EntryList entryList(const QList<Entry>& entries);

// Every field of each entry as one line, null texts marked, for comparing whole records.
QString describe(const Entry& entry);
QStringList describe(const QList<Entry>& list);
QStringList describe(const EntryList& list);

// A file's bytes; empty when it cannot be read.
QByteArray readFile(const QString& path);
// The payload of the store file at `path` (sealed in the ordinary form), as far as it reads.
Payload readPayload(const QString& path);
// Each entry as "title/password", sorted.
QStringList titlesAndPasswords(const EntryList& entries);

// Bytes written by a stream at the version every Vaultry file uses, for crafting files.
QByteArray streamBytes(const std::function<void(QDataStream&)>& write);

} // namespace TestVault
