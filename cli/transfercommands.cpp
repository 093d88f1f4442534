// import and export: the window's formats and rules, without its dialogs.

#include "cli/clicontext.h"
#include "cli/commandparser.h"
#include "cli/vaultfile.h"
#include "formats/bitwardenjson.h"
#include "formats/csvformat.h"
#include "formats/keepassxml.h"
#include "store/listcodec.h"
#include "store/listfile.h"
#include "store/secretmemory.h"
#include "store/securefile.h"

#include <QCoreApplication>
#include <QDir>
#include <QSet>

#include <unistd.h>

namespace {

QString tr(const char* text)
{
    return QCoreApplication::translate("vaultry-cli", text);
}

QString countOf(qsizetype count, const char* one, const char* many)
{
    return count == 1 ? tr(one) : tr(many).arg(count);
}

// Reads another manager's file (or a list) into entries; false with `error` set.
bool readImport(const CliContext& context, const QString& path, ImportedEntries& read, CliError& error)
{
    const QString shown = QDir::toNativeSeparators(path);
    const ListReadResult file = readListFile(path);
    if (file.status == ListReadResult::Missing) {
        error = CliError::file(tr("%1 does not exist").arg(shown));
        return false;
    }
    if (file.status == ListReadResult::Unreadable) {
        error = CliError::file(tr("cannot read %1: %2").arg(shown, file.reason));
        return false;
    }
    switch (recogniseFormat(file.bytes)) {
    case TransferFormat::VaultryList: {
        QString password;
        if (!context.passwords().read(tr("Password of the list: "), password)) {
            error = CliError::password(tr("%1 is a Vaultry list; its password was not given").arg(shown));
            return false;
        }
        const ListDecodeResult list = decodeList(file.bytes, password);
        wipeString(password);
        if (list.status == ListDecodeResult::WrongPassword) {
            error = CliError::password(tr("the password does not unlock %1").arg(shown));
            return false;
        }
        if (list.status != ListDecodeResult::Ok) {
            error = CliError::file(tr("%1 is damaged or is not a Vaultry list").arg(shown));
            return false;
        }
        read.ok = true;
        read.entries = list.entries;
        for (const Entry& entry : list.entries)
            noteCategory(read.categories, entry.category);
        read.categories.removeDuplicates();
        return true;
    }
    case TransferFormat::Csv: {
        CsvImport csv = decodeCsv(file.bytes);
        if (csv.status == CsvImport::NeedsMapping) {
            error = CliError::badArgument(tr("%1 is a table of an unknown layout (columns: %2); import it in the "
                                             "window, which lets you map its columns")
                                              .arg(shown, csv.columns.join(QLatin1String(", "))));
            return false;
        }
        read = std::move(csv.entries);
        break;
    }
    case TransferFormat::BitwardenJson:
        read = decodeBitwardenJson(file.bytes);
        break;
    case TransferFormat::KeePassXml:
        read = decodeKeePassXml(file.bytes);
        break;
    case TransferFormat::Unknown:
        error = CliError::badArgument(tr("%1 is in none of the formats Vaultry imports (Vaultry list, CSV, Bitwarden "
                                         "JSON, KeePass 2 XML)")
                                          .arg(shown));
        return false;
    }
    if (!read.ok) {
        error = CliError::badArgument(tr("%1 could not be imported: %2").arg(shown, read.error));
        return false;
    }
    return true;
}

} // namespace

int runImport(CliContext& context, const QStringList& arguments, CliError& error)
{
    CommandParser parser(commandNamed("import"));
    int code = kExitOk;
    if (!parser.parse(arguments, 1, 1, context, error, code))
        return code;
    VaultFile vault(context.directory);
    if (!vault.open(context.passwords(), error))
        return error.code;
    ImportedEntries read;
    if (!readImport(context, parser.positional().first(), read, error))
        return error.code;

    Payload changed = vault.contents();
    // Entries equal to one in the vault keep its id, so importing a file again adds nothing.
    adoptMatchingIds(read.entries, changed.entries);
    const ImportPlan plan = planImport(read, changed.entries);
    for (const QString& category : std::as_const(read.categories)) {
        if (!changed.categories.contains(category))
            changed.categories << category;
    }
    qsizetype added = 0;
    qsizetype already = 0;
    for (const Entry& entry : std::as_const(read.entries)) {
        if (changed.entries.containsId(entry.id)) {
            ++already;
            continue;
        }
        if (!changed.categories.contains(entry.category))
            changed.categories << entry.category;
        changed.entries.append(entry);
        ++added;
    }
    if (!vault.write(changed, error))
        return error.code;
    QString report = tr("Imported %1 into %2")
                         .arg(countOf(added, "1 entry", "%1 entries"),
                              countOf(plan.categoriesReceiving, "1 category", "%1 categories"));
    if (already > 0)
        report += countOf(already, "; 1 was already in the vault", "; %1 were already in the vault");
    *context.out << report << ".\n";
    return kExitOk;
}

int runExport(CliContext& context, const QStringList& arguments, CliError& error)
{
    CommandParser parser(commandNamed("export"));
    parser.addOption(QCommandLineOption(QStringLiteral("format"),
                                        tr("csv (KeePassXC's layout), xml (KeePass 2) or "
                                           "list (a password-protected Vaultry list)."),
                                        QStringLiteral("FORMAT")));
    int code = kExitOk;
    if (!parser.parse(arguments, 1, 1, context, error, code))
        return code;
    const QString format = parser.value(QStringLiteral("format"));
    if (format != QLatin1String("csv") && format != QLatin1String("xml") && format != QLatin1String("list")) {
        error = CliError::badArgument(tr("--format takes csv, xml or list"));
        return error.code;
    }
    const QString path = QDir::current().absoluteFilePath(parser.positional().first());
    VaultFile vault(context.directory);
    if (!vault.open(context.passwords(), error))
        return error.code;
    const Payload& contents = vault.contents();
    if (format == QLatin1String("list")) {
        QString password;
        if (!context.passwords().read(tr("Password for the list: "), password)) {
            error = CliError::password(tr("a list needs a password, and none was given"));
            return error.code;
        }
        if (!context.passwordFromStdin && ::isatty(STDIN_FILENO)) {
            QString again;
            const bool same = context.passwords().read(tr("Repeat the password: "), again) && again == password;
            wipeString(again);
            if (!same) {
                wipeString(password);
                error = CliError::badArgument(tr("the two passwords differ; nothing was written"));
                return error.code;
            }
        }
        const ListWriteResult written = writeListFile(path, contents.entries, password);
        wipeString(password);
        if (!written.ok) {
            error = CliError::file(tr("cannot write %1: %2").arg(QDir::toNativeSeparators(path), written.reason));
            return error.code;
        }
    } else {
        // Unencrypted: owner-only, through the same writer as the vault.
        const WriteResult written = writeSecretFile(
            path, format == QLatin1String("csv") ? encodeKeePassXcCsv(contents.entries)
                                                 : encodeKeePassXml(contents.entries, contents.categories));
        if (!written.ok) {
            error = CliError::file(tr("cannot write %1: %2").arg(QDir::toNativeSeparators(path), written.reason));
            return error.code;
        }
    }
    *context.out << countOf(contents.entries.size(), "Exported 1 entry", "Exported %1 entries") << '\n';
    return kExitOk;
}
