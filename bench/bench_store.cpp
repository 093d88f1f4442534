// Saving and loading the settings store, with the memory a load needs at its peak.
// Run one size per process for a clean peak, e.g.
//   bench_store --benchmark_filter='BM_LoadStore/entries:100000/cores:0'
#include "store/protectedstore.h"
#include "store/settingsstore.h"
#include "store/storestate.h"

#include "cores.h"
#include "memory.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>
#include <malloc.h>

#include <cstdio>
#include <cstring>

namespace {

// Field sizes of a typical vault: a 30-character id, a title, a short category, an address,
// an account and a password, and notes on one entry in four. About 300 bytes an entry.
void fillVault(Vault& vault, int count)
{
    QStringList categoryNames;
    for (int c = 0; c < 20; ++c)
        categoryNames.append(QStringLiteral("Category %1").arg(c));
    EntryList entries;
    const QDateTime created(QDate(2023, 4, 1), QTime(8, 15));
    for (int i = 0; i < count; ++i) {
        Entry entry(Entry::NoId);
        entry.id = QStringLiteral("%1").arg(i, 30, 36, QLatin1Char('k'));
        entry.title = QStringLiteral("Account number %1").arg(i, 6, 10, QLatin1Char('0'));
        entry.category = categoryNames.at(i % categoryNames.size());
        entry.url = QStringLiteral("https://login.example.com/%1").arg(i, 6, 10, QLatin1Char('0'));
        entry.account = QStringLiteral("user%1@mail.example").arg(i);
        entry.password = QStringLiteral("pW%1!x#Qz9").arg(i * 7919, 6, 16, QLatin1Char('0'));
        if (i % 4 == 0)
            entry.notes = QStringLiteral("Security question: first pet's name");
        entry.dateCreated = created.addSecs(i * 60);
        // Most entries are edited at some point after they were made.
        entry.dateChanged = i % 3 == 0 ? entry.dateCreated : entry.dateCreated.addDays(30);
        entries.append(entry);
    }
    vault.reset(categoryNames, std::move(entries));
}

void clearVault(Vault& vault)
{
    vault.clear();
    malloc_trim(0);
}

void BM_SaveStore(benchmark::State& state)
{
    QTemporaryDir dir;
    SettingsStore store(dir.path());
    StoreState vaultState;
    fillVault(vaultState.vault, int(state.range(0)));
    resetPeak();
    const long before = statusKb("VmRSS");
    for (auto _ : state) {
        if (!store.save(vaultState).ok)
            state.SkipWithError("save failed");
    }
    const long peakKb = statusKb("VmHWM") - before;
    const double fileMb = QFileInfo(store.filePath()).size() / 1e6;
    state.counters["file_MB"] = fileMb;
    state.counters["peak_MB"] = peakKb / 1e3; // beyond the vault itself
    state.counters["MB_per_s"] = benchmark::Counter(fileMb, benchmark::Counter::kIsIterationInvariantRate);
    clearVault(vaultState.vault);
}

// Args: entries, cores (0: all). Loading decrypts each 1 MiB piece on two threads; on one core
// they take turns, so the two figures of a size compare the sharing in the same run.
void BM_LoadStore(benchmark::State& state)
{
    QTemporaryDir dir;
    SettingsStore store(dir.path());
    StoreState vaultState;
    fillVault(vaultState.vault, int(state.range(0)));
    store.save(vaultState);
    const qint64 fileBytes = QFileInfo(store.filePath()).size();
    clearVault(vaultState.vault);
    const Cores cores(int(state.range(1)));
    resetPeak();
    const long before = statusKb("VmRSS");
    for (auto _ : state) {
        if (store.load(vaultState).outcome != StoreLoadResult::Loaded)
            state.SkipWithError("load failed");
        state.PauseTiming();
        if (vaultState.vault.entries().size() != state.range(0))
            state.SkipWithError("wrong entry count");
        clearVault(vaultState.vault); // each load starts from an empty vault, as at start-up
        state.ResumeTiming();
    }
    const long peakKb = statusKb("VmHWM") - before;
    state.counters["file_MB"] = fileBytes / 1e6;
    state.counters["peak_MB"] = peakKb / 1e3;
    state.counters["peak_x_file"] = peakKb * 1e3 / double(fileBytes);
}

// Unlocking a protected store: read, decrypt and parse. The key derivation, which takes the
// second that protection is tuned for whatever the vault's size, is left out by the cheapest
// limits a file may have.
void BM_LoadProtectedStore(benchmark::State& state)
{
    QTemporaryDir dir;
    SettingsStore store(dir.path());
    store.setKdfCalibration([] { return kLowestKdfLimits; });
    store.setPasswordPrompt([](bool again, QString& password) {
        password = QStringLiteral("bench");
        return !again;
    });
    StoreState vaultState;
    fillVault(vaultState.vault, int(state.range(0)));
    if (!store.protect(QStringLiteral("bench")) || !store.save(vaultState).ok)
        state.SkipWithError("save failed");
    const qint64 fileBytes = QFileInfo(store.filePath()).size();
    clearVault(vaultState.vault);
    resetPeak();
    const long before = statusKb("VmRSS");
    for (auto _ : state) {
        if (store.load(vaultState).outcome != StoreLoadResult::Loaded)
            state.SkipWithError("load failed");
        state.PauseTiming();
        if (vaultState.vault.entries().size() != state.range(0))
            state.SkipWithError("wrong entry count");
        clearVault(vaultState.vault);
        state.ResumeTiming();
    }
    const long peakKb = statusKb("VmHWM") - before;
    state.counters["file_MB"] = fileBytes / 1e6;
    state.counters["peak_MB"] = peakKb / 1e3;
}

} // namespace

// Wall-clock time: both spread the cipher over threads.
BENCHMARK(BM_SaveStore)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_LoadStore)
    ->ArgNames({"entries", "cores"})
    ->Args({10000, 0})
    ->Args({100000, 1})
    ->Args({100000, 0})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

BENCHMARK(BM_LoadProtectedStore)->ArgName("entries")->Arg(100000)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
