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

// Alternating between two texts: both stay in the filter's cache of recent results, so this
// measures the proxy's pass over the rows (counting every category) without the scan of the
// entries; bench_window measures whole keystrokes through the real window.
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
    const QString texts[] = {QStringLiteral("site1"), QStringLiteral("site12")};
    int which = 0;
    visibleEntries(filter);
    for (auto _ : state) {
        filter.setFilterFixedString(texts[which]);
        which ^= 1;
        benchmark::DoNotOptimize(visibleEntries(filter));
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

} // namespace

BENCHMARK(BM_BuildTree)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FilterKeystroke)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv)
{
    QCoreApplication application(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
