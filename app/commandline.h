#pragma once

#include <QString>

// What the command line asks for.
struct CommandLine
{
    // True when the program ends at once with exitCode: --help, --version or a wrong option.
    bool done = false;
    int exitCode = 0;
    // The folder given with --vault-dir, absolute and existing; empty for the usual place.
    QString vaultDirectory;
};

// Exit code for a command line that cannot be followed.
inline constexpr int kUsageExitCode = 2;

// Reads the program's own options before any window exists, so that --help, --version and
// mistakes are answered on the terminal without a display. Qt's own options (-platform,
// -style, ...) are accepted and left for the application object. A --vault-dir folder that
// does not exist is created, owner-only.
CommandLine handleCommandLine(int argc, char* argv[]);
