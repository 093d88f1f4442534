#include "secrets/secrettypes.h"

#include <QDBusMetaType>
#include <QDBusVariant>

QDBusArgument& operator<<(QDBusArgument& argument, const SecretValue& secret)
{
    argument.beginStructure();
    argument << secret.session << secret.parameters << secret.value << secret.contentType;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, SecretValue& secret)
{
    argument.beginStructure();
    argument >> secret.session >> secret.parameters >> secret.value >> secret.contentType;
    argument.endStructure();
    return argument;
}

void registerSecretTypes()
{
    // The adaptors' slots are matched by their types' names, known only once registered.
    qRegisterMetaType<QDBusVariant>();
    qRegisterMetaType<QDBusObjectPath>();
    qRegisterMetaType<QList<QDBusObjectPath>>();
    qDBusRegisterMetaType<SecretValue>();
    qDBusRegisterMetaType<AttributeMap>();
    qDBusRegisterMetaType<SecretsByPath>();
}

namespace SecretPaths {

namespace {

bool isPlainElement(const QString& text)
{
    if (text.isEmpty())
        return false;
    for (const QChar c : text) {
        if (!(c.isDigit() || (c >= QLatin1Char('a') && c <= QLatin1Char('z')) ||
              (c >= QLatin1Char('A') && c <= QLatin1Char('Z'))))
            return false;
    }
    return true;
}

QString itemPrefix()
{
    return QLatin1String(kCollection) + QLatin1Char('/');
}

} // namespace

QString itemElement(const QString& entryId)
{
    if (isPlainElement(entryId))
        return entryId;
    return QLatin1Char('_') + QString::fromLatin1(entryId.toUtf8().toHex());
}

QString entryIdOfPath(const QString& path)
{
    QString element;
    if (path.startsWith(itemPrefix()))
        element = path.mid(itemPrefix().size());
    else if (path.startsWith(QLatin1String(kDefaultAlias) + QLatin1Char('/')))
        element = path.mid(qsizetype(sizeof(kDefaultAlias)));
    if (isPlainElement(element))
        return element;
    if (element.startsWith(QLatin1Char('_')) && element.size() > 1 && element.size() % 2 == 1)
        return QString::fromUtf8(QByteArray::fromHex(element.mid(1).toLatin1()));
    return QString();
}

QDBusObjectPath itemPath(const QString& entryId)
{
    return QDBusObjectPath(itemPrefix() + itemElement(entryId));
}

} // namespace SecretPaths
