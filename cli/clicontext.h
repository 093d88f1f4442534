#pragma once

#include "cli/exitcodes.h"
#include "cli/passwordinput.h"

#include <QString>
#include <QStringList>
#include <QTextStream>

// What every command is given: the options before the command's name, and where it writes.
struct CliContext
{
    QString directory; // the vault's folder
    bool passwordFromStdin = false;
    bool json = false;
    QTextStream* out = nullptr;

    PasswordInput passwords() const { return PasswordInput(passwordFromStdin); }
};

// One command: `arguments` are those after its name. Returns an exit code; on failure `error`
// holds the line for standard error.
using CommandRunner = int (*)(CliContext& context, const QStringList& arguments, CliError& error);

struct CliCommand
{
    const char* name;
    const char* synopsis;    // after "vaultry-cli [options] "
    const char* description; // one line
    CommandRunner run;
    bool needsClipboard = false; // runs with a display connection
};

// The commands in the order --help lists them.
const QList<CliCommand>& cliCommands();
// The command of that name (one of cliCommands()).
const CliCommand& commandNamed(const char* name);

// Each command's runner (one file per kind of command).
int runList(CliContext&, const QStringList&, CliError&);
int runSearch(CliContext&, const QStringList&, CliError&);
int runShow(CliContext&, const QStringList&, CliError&);
int runGenerate(CliContext&, const QStringList&, CliError&);
int runTotp(CliContext&, const QStringList&, CliError&);
int runClip(CliContext&, const QStringList&, CliError&);
int runAdd(CliContext&, const QStringList&, CliError&);
int runEdit(CliContext&, const QStringList&, CliError&);
int runRemove(CliContext&, const QStringList&, CliError&);
int runMakeCategory(CliContext&, const QStringList&, CliError&);
int runRemoveCategory(CliContext&, const QStringList&, CliError&);
int runImport(CliContext&, const QStringList&, CliError&);
int runExport(CliContext&, const QStringList&, CliError&);
