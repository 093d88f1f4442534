// The commands that change the vault: add, edit, rm, mkdir, rmdir. Each reads the vault, makes
// its change to what was read and writes it through VaultFile, which merges it with whatever was
// saved meanwhile.

#include "cli/clicontext.h"
#include "cli/commandparser.h"
#include "cli/entrylookup.h"
#include "cli/vaultfile.h"
#include "prefs/generator.h"
#include "store/secretmemory.h"
#include "vault/vault.h"

#include <QCoreApplication>
#include <QDateTime>

#include <unistd.h>

namespace {

QString tr(const char* text)
{
    return QCoreApplication::translate("vaultry-cli", text);
}

const QString kAccount = QStringLiteral("account");
const QString kUrl = QStringLiteral("url");
const QString kNotes = QStringLiteral("notes");
const QString kTitle = QStringLiteral("title");
const QString kCategory = QStringLiteral("category");
const QString kPasswordPrompt = QStringLiteral("password-prompt");

void addFieldOptions(CommandParser& parser)
{
    parser.addOption(QCommandLineOption(kAccount, tr("The account (user name)."), QStringLiteral("A")));
    parser.addOption(QCommandLineOption(kUrl, tr("The website."), QStringLiteral("U")));
    parser.addOption(QCommandLineOption(kNotes, tr("The notes."), QStringLiteral("N")));
    parser.addOption(QCommandLineOption(
        kPasswordPrompt, tr("Ask for the entry's password (after the master password, with --password-stdin).")));
}

// The entry's password from the terminal (typed twice) or the next line of standard input.
bool askEntryPassword(const CliContext& context, QString& password, CliError& error)
{
    const PasswordInput input = context.passwords();
    if (!input.read(tr("Password for the entry: "), password)) {
        error = CliError::badArgument(tr("--password-prompt: no password was given"));
        return false;
    }
    if (!context.passwordFromStdin && ::isatty(STDIN_FILENO)) {
        QString again;
        const bool read = input.read(tr("Repeat the password: "), again);
        const bool same = read && again == password;
        wipeString(again);
        if (!same) {
            error = CliError::badArgument(tr("the two passwords differ; nothing was changed"));
            return false;
        }
    }
    return true;
}

// Writes the changed vault; the exit code.
int writeVault(VaultFile& vault, const Payload& changed, CliError& error)
{
    return vault.write(changed, error) ? kExitOk : error.code;
}

// The category must be there; "General" is made when missing, as the window does.
bool requireCategory(Payload& contents, const QString& category, CliError& error)
{
    if (contents.categories.contains(category))
        return true;
    if (category == Vault::generalCategory()) {
        contents.categories << category;
        return true;
    }
    error = CliError::badArgument(tr("no category \"%1\" (vaultry-cli mkdir \"%1\" makes it)").arg(category));
    return false;
}

} // namespace

int runAdd(CliContext& context, const QStringList& arguments, CliError& error)
{
    CommandParser parser(commandNamed("add"));
    addFieldOptions(parser);
    int code = kExitOk;
    if (!parser.parse(arguments, 1, 1, context, error, code))
        return code;
    QString category;
    QString title;
    if (!splitEntryPath(parser.positional().first(), category, title)) {
        error = CliError::badArgument(tr("give the new entry as Category/Title"));
        return error.code;
    }
    VaultFile vault(context.directory);
    if (!vault.open(context.passwords(), error))
        return error.code;
    Payload changed = vault.contents();
    if (!requireCategory(changed, category, error))
        return error.code;

    Entry entry;
    entry.title = title;
    entry.category = category;
    entry.account = parser.value(kAccount);
    entry.url = parser.value(kUrl);
    entry.notes = parser.value(kNotes);
    if (parser.isSet(kPasswordPrompt)) {
        if (!askEntryPassword(context, entry.password, error))
            return error.code;
    } else {
        const Preferences& policy = changed.preferences;
        entry.password = generatePassword(policy.genMinLength, policy.genMaxLength, policy.genMixedCase,
                                          policy.genAlphanum, policy.genSpecialChars);
    }
    changed.entries.append(entry);
    if (writeVault(vault, changed, error) != kExitOk)
        return error.code;
    *context.out << entry.id << '\n';
    return kExitOk;
}

int runEdit(CliContext& context, const QStringList& arguments, CliError& error)
{
    CommandParser parser(commandNamed("edit"));
    addFieldOptions(parser);
    parser.addOption(QCommandLineOption(kTitle, tr("The new title."), QStringLiteral("T")));
    parser.addOption(QCommandLineOption(kCategory, tr("Move it to this category."), QStringLiteral("C")));
    int code = kExitOk;
    if (!parser.parse(arguments, 1, 1, context, error, code))
        return code;
    VaultFile vault(context.directory);
    const qsizetype row = vault.openEntry(context.passwords(), parser.positional().first(), error);
    if (row < 0)
        return error.code;
    Payload changed = vault.contents();
    Entry entry = changed.entries.at(row);
    const Entry before = entry;
    if (parser.isSet(kCategory)) {
        if (!requireCategory(changed, parser.value(kCategory), error))
            return error.code;
        entry.category = parser.value(kCategory);
    }
    const QList<std::pair<const QString*, QString*>> texts{
        {&kTitle, &entry.title}, {&kAccount, &entry.account}, {&kUrl, &entry.url}, {&kNotes, &entry.notes}};
    bool asked = false;
    for (const auto& [name, field] : texts) {
        if (parser.isSet(*name)) {
            *field = parser.value(*name);
            asked = true;
        }
    }
    if (parser.isSet(kPasswordPrompt)) {
        if (!askEntryPassword(context, entry.password, error))
            return error.code;
        asked = true;
    }
    if (!asked && !parser.isSet(kCategory)) {
        error = CliError::badArgument(tr("nothing to change: give --title, --category, --account, --url, --notes or "
                                         "--password-prompt"));
        return error.code;
    }
    if (entry.title.isEmpty()) {
        error = CliError::badArgument(tr("an entry needs a title"));
        return error.code;
    }
    if (entry.title == before.title && entry.category == before.category && entry.account == before.account &&
        entry.url == before.url && entry.notes == before.notes && entry.password == before.password)
        return kExitOk; // as it was: nothing is written
    entry.dateChanged = QDateTime::currentDateTime();
    changed.entries.replace(row, entry);
    return writeVault(vault, changed, error);
}

int runRemove(CliContext& context, const QStringList& arguments, CliError& error)
{
    CommandParser parser(commandNamed("rm"));
    int code = kExitOk;
    if (!parser.parse(arguments, 1, 1, context, error, code))
        return code;
    VaultFile vault(context.directory);
    const qsizetype row = vault.openEntry(context.passwords(), parser.positional().first(), error);
    if (row < 0)
        return error.code;
    Payload changed = vault.contents();
    changed.entries.removeAt(row);
    return writeVault(vault, changed, error);
}

int runMakeCategory(CliContext& context, const QStringList& arguments, CliError& error)
{
    CommandParser parser(commandNamed("mkdir"));
    int code = kExitOk;
    if (!parser.parse(arguments, 1, 1, context, error, code))
        return code;
    const QString name = parser.positional().first();
    if (name.trimmed().isEmpty()) {
        error = CliError::badArgument(tr("a category needs a name"));
        return error.code;
    }
    VaultFile vault(context.directory);
    if (!vault.open(context.passwords(), error))
        return error.code;
    Payload changed = vault.contents();
    if (changed.categories.contains(name)) {
        error = CliError::badArgument(tr("the category \"%1\" is there already").arg(name));
        return error.code;
    }
    changed.categories << name;
    return writeVault(vault, changed, error);
}

int runRemoveCategory(CliContext& context, const QStringList& arguments, CliError& error)
{
    CommandParser parser(commandNamed("rmdir"));
    parser.addOption(QCommandLineOption(QStringLiteral("with-entries"), tr("Delete the entries in it too.")));
    int code = kExitOk;
    if (!parser.parse(arguments, 1, 1, context, error, code))
        return code;
    const QString name = parser.positional().first();
    VaultFile vault(context.directory);
    if (!vault.open(context.passwords(), error))
        return error.code;
    Payload changed = vault.contents();
    if (!requireCategory(changed, name, error))
        return error.code;
    if (name == Vault::generalCategory()) {
        error = CliError::badArgument(tr("the category \"%1\" always stays").arg(name));
        return error.code;
    }
    qsizetype held = 0;
    for (const Entry& entry : changed.entries)
        held += entry.category == name ? 1 : 0;
    if (held > 0 && !parser.isSet(QStringLiteral("with-entries"))) {
        error = CliError::badArgument(
            tr("the category \"%1\" holds %2 entries; --with-entries deletes them too").arg(name).arg(held));
        return error.code;
    }
    changed.entries.removeIf([&name](const Entry& entry) { return entry.category == name; });
    changed.categories.removeAll(name);
    return writeVault(vault, changed, error);
}
