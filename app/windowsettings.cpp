#include "windowsettings.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>

namespace {

const QString kGeometryKey = QStringLiteral("MainWindow/geometry");
const QString kListFolderKey = QStringLiteral("Files/lastListFolder");
const QString kOpenCategoriesKey = QStringLiteral("Tree/openCategories");

} // namespace

QString WindowSettings::filePath()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation) + QStringLiteral("/window.ini");
}

QByteArray WindowSettings::mainWindowGeometry() const
{
    return QSettings(filePath(), QSettings::IniFormat).value(kGeometryKey).toByteArray();
}

void WindowSettings::setMainWindowGeometry(const QByteArray& geometry)
{
    QSettings(filePath(), QSettings::IniFormat).setValue(kGeometryKey, geometry);
}

QString WindowSettings::listFolder() const
{
    const QString last = QSettings(filePath(), QSettings::IniFormat).value(kListFolderKey).toString();
    if (!last.isEmpty() && QFileInfo(last).isDir())
        return last;
    const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (!documents.isEmpty() && QFileInfo(documents).isDir())
        return documents;
    return QDir::homePath();
}

void WindowSettings::rememberListFile(const QString& chosenFile)
{
    QSettings(filePath(), QSettings::IniFormat).setValue(kListFolderKey, QFileInfo(chosenFile).absolutePath());
}

QStringList WindowSettings::openCategories() const
{
    return QSettings(filePath(), QSettings::IniFormat).value(kOpenCategoriesKey).toStringList();
}

void WindowSettings::setOpenCategories(const QStringList& digests)
{
    QSettings(filePath(), QSettings::IniFormat).setValue(kOpenCategoriesKey, digests);
}

QString WindowSettings::categoryDigest(const QString& name)
{
    return QString::fromLatin1(QCryptographicHash::hash(name.toUtf8(), QCryptographicHash::Sha256).toHex().left(32));
}
