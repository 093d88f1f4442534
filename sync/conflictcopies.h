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
