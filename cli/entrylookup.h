#pragma once

#include "cli/exitcodes.h"
#include "store/payload.h"

#include <QString>

// "Category/Title" (categories may hold "/" themselves: every split is tried), a title held by one
// entry, or an entry's id. The position of the one entry meant, or -1 with `error` saying why:
// no entry, or several (named, so the user can pick one by its id).
qsizetype findEntry(const Payload& vault, const QString& reference, CliError& error);

// "Category/Title" as `ls` and `search` print an entry.
QString entryPath(const Entry& entry);

// Splits "Category/Title" at its last "/"; false when there is none or either side is empty.
bool splitEntryPath(const QString& path, QString& category, QString& title);

// Whether `entry` shows under the window's search for `text`: the text (as typed, any case) in
// its account, category, notes, title or website. Passwords are never searched.
bool matchesSearch(const Entry& entry, const QString& text);

// The entry's current one-time code, when its notes hold a one-time-code secret.
bool currentOneTimeCode(const Entry& entry, QString& code);
