#include "store/storelocation.h"

#include "store/storeload.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString tr(const char* text)
{
    return storeText(text);
}

QString native(const QString& path)
{
    return nativePath(path);
}

bool holdsStore(const QString& directory)
{
    return QFileInfo::exists(directory + QLatin1String(kStoreFileName)) ||
           QFileInfo::exists(directory + QLatin1String(kLegacyStoreFileName));
}

// Whether `directory` (links followed) is one of the system's program folders, which are
// shared by every user and must not hold one user's vault.
bool inSystemProgramFolder(const QString& directory)
{
    QString path = QFileInfo(directory).canonicalFilePath();
    if (path.isEmpty())
        path = QDir::cleanPath(QFileInfo(directory).absoluteFilePath());
    const QStringList parts = path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    if (parts.isEmpty())
        return true; // the root folder
    const QString& top = parts.first();
    return top == QLatin1String("usr") || top == QLatin1String("opt") || top == QLatin1String("bin") ||
           top == QLatin1String("sbin") || top.startsWith(QLatin1String("lib"));
}

// A folder for a portable copy's vault: the user's own, writable, and not a system folder.
bool isPortableFolder(const QString& directory)
{
    const QByteArray name = QFile::encodeName(directory);
    struct stat st;
    return ::stat(name.constData(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() &&
           ::access(name.constData(), W_OK) == 0 && !inSystemProgramFolder(directory);
}

} // namespace

bool storeWritable(const QString& path, QString* reason)
{
    const QFileInfo info(path);
    QString target = info.canonicalFilePath(); // the file a link leads to
    if (target.isEmpty())
        target = info.isSymLink() ? info.symLinkTarget() : info.absoluteFilePath();
    if (::access(QFile::encodeName(QFileInfo(target).absolutePath()).constData(), W_OK) == 0)
        return true;
    const int folderError = errno;
    if (::access(QFile::encodeName(target).constData(), W_OK) == 0)
        return true;
    *reason = qt_error_string(errno == ENOENT ? folderError : errno);
    return false;
}

QString realStorePath(const QString& path)
{
    const QFileInfo info(path);
    const QString canonical = info.canonicalFilePath();
    if (!canonical.isEmpty())
        return canonical;
    const QString folder = QFileInfo(info.absolutePath()).canonicalFilePath();
    return folder.isEmpty() ? QDir::cleanPath(info.absoluteFilePath()) : folder + QLatin1Char('/') + info.fileName();
}

StoreLocation chooseStoreLocation(const QString& applicationDirectory, const QString& userDataDirectory)
{
    StoreLocation location;
    if (holdsStore(applicationDirectory) || isPortableFolder(applicationDirectory)) {
        location.directory = applicationDirectory;
        if (holdsStore(userDataDirectory)) {
            location.note = tr("Vaultry uses the vault beside the program in %1. Another vault file is in %2; it "
                               "is not used.")
                                .arg(native(applicationDirectory), native(userDataDirectory));
        }
        return location;
    }
    location.directory = userDataDirectory;
    if (!QFileInfo::exists(userDataDirectory) && QDir().mkpath(userDataDirectory))
        QFile::setPermissions(userDataDirectory, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return location;
}
