#pragma once

#include <QString>

// What vaultry-cli ends with; scripts tell the failures apart by it.
enum ExitCode
{
    kExitOk = 0,
    kExitBadArgument = 1, // a wrong option or argument, an unknown or ambiguous entry or category
    kExitPassword = 2,    // no master password given, or a wrong one
    kExitFile = 3,        // a file that cannot be read or written
};

// A failure: the exit code and the one line that says why, for standard error.
struct CliError
{
    int code = kExitOk;
    QString message;

    static CliError badArgument(const QString& text) { return {kExitBadArgument, text}; }
    static CliError password(const QString& text) { return {kExitPassword, text}; }
    static CliError file(const QString& text) { return {kExitFile, text}; }
};
