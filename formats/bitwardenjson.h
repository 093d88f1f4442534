#pragma once

// Bitwarden's unencrypted JSON export: folders (and an organization's collections) become
// categories, and every item that is not in the trash an entry; old passwords go into the notes. Logins fill the entry;
// secure notes give an entry with only notes; cards, identities and the fields an entry has no place for are kept in
// the notes with their names.

#include "formats/importformats.h"

#include <QByteArray>

ImportedEntries decodeBitwardenJson(const QByteArray& bytes, ImportProgress* progress = nullptr);
