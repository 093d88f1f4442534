#pragma once

#include "secrets/secrettypes.h"

#include <QDBusConnection>
#include <QDBusVariant>
#include <QHash>
#include <QObject>
#include <QSet>

#include <functional>
#include <memory>

class CollectionAdaptor;
class QDBusContext;
class QDBusServiceWatcher;
class SecretBusObject;
class ServiceAdaptor;
class SessionCipher;
class Vault;
struct Entry;

// Serves the entries of one category of the vault to other programs as the freedesktop Secret
// Service: one collection (also the "default" alias) whose items are those entries, with the
// label as the entry's title, the secret as its password and the lookup attributes on lines of
// its notes (secrets/attributelines.h). Changes go through the Vault's operations, so the window
// and the saver see them as any edit; the window's own edits show through the same signals.
// Secrets go out only while the window is unlocked. While it is locked, a search still finds
// items by keyed hashes of their attributes kept from before, and Unlock answers with a prompt
// that shows the window's unlock dialog.
class SecretService : public QObject
{
    Q_OBJECT

public:
    // What the service asks of the window that holds the vault.
    struct Host
    {
        std::function<bool()> isLocked;
        // Whether locking means anything (a master password is in use).
        std::function<bool()> canLock;
        std::function<void()> lock;
        // Shows the unlock prompt (for the client's window id) and returns once it was answered.
        std::function<void(const QString& windowId)> unlock;
        // Changes cannot be kept (a read-only vault).
        std::function<bool()> isReadOnly;
        // The service changed the vault; `summary` tells the user what.
        std::function<void(const QString& summary)> changed;
    };

    enum class Status
    {
        Stopped,
        Serving,
        NameTaken, // another program (a keyring) owns org.freedesktop.secrets
        NoBus,
    };

    SecretService(Vault& vault, Host host, const QString& category, const QDBusConnection& bus,
                  QObject* parent = nullptr);
    ~SecretService() override;

    // Puts the objects on the bus and asks for the name; a name taken now is taken once it is free.
    void start();
    Status status() const { return state; }
    // For the status bar and the settings.
    QString statusText() const;
    QString category() const { return categoryName; }
    void setCategory(const QString& name);
    // The window locked or unlocked.
    void lockChanged();

    // The interfaces' work, for the adaptors (secrets/secretadaptors.h). A call that fails sends
    // its error through `call` and returns an empty value.
    QDBusVariant openSession(const QDBusContext& call, const QString& algorithm, const QDBusVariant& input,
                             QDBusObjectPath& session);
    void closeSession(const QString& path);
    QList<QDBusObjectPath> search(const AttributeMap& attributes, QList<QDBusObjectPath>* lockedOut);
    QList<QDBusObjectPath> unlock(const QList<QDBusObjectPath>& objects, QDBusObjectPath& prompt);
    QList<QDBusObjectPath> lock(const QList<QDBusObjectPath>& objects, QDBusObjectPath& prompt);
    SecretsByPath secrets(const QDBusContext& call, const QList<QDBusObjectPath>& items,
                          const QDBusObjectPath& session);
    QDBusObjectPath readAlias(const QString& name) const;
    void setAlias(const QDBusContext& call, const QString& name, const QDBusObjectPath& collection);
    QDBusObjectPath createItem(const QDBusContext& call, const QVariantMap& properties, const SecretValue& secret,
                               bool replace);

    bool isLocked() const;
    QList<QDBusObjectPath> itemPaths() const;
    quint64 collectionTime(bool modified) const;

    // One item, named by its entry id.
    SecretValue itemSecret(const QDBusContext& call, const QString& id, const QDBusObjectPath& session);
    void setItemSecret(const QDBusContext& call, const QString& id, const SecretValue& secret);
    AttributeMap itemAttributes(const QString& id) const;
    QString itemLabel(const QString& id) const;
    quint64 itemTime(const QString& id, bool modified) const;
    // False when the item cannot be changed now (locked, read-only or gone).
    bool setItemAttributes(const QString& id, const AttributeMap& attributes);
    bool setItemLabel(const QString& id, const QString& label);
    bool deleteItem(const QDBusContext& call, const QString& id);

    // The prompt's work: shows the unlock dialog, then says how it went.
    void runPrompt(const QString& path, const QString& windowId);
    void dismissPrompt(const QString& path);

signals:
    void statusChanged();

private:
    struct Session
    {
        QString owner; // the client's unique bus name
        std::shared_ptr<SessionCipher> cipher;
    };
    struct Item
    {
        QObject* object = nullptr;
        QSet<QByteArray> attributeHashes;
    };

    void requestName();
    void setStatus(Status status);
    void registerItem(const Entry& entry);
    void forgetItem(const QString& id);
    // Brings the items in line with the vault's entries of the category.
    void resync();
    void onEntryAdded(const Entry& entry);
    void onEntryChanged(const Entry& before, const Entry& after);
    void onEntryRemoved(const Entry& entry);
    QSet<QByteArray> hashAttributes(const AttributeMap& attributes) const;
    const Entry* itemEntry(const QString& id) const;
    // The entry may be changed now; otherwise the error goes back through `call` (when given).
    bool writable(const QDBusContext* call) const;
    const Session* callerSession(const QDBusContext& call, const QDBusObjectPath& path) const;
    bool sealFor(const Session& session, const QDBusObjectPath& sessionPath, const QString& password,
                 SecretValue* secret) const;
    bool decodeSecret(const QDBusContext& call, const SecretValue& secret, QString* text) const;
    void storeEntry(Entry entry, const QString& summary);
    void finishPrompt(const QString& path, bool dismissed, const QList<QDBusObjectPath>& objects);
    QDBusObjectPath makePrompt(const QList<QDBusObjectPath>& objects);

    Vault& vault;
    Host host;
    QString categoryName;
    QDBusConnection bus;
    Status state = Status::Stopped;
    SecretBusObject* serviceObject = nullptr;
    SecretBusObject* collectionObject = nullptr;
    ServiceAdaptor* serviceAdaptor = nullptr;
    CollectionAdaptor* collectionAdaptor = nullptr;
    QDBusServiceWatcher* nameWatcher = nullptr;
    QDBusServiceWatcher* clientWatcher = nullptr;
    QHash<QString, Item> items;                     // by entry id
    QHash<QString, Session> sessions;               // by path
    QHash<QString, QList<QDBusObjectPath>> prompts; // by path: the objects to report as unlocked
    QHash<QString, QDBusObjectPath> aliases;
    QByteArray hashKey;
    quint64 nextSession = 0;
    quint64 nextPrompt = 0;
    bool lockedBefore = false;
};
