#pragma once

#include "browser/browseractions.h"
#include "browser/browsercrypto.h"

#include <QByteArray>
#include <QHash>
#include <QJsonObject>
#include <QSet>

// One connection's side of the protocol: the key exchange, then each request opened with the
// session's keys and answered in a box under the next nonce. A request that does not open (wrong
// keys, changed bytes), or whose nonce was seen before in the session (a replay, or an answer sent
// back), is refused with the protocol's error and never reaches the actions.
class BrowserSession
{
public:
    // The protocol version told to the extension, which picks its behaviour by it: the KeePassXC
    // release whose messages these are.
    static constexpr char kProtocolVersion[] = "2.7.4";

    explicit BrowserSession(BrowserActions& actions);
    ~BrowserSession();
    BrowserSession(const BrowserSession&) = delete;
    BrowserSession& operator=(const BrowserSession&) = delete;

    // The answer to one request (JSON text). Never larger than a browser takes.
    QByteArray answer(const QByteArray& request);

    // An unencrypted error for `action`, as sent when a request cannot be answered.
    static QByteArray errorAnswer(const QString& action, BrowserError error, const QString& text = QString(),
                                  const QJsonValue& requestId = QJsonValue());

private:
    struct Client
    {
        BrowserClient state;
        QByteArray clientKey;
        BrowserCrypto::KeyPair hostKeys;
        QSet<QByteArray> usedNonces;
    };

    QByteArray changePublicKeys(const QJsonObject& request);
    QByteArray encryptedAnswer(const QString& action, const QJsonObject& request);

    BrowserActions& actions;
    QHash<QString, Client> clients; // by the clientID each browser session picked
};
