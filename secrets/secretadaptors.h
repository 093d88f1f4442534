#pragma once

#include "secrets/secrettypes.h"

#include <QDBusAbstractAdaptor>
#include <QDBusContext>
#include <QDBusVariant>

class SecretService;

// An object on the bus. QtDBus gives the call's context to the object an adaptor is attached to.
class SecretBusObject : public QObject, public QDBusContext
{
    Q_OBJECT

public:
    explicit SecretBusObject(QObject* parent) : QObject(parent) {}
};

// The five D-Bus interfaces of the Secret Service, each handing its calls to the SecretService.
// Properties are served through org.freedesktop.DBus.Properties by QtDBus.

class ServiceAdaptor : public QDBusAbstractAdaptor
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Secret.Service")
    Q_PROPERTY(QList<QDBusObjectPath> Collections READ collections)

public:
    ServiceAdaptor(SecretBusObject* object, SecretService& service);
    QList<QDBusObjectPath> collections() const;

public slots:
    QDBusVariant OpenSession(const QString& algorithm, const QDBusVariant& input, QDBusObjectPath& result);
    QDBusObjectPath CreateCollection(const QVariantMap& properties, const QString& alias, QDBusObjectPath& prompt);
    QList<QDBusObjectPath> SearchItems(const AttributeMap& attributes, QList<QDBusObjectPath>& locked);
    QList<QDBusObjectPath> Unlock(const QList<QDBusObjectPath>& objects, QDBusObjectPath& prompt);
    QList<QDBusObjectPath> Lock(const QList<QDBusObjectPath>& objects, QDBusObjectPath& prompt);
    SecretsByPath GetSecrets(const QList<QDBusObjectPath>& items, const QDBusObjectPath& session);
    QDBusObjectPath ReadAlias(const QString& name);
    void SetAlias(const QString& name, const QDBusObjectPath& collection);

signals:
    void CollectionCreated(const QDBusObjectPath& collection);
    void CollectionDeleted(const QDBusObjectPath& collection);
    void CollectionChanged(const QDBusObjectPath& collection);

private:
    const QDBusContext& call() const { return *static_cast<SecretBusObject*>(parent()); }

    SecretService& service;
};

class CollectionAdaptor : public QDBusAbstractAdaptor
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Secret.Collection")
    Q_PROPERTY(QList<QDBusObjectPath> Items READ items)
    Q_PROPERTY(QString Label READ label)
    Q_PROPERTY(bool Locked READ locked)
    Q_PROPERTY(qulonglong Created READ created)
    Q_PROPERTY(qulonglong Modified READ modified)

public:
    CollectionAdaptor(SecretBusObject* object, SecretService& service);
    QList<QDBusObjectPath> items() const;
    QString label() const;
    bool locked() const;
    qulonglong created() const;
    qulonglong modified() const;

public slots:
    QDBusObjectPath Delete();
    QList<QDBusObjectPath> SearchItems(const AttributeMap& attributes);
    QDBusObjectPath CreateItem(const QVariantMap& properties, const SecretValue& secret, bool replace,
                               QDBusObjectPath& prompt);

signals:
    void ItemCreated(const QDBusObjectPath& item);
    void ItemDeleted(const QDBusObjectPath& item);
    void ItemChanged(const QDBusObjectPath& item);

private:
    const QDBusContext& call() const { return *static_cast<SecretBusObject*>(parent()); }

    SecretService& service;
};

class ItemAdaptor : public QDBusAbstractAdaptor
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Secret.Item")
    Q_PROPERTY(bool Locked READ locked)
    Q_PROPERTY(AttributeMap Attributes READ attributes WRITE setAttributes)
    Q_PROPERTY(QString Label READ label WRITE setLabel)
    Q_PROPERTY(qulonglong Created READ created)
    Q_PROPERTY(qulonglong Modified READ modified)

public:
    ItemAdaptor(SecretBusObject* object, SecretService& service, const QString& entryId);
    bool locked() const;
    AttributeMap attributes() const;
    void setAttributes(const AttributeMap& attributes);
    QString label() const;
    void setLabel(const QString& label);
    qulonglong created() const;
    qulonglong modified() const;

public slots:
    QDBusObjectPath Delete();
    SecretValue GetSecret(const QDBusObjectPath& session);
    void SetSecret(const SecretValue& secret);

private:
    // A property that cannot be changed now says why.
    void refuseChange() const;
    const QDBusContext& call() const { return *static_cast<SecretBusObject*>(parent()); }

    SecretService& service;
    QString entryId;
};

class SessionAdaptor : public QDBusAbstractAdaptor
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Secret.Session")

public:
    SessionAdaptor(QObject* object, SecretService& service, const QString& path);

public slots:
    void Close();

private:
    SecretService& service;
    QString path;
};

class PromptAdaptor : public QDBusAbstractAdaptor
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Secret.Prompt")

public:
    PromptAdaptor(QObject* object, SecretService& service, const QString& path);

public slots:
    void Prompt(const QString& windowId);
    void Dismiss();

signals:
    void Completed(bool dismissed, const QDBusVariant& result);

private:
    SecretService& service;
    QString path;
};
