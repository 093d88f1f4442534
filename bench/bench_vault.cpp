// Building the tree and re-filtering it on a keystroke, over vaults of growing size.
#include "samplevault.h"
#include "vault/filtermodel.h"
#include "vault/treemodel.h"

#include <QCoreApplication>

#include <benchmark/benchmark.h>

namespace {

void BM_BuildTree(benchmark::State& state)
{
    Vault vault;
    fillSampleVault(vault, int(state.range(0)));
    for (auto _ : state) {
        TreeModel model(vault);
        benchmark::DoNotOptimize(model.rowCount());
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

// Row counts of every category, as a fully expanded tree view asks for them; this makes the
// proxy map (and so filter) every entry row.
int visibleEntries(const FilterModel& filter)
{
    int total = 0;
    for (int row = 0; row < filter.rowCount(); ++row)
        total += filter.rowCount(filter.index(row, 0));
    return total;
}

// A new one-letter search on every keystroke, as the first key of a search is: the letters are
// taken in turn, so that each has left the filter's kept results (the last 16 texts) before it
// comes again and none contains another. Measures the scan of every entry and the proxy's pass
// over the rows, counting every category; bench_window measures whole keystrokes through the
// real window.
void BM_FilterKeystroke(benchmark::State& state)
{
    Vault vault;
    fillSampleVault(vault, int(state.range(0)));
    TreeModel model(vault);
    FilterModel filter(vault);
    filter.setDynamicSortFilter(true);
    filter.setSourceModel(&model);
    filter.setFilterCaseSensitivity(Qt::CaseInsensitive);
    filter.setFilterKeyColumn(0);
    filter.sort(0, Qt::AscendingOrder);
    const QString letters = QStringLiteral("abcdefghijklmnopqrstuvwxyz");
    int which = 0;
    visibleEntries(filter);
    for (auto _ : state) {
        filter.setFilterFixedString(letters.mid(which, 1));
        which = (which + 1) % letters.size();
        benchmark::DoNotOptimize(visibleEntries(filter));
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

} // namespace

BENCHMARK(BM_BuildTree)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
// Wall-clock time: the scan runs on two threads.
BENCHMARK(BM_FilterKeystroke)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond)->UseRealTime();

int main(int argc, char** argv)
{
    QCoreApplication application(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
