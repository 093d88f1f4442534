#include "browser/browserserver.h"

#include "browser/browsersession.h"
#include "browser/nativeframes.h"

#include <QCoreApplication>
#include <QDir>
#include <QJsonDocument>
#include <QLocalServer>
#include <QLocalSocket>
#include <QPointer>

struct BrowserServer::Connection
{
    explicit Connection(BrowserActions& actions) : session(actions) {}

    QPointer<QLocalSocket> socket;
    NativeFrameReader reader;
    BrowserSession session;
    QList<QByteArray> waiting;
};

BrowserServer::BrowserServer(BrowserActions& actions, QObject* parent)
    : QObject(parent), actions(actions), server(new QLocalServer(this))
{
    server->setSocketOptions(QLocalServer::UserAccessOption);
    connect(server, &QLocalServer::newConnection, this, &BrowserServer::accept);
}

BrowserServer::~BrowserServer()
{
    for (const auto& connection : std::as_const(connections)) {
        if (connection->socket)
            connection->socket->disconnect(this);
    }
    server->close();
}

bool BrowserServer::listen(const QString& path, QString* error)
{
    if (server->listen(path))
        return true;
    if (server->serverError() == QAbstractSocket::AddressInUseError) {
        // A socket left by a crash answers nobody and is replaced; a live one belongs to another Vaultry.
        QLocalSocket probe;
        probe.connectToServer(path);
        if (!probe.waitForConnected(500)) {
            QLocalServer::removeServer(path);
            if (server->listen(path))
                return true;
        } else if (error) {
            *error = QCoreApplication::translate(
                "BrowserServer", "Another Vaultry already lets browsers fill logins; this one does not.");
            return false;
        }
    }
    if (error) {
        *error = QCoreApplication::translate("BrowserServer", "Browsers cannot reach Vaultry at %1: %2")
                     .arg(QDir::toNativeSeparators(path), server->errorString());
    }
    return false;
}

bool BrowserServer::isListening() const
{
    return server->isListening();
}

void BrowserServer::broadcast(const QJsonObject& notice)
{
    const QByteArray frame = nativeFrame(QJsonDocument(notice).toJson(QJsonDocument::Compact));
    for (const auto& connection : std::as_const(connections)) {
        if (connection->socket)
            connection->socket->write(frame);
    }
}

void BrowserServer::accept()
{
    while (QLocalSocket* socket = server->nextPendingConnection()) {
        auto connection = std::make_shared<Connection>(actions);
        connection->socket = socket;
        connections.insert(socket, connection);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { readFrom(socket); });
        connect(socket, &QLocalSocket::disconnected, this, [this, socket] { drop(socket); });
        readFrom(socket);
    }
}

void BrowserServer::drop(QLocalSocket* socket)
{
    connections.remove(socket);
    socket->deleteLater();
}

void BrowserServer::readFrom(QLocalSocket* socket)
{
    const std::shared_ptr<Connection> connection = connections.value(socket);
    if (!connection)
        return;
    connection->reader.append(socket->readAll());
    QByteArray frame;
    for (;;) {
        const NativeFrameReader::Result result = connection->reader.next(frame);
        if (result == NativeFrameReader::Result::NeedMore)
            break;
        if (result == NativeFrameReader::Result::TooLarge) {
            socket->write(nativeFrame(BrowserSession::errorAnswer(
                QString(), BrowserError::Unknown,
                QCoreApplication::translate("BrowserServer", "The message is larger than 1 MiB."))));
            continue;
        }
        connection->waiting.append(frame);
    }
    // Answered from the event loop, not from the socket's signal: a question to the user runs an
    // event loop, in which a browser that leaves has its socket deleted, and the socket's own code
    // must not be on the stack then.
    QMetaObject::invokeMethod(this, &BrowserServer::answerWaiting, Qt::QueuedConnection);
}

void BrowserServer::answerWaiting()
{
    // A question to the user runs an event loop, which may bring more requests: they wait here.
    if (answering)
        return;
    answering = true;
    for (bool more = true; more;) {
        more = false;
        const auto all = connections.values();
        for (const std::shared_ptr<Connection>& connection : all) {
            if (connection->waiting.isEmpty())
                continue;
            const QByteArray request = connection->waiting.takeFirst();
            const QByteArray answer = connection->session.answer(request);
            if (connection->socket && !answer.isEmpty())
                connection->socket->write(nativeFrame(answer));
            more = true;
        }
    }
    answering = false;
}
