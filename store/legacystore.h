#pragma once

// The store file of the program's first versions (settings.vydat): read once, written as the current
// store and deleted.

#include <QByteArray>
#include <QString>

class SettingsStore;
struct StoreLoadResult;
struct StoreState;

// The largest legacy store file read; a larger one is refused before anything is read.
inline constexpr qint64 kMaxLegacyFileBytes = qint64(1) << 30;

// The plaintext of a legacy store file (int32 n, then the ciphertext as a QByteArray),
// decrypted as far as the file holds whole blocks; padding included. `complete` is false
// when the file ended before its stated ciphertext did.
QByteArray openLegacyStore(const QByteArray& fileBytes, bool* complete = nullptr);

// Loads the legacy file into `state` and writes it as the current store (see StoreLoadResult::Migrated).
// `savePath` is set when the current store it replaces could be neither copied nor set aside.
StoreLoadResult migrateLegacy(const SettingsStore& store, StoreState& state, bool readOnly, QString* savePath);
