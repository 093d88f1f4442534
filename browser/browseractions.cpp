#include "browser/browseractions.h"

#include "browser/browseraccess.h"
#include "browser/browserprompts.h"
#include "browser/sitematch.h"
#include "prefs/generator.h"
#include "store/preferences.h"
#include "vault/vault.h"
#include "vault/vaultcommands.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QJsonArray>
#include <QUrl>

#include <algorithm>

namespace {

const QString kRootUuid = QStringLiteral("00000000000000000000000000000000");

QString text(const QJsonObject& message, const char* key)
{
    return message.value(QLatin1String(key)).toString();
}

QJsonObject loginOf(const Entry& entry)
{
    QJsonObject login;
    login.insert(QLatin1String("login"), entry.account);
    login.insert(QLatin1String("name"), entry.title);
    login.insert(QLatin1String("password"), entry.password);
    login.insert(QLatin1String("uuid"), entry.id);
    login.insert(QLatin1String("group"), entry.category);
    login.insert(QLatin1String("stringFields"), QJsonArray());
    return login;
}

// scheme://host[:port] of a page, the website a new login is saved under.
QString originOf(const QString& url)
{
    const QUrl page(url);
    return page.adjusted(QUrl::RemovePath | QUrl::RemoveQuery | QUrl::RemoveFragment | QUrl::RemoveUserInfo).toString();
}

} // namespace

QString browserErrorText(BrowserError error)
{
    switch (error) {
    case BrowserError::Unknown:
        return QStringLiteral("Unknown error");
    case BrowserError::DatabaseNotOpened:
        return QStringLiteral("Database not opened");
    case BrowserError::ClientPublicKeyNotReceived:
        return QStringLiteral("Client public key not received");
    case BrowserError::CannotDecryptMessage:
        return QStringLiteral("Cannot decrypt message");
    case BrowserError::ActionCancelledOrDenied:
        return QStringLiteral("Action cancelled or denied");
    case BrowserError::AssociationFailed:
        return QStringLiteral("KeePassXC association failed, try again");
    case BrowserError::KeyChangeFailed:
        return QStringLiteral("Key change was not successful");
    case BrowserError::IncorrectAction:
        return QStringLiteral("Incorrect action");
    case BrowserError::EmptyMessageReceived:
        return QStringLiteral("Empty message received");
    case BrowserError::NoUrlProvided:
        return QStringLiteral("No URL provided");
    case BrowserError::NoLoginsFound:
        return QStringLiteral("No logins found");
    case BrowserError::NoGroupsFound:
        return QStringLiteral("No groups found");
    case BrowserError::CannotCreateNewGroup:
        return QStringLiteral("Cannot create new group");
    case BrowserError::NoValidUuidProvided:
        return QStringLiteral("No valid UUID provided");
    }
    return QString();
}

QString categoryUuid(const QString& name)
{
    return QString::fromLatin1(QCryptographicHash::hash(name.toUtf8(), QCryptographicHash::Md5).toHex());
}

BrowserActions::Reply BrowserActions::Reply::failure(BrowserError code, const QString& text)
{
    Reply reply;
    reply.failed = true;
    reply.error = code;
    reply.errorText = text;
    return reply;
}

BrowserActions::BrowserActions(Vault& vault, const Preferences& preferences, BrowserAccess& access,
                               BrowserPrompts& prompts, const QString& databaseHash)
    : vault(vault), preferences(preferences), access(access), prompts(prompts), hash(databaseHash)
{
}

BrowserActions::Reply BrowserActions::handle(const QString& action, const QJsonObject& message, BrowserClient& client)
{
    if (!prompts.vaultOpen())
        return Reply::failure(BrowserError::DatabaseNotOpened);
    Reply reply;
    if (action == QLatin1String("get-databasehash"))
        reply = databaseHashReply();
    else if (action == QLatin1String("associate"))
        reply = associate(message, client);
    else if (action == QLatin1String("test-associate"))
        reply = testAssociate(message, client);
    else if (action == QLatin1String("lock-database"))
        reply = lock();
    else if (action == QLatin1String("get-logins") || action == QLatin1String("get-logins-count"))
        reply = logins(message, client, action == QLatin1String("get-logins-count"));
    else if (client.provenIds.isEmpty()) // everything below needs a proven connection
        reply = Reply::failure(BrowserError::AssociationFailed);
    else if (action == QLatin1String("set-login"))
        reply = setLogin(message, client);
    else if (action == QLatin1String("generate-password"))
        reply = generatePassword();
    else if (action == QLatin1String("get-database-groups"))
        reply = groups();
    else if (action == QLatin1String("create-new-group"))
        reply = createGroup(message);
    else if (action == QLatin1String("get-totp"))
        reply = oneTimeCodeReply(message);
    else
        reply = Reply::failure(BrowserError::IncorrectAction);
    // A question may have been open while the window was locked or closed: nothing goes out then.
    if (!reply.failed && !prompts.vaultOpen())
        return Reply::failure(BrowserError::DatabaseNotOpened);
    return reply;
}

BrowserActions::Reply BrowserActions::databaseHashReply() const
{
    Reply reply;
    reply.fields.insert(QLatin1String("hash"), hash);
    return reply;
}

BrowserActions::Reply BrowserActions::associate(const QJsonObject& message, BrowserClient& client)
{
    const QString key = text(message, "key");
    const QString idKey = text(message, "idKey");
    // The session's own key, proving the request comes from the one who made the session.
    if (key.isEmpty() || QString::fromLatin1(QByteArray::fromBase64(key.toLatin1()).toBase64()) != client.publicKey ||
        idKey.isEmpty())
        return Reply::failure(BrowserError::AssociationFailed);
    QString name = access.freeName(QStringLiteral("Browser"));
    if (!prompts.allowConnection(name) || !prompts.vaultOpen())
        return Reply::failure(BrowserError::ActionCancelledOrDenied);
    name = access.freeName(name);
    access.associate(name, idKey);
    if (!saveAccess())
        return Reply::failure(BrowserError::AssociationFailed);
    client.provenIds.insert(name);
    Reply reply;
    reply.fields.insert(QLatin1String("id"), name);
    return reply;
}

BrowserActions::Reply BrowserActions::testAssociate(const QJsonObject& message, BrowserClient& client)
{
    const QString id = text(message, "id");
    if (!access.isAssociated(id, text(message, "key")))
        return Reply::failure(BrowserError::AssociationFailed);
    client.provenIds.insert(id);
    Reply reply;
    reply.fields.insert(QLatin1String("id"), id);
    return reply;
}

BrowserActions::Reply BrowserActions::logins(const QJsonObject& message, BrowserClient& client, bool countOnly)
{
    bool proven = false;
    const QJsonArray keys = message.value(QLatin1String("keys")).toArray();
    for (const QJsonValue& key : keys) {
        const QString id = text(key.toObject(), "id");
        if (access.isAssociated(id, text(key.toObject(), "key"))) {
            client.provenIds.insert(id);
            proven = true;
        }
    }
    if (!proven)
        return Reply::failure(BrowserError::AssociationFailed);
    const QString url = text(message, "url");
    if (pageHost(url).isEmpty())
        return Reply::failure(BrowserError::NoUrlProvided);

    Reply reply;
    if (countOnly) {
        int count = 0;
        for (const Entry& entry : vault.entries()) {
            if (siteMatchScore(entry.url, url) > 0 &&
                access.siteAnswer(entry.id, pageHost(url)) != BrowserAccess::SiteAnswer::Denied)
                ++count;
        }
        reply.fields.insert(QLatin1String("count"), count);
        return reply;
    }
    const QList<Entry> found = allowedEntries(url);
    if (!prompts.vaultOpen())
        return Reply::failure(BrowserError::DatabaseNotOpened);
    if (found.isEmpty())
        return Reply::failure(BrowserError::NoLoginsFound);
    QJsonArray entries;
    for (const Entry& entry : found)
        entries.append(loginOf(entry));
    reply.fields.insert(QLatin1String("count"), int(entries.size()));
    reply.fields.insert(QLatin1String("entries"), entries);
    reply.fields.insert(QLatin1String("id"), *client.provenIds.constBegin());
    return reply;
}

QList<Entry> BrowserActions::allowedEntries(const QString& url)
{
    struct Candidate
    {
        int score;
        QString title;
        QString id;
    };
    QList<Candidate> candidates;
    for (const Entry& entry : vault.entries()) {
        if (const int score = siteMatchScore(entry.url, url))
            candidates.append({score, entry.title, entry.id});
    }
    std::stable_sort(candidates.begin(), candidates.end(), [](const Candidate& a, const Candidate& b) {
        return a.score != b.score ? a.score > b.score : a.title.localeAwareCompare(b.title) < 0;
    });

    const QString host = pageHost(url);
    bool answered = false;
    QStringList allowedIds;
    for (const Candidate& candidate : std::as_const(candidates)) {
        const Entry* entry = vault.entries().findById(candidate.id);
        if (!entry)
            continue;
        switch (access.siteAnswer(candidate.id, host)) {
        case BrowserAccess::SiteAnswer::Allowed:
            allowedIds << candidate.id;
            break;
        case BrowserAccess::SiteAnswer::Denied:
            break;
        case BrowserAccess::SiteAnswer::Unknown: {
            const Entry asked = *entry;
            const BrowserPrompts::SiteChoice choice = prompts.allowEntryForSite(host, asked);
            if (!prompts.vaultOpen())
                return {};
            if (choice == BrowserPrompts::SiteChoice::Deny) {
                access.setSiteAnswer(candidate.id, host, BrowserAccess::SiteAnswer::Denied);
                answered = true;
            } else {
                if (choice == BrowserPrompts::SiteChoice::Always) {
                    access.setSiteAnswer(candidate.id, host, BrowserAccess::SiteAnswer::Allowed);
                    answered = true;
                }
                allowedIds << candidate.id;
            }
            break;
        }
        }
    }
    if (answered)
        saveAccess();
    // Read again: the vault may have changed while a question was open.
    QList<Entry> allowed;
    for (const QString& id : std::as_const(allowedIds)) {
        if (const Entry* entry = vault.entries().findById(id))
            allowed.append(*entry);
    }
    return allowed;
}

BrowserActions::Reply BrowserActions::setLogin(const QJsonObject& message, const BrowserClient& client)
{
    if (!client.provenIds.contains(text(message, "id")))
        return Reply::failure(BrowserError::AssociationFailed);
    const QString url = text(message, "url");
    const QString host = pageHost(url);
    if (host.isEmpty())
        return Reply::failure(BrowserError::NoUrlProvided);
    const QString uuid = text(message, "uuid");

    Entry before(Entry::NoId);
    Entry after;
    if (!uuid.isEmpty()) {
        const Entry* stored = vault.entries().findById(uuid);
        if (!stored)
            return Reply::failure(BrowserError::NoValidUuidProvided);
        before = *stored;
        after = before;
    } else {
        before.id.clear();
        after.title = host;
        after.url = originOf(url);
        after.category = Vault::generalCategory();
        const QString groupUuid = text(message, "groupUuid");
        for (const QString& name : vault.categoryNames()) {
            if (!groupUuid.isEmpty() && categoryUuid(name) == groupUuid)
                after.category = name;
        }
    }
    after.account = text(message, "login");
    after.password = text(message, "password");
    after.dateChanged = QDateTime::currentDateTime();

    if (!prompts.confirmLogin(before, after) || !prompts.vaultOpen())
        return Reply::failure(BrowserError::ActionCancelledOrDenied);
    const bool adds = before.id.isEmpty();
    if (adds) {
        vault.addCategory(after.category);
        vault.addEntry(after);
    } else if (!vault.entries().containsId(after.id)) {
        return Reply::failure(BrowserError::NoValidUuidProvided);
    } else {
        // Only the account and password come from the form; the rest stays as it is now.
        Entry current = *vault.entries().findById(after.id);
        current.account = after.account;
        current.password = after.password;
        current.dateChanged = after.dateChanged;
        after = current;
    }
    prompts.applyStep(new SaveEntryCommand(vault, after, after.category, adds));
    // The user saved it from this site: it may fill it there.
    access.setSiteAnswer(after.id, host, BrowserAccess::SiteAnswer::Allowed);
    saveAccess();
    Reply reply;
    reply.fields.insert(QLatin1String("count"), QJsonValue());
    reply.fields.insert(QLatin1String("entries"), QJsonValue());
    reply.fields.insert(QLatin1String("error"), QStringLiteral("success"));
    return reply;
}

BrowserActions::Reply BrowserActions::generatePassword() const
{
    Reply reply;
    reply.fields.insert(QLatin1String("password"),
                        ::generatePassword(preferences.genMinLength, preferences.genMaxLength, preferences.genMixedCase,
                                           preferences.genAlphanum, preferences.genSpecialChars));
    return reply;
}

BrowserActions::Reply BrowserActions::groups() const
{
    // Categories are one level deep: they are the children of one root.
    QJsonArray children;
    for (const QString& name : vault.categoryNames()) {
        QJsonObject group;
        group.insert(QLatin1String("name"), name);
        group.insert(QLatin1String("uuid"), categoryUuid(name));
        group.insert(QLatin1String("children"), QJsonArray());
        children.append(group);
    }
    QJsonObject root;
    root.insert(QLatin1String("name"), QStringLiteral("Vaultry"));
    root.insert(QLatin1String("uuid"), kRootUuid);
    root.insert(QLatin1String("children"), children);
    Reply reply;
    reply.fields.insert(QLatin1String("defaultGroup"), Vault::generalCategory());
    reply.fields.insert(QLatin1String("defaultGroupAlwaysAllow"), false);
    reply.fields.insert(QLatin1String("groups"), QJsonArray{root});
    return reply;
}

BrowserActions::Reply BrowserActions::createGroup(const QJsonObject& message)
{
    // A path "a/b" names one category: categories do not nest.
    const QString name = text(message, "groupName").trimmed();
    if (name.isEmpty())
        return Reply::failure(BrowserError::CannotCreateNewGroup);
    if (!vault.categoryNames().contains(name)) {
        if (!prompts.confirmNewCategory(name) || !prompts.vaultOpen())
            return Reply::failure(BrowserError::ActionCancelledOrDenied);
        vault.addCategory(name);
    }
    Reply reply;
    reply.fields.insert(QLatin1String("name"), name);
    reply.fields.insert(QLatin1String("uuid"), categoryUuid(name));
    return reply;
}

BrowserActions::Reply BrowserActions::oneTimeCodeReply(const QJsonObject& message) const
{
    const Entry* entry = vault.entries().findById(text(message, "uuid"));
    if (!entry)
        return Reply::failure(BrowserError::NoValidUuidProvided);
    Reply reply;
    reply.fields.insert(QLatin1String("totp"), oneTimeCode ? oneTimeCode(*entry) : QString());
    return reply;
}

BrowserActions::Reply BrowserActions::lock()
{
    // As the extension expects: once locked, the answer is that nothing is open.
    if (prompts.lockVault())
        return Reply::failure(BrowserError::DatabaseNotOpened);
    return Reply::failure(
        BrowserError::Unknown,
        QCoreApplication::translate("BrowserActions", "Vaultry cannot lock: no master password is in use."));
}

bool BrowserActions::saveAccess()
{
    return access.save();
}
