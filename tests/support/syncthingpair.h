#pragma once

#include <QJsonDocument>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <array>
#include <memory>

class QNetworkAccessManager;

// Has `process`, once started, end with the test that started it: should the test be killed
// (a CTest timeout), no Syncthing or program is left running.
void endWithThisProcess(QProcess& process);

// Two Syncthing instances on this machine standing in for two computers: each has its own home
// and its own folder under `root`, and they sync that folder with each other over the loopback
// address only (ports chosen free at start; no discovery, relays, upgrades or reports). Both are
// stopped when the pair goes, whatever happened before. Every wait is bounded.
class SyncthingPair
{
public:
    enum Side
    {
        A = 0,
        B = 1,
    };

    explicit SyncthingPair(const QString& root);
    ~SyncthingPair();

    SyncthingPair(const SyncthingPair&) = delete;
    SyncthingPair& operator=(const SyncthingPair&) = delete;

    // The installed Syncthing; empty when there is none.
    static QString executable();

    // The folder `side` syncs. Exists once start() has run.
    QString folder(Side side) const;

    // Makes both homes and folders, each folder ignoring the names in `ignored` (.stignore
    // patterns), starts both instances and waits until they are connected to each other.
    bool start(const QStringList& ignored, int timeoutMs);
    // Ends both instances: asked first, killed when they do not go within a few seconds.
    void stop();

    // Has both instances scan their folder, then waits until each is idle, needs nothing and
    // sees the other holding everything it has.
    bool waitForSync(int timeoutMs);
    // Pauses (false) or resumes (true) each side's connection to the other, as two computers
    // going offline and back, and waits until both see the change.
    bool setConnected(bool connected, int timeoutMs);

    // What went wrong last, with the end of both instances' output.
    QString errorString() const;

private:
    struct Instance
    {
        QString home;
        QString folder;
        QString deviceId;
        QString apiKey;
        quint16 listenPort = 0;
        quint16 guiPort = 0;
        std::unique_ptr<QProcess> process;
    };

    bool prepare(Instance& instance, const QString& name, const QStringList& ignored);
    bool writeConfig(const Instance& self, const Instance& other);
    bool launch(Instance& instance);
    // GET (or POST when `post`) on an instance's REST interface; a null document on failure.
    QJsonDocument rest(const Instance& instance, const QString& pathAndQuery, bool post = false, int timeoutMs = 5000);
    bool connectedToOther(Side side);
    bool inSync(Side side);
    bool fail(const QString& why);

    QString rootPath;
    std::array<Instance, 2> instances;
    std::unique_ptr<QNetworkAccessManager> network;
    QString lastError;
};
