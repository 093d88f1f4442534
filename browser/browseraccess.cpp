#include "browser/browseraccess.h"

#include "store/securefile.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>

namespace {

constexpr qint64 kMaxAccessFile = 4 * 1024 * 1024;

} // namespace

BrowserAccess::BrowserAccess(const QString& path, const QString& vault) : path(path), vault(vault)
{
    load();
}

QString BrowserAccess::defaultPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/VAULTRY/browser.json");
}

void BrowserAccess::load()
{
    associations.clear();
    siteAnswers.clear();
    const ReadResult read = readRegularFile(path, kMaxAccessFile);
    if (!read.ok)
        return;
    const QJsonObject mine = QJsonDocument::fromJson(read.bytes).object().value(vault).toObject();
    const QJsonObject connections = mine.value(QLatin1String("associations")).toObject();
    for (auto it = connections.begin(); it != connections.end(); ++it) {
        if (it.value().isString() && !it.value().toString().isEmpty())
            associations.insert(it.key(), it.value().toString());
    }
    const QJsonObject sites = mine.value(QLatin1String("sites")).toObject();
    for (auto entry = sites.begin(); entry != sites.end(); ++entry) {
        const QJsonObject hosts = entry.value().toObject();
        for (auto host = hosts.begin(); host != hosts.end(); ++host) {
            if (host.value().isBool())
                siteAnswers[entry.key()].insert(host.key(), host.value().toBool());
        }
    }
}

bool BrowserAccess::save(QString* error) const
{
    // Other vaults' answers in the same file stay as they are.
    QJsonObject all;
    const ReadResult read = readRegularFile(path, kMaxAccessFile);
    if (read.ok)
        all = QJsonDocument::fromJson(read.bytes).object();
    QJsonObject connections;
    for (auto it = associations.begin(); it != associations.end(); ++it)
        connections.insert(it.key(), it.value());
    QJsonObject sites;
    for (auto entry = siteAnswers.begin(); entry != siteAnswers.end(); ++entry) {
        QJsonObject hosts;
        for (auto host = entry.value().begin(); host != entry.value().end(); ++host)
            hosts.insert(host.key(), host.value());
        sites.insert(entry.key(), hosts);
    }
    QJsonObject mine;
    mine.insert(QLatin1String("associations"), connections);
    mine.insert(QLatin1String("sites"), sites);
    all.insert(vault, mine);

    const QString folder = QFileInfo(path).absolutePath();
    if (!QDir().mkpath(folder)) {
        if (error)
            *error = QCoreApplication::translate("BrowserAccess", "The folder %1 could not be made.")
                         .arg(QDir::toNativeSeparators(folder));
        return false;
    }
    QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    const WriteResult written = writeSecretFile(path, QJsonDocument(all).toJson());
    if (!written.ok && error) {
        *error = QCoreApplication::translate("BrowserAccess", "The browser connections could not be saved to %1: %2")
                     .arg(QDir::toNativeSeparators(path), written.reason);
    }
    return written.ok;
}

QString BrowserAccess::associationKey(const QString& id) const
{
    return associations.value(id);
}

bool BrowserAccess::isAssociated(const QString& id, const QString& key) const
{
    return !id.isEmpty() && !key.isEmpty() && associations.value(id) == key;
}

QString BrowserAccess::freeName(const QString& wanted) const
{
    const QString base = wanted.trimmed().isEmpty() ? QStringLiteral("Browser") : wanted.trimmed();
    QString name = base;
    for (int n = 2; associations.contains(name); ++n)
        name = QStringLiteral("%1 (%2)").arg(base).arg(n);
    return name;
}

void BrowserAccess::associate(const QString& id, const QString& key)
{
    associations.insert(id, key);
}

int BrowserAccess::associationCount() const
{
    return int(associations.size());
}

BrowserAccess::SiteAnswer BrowserAccess::siteAnswer(const QString& entryId, const QString& host) const
{
    const auto entry = siteAnswers.constFind(entryId);
    if (entry == siteAnswers.constEnd() || !entry->contains(host))
        return SiteAnswer::Unknown;
    return entry->value(host) ? SiteAnswer::Allowed : SiteAnswer::Denied;
}

void BrowserAccess::setSiteAnswer(const QString& entryId, const QString& host, SiteAnswer answer)
{
    if (answer == SiteAnswer::Unknown)
        siteAnswers[entryId].remove(host);
    else
        siteAnswers[entryId].insert(host, answer == SiteAnswer::Allowed);
}

void BrowserAccess::forgetAll()
{
    associations.clear();
    siteAnswers.clear();
}
