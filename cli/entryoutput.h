#pragma once

#include "vault/entry.h"

#include <QJsonObject>
#include <QString>

// How the command line prints an entry: every field as "Name: value" lines, or as a JSON object
// with id, title, category, url, account, password (only when shown), notes, created, changed.
QString entryText(const Entry& entry, bool showPassword);
QJsonObject entryJson(const Entry& entry, bool showPassword);
// A time as ISO 8601 with its offset from UTC.
QString isoTime(const EntryTime& time);
