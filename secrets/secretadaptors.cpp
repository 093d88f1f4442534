#include "secrets/secretadaptors.h"

#include "secrets/secretservice.h"

#include <QTimer>

ServiceAdaptor::ServiceAdaptor(SecretBusObject* object, SecretService& service)
    : QDBusAbstractAdaptor(object), service(service)
{
}

QList<QDBusObjectPath> ServiceAdaptor::collections() const
{
    return {QDBusObjectPath(QLatin1String(SecretPaths::kCollection))};
}

QDBusVariant ServiceAdaptor::OpenSession(const QString& algorithm, const QDBusVariant& input, QDBusObjectPath& result)
{
    return service.openSession(call(), algorithm, input, result);
}

QDBusObjectPath ServiceAdaptor::CreateCollection(const QVariantMap&, const QString& alias, QDBusObjectPath& prompt)
{
    // One collection is served; asking for a new one gives it (under the alias asked for).
    const QDBusObjectPath collection(QLatin1String(SecretPaths::kCollection));
    if (!alias.isEmpty())
        service.setAlias(call(), alias, collection);
    prompt = SecretPaths::none();
    return collection;
}

QList<QDBusObjectPath> ServiceAdaptor::SearchItems(const AttributeMap& attributes, QList<QDBusObjectPath>& locked)
{
    return service.search(attributes, &locked);
}

QList<QDBusObjectPath> ServiceAdaptor::Unlock(const QList<QDBusObjectPath>& objects, QDBusObjectPath& prompt)
{
    return service.unlock(objects, prompt);
}

QList<QDBusObjectPath> ServiceAdaptor::Lock(const QList<QDBusObjectPath>& objects, QDBusObjectPath& prompt)
{
    return service.lock(objects, prompt);
}

SecretsByPath ServiceAdaptor::GetSecrets(const QList<QDBusObjectPath>& items, const QDBusObjectPath& session)
{
    return service.secrets(call(), items, session);
}

QDBusObjectPath ServiceAdaptor::ReadAlias(const QString& name)
{
    return service.readAlias(name);
}

void ServiceAdaptor::SetAlias(const QString& name, const QDBusObjectPath& collection)
{
    service.setAlias(call(), name, collection);
}

CollectionAdaptor::CollectionAdaptor(SecretBusObject* object, SecretService& service)
    : QDBusAbstractAdaptor(object), service(service)
{
}

QList<QDBusObjectPath> CollectionAdaptor::items() const
{
    return service.itemPaths();
}

QString CollectionAdaptor::label() const
{
    return QStringLiteral("Vaultry");
}

bool CollectionAdaptor::locked() const
{
    return service.isLocked();
}

qulonglong CollectionAdaptor::created() const
{
    return service.collectionTime(false);
}

qulonglong CollectionAdaptor::modified() const
{
    return service.collectionTime(true);
}

QDBusObjectPath CollectionAdaptor::Delete()
{
    call().sendErrorReply(QLatin1String(SecretErrors::kAccessDenied),
                          QStringLiteral("Vaultry's collection cannot be deleted from outside; delete its category in "
                                         "Vaultry instead."));
    return SecretPaths::none();
}

QList<QDBusObjectPath> CollectionAdaptor::SearchItems(const AttributeMap& attributes)
{
    QList<QDBusObjectPath> locked;
    return service.search(attributes, &locked) + locked;
}

QDBusObjectPath CollectionAdaptor::CreateItem(const QVariantMap& properties, const SecretValue& secret, bool replace,
                                              QDBusObjectPath& prompt)
{
    prompt = SecretPaths::none();
    return service.createItem(call(), properties, secret, replace);
}

ItemAdaptor::ItemAdaptor(SecretBusObject* object, SecretService& service, const QString& entryId)
    : QDBusAbstractAdaptor(object), service(service), entryId(entryId)
{
}

bool ItemAdaptor::locked() const
{
    return service.isLocked();
}

AttributeMap ItemAdaptor::attributes() const
{
    return service.itemAttributes(entryId);
}

void ItemAdaptor::setAttributes(const AttributeMap& attributes)
{
    if (!service.setItemAttributes(entryId, attributes))
        refuseChange();
}

QString ItemAdaptor::label() const
{
    return service.itemLabel(entryId);
}

void ItemAdaptor::setLabel(const QString& label)
{
    if (!service.setItemLabel(entryId, label))
        refuseChange();
}

qulonglong ItemAdaptor::created() const
{
    return service.itemTime(entryId, false);
}

qulonglong ItemAdaptor::modified() const
{
    return service.itemTime(entryId, true);
}

void ItemAdaptor::refuseChange() const
{
    if (call().calledFromDBus())
        call().sendErrorReply(QLatin1String(SecretErrors::kIsLocked),
                              QStringLiteral("The item cannot be changed now."));
}

QDBusObjectPath ItemAdaptor::Delete()
{
    service.deleteItem(call(), entryId);
    return SecretPaths::none();
}

SecretValue ItemAdaptor::GetSecret(const QDBusObjectPath& session)
{
    return service.itemSecret(call(), entryId, session);
}

void ItemAdaptor::SetSecret(const SecretValue& secret)
{
    service.setItemSecret(call(), entryId, secret);
}

SessionAdaptor::SessionAdaptor(QObject* object, SecretService& service, const QString& path)
    : QDBusAbstractAdaptor(object), service(service), path(path)
{
}

void SessionAdaptor::Close()
{
    // Not while this call is being handled: closing takes the object off the bus.
    QTimer::singleShot(0, &service, [service = &service, path = path] { service->closeSession(path); });
}

PromptAdaptor::PromptAdaptor(QObject* object, SecretService& service, const QString& path)
    : QDBusAbstractAdaptor(object), service(service), path(path)
{
}

void PromptAdaptor::Prompt(const QString& windowId)
{
    // The dialog waits for the user: the call is answered first.
    QTimer::singleShot(0, &service,
                       [service = &service, path = path, windowId] { service->runPrompt(path, windowId); });
}

void PromptAdaptor::Dismiss()
{
    QTimer::singleShot(0, &service, [service = &service, path = path] { service->dismissPrompt(path); });
}
