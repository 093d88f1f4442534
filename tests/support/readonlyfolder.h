#pragma once

#include <QString>
#include <QTemporaryDir>

// The folder `source` seen through a path where it cannot be written: a read-only bind mount
// where the user may mount (root), otherwise the folder itself with its write bits taken away.
// `writableStore` leaves the store file in it writable, as on a shared folder or a read-only
// mount that holds a writable file.
class ReadOnlyFolder
{
public:
    ReadOnlyFolder(const QString& source, bool writableStore);
    ~ReadOnlyFolder();

    QString source;
    QString path;
    bool valid = false;

private:
    QTemporaryDir mountPoint;
    bool mounted = false;
    bool fileMounted = false;
};
