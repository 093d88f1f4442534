#include "version.h"

#include <QFile>

static void initResourcesOutsideNamespace()
{
    Q_INIT_RESOURCE(core_files);
    Q_INIT_RESOURCE(files);
}

void initVaultryResources()
{
    static const bool registered = (initResourcesOutsideNamespace(), true);
    Q_UNUSED(registered);
}

QString readVersion()
{
    initVaultryResources();
    QFile file(QStringLiteral(":/files/version"));
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    const QByteArray bytes = file.readAll();
    const qsizetype end = bytes.indexOf('\0');
    return QString::fromLatin1(end < 0 ? bytes : bytes.left(end)).trimmed();
}
