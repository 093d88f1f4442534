#pragma once

// The store file in its protected form, as the settings store reads and writes it (the bytes are
// store/protectedstore.h's business).

#include "store/securefile.h"

#include <QString>

class ProtectionKey;
struct Payload;

// Whether the file at `path` is a protected store: it begins with the magic, or with the magic
// changed in one byte, which no ordinary store does (its first four bytes would state a payload of
// over a gigabyte). Such a file is refused whole rather than read in part as an ordinary one.
bool fileIsProtected(const QString& path);

// Writes the store in the protected form: the payload encrypted as it is encoded.
bool writeProtectedState(const Payload& state, const ProtectionKey& key, const SecretWrite& write);

// Whether this computer knows the store at `path` to be protected: it was opened or turned protected
// here, and protection was not turned off here since. Such a store never falls back to the ordinary
// form: a file that is not protected and not a whole ordinary store is damaged protection, and no
// save writes the ordinary form. Kept per computer in the user's data folder, by the real path.
bool knownProtectedHere(const QString& path);
void rememberProtectedHere(const QString& path, bool isProtected);
