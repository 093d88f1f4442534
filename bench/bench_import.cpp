// File > Import of a large file, step by step as the window takes it: reading the file and
// decoding it (the worker thread's part, up to the preview), then the merge as one Undo step
// into a vault shown by the window's models (tree, sorted filter, a tree view with the category
// expanded), then Undo. Times are wall clock; the peak is VmHWM above what the process held
// before the file was read, against the file's size, in MiB, and each step's own peak beside it.
//
//   bench_import --format csv --entries 1000000
//   bench_import --format xml --entries 100000
//
// Each run is one size in one process, so that the peak is its own.
#include "formats/csvformat.h"
#include "formats/importformats.h"
#include "formats/keepassxml.h"
#include "vault/filtermodel.h"
#include "vault/treemodel.h"
#include "vault/vault.h"
#include "vault/vaultcommands.h"

#include "memory.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTreeView>
#include <QUndoStack>

#include <algorithm>
#include <cstdio>

#include <sys/resource.h>

namespace {

// Rows as KeePassXC exports them: a few dozen groups, titles in no order, notes on some.
QByteArray makeCsv(int entries)
{
    QByteArray csv = R"("Group","Title","Username","Password","URL","Notes","TOTP","Icon","Last Modified","Created")"
                     "\n";
    csv.reserve(qsizetype(entries) * 150);
    for (int i = 0; i < entries; ++i) {
        const QByteArray n = QByteArray::number(qint64(i) * 7919 % entries);
        csv += "\"Root/Group " + QByteArray::number(i % 40) + "\",\"Site " + n + "\",\"user" + n +
               "@mail.example\",\"pw-" + n + "-Xq7!\",\"https://site" + n + ".example/login\",\"" +
               (i % 4 == 0 ? QByteArray("kept since 2019, \"\"card\"\" in the drawer") : QByteArray()) +
               "\",\"\",\"0\",\"2024-05-17T09:30:15Z\",\"2023-01-02T03:04:05Z\"\n";
    }
    return csv;
}

QByteArray makeXml(int entries)
{
    EntryList list;
    list.reserve(entries);
    for (int i = 0; i < entries; ++i) {
        Entry entry;
        const QString n = QString::number(qint64(i) * 7919 % entries);
        entry.title = QStringLiteral("Site ") + n;
        entry.category = QStringLiteral("Group %1").arg(i % 40);
        entry.account = QStringLiteral("user%1@mail.example").arg(n);
        entry.password = QStringLiteral("pw-%1-Xq7!").arg(n);
        entry.url = QStringLiteral("https://site%1.example/login").arg(n);
        entry.notes = i % 4 == 0 ? QStringLiteral("kept since 2019") : QString();
        list.append(std::move(entry));
    }
    return encodeKeePassXml(list, {});
}

double msSince(const QElapsedTimer& timer)
{
    return double(timer.nsecsElapsed()) / 1e6;
}

// The process's processor time (user and system, all threads), which a busy machine does not inflate.
double cpuMs()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
}

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addOption(
        {QStringLiteral("format"), QStringLiteral("csv or xml"), QStringLiteral("format"), QStringLiteral("csv")});
    parser.addOption(
        {QStringLiteral("entries"), QStringLiteral("rows in the file"), QStringLiteral("n"), QStringLiteral("100000")});
    parser.process(app);
    const bool xml = parser.value(QStringLiteral("format")) == QLatin1String("xml");
    const int entries = parser.value(QStringLiteral("entries")).toInt();

    // The file is made in memory and written, then dropped: the run reads it back as the window does.
    QTemporaryDir dir;
    const QString path = dir.filePath(xml ? QStringLiteral("in.xml") : QStringLiteral("in.csv"));
    qint64 fileSize = 0;
    {
        const QByteArray made = xml ? makeXml(entries) : makeCsv(entries);
        QFile out(path);
        if (!out.open(QIODevice::WriteOnly) || out.write(made) != made.size())
            return 1;
        fileSize = made.size();
    }

    // The window: a vault with one entry, its tree, the sorted filter and a view.
    Vault vault;
    vault.reset({QStringLiteral("General")}, EntryList());
    Entry local;
    local.title = QStringLiteral("Local");
    local.category = QStringLiteral("General");
    vault.addEntry(local);
    TreeModel tree(vault);
    FilterModel filter(vault);
    filter.setSourceModel(&tree);
    filter.sort(0, Qt::AscendingOrder);
    QTreeView view;
    view.setModel(&filter);
    view.resize(800, 600);
    view.show();
    QApplication::processEvents();
    QUndoStack undoStack;

    const long baseKb = statusKb("VmRSS");
    resetPeak();
    // The rise of each step's own high-water mark over the start; the largest is the peak.
    const auto phasePeakKb = [baseKb] {
        const long peak = statusKb("VmHWM") - baseKb;
        resetPeak();
        return peak;
    };
    QElapsedTimer total;
    total.start();
    const double cpuAtStart = cpuMs();

    // The worker's part: read, decode, match, plan.
    QElapsedTimer step;
    step.start();
    // CSV is read a piece at a time as it is decoded (as the window reads it), XML whole first.
    QFile in(path);
    if (!in.open(QIODevice::ReadOnly))
        return 1;
    QByteArray bytes;
    if (xml)
        bytes = in.readAll();
    const double readMs = msSince(step);
    const long readPeak = phasePeakKb();
    ImportProgress progress;
    QString readError;
    ImportedEntries read =
        xml ? decodeKeePassXml(bytes, &progress) : decodeCsvFile(in, nullptr, &progress, &readError).entries;
    bytes = QByteArray();
    in.close();
    const long decodePeak = phasePeakKb();
    if (!read.ok) {
        std::fprintf(stderr, "%s\n", qPrintable(read.error));
        return 1;
    }
    const double decodedMs = msSince(step);
    adoptMatchingIds(read.entries, vault.entries());
    const ImportPlan plan = planImport(read, vault.entries());
    const double toPreview = msSince(step);
    const double cpuToPreview = cpuMs() - cpuAtStart;
    const long planPeak = phasePeakKb();

    // Import: one step of the history, taken in by the models, the view laid out again.
    for (int row = 0; row < filter.rowCount(); ++row)
        view.expand(filter.index(row, 0));
    step.restart();
    Vault::MergeResult merged;
    undoStack.push(new ImportCommand(vault, std::move(read.entries), read.categories, &merged));
    read.entries = EntryList();
    QApplication::processEvents();
    const double toImported = msSince(step);
    const double wholeImport = msSince(total);
    const double cpuWhole = cpuMs() - cpuAtStart;
    const long mergePeak = phasePeakKb();
    const long heldKb = statusKb("VmRSS") - baseKb; // the imported vault, shown
    const long peakKb = std::max({readPeak, decodePeak, planPeak, mergePeak});

    step.restart();
    undoStack.undo();
    QApplication::processEvents();
    const double undoMs = msSince(step);
    step.restart();
    undoStack.redo();
    QApplication::processEvents();
    const double redoMs = msSince(step);

    std::printf(
        "%s, %d entries, file %.1f MiB: preview after %.0f ms (read %.0f, decoded %.0f); merged %d (%d "
        "categories) in %.0f ms; "
        "file to imported %.0f ms; processor time to preview %.0f ms, to imported %.0f ms; peak rise %.1f MiB = "
        "%.2f x file (read %.1f, decode %.1f, match and plan %.1f, merge %.1f MiB; held after %.1f MiB); undo %.0f ms, "
        "redo %.0f ms; "
        "shown %d entries\n",
        xml ? "KeePass XML" : "KeePassXC CSV", entries, double(fileSize) / 1048576.0, toPreview, readMs, decodedMs,
        merged.added, plan.categoriesReceiving, toImported, wholeImport, cpuToPreview, cpuWhole, double(peakKb) / 1024,
        double(peakKb) * 1024 / double(fileSize), double(readPeak) / 1024, double(decodePeak) / 1024,
        double(planPeak) / 1024, double(mergePeak) / 1024, double(heldKb) / 1024, undoMs, redoMs,
        int(vault.entries().size()));
    return merged.added == entries ? 0 : 1;
}
