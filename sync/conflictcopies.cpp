#include "sync/conflictcopies.h"

#include "store/securefile.h"
#include "store/storelocation.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStandardPaths>

#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>

namespace {

// kStoreFileName without its leading slash, split at the suffix: "settings2" and ".vydat".
QString storeBaseName()
{
    const QString name = QLatin1String(kStoreFileName).mid(1);
    return name.left(name.lastIndexOf(QLatin1Char('.')));
}

QString storeSuffix()
{
    const QString name = QLatin1String(kStoreFileName);
    return name.mid(name.lastIndexOf(QLatin1Char('.')));
}

const QRegularExpression& conflictPattern()
{
    static const QRegularExpression pattern = [] {
        const QString base = QRegularExpression::escape(storeBaseName());
        const QString suffix = QRegularExpression::escape(storeSuffix());
        const QString date = QStringLiteral("[0-9]{4}-[0-9]{2}-[0-9]{2}");
        const QStringList forms = {
            // Syncthing: date, time and the first characters of the device id.
            base + QStringLiteral("\\.sync-conflict-[0-9]{8}-[0-9]{6}-[A-Za-z0-9]+") + suffix,
            // Nextcloud and ownCloud, the user's name optional.
            base + QStringLiteral(" \\(conflicted copy (?:.+ )?") + date + QStringLiteral(" [0-9]{6}\\)") + suffix,
            // Dropbox: the computer's or the user's name, the date and a counter from the second on.
            base + QStringLiteral(" \\(.+['\u2019]s conflicted copy ") + date +
                QStringLiteral("(?: \\([0-9]+\\))?\\)") + suffix,
        };
        return QRegularExpression(QStringLiteral("^(?:") + forms.join(QLatin1Char('|')) + QStringLiteral(")$"));
    }();
    return pattern;
}

} // namespace

bool isStoreConflictCopy(const QString& fileName)
{
    return conflictPattern().match(fileName).hasMatch();
}

QStringList storeConflictCopies(const QStringList& fileNames)
{
    QStringList copies;
    for (const QString& name : fileNames) {
        if (isStoreConflictCopy(name))
            copies << name;
    }
    return copies;
}

QString mergedConflictCopyName(const QString& conflictName, const QStringList& fileNames)
{
    const qsizetype dot = conflictName.lastIndexOf(QLatin1Char('.'));
    const QString stem = dot > 0 ? conflictName.left(dot) : conflictName;
    const QString suffix = dot > 0 ? conflictName.mid(dot) : QString();
    QString name = stem + QStringLiteral(" (merged)") + suffix;
    for (int n = 2; fileNames.contains(name); ++n)
        name = stem + QStringLiteral(" (merged %1)").arg(n) + suffix;
    return name;
}

QString conflictCopyFolder(const QString& storePath)
{
    return QFileInfo(realStorePath(storePath)).absolutePath();
}

QString mergedCopiesFolder()
{
    const QString data = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    return data.isEmpty() ? QString() : data + QStringLiteral("/merged-copies");
}

QString moveToMergedCopies(const QString& copyPath, QString* error)
{
    const QString folder = mergedCopiesFolder();
    if (folder.isEmpty() || !QDir().mkpath(folder)) {
        *error = QStringLiteral("no folder for merged copies in the user's data folder");
        return QString();
    }
    QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    const QString name = QFileInfo(copyPath).fileName();
    const QStringList names = QDir(folder).entryList(QDir::Files | QDir::Hidden);
    const QString target =
        folder + QLatin1Char('/') + (names.contains(name) ? mergedConflictCopyName(name, names) : name);
    // A rename where the data folder shares the file system, else a copy and the original removed.
    const QByteArray from = QFile::encodeName(copyPath);
    const QByteArray to = QFile::encodeName(target);
    if (::rename(from.constData(), to.constData()) != 0) {
        if (!copySecretFile(copyPath, target, error))
            return QString();
        if (!QFile::remove(copyPath)) {
            QFile::remove(target);
            *error = QStringLiteral("the copy could not be removed from the synced folder");
            return QString();
        }
    }
    ::chmod(to.constData(), 0600);
    // Kept for a while from now, whatever date the sync tool gave the copy.
    ::utimensat(AT_FDCWD, to.constData(), nullptr, 0);
    return target;
}

int pruneMergedCopies()
{
    const QString folder = mergedCopiesFolder();
    if (folder.isEmpty())
        return 0;
    const QDateTime oldest = QDateTime::currentDateTimeUtc().addDays(-kMergedCopyDays);
    int removed = 0;
    for (const QFileInfo& info : QDir(folder).entryInfoList(QDir::Files | QDir::Hidden)) {
        if (info.lastModified() < oldest && QFile::remove(info.filePath()))
            ++removed;
    }
    return removed;
}
