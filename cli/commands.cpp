#include "cli/clicontext.h"

const QList<CliCommand>& cliCommands()
{
    static const QList<CliCommand> commands{
        {"ls", "ls [CATEGORY]", "List the entries (of one category) as Category/Title lines.", runList},
        {"search", "search TEXT", "List the entries the window's search shows for TEXT.", runSearch},
        {"show", "show [--show-protected] ENTRY", "Show every field of an entry (the password with --show-protected).",
         runShow},
        {"add", "add Category/Title [--account A] [--url U] [--notes N] [--password-prompt]",
         "Add an entry with a generated password (or one asked for) and print its id.", runAdd},
        {"edit", "edit ENTRY [--title T] [--category C] [--account A] [--url U] [--notes N] [--password-prompt]",
         "Change fields of an entry.", runEdit},
        {"rm", "rm ENTRY", "Delete an entry.", runRemove},
        {"mkdir", "mkdir CATEGORY", "Add a category.", runMakeCategory},
        {"rmdir", "rmdir [--with-entries] CATEGORY",
         "Delete a category (one holding entries only with --with-entries).", runRemoveCategory},
        {"clip", "clip ENTRY [--field password|account|url|totp] [--seconds N]",
         "Copy a field to the clipboard and clear it after N seconds.", runClip, true},
        {"generate", "generate [--length N]", "Print a password made by the vault's policy (or N characters long).",
         runGenerate},
        {"totp", "totp ENTRY", "Print the entry's current one-time code.", runTotp},
        {"import", "import FILE", "Import a Vaultry list, a CSV, Bitwarden JSON or KeePass 2 XML file.", runImport},
        {"export", "export --format csv|xml|list FILE", "Export the vault to FILE (owner-only).", runExport},
    };
    return commands;
}

const CliCommand& commandNamed(const char* name)
{
    for (const CliCommand& command : cliCommands()) {
        if (qstrcmp(command.name, name) == 0)
            return command;
    }
    Q_UNREACHABLE();
}
