#pragma once

// Bitwarden's unencrypted JSON export: folders become categories, and every item that is not in
// the trash an entry. Logins fill the entry; secure notes give an entry with only notes; cards,
// identities and the fields an entry has no place for are kept in the notes with their names.

#include "formats/importformats.h"

#include <QByteArray>

ImportedEntries decodeBitwardenJson(const QByteArray& bytes);
