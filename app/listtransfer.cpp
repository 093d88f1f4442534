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
#include "vault/vaultcommands.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QInputDialog>
#include <QMessageBox>
#include <QStatusBar>
#include <QUndoStack>

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

// Reads another manager's file, asking for the columns of a CSV table of unknown layout. False
// when the user cancelled; otherwise `read` says what came of it and `name` what was read.
bool decodeForeign(QWidget* parent, TransferFormat format, const QByteArray& bytes, ImportedEntries& read,
                   QString& name)
{
    name = transferFormatName(format);
    switch (format) {
    case TransferFormat::Csv: {
        CsvImport csv = decodeCsv(bytes);
        if (csv.status == CsvImport::NeedsMapping) {
            CsvMappingDialog dialog(csv.columns, csv.firstRow, parent);
            if (dialog.exec() != QDialog::Accepted)
                return false;
            csv = decodeCsv(bytes, dialog.mapping());
        }
        name = csvLayoutName(csv.layout);
        read = std::move(csv.entries);
        return true;
    }
    case TransferFormat::BitwardenJson:
        read = decodeBitwardenJson(bytes);
        return true;
    case TransferFormat::KeePassXml:
        read = decodeKeePassXml(bytes);
        return true;
    case TransferFormat::VaultryList:
    case TransferFormat::Unknown:
        break;
    }
    read.error = tr("the format is not one Vaultry imports");
    return true;
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
    // Read before asking anything, so an unreadable file is reported at once.
    const ListReadResult file = readListFile(path);
    switch (file.status) {
    case ListReadResult::Ok:
        break;
    case ListReadResult::Missing:
        QMessageBox::warning(this, tr("Vaultry Import"), tr("%1 does not exist. Nothing was imported.").arg(shownPath));
        return;
    case ListReadResult::Unreadable:
        QMessageBox::warning(this, tr("Vaultry Import"),
                             tr("%1 could not be read:\n%2\nNothing was imported.").arg(shownPath, file.reason));
        return;
    }

    // The content has the last word where it is unmistakable. CSV has no mark of its own: text
    // chosen as XML or JSON is left to that reader to judge, but text is never a list file.
    const TransferFormat found = recogniseFormat(file.bytes);
    TransferFormat format = chosenFormat;
    if (chosenFormat == TransferFormat::Unknown) {
        format = found == TransferFormat::Unknown ? choice.unrecognisedAs : found;
        if (format == TransferFormat::Unknown) {
            QMessageBox::warning(this, tr("Vaultry Import"),
                                 tr("%1 is in none of the formats Vaultry imports (Vaultry list, CSV, Bitwarden "
                                    "JSON, KeePass 2 XML). Nothing was imported.")
                                     .arg(shownPath));
            return;
        }
    } else if (found != chosenFormat && found != TransferFormat::Unknown &&
               (found != TransferFormat::Csv || chosenFormat == TransferFormat::VaultryList)) {
        QMessageBox::warning(this, tr("Vaultry Import"),
                             tr("%1 is not a %2 file; it looks like a %3 file. Nothing was imported.")
                                 .arg(shownPath, transferFormatName(chosenFormat), transferFormatName(found)));
        return;
    }

    if (format == TransferFormat::VaultryList) {
        bool confirmed = false;
        const QString password = QInputDialog::getText(this, tr("Vaultry list password"),
                                                       tr("Enter a password to unlock the imported list."),
                                                       QLineEdit::Password, QString(), &confirmed);
        if (!confirmed)
            return;
        const ListDecodeResult list = decodeList(file.bytes, password);
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

    ImportedEntries read;
    QString formatName;
    if (!decodeForeign(this, format, file.bytes, read, formatName))
        return;
    if (!read.ok) {
        QMessageBox::warning(this, tr("Vaultry Import"),
                             tr("%1 could not be imported as %2:\n%3\nNothing was imported.")
                                 .arg(shownPath, transferFormatName(format), read.error));
        return;
    }
    // Fresh ids would bring the same entry in again with every import of the same file.
    adoptMatchingIds(read.entries, state.vault.entries());
    const ImportPlan plan = planImport(read, state.vault.entries());
    ImportPreviewDialog preview(QFileInfo(path).fileName(), formatName, plan, this);
    if (preview.exec() != QDialog::Accepted)
        return;

    Vault::MergeResult merged;
    undoStack->push(new ImportCommand(state.vault, read.entries, read.categories, &merged));
    refreshView();
    QString report = merged.added == 0 ? tr("Imported no entries")
                                       : tr("Imported %1 into %2")
                                             .arg(countOf(merged.added, "1 entry", "%1 entries"),
                                                  countOf(plan.categoriesReceiving, "1 category", "%1 categories"));
    if (merged.skipped > 0)
        report += merged.skipped == 1 ? tr("; 1 was already in the vault")
                                      : tr("; %1 were already in the vault").arg(merged.skipped);
    statusBar()->showMessage(report + QLatin1Char('.'), kStatusMessageMs);
}
