#pragma once

#include "cli/clicontext.h"

#include <QCommandLineParser>

// A command's own options and arguments, read without ending the process: --help prints the
// command's help and a mistake becomes a CliError.
class CommandParser
{
public:
    explicit CommandParser(const CliCommand& command);

    void addOption(const QCommandLineOption& option) { parser.addOption(option); }
    // Reads `arguments`; false when the command should end now with `exitCode` (after --help: 0;
    // a mistake: 1, `error` set). `minArguments`..`maxArguments` positional arguments are taken.
    bool parse(const QStringList& arguments, int minArguments, int maxArguments, CliContext& context, CliError& error,
               int& exitCode);

    bool isSet(const QString& name) const { return parser.isSet(name); }
    QString value(const QString& name) const { return parser.value(name); }
    QStringList positional() const { return parser.positionalArguments(); }

    // A whole number option within `low`..`high`; false with `error` set otherwise.
    bool number(const QString& name, int low, int high, int& value, CliError& error) const;

private:
    const CliCommand& command;
    QCommandLineParser parser;
};
