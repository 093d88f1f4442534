#include "support/readonlyfolder.h"

#include "store/storelocation.h"

#include <QFile>
#include <QProcess>

#include <unistd.h>

namespace {

bool succeeds(const QString& program, const QStringList& arguments)
{
    QProcess process;
    process.start(program, arguments);
    return process.waitForFinished() && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

} // namespace

ReadOnlyFolder::ReadOnlyFolder(const QString& source, bool writableStore) : source(source)
{
    const QString store = source + QLatin1String(kStoreFileName);
    if (::geteuid() != 0) {
        path = source;
        QFile::setPermissions(store, writableStore ? QFile::ReadOwner | QFile::WriteOwner : QFile::ReadOwner);
        valid = QFile::setPermissions(source, QFile::ReadOwner | QFile::ExeOwner);
        return;
    }
    path = mountPoint.path();
    mounted = succeeds(QStringLiteral("mount"), {QStringLiteral("--bind"), source, path});
    valid = mounted &&
            succeeds(QStringLiteral("mount"), {QStringLiteral("-o"), QStringLiteral("remount,bind,ro"), source, path});
    if (valid && writableStore)
        valid = fileMounted =
            succeeds(QStringLiteral("mount"), {QStringLiteral("--bind"), store, path + QLatin1String(kStoreFileName)});
}

ReadOnlyFolder::~ReadOnlyFolder()
{
    if (fileMounted)
        succeeds(QStringLiteral("umount"), {path + QLatin1String(kStoreFileName)});
    if (mounted)
        succeeds(QStringLiteral("umount"), {path});
    QFile::setPermissions(source, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}
