#pragma once

#include <QJsonObject>
#include <QSet>
#include <QString>

#include <functional>

class BrowserAccess;
class BrowserPrompts;
class Entry;
class Vault;
struct Preferences;

// The protocol's error codes, as KeePassXC-Browser names them.
enum class BrowserError
{
    Unknown = 0,
    DatabaseNotOpened = 1,
    ClientPublicKeyNotReceived = 3,
    CannotDecryptMessage = 4,
    ActionCancelledOrDenied = 6,
    AssociationFailed = 8,
    KeyChangeFailed = 9,
    IncorrectAction = 12,
    EmptyMessageReceived = 13,
    NoUrlProvided = 14,
    NoLoginsFound = 15,
    NoGroupsFound = 16,
    CannotCreateNewGroup = 17,
    NoValidUuidProvided = 18,
};

QString browserErrorText(BrowserError error);

// One browser session as the actions see it: the key it sent for this session and the
// connections it has proven in it (by associate, test-associate or keys of get-logins). Actions
// that read or change the vault need one.
struct BrowserClient
{
    QString publicKey; // base64
    QSet<QString> provenIds;
};

// The decrypted requests of KeePassXC-Browser, answered from the vault. Every answer is either
// the fields of a successful reply or an error; a closed or locked vault answers
// DatabaseNotOpened to everything that would read it.
class BrowserActions
{
public:
    struct Reply
    {
        QJsonObject fields;
        bool failed = false;
        BrowserError error = BrowserError::Unknown;
        QString errorText; // empty: the code's own text

        static Reply failure(BrowserError code, const QString& text = QString());
    };
    // The one-time code of an entry; unset, get-totp answers an empty code.
    using OneTimeCodeSource = std::function<QString(const Entry&)>;

    // `databaseHash` names the vault to the extension, which keeps its keys under it.
    BrowserActions(Vault& vault, const Preferences& preferences, BrowserAccess& access, BrowserPrompts& prompts,
                   const QString& databaseHash);

    void setOneTimeCodeSource(OneTimeCodeSource source) { oneTimeCode = std::move(source); }
    const QString& databaseHash() const { return hash; }

    Reply handle(const QString& action, const QJsonObject& message, BrowserClient& client);

private:
    Reply databaseHashReply() const;
    Reply associate(const QJsonObject& message, BrowserClient& client);
    Reply testAssociate(const QJsonObject& message, BrowserClient& client);
    Reply logins(const QJsonObject& message, BrowserClient& client, bool countOnly);
    Reply setLogin(const QJsonObject& message, const BrowserClient& client);
    Reply generatePassword() const;
    Reply groups() const;
    Reply createGroup(const QJsonObject& message);
    Reply oneTimeCodeReply(const QJsonObject& message) const;
    Reply lock();
    // The entries whose website fits `url`, best first, that the user lets its host use.
    QList<Entry> allowedEntries(const QString& url);
    bool saveAccess();

    Vault& vault;
    const Preferences& preferences;
    BrowserAccess& access;
    BrowserPrompts& prompts;
    QString hash;
    OneTimeCodeSource oneTimeCode;
};

// The identifier a category goes by in the protocol (a group's "uuid").
QString categoryUuid(const QString& name);
