// Saving as the user goes, as the window meets it: how long the GUI thread is held up while the
// saver works, and how long a save takes in the background.
//   bench_autosave --entries 100000 [--seconds 10] [--edit-ms 200]
// The store is written, then loaded as the program loads it (texts in one shared block), and the
// saver started on it with its real delays. A 1 ms heartbeat on the GUI thread records the longest
// gap between its ticks while an entry is edited every --edit-ms milliseconds; the same run without
// the saver gives the edits' own share. Then single edits are timed from the change to the saver's
// "saved".
#include "samplevault.h"

#include "store/settingsstore.h"
#include "store/storestate.h"
#include "sync/autosaver.h"
#include "sync/fileread.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>

namespace {

struct StallFigures
{
    double longestGapMs = 0;
    double longestEditMs = 0;
    int saves = 0;
    int edits = 0;
};

// Edits entry `serial` of the vault in place, as Save in the details panel does.
void editOne(Vault& vault, int serial)
{
    const EntryList& entries = vault.entries();
    Entry entry = entries.at(serial % entries.size());
    entry.notes = QStringLiteral("Edited %1").arg(serial);
    entry.dateChanged = QDateTime::currentDateTime();
    vault.saveEntry(entry, entry.category);
}

StallFigures runEdits(StoreState& state, AutoSaver* saver, int seconds, int editMs)
{
    StallFigures figures;
    QElapsedTimer clock;
    clock.start();
    qint64 lastTick = clock.nsecsElapsed();
    QTimer heartbeat;
    heartbeat.setTimerType(Qt::PreciseTimer);
    heartbeat.setInterval(1);
    QObject::connect(&heartbeat, &QTimer::timeout, [&] {
        const qint64 now = clock.nsecsElapsed();
        figures.longestGapMs = std::max(figures.longestGapMs, (now - lastTick) / 1e6);
        lastTick = now;
    });
    QTimer editor;
    editor.setInterval(editMs);
    QObject::connect(&editor, &QTimer::timeout, [&] {
        QElapsedTimer edit;
        edit.start();
        editOne(state.vault, figures.edits++);
        figures.longestEditMs = std::max(figures.longestEditMs, edit.nsecsElapsed() / 1e6);
    });
    QMetaObject::Connection counted;
    if (saver)
        counted = QObject::connect(saver, &AutoSaver::saved, [&] { ++figures.saves; });
    QEventLoop loop;
    QTimer::singleShot(seconds * 1000, &loop, &QEventLoop::quit);
    heartbeat.start();
    editor.start();
    loop.exec();
    QObject::disconnect(counted);
    return figures;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication application(argc, argv);
    int entries = 100000;
    int seconds = 10;
    int editMs = 200;
    const QStringList args = application.arguments();
    for (int i = 1; i + 1 < args.size(); i += 2) {
        if (args.at(i) == QLatin1String("--entries"))
            entries = args.at(i + 1).toInt();
        else if (args.at(i) == QLatin1String("--seconds"))
            seconds = args.at(i + 1).toInt();
        else if (args.at(i) == QLatin1String("--edit-ms"))
            editMs = args.at(i + 1).toInt();
    }

    QTemporaryDir dir;
    {
        StoreState made;
        fillSampleVault(made.vault, entries);
        SettingsStore(dir.path()).save(made);
    }
    StoreState state;
    SettingsStore store(dir.path());
    store.lock();
    const StoreLoadResult loaded = store.load(state);
    std::printf("%d entries, store %.1f MB\n", entries, loaded.fingerprint.size / 1e6);

    const StallFigures alone = runEdits(state, nullptr, seconds, editMs);
    std::printf("  without the saver: longest GUI gap %.2f ms, longest edit %.2f ms (%d edits)\n", alone.longestGapMs,
                alone.longestEditMs, alone.edits);

    // Back to the file's vault, as the window has it when the saver starts.
    const StoreLoadResult reloaded = store.load(state);
    AutoSaver saver(state, store);
    saver.start(snapshotOf(state), reloaded.fingerprint);
    const StallFigures saving = runEdits(state, &saver, seconds, editMs);
    std::printf("  with the saver:    longest GUI gap %.2f ms, longest edit %.2f ms (%d edits, %d saves)\n",
                saving.longestGapMs, saving.longestEditMs, saving.edits, saving.saves);
    saver.flush();

    // One edit at a time, from the change to the file on disk, with no delay before the round.
    saver.setSaveDelay(0);
    QList<double> saveMs;
    for (int run = 0; run < 5; ++run) {
        QElapsedTimer timer;
        QEventLoop loop;
        const auto done = QObject::connect(&saver, &AutoSaver::saved, &loop, &QEventLoop::quit);
        timer.start();
        editOne(state.vault, 1000 + run);
        loop.exec();
        QObject::disconnect(done);
        saveMs << timer.nsecsElapsed() / 1e6;
    }
    std::sort(saveMs.begin(), saveMs.end());
    std::printf("  background save, change to saved: median %.0f ms, worst %.0f ms\n", saveMs.at(saveMs.size() / 2),
                saveMs.last());

    // The same file written straight by the store, for what the saver adds to it.
    QList<double> plainMs;
    for (int run = 0; run < 3; ++run) {
        QElapsedTimer timer;
        timer.start();
        store.save(snapshotOf(state));
        plainMs << timer.nsecsElapsed() / 1e6;
    }
    std::sort(plainMs.begin(), plainMs.end());
    std::printf("  the store's own save (encode, encrypt, write, fsync): median %.0f ms\n", plainMs.at(1));
    return 0;
}
