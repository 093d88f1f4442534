#include "browser/browsersession.h"

#include "browser/nativeframes.h"

#include <QCoreApplication>
#include <QJsonDocument>

namespace {

constexpr int kMaxClients = 64;
constexpr int kMaxNoncesKept = 100000;

QByteArray fromBase64(const QJsonValue& value)
{
    return QByteArray::fromBase64(value.toString().toLatin1());
}

QString toBase64(const QByteArray& bytes)
{
    return QString::fromLatin1(bytes.toBase64());
}

QByteArray compact(const QJsonObject& object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

} // namespace

BrowserSession::BrowserSession(BrowserActions& actions) : actions(actions) {}

BrowserSession::~BrowserSession()
{
    for (Client& client : clients)
        BrowserCrypto::wipe(client.hostKeys.secretKey);
}

QByteArray BrowserSession::errorAnswer(const QString& action, BrowserError error, const QString& text,
                                       const QJsonValue& requestId)
{
    QJsonObject reply;
    reply.insert(QLatin1String("action"), action);
    // A string: the extension takes a code of 0 for no error.
    reply.insert(QLatin1String("errorCode"), QString::number(int(error)));
    reply.insert(QLatin1String("error"), text.isEmpty() ? browserErrorText(error) : text);
    if (!requestId.isUndefined() && !requestId.isNull())
        reply.insert(QLatin1String("requestID"), requestId);
    return compact(reply);
}

QByteArray BrowserSession::answer(const QByteArray& request)
{
    const QJsonObject message = QJsonDocument::fromJson(request).object();
    const QString action = message.value(QLatin1String("action")).toString();
    if (action.isEmpty())
        return errorAnswer(action, BrowserError::IncorrectAction);
    if (action == QLatin1String("change-public-keys"))
        return changePublicKeys(message);
    return encryptedAnswer(action, message);
}

QByteArray BrowserSession::changePublicKeys(const QJsonObject& request)
{
    const QJsonValue requestId = request.value(QLatin1String("requestID"));
    const QByteArray clientKey = fromBase64(request.value(QLatin1String("publicKey")));
    const QByteArray nonce = fromBase64(request.value(QLatin1String("nonce")));
    const QString clientId = request.value(QLatin1String("clientID")).toString();
    if (clientKey.size() != BrowserCrypto::kKeySize || clientId.isEmpty())
        return errorAnswer(QStringLiteral("change-public-keys"), BrowserError::ClientPublicKeyNotReceived, QString(),
                           requestId);
    if (nonce.size() != BrowserCrypto::kNonceSize)
        return errorAnswer(QStringLiteral("change-public-keys"), BrowserError::KeyChangeFailed, QString(), requestId);
    // A browser makes a new session on every start; the oldest ones go when too many pile up.
    if (!clients.contains(clientId) && clients.size() >= kMaxClients) {
        auto oldest = clients.begin();
        BrowserCrypto::wipe(oldest->hostKeys.secretKey);
        clients.erase(oldest);
    }
    Client& client = clients[clientId];
    BrowserCrypto::wipe(client.hostKeys.secretKey);
    client = Client();
    client.clientKey = clientKey;
    client.state.publicKey = toBase64(clientKey);
    client.hostKeys = BrowserCrypto::makeKeyPair();
    client.usedNonces.insert(nonce);

    QJsonObject reply;
    reply.insert(QLatin1String("action"), QStringLiteral("change-public-keys"));
    reply.insert(QLatin1String("version"), QLatin1String(kProtocolVersion));
    reply.insert(QLatin1String("publicKey"), toBase64(client.hostKeys.publicKey));
    reply.insert(QLatin1String("nonce"), toBase64(BrowserCrypto::incremented(nonce)));
    reply.insert(QLatin1String("success"), QStringLiteral("true"));
    if (!requestId.isUndefined())
        reply.insert(QLatin1String("requestID"), requestId);
    return compact(reply);
}

QByteArray BrowserSession::encryptedAnswer(const QString& action, const QJsonObject& request)
{
    const QJsonValue requestId = request.value(QLatin1String("requestID"));
    const auto found = clients.find(request.value(QLatin1String("clientID")).toString());
    if (found == clients.end())
        return errorAnswer(action, BrowserError::ClientPublicKeyNotReceived, QString(), requestId);
    Client& client = *found;

    const QByteArray nonce = fromBase64(request.value(QLatin1String("nonce")));
    if (nonce.size() != BrowserCrypto::kNonceSize)
        return errorAnswer(action, BrowserError::CannotDecryptMessage, QString(), requestId);
    if (client.usedNonces.contains(nonce)) {
        return errorAnswer(action, BrowserError::CannotDecryptMessage,
                           QStringLiteral("Cannot decrypt message: its nonce was used before"), requestId);
    }
    QJsonObject message;
    const QJsonValue sealed = request.value(QLatin1String("message"));
    if (!sealed.isUndefined()) {
        QByteArray plain;
        if (!BrowserCrypto::open(fromBase64(sealed), nonce, client.clientKey, client.hostKeys.secretKey, plain))
            return errorAnswer(action, BrowserError::CannotDecryptMessage, QString(), requestId);
        const QJsonDocument document = QJsonDocument::fromJson(plain);
        BrowserCrypto::wipe(plain);
        if (!document.isObject())
            return errorAnswer(action, BrowserError::EmptyMessageReceived, QString(), requestId);
        message = document.object();
        // The envelope's action is not sealed: the one inside must agree with it.
        const QString inner = message.value(QLatin1String("action")).toString();
        if (!inner.isEmpty() && inner != action)
            return errorAnswer(action, BrowserError::IncorrectAction, QString(), requestId);
    } else if (action != QLatin1String("generate-password")) {
        // Older extensions ask for a password without a sealed message; nothing else goes unsealed.
        return errorAnswer(action, BrowserError::EmptyMessageReceived, QString(), requestId);
    }

    // Neither this request nor the answer sealed under the next nonce can be played back.
    const QByteArray answerNonce = BrowserCrypto::incremented(nonce);
    if (client.usedNonces.size() >= kMaxNoncesKept)
        return errorAnswer(action, BrowserError::KeyChangeFailed, QString(), requestId);
    client.usedNonces.insert(nonce);
    client.usedNonces.insert(answerNonce);

    // A question may be open while the actions run, and other requests may change the sessions
    // meanwhile: nothing of `clients` is held across the call.
    const QByteArray clientKey = client.clientKey;
    BrowserClient state = client.state;
    const BrowserActions::Reply reply = actions.handle(action, message, state);
    const auto still = clients.find(request.value(QLatin1String("clientID")).toString());
    if (still == clients.end() || still->clientKey != clientKey)
        return errorAnswer(action, BrowserError::ClientPublicKeyNotReceived, QString(), requestId);
    still->state.provenIds.unite(state.provenIds);
    if (reply.failed)
        return errorAnswer(action, reply.error, reply.errorText, requestId);

    QJsonObject fields = reply.fields;
    fields.insert(QLatin1String("version"), QLatin1String(kProtocolVersion));
    fields.insert(QLatin1String("success"), QStringLiteral("true"));
    fields.insert(QLatin1String("nonce"), toBase64(answerNonce));
    if (!fields.contains(QLatin1String("hash")))
        fields.insert(QLatin1String("hash"), actions.databaseHash());
    QByteArray plain = compact(fields);
    const QByteArray box = BrowserCrypto::seal(plain, answerNonce, still->clientKey, still->hostKeys.secretKey);
    BrowserCrypto::wipe(plain);

    QJsonObject envelope;
    envelope.insert(QLatin1String("action"), action);
    envelope.insert(QLatin1String("message"), toBase64(box));
    envelope.insert(QLatin1String("nonce"), toBase64(answerNonce));
    if (!requestId.isUndefined())
        envelope.insert(QLatin1String("requestID"), requestId);
    const QByteArray answer = compact(envelope);
    if (answer.size() > qsizetype(kMaxBrowserMessage)) {
        return errorAnswer(action, BrowserError::Unknown,
                           QCoreApplication::translate("BrowserSession", "The answer is larger than a browser takes."),
                           requestId);
    }
    return answer;
}
