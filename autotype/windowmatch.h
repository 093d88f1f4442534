#pragma once

#include "vault/entrylist.h"

// The entries whose title or website's host appears in a window's title (case-insensitive), in
// the vault's order: those auto-type offers for that window. "www." and the scheme do not count.
QList<const Entry*> entriesMatchingWindow(const EntryList& entries, const QString& windowTitle);
