#pragma once

#include <QString>
#include <QStringList>

// The copies of the store file that sync tools leave beside it when two computers changed it at
// once, recognised by name alone (names without a folder):
//   Syncthing           settings2.sync-conflict-20261207-143012-ABCDEFG.vydat
//   Nextcloud/ownCloud  settings2 (conflicted copy 2026-12-07 143012).vydat
//                       (newer clients put the user's name before the date)
//   Dropbox             settings2 (Ann's conflicted copy 2026-12-07).vydat
//                       (a further one on the same day ends "2026-12-07 (1))")

bool isStoreConflictCopy(const QString& fileName);

// The conflicted copies among the names of a folder, in the order given.
QStringList storeConflictCopies(const QStringList& fileNames);

// Where a conflicted copy goes once merged: its name with " (merged)" before the suffix, or
// " (merged 2)" and so on when `fileNames` (the folder's names) holds that already. The new
// name is not a conflicted copy, so it is never merged again.
QString mergedConflictCopyName(const QString& conflictName, const QStringList& fileNames);

// The folder a store's conflicted copies appear in: that of the file the store's path leads to,
// which for a store that is a link into a synced folder is not the link's own.
QString conflictCopyFolder(const QString& storePath);

// Where merged conflicted copies are kept on this computer, out of the synced folder (where a sync
// tool would carry them to every computer and make conflicts of them in turn): "merged-copies" in
// the user's data folder, owner-only.
QString mergedCopiesFolder();
// Moves a merged conflicted copy there, under its own name (numbered when taken), dated now so that
// it is kept for kMergedCopyDays. Returns the new path, or empty with `error` set (it stays where it was).
QString moveToMergedCopies(const QString& copyPath, QString* error);
inline constexpr int kMergedCopyDays = 30;
// Deletes the merged copies older than kMergedCopyDays; returns how many.
int pruneMergedCopies();
