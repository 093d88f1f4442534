#pragma once

#include <QString>

// Where the master password (or a password for an entry or a list) comes from: typed on the
// terminal without echo, or the next line of standard input (--password-stdin), so that scripts
// can pass it without a terminal.
class PasswordInput
{
public:
    explicit PasswordInput(bool fromStandardInput) : fromStdin(fromStandardInput) {}

    // Asks with `prompt` (on the terminal only). False when no line can be had: no terminal and
    // no --password-stdin, or standard input at its end.
    bool read(const QString& prompt, QString& password) const;

private:
    bool fromStdin;
};
