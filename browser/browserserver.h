#pragma once

#include <QHash>
#include <QJsonObject>
#include <QObject>

#include <memory>

class BrowserActions;
class QLocalServer;
class QLocalSocket;

// The window's end of the browser link: a local socket, owner-only, in the user's runtime folder,
// that the host executable connects to. Each connection is one browser with a session of its own.
// Requests are answered one at a time, in order, even while a question to the user is open:
// those that arrive meanwhile wait.
class BrowserServer : public QObject
{
    Q_OBJECT

public:
    explicit BrowserServer(BrowserActions& actions, QObject* parent = nullptr);
    ~BrowserServer() override;

    // Starts listening at `path`; false with `error` set (for the user) when it cannot, such as
    // when another Vaultry serves browsers already.
    bool listen(const QString& path, QString* error = nullptr);
    bool isListening() const;
    // Sends an unencrypted notice (database-locked, database-unlocked) to every browser.
    void broadcast(const QJsonObject& notice);

private:
    struct Connection;

    void accept();
    void readFrom(QLocalSocket* socket);
    void drop(QLocalSocket* socket);
    void answerWaiting();

    BrowserActions& actions;
    QLocalServer* server;
    QHash<QLocalSocket*, std::shared_ptr<Connection>> connections;
    bool answering = false;
};
