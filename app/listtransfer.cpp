#include "app/mainwindow.h"

#include "app/accesskeys.h"
#include "app/csvmappingdialog.h"
#include "app/importpreviewdialog.h"
#include "app/windowsettings.h"
#include "formats/bitwardenjson.h"
#include "formats/csvformat.h"
#include "formats/keepassxml.h"
#include "store/listfile.h"
#include "store/securefile.h"
#include "store/storestate.h"
#include "ui_mainwindow.h"
#include "vault/vaultcommands.h"

#include <QAction>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QInputDialog>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QShortcut>
#include <QStatusBar>
#include <QTimer>
#include <QUndoStack>

#include <new>
#include <thread>

namespace {

QString tr(const char* text)
{
    return QCoreApplication::translate("MainWindow", text);
}

// The formats File > Export writes, in the order the file dialog offers them.
enum class ExportFormat
{
    List,
    KeePassXcCsv,
    KeePassXml,
};

struct ExportChoice
{
    ExportFormat format;
    const char* filter;
    const char* suffix;
};

const ExportChoice kExportChoices[] = {
    {ExportFormat::List, QT_TRANSLATE_NOOP("MainWindow", "Vaultry files (*.vydl)"), "vydl"},
    {ExportFormat::KeePassXcCsv, QT_TRANSLATE_NOOP("MainWindow", "KeePassXC CSV, unencrypted (*.csv)"), "csv"},
    {ExportFormat::KeePassXml, QT_TRANSLATE_NOOP("MainWindow", "KeePass 2 XML, unencrypted (*.xml)"), "xml"},
};

// The formats File > Import reads, in the order the file dialog offers them. The first (shown
// as the dialog opens) and "All files" leave the format to the content; the first reads what it
// cannot recognise as a list, so that a damaged list is reported as one.
struct ImportChoice
{
    TransferFormat format;
    const char* filter;
    TransferFormat unrecognisedAs = TransferFormat::Unknown;
};

const ImportChoice kImportChoices[] = {
    {TransferFormat::Unknown,
     QT_TRANSLATE_NOOP("MainWindow", "Every format Vaultry imports (*.vydl *.csv *.json *.xml)"),
     TransferFormat::VaultryList},
    {TransferFormat::VaultryList, QT_TRANSLATE_NOOP("MainWindow", "Vaultry files (*.vydl)")},
    {TransferFormat::Csv,
     QT_TRANSLATE_NOOP("MainWindow", "CSV from KeePassXC, Bitwarden, Chrome, Edge, Firefox (*.csv)")},
    {TransferFormat::BitwardenJson, QT_TRANSLATE_NOOP("MainWindow", "Bitwarden JSON, unencrypted (*.json)")},
    {TransferFormat::KeePassXml, QT_TRANSLATE_NOOP("MainWindow", "KeePass 2 XML (*.xml)")},
    {TransferFormat::Unknown, QT_TRANSLATE_NOOP("MainWindow", "All files (*)")},
};

// The file dialog's title says which format the chosen filter reads or writes.
QString importTitle(TransferFormat format)
{
    switch (format) {
    case TransferFormat::VaultryList:
        return tr("Import Vaultry list");
    case TransferFormat::Csv:
        return tr("Import CSV");
    case TransferFormat::BitwardenJson:
        return tr("Import Bitwarden JSON");
    case TransferFormat::KeePassXml:
        return tr("Import KeePass 2 XML");
    default:
        return tr("Import into Vaultry");
    }
}

QString exportTitle(ExportFormat format)
{
    switch (format) {
    case ExportFormat::KeePassXcCsv:
        return tr("Export KeePassXC CSV");
    case ExportFormat::KeePassXml:
        return tr("Export KeePass 2 XML");
    case ExportFormat::List:
        break;
    }
    return tr("Export Vaultry list");
}

template <typename Choice, size_t N> QStringList filtersOf(const Choice (&choices)[N])
{
    QStringList filters;
    for (const Choice& choice : choices)
        filters << tr(choice.filter);
    return filters;
}

template <typename Choice, size_t N> const Choice& chosen(const Choice (&choices)[N], const QString& filter)
{
    for (const Choice& choice : choices) {
        if (tr(choice.filter) == filter)
            return choice;
    }
    return choices[0];
}

// "1 entry", "2 entries".
QString countOf(int count, const char* one, const char* many)
{
    return count == 1 ? tr(one) : tr(many).arg(count);
}

// Asks for the list password twice; false when the user cancelled.
bool askListPassword(QWidget* parent, QString& password)
{
    bool confirmed = false;
    password =
        QInputDialog::getText(parent, tr("Vaultry list password"), tr("Enter a password to lock the exported list."),
                              QLineEdit::Password, QString(), &confirmed);
    // Cancel ends the export; an empty password confirmed with OK is allowed.
    if (!confirmed)
        return false;
    for (;;) {
        const QString again = QInputDialog::getText(parent, tr("Vaultry list password"), tr("Re-enter the password."),
                                                    QLineEdit::Password, QString(), &confirmed);
        if (!confirmed)
            return false;
        if (again == password)
            return true;
    }
}

// What reading another manager's file on the worker thread gave.
struct ForeignRead
{
    QString readError; // the file could not be read
    CsvImport csv;     // for CSV: the status, layout and columns; entries below
    ImportedEntries read;
    ImportPlan plan;
};

// Reads the rest of `file` (whose first bytes are `head`), decodes it as `format` (through
// `mapping` for CSV, if given), matches it against `existing` and plans the merge. Runs on a
// worker thread: touches nothing but its arguments.
ForeignRead readForeign(QFile& file, QByteArray head, TransferFormat format, const CsvColumnMapping* mapping,
                        const EntryList& existing, ImportProgress& progress, std::atomic<int>& phase)
{
    ForeignRead result;
    if (format == TransferFormat::Csv) {
        // Read a piece at a time: the file is not held whole beside the entries made of it.
        phase = 1;
        result.csv = decodeCsvFile(file, mapping, &progress, &result.readError);
        result.read = std::move(result.csv.entries);
        result.csv.entries = ImportedEntries();
        if (!result.readError.isEmpty() || !result.read.ok || progress.cancelled)
            return result;
        adoptMatchingIds(result.read.entries, existing);
        result.plan = planImport(result.read, existing);
        return result;
    }
    QByteArray bytes = std::move(head);
    const qint64 size = file.size();
    progress.total = size;
    if (bytes.size() < size) {
        bytes.resize(qsizetype(size));
        qint64 at = file.pos();
        while (at < size) {
            const qint64 got = file.read(bytes.data() + at, qMin(size - at, qint64(4) << 20));
            if (got <= 0)
                break;
            at += got;
            progress.done = at;
            if (progress.cancelled)
                return result;
        }
        if (at < size) {
            result.readError = file.errorString();
            return result;
        }
    }
    phase = 1;
    progress.done = 0;
    switch (format) {
    case TransferFormat::BitwardenJson:
        result.read = decodeBitwardenJson(bytes, &progress);
        break;
    case TransferFormat::KeePassXml:
        result.read = decodeKeePassXml(bytes, &progress);
        break;
    default:
        result.read.error = QStringLiteral("the format is not one Vaultry imports");
        break;
    }
    bytes = QByteArray(); // before the plan, which needs memory of its own
    if (!result.read.ok || progress.cancelled)
        return result;
    // Fresh ids would bring the same entry in again with every import of the same file.
    adoptMatchingIds(result.read.entries, existing);
    result.plan = planImport(result.read, existing);
    return result;
}

// Runs readForeign on a worker thread while the status bar shows its progress with a Cancel
// button. False when cancelled.
bool readWithProgress(QStatusBar* bar, const QString& path, QFile& file, const QByteArray& head, TransferFormat format,
                      const CsvColumnMapping* mapping, const EntryList& existing, ForeignRead& result)
{
    ImportProgress progress;
    std::atomic<int> phase{0};
    std::atomic<bool> finished{false};
    std::thread worker([&] {
        try {
            result = readForeign(file, head, format, mapping, existing, progress, phase);
        } catch (const std::bad_alloc&) {
            // A file too large for the memory left: said so, and the vault stays as it is.
            result = ForeignRead();
            result.readError = tr("There is not enough memory to read a file this large.");
        }
        finished = true;
    });

    auto* box = new QWidget(bar);
    box->setObjectName(QStringLiteral("importProgress"));
    auto* layout = new QHBoxLayout(box);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* label = new QLabel(tr("Reading %1…").arg(QFileInfo(path).fileName()), box);
    auto* progressBar = new QProgressBar(box);
    progressBar->setObjectName(QStringLiteral("importProgressBar"));
    progressBar->setRange(0, 1000);
    progressBar->setMaximumWidth(200);
    auto* cancel = new QPushButton(tr("Cancel"), box);
    cancel->setObjectName(QStringLiteral("btnCancelImport"));
    layout->addWidget(label);
    layout->addWidget(progressBar);
    layout->addWidget(cancel);
    bar->addPermanentWidget(box);
    QObject::connect(cancel, &QPushButton::clicked, box, [&progress, cancel] {
        progress.cancelled = true;
        cancel->setEnabled(false);
    });

    QEventLoop loop;
    QTimer poll;
    poll.setInterval(30);
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        const qint64 total = qMax<qint64>(1, progress.total);
        // Reading the file is the first fifth of the work, decoding the rest.
        const double part = double(qMin<qint64>(progress.done, total)) / double(total);
        progressBar->setValue(int(phase == 0 ? 200 * part : 200 + 800 * part));
        if (finished)
            loop.quit();
    });
    poll.start();
    loop.exec();
    worker.join();

    delete box;
    return !progress.cancelled;
}

} // namespace

void MainWindow::on_action_Export_triggered()
{
    WindowSettings settings;
    QFileDialog chooser(this, tr("Export Vaultry list"), settings.listFolder(),
                        filtersOf(kExportChoices).join(QStringLiteral(";;")));
    chooser.setAcceptMode(QFileDialog::AcceptSave);
    // A name typed without a suffix gets the chosen format's, so that the import dialog lists the file.
    chooser.setDefaultSuffix(QStringLiteral("vydl"));
    chooser.selectFile(QStringLiteral("data.vydl"));
    connect(&chooser, &QFileDialog::filterSelected, &chooser, [&chooser](const QString& filter) {
        chooser.setDefaultSuffix(QString::fromLatin1(chosen(kExportChoices, filter).suffix));
        chooser.setWindowTitle(exportTitle(chosen(kExportChoices, filter).format));
    });
    if (chooser.exec() != QDialog::Accepted || chooser.selectedFiles().isEmpty())
        return;
    const QString path = chooser.selectedFiles().constFirst();
    settings.rememberListFile(path);
    const ExportFormat format = chosen(kExportChoices, chooser.selectedNameFilter()).format;
    const QString shownPath = QDir::toNativeSeparators(path);

    WriteResult written;
    if (format == ExportFormat::List) {
        QString password;
        if (!askListPassword(this, password))
            return;
        const ListWriteResult list = writeListFile(path, state.vault.entries(), password);
        written = {list.ok, list.reason};
    } else {
        if (format == ExportFormat::KeePassXml) {
            // XML cannot hold most control characters: say which entries lose theirs before writing.
            const QStringList affected = entriesXmlCannotCarry(state.vault.entries());
            if (!affected.isEmpty()) {
                QStringList shown = affected.mid(0, 10);
                if (affected.size() > shown.size())
                    shown << tr("and %1 more").arg(affected.size() - shown.size());
                const auto answer = QMessageBox::warning(this, tr("Vaultry Export"),
                                                         tr("KeePass 2 XML cannot hold control characters; in these "
                                                            "entries they will be written as the replacement character "
                                                            "\uFFFD:\n%1\nExport anyway?")
                                                             .arg(shown.join(QLatin1Char('\n'))),
                                                         QMessageBox::Save | QMessageBox::Cancel, QMessageBox::Cancel);
                if (answer != QMessageBox::Save)
                    return;
            }
        }
        QMessageBox warning(
            QMessageBox::Warning, tr("Vaultry Export"),
            tr("%1 will hold every password unencrypted: anyone who can read the file can read them all.\n"
               "Keep it only as long as you need it, then delete it.")
                .arg(shownPath),
            QMessageBox::Save | QMessageBox::Cancel, this);
        warning.setDefaultButton(QMessageBox::Cancel);
        setAccessKeys(warning);
        if (warning.exec() != QMessageBox::Save)
            return;
        written = writeSecretFile(path, format == ExportFormat::KeePassXcCsv
                                            ? encodeKeePassXcCsv(state.vault.entries())
                                            : encodeKeePassXml(state.vault.entries(), state.vault.categoryNames()));
    }
    if (!written.ok) {
        QMessageBox::warning(this, tr("Vaultry Export"),
                             tr("The list could not be written to %1:\n%2").arg(shownPath, written.reason));
        return;
    }
    const qsizetype count = state.vault.entries().size();
    statusBar()->showMessage(count == 1 ? tr("Exported 1 entry to %1.").arg(shownPath)
                                        : tr("Exported %1 entries to %2.").arg(count).arg(shownPath),
                             kStatusMessageMs);
    QMessageBox::information(this, tr("Vaultry Export"), tr("Export complete."));
}

void MainWindow::on_action_Import_triggered()
{
    WindowSettings settings;
    QFileDialog chooser(this, importTitle(kImportChoices[0].format), settings.listFolder(),
                        filtersOf(kImportChoices).join(QStringLiteral(";;")));
    connect(&chooser, &QFileDialog::filterSelected, &chooser, [&chooser](const QString& filter) {
        chooser.setWindowTitle(importTitle(chosen(kImportChoices, filter).format));
    });
    chooser.setAcceptMode(QFileDialog::AcceptOpen);
    chooser.setFileMode(QFileDialog::ExistingFile);
    if (chooser.exec() != QDialog::Accepted || chooser.selectedFiles().isEmpty())
        return;
    const QString path = chooser.selectedFiles().constFirst();
    settings.rememberListFile(path);
    const ImportChoice& choice = chosen(kImportChoices, chooser.selectedNameFilter());
    const TransferFormat chosenFormat = choice.format;

    const QString shownPath = QDir::toNativeSeparators(path);
    // Only the start is read before the format is judged, so that a huge file that is no text
    // is turned away at once.
    if (!QFileInfo::exists(path)) {
        QMessageBox::warning(this, tr("Vaultry Import"), tr("%1 does not exist. Nothing was imported.").arg(shownPath));
        return;
    }
    QFile file(path);
    QString reason;
    QByteArray head;
    if (openRegularFile(file, &reason)) {
        head = file.read(kHeadBytes);
        if (head.size() < qMin(file.size(), kHeadBytes))
            reason = file.errorString();
        else if (file.size() > kMaxListFileBytes)
            reason = tr("The file is larger than 1 GiB.");
    }
    if (!reason.isEmpty()) {
        QMessageBox::warning(this, tr("Vaultry Import"),
                             tr("%1 could not be read:\n%2\nNothing was imported.").arg(shownPath, reason));
        return;
    }

    // The content has the last word where it is unmistakable. CSV has no mark of its own: text
    // chosen as XML or JSON is left to that reader to judge, but text is never a list file.
    const TransferFormat found = recogniseFormat(head, file.size());
    TransferFormat format = chosenFormat;
    const QString problem = textProblem(head, file.size());
    if (chosenFormat == TransferFormat::Unknown) {
        // What is no text is a list only by its name: a damaged list is then reported as one.
        format = found != TransferFormat::Unknown                             ? found
                 : path.endsWith(QLatin1String(".vydl"), Qt::CaseInsensitive) ? choice.unrecognisedAs
                                                                              : TransferFormat::Unknown;
        if (format == TransferFormat::Unknown) {
            QMessageBox::warning(this, tr("Vaultry Import"),
                                 tr("%1 is in none of the formats Vaultry imports (Vaultry list, CSV, Bitwarden "
                                    "JSON, KeePass 2 XML)%2. Nothing was imported.")
                                     .arg(shownPath, problem.isEmpty() ? QString() : QStringLiteral(": ") + problem));
            return;
        }
    } else if (found != chosenFormat && found != TransferFormat::Unknown &&
               (found != TransferFormat::Csv || chosenFormat == TransferFormat::VaultryList)) {
        QMessageBox::warning(this, tr("Vaultry Import"),
                             tr("%1 is not a %2 file; it looks like a %3 file. Nothing was imported.")
                                 .arg(shownPath, transferFormatName(chosenFormat), transferFormatName(found)));
        return;
    }
    if (format != TransferFormat::VaultryList && !problem.isEmpty()) {
        QMessageBox::warning(this, tr("Vaultry Import"),
                             tr("%1 could not be imported as %2:\n%3\nNothing was imported.")
                                 .arg(shownPath, transferFormatName(format), problem));
        return;
    }
    if (format != TransferFormat::VaultryList) {
        importForeign(path, file, head, format);
        return;
    }
    file.close();
    const ListReadResult listFile = readListFile(path);
    if (listFile.status != ListReadResult::Ok) {
        QMessageBox::warning(this, tr("Vaultry Import"),
                             tr("%1 could not be read:\n%2\nNothing was imported.").arg(shownPath, listFile.reason));
        return;
    }
    if (format == TransferFormat::VaultryList) {
        bool confirmed = false;
        const QString password = QInputDialog::getText(this, tr("Vaultry list password"),
                                                       tr("Enter a password to unlock the imported list."),
                                                       QLineEdit::Password, QString(), &confirmed);
        if (!confirmed)
            return;
        const ListDecodeResult list = decodeList(listFile.bytes, password);
        switch (list.status) {
        case ListDecodeResult::Ok:
            break;
        case ListDecodeResult::WrongPassword:
            QMessageBox::warning(this, tr("Vaultry Import"),
                                 tr("The password does not unlock %1. Nothing was imported.").arg(shownPath));
            return;
        case ListDecodeResult::Damaged:
        case ListDecodeResult::Unreadable:
            QMessageBox::warning(this, tr("Vaultry Import"),
                                 tr("%1 is damaged or is not a Vaultry list. Nothing was imported.").arg(shownPath));
            return;
        }
        // One step of the history takes the whole import back.
        Vault::MergeResult merged;
        undoStack->push(new ImportCommand(state.vault, list.entries, QStringList(), &merged));
        refreshView();
        QString report = merged.added == 1 ? tr("Imported 1 entry") : tr("Imported %1 entries").arg(merged.added);
        if (merged.skipped > 0)
            report += merged.skipped == 1 ? tr("; 1 was already in the vault")
                                          : tr("; %1 were already in the vault").arg(merged.skipped);
        statusBar()->showMessage(report + QLatin1Char('.'), kStatusMessageMs);
        return;
    }
}

// Reads another manager's file off the window's thread, asks for the columns of a CSV table of
// unknown layout, shows the preview and merges as one step of the history.
void MainWindow::importForeign(const QString& path, QFile& file, const QByteArray& head, TransferFormat format)
{
    const QString shownPath = QDir::toNativeSeparators(path);
    const EntryList existing = state.vault.entries(); // a copy the worker may read
    ForeignRead result;
    // Nothing may change the vault while the file is read: the window's contents, commands and
    // keys are off meanwhile, as while locked.
    QList<QObject*> parts;
    for (QWidget* part : form->centralWidget->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        if (part != lockPage)
            parts << part;
    }
    for (QAction* action : findChildren<QAction*>())
        parts << action;
    for (QShortcut* shortcut : findChildren<QShortcut*>())
        parts << shortcut;
    QList<QObject*> disabled;
    for (QObject* part : std::as_const(parts)) {
        if (part->property("enabled").toBool()) {
            part->setProperty("enabled", false);
            disabled << part;
        }
    }
    const auto read = [&](const CsvColumnMapping* mapping) {
        const bool done =
            readWithProgress(statusBar(), path, file, mapping ? QByteArray() : head, format, mapping, existing, result);
        for (QObject* part : std::as_const(disabled))
            part->setProperty("enabled", true);
        if (windowLocked) {
            // Locked meanwhile: what was off for the reading stays off until unlocked.
            const QList<QObject*> offWhileLocked = disabledWhileLocked;
            showLockedPage(true);
            disabledWhileLocked += offWhileLocked;
        }
        if (!done)
            statusBar()->showMessage(tr("Import cancelled; nothing was imported."), kStatusMessageMs);
        return done && !windowLocked && !closed;
    };
    if (!read(nullptr))
        return;
    QString formatName = transferFormatName(format);
    if (format == TransferFormat::Csv && result.read.error.isEmpty() && result.csv.status == CsvImport::NeedsMapping) {
        CsvMappingDialog dialog(result.csv.columns, result.csv.firstRow, this);
        if (dialog.exec() != QDialog::Accepted)
            return;
        const CsvColumnMapping mapping = dialog.mapping();
        file.seek(0);
        for (QObject* part : std::as_const(disabled))
            part->setProperty("enabled", false);
        if (!read(&mapping))
            return;
    }
    if (format == TransferFormat::Csv)
        formatName = csvLayoutName(result.csv.layout);
    file.close();
    if (!result.readError.isEmpty()) {
        QMessageBox::warning(this, tr("Vaultry Import"),
                             tr("%1 could not be read:\n%2\nNothing was imported.").arg(shownPath, result.readError));
        return;
    }
    if (!result.read.ok) {
        QMessageBox::warning(this, tr("Vaultry Import"),
                             tr("%1 could not be imported as %2:\n%3\nNothing was imported.")
                                 .arg(shownPath, transferFormatName(format), result.read.error));
        return;
    }
    ImportPreviewDialog preview(QFileInfo(path).fileName(), formatName, result.plan, this);
    if (preview.exec() != QDialog::Accepted)
        return;

    Vault::MergeResult merged;
    undoStack->push(new ImportCommand(state.vault, std::move(result.read.entries), result.read.categories, &merged));
    result.read.entries = EntryList();
    refreshView();
    const ImportPlan& plan = result.plan;
    QString report = merged.added == 0 ? tr("Imported no entries")
                                       : tr("Imported %1 into %2")
                                             .arg(countOf(merged.added, "1 entry", "%1 entries"),
                                                  countOf(plan.categoriesReceiving, "1 category", "%1 categories"));
    if (merged.skipped > 0)
        report += merged.skipped == 1 ? tr("; 1 was already in the vault")
                                      : tr("; %1 were already in the vault").arg(merged.skipped);
    statusBar()->showMessage(report + QLatin1Char('.'), kStatusMessageMs);
}
