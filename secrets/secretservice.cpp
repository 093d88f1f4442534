#include "secrets/secretservice.h"

#include "secrets/attributelines.h"
#include "secrets/secretadaptors.h"
#include "secrets/sessioncipher.h"
#include "vault/vault.h"

#include <QDBusConnectionInterface>
#include <QDBusMetaType>
#include <QDBusServiceWatcher>
#include <QDateTime>

#include <sodium.h>

namespace {

const QString kLabelProperty = QStringLiteral("org.freedesktop.Secret.Item.Label");
const QString kAttributesProperty = QStringLiteral("org.freedesktop.Secret.Item.Attributes");

QString collectionPath()
{
    return QLatin1String(SecretPaths::kCollection);
}

AttributeMap toAttributes(const QVariant& value)
{
    if (value.metaType() == QMetaType::fromType<QDBusArgument>())
        return qdbus_cast<AttributeMap>(value.value<QDBusArgument>());
    if (value.metaType() == QMetaType::fromType<AttributeMap>())
        return value.value<AttributeMap>();
    AttributeMap attributes;
    const QVariantMap map = value.toMap();
    for (auto it = map.cbegin(); it != map.cend(); ++it)
        attributes.insert(it.key(), it.value().toString());
    return attributes;
}

quint64 secondsOf(const QDateTime& time)
{
    return time.isValid() ? quint64(qMax<qint64>(0, time.toSecsSinceEpoch())) : 0;
}

} // namespace

SecretService::SecretService(Vault& vault, Host host, const QString& category, const QDBusConnection& bus,
                             QObject* parent)
    : QObject(parent), vault(vault), host(std::move(host)), categoryName(category), bus(bus),
      hashKey(crypto_generichash_KEYBYTES, '\0')
{
    registerSecretTypes();
    randombytes_buf(hashKey.data(), size_t(hashKey.size()));
    aliases.insert(QStringLiteral("default"), QDBusObjectPath(collectionPath()));
    connect(&vault, &Vault::vaultReset, this, [this] {
        // A vault dropped at the lock keeps its items known until it is read again.
        if (!isLocked())
            resync();
    });
    connect(&vault, &Vault::categoryRemoved, this, &SecretService::resync);
    connect(&vault, &Vault::entryAdded, this, &SecretService::onEntryAdded);
    connect(&vault, &Vault::entryChanged, this, &SecretService::onEntryChanged);
    connect(&vault, &Vault::entryRemoved, this, &SecretService::onEntryRemoved);
    lockedBefore = isLocked();
}

SecretService::~SecretService()
{
    if (state == Status::Serving)
        bus.unregisterService(QLatin1String(SecretPaths::kServiceName));
    for (const QString& path : sessions.keys() + prompts.keys())
        bus.unregisterObject(path);
    bus.unregisterObject(QLatin1String(SecretPaths::kDefaultAlias));
    bus.unregisterObject(collectionPath());
    bus.unregisterObject(QLatin1String(SecretPaths::kService));
    sodium_memzero(hashKey.data(), size_t(hashKey.size()));
}

void SecretService::start()
{
    if (!bus.isConnected()) {
        setStatus(Status::NoBus);
        return;
    }
    serviceObject = new SecretBusObject(this);
    serviceAdaptor = new ServiceAdaptor(serviceObject, *this);
    collectionObject = new SecretBusObject(this);
    collectionAdaptor = new CollectionAdaptor(collectionObject, *this);
    const auto exported = QDBusConnection::ExportAdaptors | QDBusConnection::ExportChildObjects;
    bus.registerObject(QLatin1String(SecretPaths::kService), serviceObject, QDBusConnection::ExportAdaptors);
    bus.registerObject(collectionPath(), collectionObject, exported);
    bus.registerObject(QLatin1String(SecretPaths::kDefaultAlias), collectionObject, exported);
    resync();

    // Sessions end with the client that opened them.
    clientWatcher = new QDBusServiceWatcher(this);
    clientWatcher->setConnection(bus);
    clientWatcher->setWatchMode(QDBusServiceWatcher::WatchForUnregistration);
    connect(clientWatcher, &QDBusServiceWatcher::serviceUnregistered, this, [this](const QString& client) {
        for (const QString& path : sessions.keys()) {
            if (sessions.value(path).owner == client)
                closeSession(path);
        }
        clientWatcher->removeWatchedService(client);
    });
    // A keyring holding the name now may go away later.
    nameWatcher = new QDBusServiceWatcher(QLatin1String(SecretPaths::kServiceName), bus,
                                          QDBusServiceWatcher::WatchForUnregistration, this);
    connect(nameWatcher, &QDBusServiceWatcher::serviceUnregistered, this, [this] {
        if (state == Status::NameTaken)
            requestName();
    });
    requestName();
}

void SecretService::requestName()
{
    const QDBusReply<QDBusConnectionInterface::RegisterServiceReply> reply = bus.interface()->registerService(
        QLatin1String(SecretPaths::kServiceName), QDBusConnectionInterface::DontQueueService,
        QDBusConnectionInterface::DontAllowReplacement);
    setStatus(reply.isValid() && reply.value() == QDBusConnectionInterface::ServiceRegistered ? Status::Serving
                                                                                              : Status::NameTaken);
}

void SecretService::setStatus(Status status)
{
    if (state == status)
        return;
    state = status;
    emit statusChanged();
}

QString SecretService::statusText() const
{
    switch (state) {
    case Status::Serving:
        return tr("Vaultry serves other programs' secrets from the category \"%1\".").arg(categoryName);
    case Status::NameTaken:
        return tr("Another program (a keyring such as gnome-keyring) serves other programs' secrets; Vaultry "
                  "cannot take org.freedesktop.secrets until it stops.");
    case Status::NoBus:
        return tr("Vaultry cannot serve other programs' secrets: there is no session bus.");
    case Status::Stopped:
        break;
    }
    return QString();
}

void SecretService::setCategory(const QString& name)
{
    if (name == categoryName || name.isEmpty())
        return;
    categoryName = name;
    // Known items of the old category cannot be told from the vault while it is locked.
    if (!isLocked())
        resync();
    else
        for (const QString& id : items.keys())
            forgetItem(id);
}

void SecretService::lockChanged()
{
    const bool locked = isLocked();
    if (locked == lockedBefore)
        return;
    lockedBefore = locked;
    if (!locked)
        resync();
    if (serviceAdaptor)
        emit serviceAdaptor->CollectionChanged(QDBusObjectPath(collectionPath()));
}

bool SecretService::isLocked() const
{
    return host.isLocked();
}

// --- the items, in step with the vault

QSet<QByteArray> SecretService::hashAttributes(const AttributeMap& attributes) const
{
    QSet<QByteArray> hashes;
    for (auto it = attributes.cbegin(); it != attributes.cend(); ++it) {
        const QByteArray pair = it.key().toUtf8() + '\0' + it.value().toUtf8();
        QByteArray hash(crypto_generichash_BYTES, '\0');
        crypto_generichash(reinterpret_cast<unsigned char*>(hash.data()), size_t(hash.size()),
                           reinterpret_cast<const unsigned char*>(pair.constData()), size_t(pair.size()),
                           reinterpret_cast<const unsigned char*>(hashKey.constData()), size_t(hashKey.size()));
        hashes.insert(hash);
    }
    return hashes;
}

void SecretService::registerItem(const Entry& entry)
{
    Item& item = items[entry.id];
    const bool created = !item.object;
    item.attributeHashes = hashAttributes(attributesFromNotes(entry.notes));
    const QDBusObjectPath path = SecretPaths::itemPath(entry.id);
    if (created && collectionObject) {
        auto* object = new SecretBusObject(collectionObject);
        object->setObjectName(SecretPaths::itemElement(entry.id));
        new ItemAdaptor(object, *this, entry.id);
        item.object = object;
    }
    if (!collectionAdaptor)
        return;
    if (created)
        emit collectionAdaptor->ItemCreated(path);
    else
        emit collectionAdaptor->ItemChanged(path);
}

void SecretService::forgetItem(const QString& id)
{
    const Item item = items.take(id);
    delete item.object;
    if (collectionAdaptor)
        emit collectionAdaptor->ItemDeleted(SecretPaths::itemPath(id));
}

void SecretService::resync()
{
    QSet<QString> present;
    for (const Entry& entry : vault.entries()) {
        if (entry.category != categoryName)
            continue;
        present.insert(entry.id);
        const auto known = items.constFind(entry.id);
        if (known == items.cend() || !known->object ||
            known->attributeHashes != hashAttributes(attributesFromNotes(entry.notes)))
            registerItem(entry);
    }
    for (const QString& id : items.keys()) {
        if (!present.contains(id))
            forgetItem(id);
    }
}

void SecretService::onEntryAdded(const Entry& entry)
{
    if (entry.category == categoryName)
        registerItem(entry);
}

void SecretService::onEntryChanged(const Entry&, const Entry& after)
{
    if (after.category == categoryName)
        registerItem(after);
    else if (items.contains(after.id))
        forgetItem(after.id);
}

void SecretService::onEntryRemoved(const Entry& entry)
{
    // Only the first holder of an id goes; another one may still be there.
    if (!items.contains(entry.id))
        return;
    const Entry* still = vault.entries().findById(entry.id);
    if (still && still->category == categoryName)
        registerItem(*still);
    else
        forgetItem(entry.id);
}

const Entry* SecretService::itemEntry(const QString& id) const
{
    if (isLocked() || !items.contains(id))
        return nullptr;
    const Entry* entry = vault.entries().findById(id);
    return entry && entry->category == categoryName ? entry : nullptr;
}

QList<QDBusObjectPath> SecretService::itemPaths() const
{
    QList<QDBusObjectPath> paths;
    for (auto it = items.cbegin(); it != items.cend(); ++it)
        paths << SecretPaths::itemPath(it.key());
    std::sort(paths.begin(), paths.end(),
              [](const QDBusObjectPath& a, const QDBusObjectPath& b) { return a.path() < b.path(); });
    return paths;
}

quint64 SecretService::collectionTime(bool modified) const
{
    quint64 result = 0;
    for (auto it = items.cbegin(); it != items.cend(); ++it) {
        const quint64 time = itemTime(it.key(), modified);
        if (time && (!result || (modified ? time > result : time < result)))
            result = time;
    }
    return result;
}

// --- sessions

QDBusVariant SecretService::openSession(const QDBusContext& call, const QString& algorithm, const QDBusVariant& input,
                                        QDBusObjectPath& session)
{
    std::unique_ptr<SessionCipher> cipher;
    QVariant output = QString();
    if (algorithm == QLatin1String(SessionCipher::kPlain)) {
        cipher = SessionCipher::plain();
    } else if (algorithm == QLatin1String(SessionCipher::kDhAes)) {
        QByteArray ours;
        cipher = SessionCipher::agree(input.variant().toByteArray(), &ours);
        if (!cipher) {
            call.sendErrorReply(QLatin1String(SecretErrors::kInvalidArgs),
                                QStringLiteral("The public key is not one of the group."));
            return QDBusVariant(QString());
        }
        output = ours;
    } else {
        call.sendErrorReply(QLatin1String(SecretErrors::kNotSupported),
                            QStringLiteral("Vaultry knows the algorithms \"plain\" and \"%1\".")
                                .arg(QLatin1String(SessionCipher::kDhAes)));
        return QDBusVariant(QString());
    }
    const QString path = QLatin1String(SecretPaths::kSessionPrefix) + QString::number(++nextSession);
    const QString owner = call.message().service();
    sessions.insert(path, Session{owner, std::shared_ptr<SessionCipher>(std::move(cipher))});
    auto* object = new QObject(this);
    object->setObjectName(path);
    new SessionAdaptor(object, *this, path);
    bus.registerObject(path, object, QDBusConnection::ExportAdaptors);
    if (clientWatcher && !owner.isEmpty())
        clientWatcher->addWatchedService(owner);
    session = QDBusObjectPath(path);
    return QDBusVariant(output);
}

void SecretService::closeSession(const QString& path)
{
    if (!sessions.remove(path))
        return;
    bus.unregisterObject(path);
    for (QObject* child : children()) {
        if (child->objectName() == path)
            delete child;
    }
}

const SecretService::Session* SecretService::callerSession(const QDBusContext& call, const QDBusObjectPath& path) const
{
    const auto found = sessions.constFind(path.path());
    if (found == sessions.cend() || found->owner != call.message().service()) {
        call.sendErrorReply(QLatin1String(SecretErrors::kNoSession), QStringLiteral("No such session."));
        return nullptr;
    }
    return &*found;
}

bool SecretService::decodeSecret(const QDBusContext& call, const SecretValue& secret, QString* text) const
{
    const Session* session = callerSession(call, secret.session);
    if (!session)
        return false;
    QByteArray bytes;
    if (!session->cipher->open(secret.parameters, secret.value, &bytes)) {
        call.sendErrorReply(QLatin1String(SecretErrors::kInvalidArgs), QStringLiteral("The secret does not open."));
        return false;
    }
    *text = QString::fromUtf8(bytes);
    const bool isText = text->toUtf8() == bytes;
    sodium_memzero(bytes.data(), size_t(bytes.size()));
    if (!isText) {
        text->fill(QLatin1Char('\0'));
        call.sendErrorReply(QLatin1String(SecretErrors::kNotSupported),
                            QStringLiteral("Vaultry keeps secrets as text (UTF-8)."));
        return false;
    }
    return true;
}

// --- searching, locking and reading

QList<QDBusObjectPath> SecretService::search(const AttributeMap& attributes, QList<QDBusObjectPath>* lockedOut)
{
    const QSet<QByteArray> wanted = hashAttributes(attributes);
    QList<QDBusObjectPath> found;
    for (const QDBusObjectPath& path : itemPaths()) {
        if (items.value(SecretPaths::entryIdOfPath(path.path())).attributeHashes.contains(wanted))
            found << path;
    }
    if (isLocked()) {
        *lockedOut = found;
        return {};
    }
    lockedOut->clear();
    return found;
}

QList<QDBusObjectPath> SecretService::unlock(const QList<QDBusObjectPath>& objects, QDBusObjectPath& prompt)
{
    QList<QDBusObjectPath> ours;
    for (const QDBusObjectPath& object : objects) {
        if (object.path() == collectionPath() || object.path() == QLatin1String(SecretPaths::kDefaultAlias) ||
            items.contains(SecretPaths::entryIdOfPath(object.path())))
            ours << object;
    }
    if (!isLocked() || ours.isEmpty()) {
        prompt = SecretPaths::none();
        return ours;
    }
    prompt = makePrompt(ours);
    return {};
}

QList<QDBusObjectPath> SecretService::lock(const QList<QDBusObjectPath>& objects, QDBusObjectPath& prompt)
{
    prompt = SecretPaths::none();
    if (!isLocked() && host.canLock())
        host.lock();
    if (!isLocked())
        return {};
    QList<QDBusObjectPath> locked;
    for (const QDBusObjectPath& object : objects) {
        if (object.path() == collectionPath() || object.path() == QLatin1String(SecretPaths::kDefaultAlias) ||
            items.contains(SecretPaths::entryIdOfPath(object.path())))
            locked << object;
    }
    return locked;
}

SecretsByPath SecretService::secrets(const QDBusContext& call, const QList<QDBusObjectPath>& paths,
                                     const QDBusObjectPath& sessionPath)
{
    const Session* session = callerSession(call, sessionPath);
    SecretsByPath result;
    if (!session)
        return result;
    // Locked items are left out: a locked window gives no secret.
    for (const QDBusObjectPath& path : paths) {
        const Entry* entry = itemEntry(SecretPaths::entryIdOfPath(path.path()));
        if (!entry)
            continue;
        SecretValue secret;
        if (sealFor(*session, sessionPath, entry->password, &secret))
            result.insert(path, secret);
    }
    return result;
}

SecretValue SecretService::itemSecret(const QDBusContext& call, const QString& id, const QDBusObjectPath& sessionPath)
{
    if (isLocked()) {
        call.sendErrorReply(QLatin1String(SecretErrors::kIsLocked), QStringLiteral("Vaultry is locked."));
        return {};
    }
    const Session* session = callerSession(call, sessionPath);
    if (!session)
        return {};
    const Entry* entry = itemEntry(id);
    SecretValue secret;
    if (!entry || !sealFor(*session, sessionPath, entry->password, &secret)) {
        call.sendErrorReply(QLatin1String(SecretErrors::kNoSuchObject), QStringLiteral("No such item."));
        return {};
    }
    return secret;
}

bool SecretService::sealFor(const Session& session, const QDBusObjectPath& sessionPath, const QString& password,
                            SecretValue* secret) const
{
    *secret = SecretValue{sessionPath, {}, {}, QStringLiteral("text/plain")};
    QByteArray bytes = password.toUtf8();
    const bool sealed = session.cipher->seal(bytes, &secret->parameters, &secret->value);
    sodium_memzero(bytes.data(), size_t(bytes.size()));
    return sealed;
}

QDBusObjectPath SecretService::readAlias(const QString& name) const
{
    return aliases.value(name, SecretPaths::none());
}

void SecretService::setAlias(const QDBusContext& call, const QString& name, const QDBusObjectPath& collection)
{
    if (collection.path() == QLatin1String("/")) {
        aliases.remove(name);
    } else if (collection.path() == collectionPath() ||
               collection.path() == QLatin1String(SecretPaths::kDefaultAlias)) {
        aliases.insert(name, QDBusObjectPath(collectionPath()));
    } else {
        call.sendErrorReply(QLatin1String(SecretErrors::kNoSuchObject), QStringLiteral("No such collection."));
    }
}

AttributeMap SecretService::itemAttributes(const QString& id) const
{
    const Entry* entry = itemEntry(id);
    return entry ? attributesFromNotes(entry->notes) : AttributeMap();
}

QString SecretService::itemLabel(const QString& id) const
{
    const Entry* entry = itemEntry(id);
    return entry ? entry->title : QString();
}

quint64 SecretService::itemTime(const QString& id, bool modified) const
{
    const Entry* entry = itemEntry(id);
    if (!entry)
        return 0;
    return secondsOf(modified ? entry->dateChanged.toDateTime() : entry->dateCreated.toDateTime());
}

// --- changes, through the vault's operations

bool SecretService::writable(const QDBusContext* call) const
{
    QString refusal;
    if (isLocked())
        refusal = QStringLiteral("Vaultry is locked.");
    else if (host.isReadOnly())
        refusal = QStringLiteral("Vaultry's vault is read-only here.");
    if (refusal.isEmpty())
        return true;
    if (call)
        call->sendErrorReply(QLatin1String(isLocked() ? SecretErrors::kIsLocked : SecretErrors::kAccessDenied),
                             refusal);
    return false;
}

void SecretService::storeEntry(Entry entry, const QString& summary)
{
    entry.dateChanged = QDateTime::currentDateTime();
    vault.saveEntry(entry, entry.category);
    host.changed(summary);
}

QDBusObjectPath SecretService::createItem(const QDBusContext& call, const QVariantMap& properties,
                                          const SecretValue& secret, bool replace)
{
    if (!writable(&call))
        return SecretPaths::none();
    QString password;
    if (!decodeSecret(call, secret, &password))
        return SecretPaths::none();
    const QString label = properties.value(kLabelProperty).toString();
    const AttributeMap attributes = toAttributes(properties.value(kAttributesProperty));
    if (replace) {
        for (const Entry& entry : vault.entries()) {
            if (entry.category != categoryName || attributesFromNotes(entry.notes) != attributes)
                continue;
            Entry changed = entry;
            changed.title = label;
            changed.password = password;
            storeEntry(changed, tr("Another program changed \"%1\" through the Secret Service.").arg(label));
            return SecretPaths::itemPath(entry.id);
        }
    }
    Entry entry;
    entry.category = categoryName;
    entry.title = label;
    entry.password = password;
    entry.notes = notesWithAttributes(QString(), attributes);
    vault.addCategory(categoryName);
    vault.addEntry(entry);
    host.changed(tr("Another program stored \"%1\" through the Secret Service.").arg(label));
    return SecretPaths::itemPath(entry.id);
}

void SecretService::setItemSecret(const QDBusContext& call, const QString& id, const SecretValue& secret)
{
    if (!writable(&call))
        return;
    const Entry* entry = itemEntry(id);
    QString password;
    if (!entry) {
        call.sendErrorReply(QLatin1String(SecretErrors::kNoSuchObject), QStringLiteral("No such item."));
        return;
    }
    if (!decodeSecret(call, secret, &password))
        return;
    Entry changed = *entry;
    changed.password = password;
    storeEntry(changed, tr("Another program changed \"%1\" through the Secret Service.").arg(changed.title));
}

bool SecretService::setItemAttributes(const QString& id, const AttributeMap& attributes)
{
    const Entry* entry = itemEntry(id);
    if (!entry || !writable(nullptr))
        return false;
    Entry changed = *entry;
    changed.notes = notesWithAttributes(entry->notes, attributes);
    storeEntry(changed, tr("Another program changed \"%1\" through the Secret Service.").arg(changed.title));
    return true;
}

bool SecretService::setItemLabel(const QString& id, const QString& label)
{
    const Entry* entry = itemEntry(id);
    if (!entry || !writable(nullptr))
        return false;
    Entry changed = *entry;
    changed.title = label;
    storeEntry(changed, tr("Another program changed \"%1\" through the Secret Service.").arg(label));
    return true;
}

bool SecretService::deleteItem(const QDBusContext& call, const QString& id)
{
    if (!writable(&call))
        return false;
    const Entry* entry = itemEntry(id);
    if (!entry) {
        call.sendErrorReply(QLatin1String(SecretErrors::kNoSuchObject), QStringLiteral("No such item."));
        return false;
    }
    const QString title = entry->title;
    vault.removeEntry(id);
    host.changed(tr("Another program deleted \"%1\" through the Secret Service.").arg(title));
    return true;
}

// --- prompts

QDBusObjectPath SecretService::makePrompt(const QList<QDBusObjectPath>& objects)
{
    const QString path = QLatin1String(SecretPaths::kPromptPrefix) + QString::number(++nextPrompt);
    prompts.insert(path, objects);
    auto* object = new QObject(this);
    object->setObjectName(path);
    new PromptAdaptor(object, *this, path);
    bus.registerObject(path, object, QDBusConnection::ExportAdaptors);
    return QDBusObjectPath(path);
}

void SecretService::runPrompt(const QString& path, const QString& windowId)
{
    if (!prompts.contains(path))
        return;
    if (isLocked())
        host.unlock(windowId);
    // The dialog ran its own event loop: the prompt may have been dismissed meanwhile.
    if (!prompts.contains(path))
        return;
    const bool unlocked = !isLocked();
    const QList<QDBusObjectPath> objects = prompts.take(path);
    finishPrompt(path, !unlocked, unlocked ? objects : QList<QDBusObjectPath>());
}

void SecretService::dismissPrompt(const QString& path)
{
    if (prompts.remove(path))
        finishPrompt(path, true, {});
}

void SecretService::finishPrompt(const QString& path, bool dismissed, const QList<QDBusObjectPath>& objects)
{
    // Sent here rather than through the adaptor, whose signals reach the bus later, when the
    // prompt is no longer there to send them from.
    QDBusMessage completed =
        QDBusMessage::createSignal(path, QStringLiteral("org.freedesktop.Secret.Prompt"), QStringLiteral("Completed"));
    completed << dismissed << QVariant::fromValue(QDBusVariant(QVariant::fromValue(objects)));
    bus.send(completed);
    bus.unregisterObject(path);
    delete findChild<QObject*>(path, Qt::FindDirectChildrenOnly);
}
