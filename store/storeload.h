#pragma once

// What loading the store, migrating the legacy file and the protected form share: the texts for the
// user, and copies of a file kept beside it before anything may replace it.

#include <QString>

struct Payload;
struct StoreLoadResult;
struct StoreState;

QString storeText(const char* text);
QString nativePath(const QString& path);

// Puts what was read into the open state.
void applyPayload(Payload& payload, StoreState& state);

// A new name beside `path` made of `tag` and the time, never that of an earlier copy.
QString asidePath(const QString& path, const QString& tag);
// Copies `path` to a new file beside it named after `tag` and the time, never replacing
// an earlier copy; for a link, beside the file it leads to, and the link stays a link. Returns the
// copy's path, or an empty string with `error` set.
QString keepCopy(const QString& path, const QString& tag, QString* error);

StoreLoadResult unreadable(const QString& path, const QString& reason);
QString damagedMessage(const QString& path, const QString& loadedWhat);
// Marks `result` as damaged and keeps a copy of `path`, which is about to be replaced.
void keepDamaged(StoreLoadResult& result, const QString& path, const QString& loadedWhat);
