// Adding and saving one entry through the real main window, over large vaults. Each
// iteration also runs the events the command leaves behind (the view's relayout and paint).
#include "app/mainwindow.h"
#include "app/version.h"
#include "samplevault.h"
#include "store/settingsstore.h"
#include "store/storestate.h"

#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTreeView>

#include <benchmark/benchmark.h>

#include <memory>

namespace {

// One window per vault size, kept while benchmarks of that size run: loading 100,000
// entries through the encrypted store takes far longer than the commands measured.
class Session
{
public:
    static Session& forSize(int count)
    {
        if (!current() || current()->count != count) {
            current().reset();
            current().reset(new Session(count));
        }
        return *current();
    }

    // The window must go before the application object does.
    static void release() { current().reset(); }

    template <typename T> T* widget(const char* name) const { return window->findChild<T*>(QLatin1String(name)); }
    qsizetype entryCount() const { return vaultState.vault.entries().size(); }
    void click(const char* name) const { widget<QPushButton>(name)->click(); }

    // Opens the first entry of the category shown at `row` of the sorted tree.
    void openFirstEntryOf(int row) const
    {
        auto* tree = widget<QTreeView>("treeView");
        const QModelIndex category = tree->model()->index(row, 0);
        tree->setCurrentIndex(tree->model()->index(0, 0, category));
        click("btnOpenEntry");
        QCoreApplication::processEvents();
    }

private:
    static std::unique_ptr<Session>& current()
    {
        static std::unique_ptr<Session> session;
        return session;
    }

    explicit Session(int count) : count(count)
    {
        vaultState.preferences.firstRun = false;
        fillSampleVault(vaultState.vault, count);
        store.save(vaultState);
        window = std::make_unique<MainWindow>(vaultState, store);
        window->show();
        QCoreApplication::processEvents();
    }

    QTemporaryDir dir;
    SettingsStore store{dir.path()};
    StoreState vaultState;
    int count;
    std::unique_ptr<MainWindow> window;
};

void BM_AddEntry(benchmark::State& state)
{
    Session& session = Session::forSize(int(state.range(0)));
    for (auto _ : state) {
        session.click("btnAddEntry");
        QCoreApplication::processEvents();
    }
    state.counters["entries"] = double(session.entryCount());
}

// Save with a new title each time, so the proxy moves the row within its category.
void BM_SaveEntry(benchmark::State& state)
{
    Session& session = Session::forSize(int(state.range(0)));
    session.openFirstEntryOf(10);
    auto* title = session.widget<QLineEdit>("txtEntryTitle");
    const QString titles[] = {QStringLiteral("Zzz last"), QStringLiteral("Aaa first")};
    int which = 0;
    for (auto _ : state) {
        title->setText(titles[which]);
        which ^= 1;
        session.click("btnSaveEntry");
        QCoreApplication::processEvents();
    }
}

// Save into the other of two categories each time: the row is removed and inserted again.
void BM_SaveEntryMove(benchmark::State& state)
{
    Session& session = Session::forSize(int(state.range(0)));
    session.openFirstEntryOf(20);
    auto* category = session.widget<QComboBox>("comboBoxCategory");
    const QString names[] = {QStringLiteral("Category 7"), QStringLiteral("Category 8")};
    int which = 0;
    for (auto _ : state) {
        category->setCurrentText(names[which]);
        which ^= 1;
        session.click("btnSaveEntry");
        QCoreApplication::processEvents();
    }
}

} // namespace

// Grouped by size, so each vault is built once.
BENCHMARK(BM_AddEntry)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SaveEntry)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SaveEntryMove)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AddEntry)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SaveEntry)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SaveEntryMove)->Arg(100000)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    initVaultryResources();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    Session::release();
    benchmark::Shutdown();
    return 0;
}
