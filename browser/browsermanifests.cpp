#include "browser/browsermanifests.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QStandardPaths>

namespace BrowserManifests {

namespace {

bool isFirefoxPath(const QString& path)
{
    return path.contains(QLatin1String("/.mozilla/"));
}

} // namespace

QByteArray manifest(const QString& hostExecutable, bool firefox)
{
    QJsonObject object;
    object.insert(QLatin1String("name"), QLatin1String(kHostName));
    object.insert(QLatin1String("description"), QStringLiteral("Vaultry: logins for KeePassXC-Browser"));
    object.insert(QLatin1String("path"), hostExecutable);
    object.insert(QLatin1String("type"), QStringLiteral("stdio"));
    if (firefox) {
        object.insert(QLatin1String("allowed_extensions"),
                      QJsonArray{QStringLiteral("keepassxc-browser@keepassxc.org")});
    } else {
        // The Chrome Web Store's extension (also the id of Debian's package) and Edge's.
        object.insert(QLatin1String("allowed_origins"),
                      QJsonArray{QStringLiteral("chrome-extension://oboonakemofpalcgghocfoadofidjkkk/"),
                                 QStringLiteral("chrome-extension://pdffhmdngciaglkoonimfcmckehcpafo/")});
    }
    return QJsonDocument(object).toJson();
}

QStringList userPaths()
{
    const QString config = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    const QString file = QLatin1String(kHostName) + QStringLiteral(".json");
    return {config + QStringLiteral("/chromium/NativeMessagingHosts/") + file,
            config + QStringLiteral("/google-chrome/NativeMessagingHosts/") + file,
            QDir::homePath() + QStringLiteral("/.mozilla/native-messaging-hosts/") + file};
}

QString hostExecutable()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/vaultry-browser-host");
}

bool install(const QString& hostExecutable, QString* error)
{
    for (const QString& path : userPaths()) {
        QSaveFile file(path);
        const bool written = QDir().mkpath(QFileInfo(path).absolutePath()) && file.open(QIODevice::WriteOnly) &&
                             file.write(manifest(hostExecutable, isFirefoxPath(path))) >= 0 && file.commit();
        if (!written) {
            if (error) {
                *error = QCoreApplication::translate("BrowserManifests", "%1 could not be written: %2")
                             .arg(QDir::toNativeSeparators(path), file.errorString());
            }
            return false;
        }
    }
    return true;
}

void remove(const QString& hostExecutable)
{
    for (const QString& path : userPaths()) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            continue;
        const QJsonObject object = QJsonDocument::fromJson(file.read(64 * 1024)).object();
        file.close();
        if (object.value(QLatin1String("path")).toString() == hostExecutable)
            QFile::remove(path);
    }
}

} // namespace BrowserManifests
