#include "syncthingpair.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTimer>
#include <QUuid>
#include <QXmlStreamWriter>

#include <csignal>
#include <sys/prctl.h>
#include <vector>

namespace {

constexpr char kFolderId[] = "vault";
constexpr int kPollMs = 200;
constexpr int kToolTimeoutMs = 60000;

// Distinct ports nobody listens on now. Held open together, so no two are the same.
QList<quint16> freePorts(int count)
{
    std::vector<std::unique_ptr<QTcpServer>> servers;
    QList<quint16> ports;
    for (int i = 0; i < count; ++i) {
        servers.push_back(std::make_unique<QTcpServer>());
        if (!servers.back()->listen(QHostAddress::LocalHost, 0))
            return {};
        ports << servers.back()->serverPort();
    }
    return ports;
}

// Lets queued network and process events run for a moment.
void pause(int milliseconds)
{
    QEventLoop loop;
    QTimer::singleShot(milliseconds, &loop, &QEventLoop::quit);
    loop.exec();
}

QString tail(const QByteArray& output)
{
    return QString::fromLocal8Bit(output.right(3000));
}

} // namespace

void endWithThisProcess(QProcess& process)
{
    process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
}

SyncthingPair::SyncthingPair(const QString& root) : rootPath(root), network(std::make_unique<QNetworkAccessManager>())
{
    // Only ever 127.0.0.1: a proxy named in the environment must not be asked.
    network->setProxy(QNetworkProxy::NoProxy);
    instances[A].folder = root + QStringLiteral("/a/vault");
    instances[B].folder = root + QStringLiteral("/b/vault");
}

SyncthingPair::~SyncthingPair()
{
    stop();
}

QString SyncthingPair::executable()
{
    return QStandardPaths::findExecutable(QStringLiteral("syncthing"));
}

QString SyncthingPair::folder(Side side) const
{
    return instances[side].folder;
}

bool SyncthingPair::fail(const QString& why)
{
    lastError = why;
    return false;
}

QString SyncthingPair::errorString() const
{
    QString text = lastError;
    for (const Instance& instance : instances) {
        if (instance.process) {
            text += QStringLiteral("\n--- syncthing in %1:\n").arg(instance.home) +
                    tail(instance.process->readAllStandardOutput());
        }
    }
    return text;
}

bool SyncthingPair::prepare(Instance& instance, const QString& name, const QStringList& ignored)
{
    instance.home = rootPath + QLatin1Char('/') + name + QStringLiteral("/syncthing");
    if (!QDir().mkpath(instance.folder + QStringLiteral("/.stfolder")))
        return fail(QStringLiteral("cannot make ") + instance.folder);
    QFile ignore(instance.folder + QStringLiteral("/.stignore"));
    if (!ignore.open(QIODevice::WriteOnly) || ignore.write(ignored.join(QLatin1Char('\n')).toUtf8() + '\n') < 0)
        return fail(QStringLiteral("cannot write ") + ignore.fileName());
    ignore.close();

    QProcess tool;
    tool.setProcessChannelMode(QProcess::MergedChannels);
    tool.start(executable(), {QStringLiteral("generate"), QStringLiteral("--home=") + instance.home,
                              QStringLiteral("--no-default-folder")});
    if (!tool.waitForFinished(kToolTimeoutMs) || tool.exitCode() != 0)
        return fail(QStringLiteral("syncthing generate failed: ") + tail(tool.readAll()));
    tool.start(executable(),
               {QStringLiteral("serve"), QStringLiteral("--home=") + instance.home, QStringLiteral("--device-id")});
    if (!tool.waitForFinished(kToolTimeoutMs) || tool.exitCode() != 0)
        return fail(QStringLiteral("syncthing --device-id failed: ") + tail(tool.readAll()));
    instance.deviceId = QString::fromLatin1(tool.readAll().trimmed());
    instance.apiKey = QUuid::createUuid().toString(QUuid::WithoutBraces);
    return true;
}

// Replaces the generated configuration with one that knows only the other instance. Only A dials
// (B's fixed address); B waits for it: two instances dialling each other at once, as after both
// resume, can leave the connection hanging in its handshake for a minute. Syncthing fills in
// defaults for what is not written; conflicts are kept as copies, which a configuration written
// from scratch would otherwise turn off.
bool SyncthingPair::writeConfig(const Instance& self, const Instance& other)
{
    QFile file(self.home + QStringLiteral("/config.xml"));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return fail(QStringLiteral("cannot write ") + file.fileName());
    QXmlStreamWriter xml(&file);
    xml.setAutoFormatting(true);
    xml.writeStartDocument();
    xml.writeStartElement(QStringLiteral("configuration"));
    xml.writeAttribute(QStringLiteral("version"), QStringLiteral("36"));

    xml.writeStartElement(QStringLiteral("folder"));
    xml.writeAttribute(QStringLiteral("id"), QLatin1String(kFolderId));
    xml.writeAttribute(QStringLiteral("path"), self.folder);
    xml.writeAttribute(QStringLiteral("type"), QStringLiteral("sendreceive"));
    xml.writeAttribute(QStringLiteral("rescanIntervalS"), QStringLiteral("3600"));
    xml.writeAttribute(QStringLiteral("fsWatcherEnabled"), QStringLiteral("true"));
    xml.writeAttribute(QStringLiteral("fsWatcherDelayS"), QStringLiteral("1"));
    for (const Instance* device : {&self, &other}) {
        xml.writeStartElement(QStringLiteral("device"));
        xml.writeAttribute(QStringLiteral("id"), device->deviceId);
        xml.writeEndElement();
    }
    xml.writeTextElement(QStringLiteral("maxConflicts"), QStringLiteral("10"));
    xml.writeEndElement();

    for (const Instance* device : {&self, &other}) {
        xml.writeStartElement(QStringLiteral("device"));
        xml.writeAttribute(QStringLiteral("id"), device->deviceId);
        xml.writeAttribute(QStringLiteral("name"), QFileInfo(QFileInfo(device->home).path()).fileName());
        const bool dialled = device == &other && &self == &instances[A];
        xml.writeTextElement(QStringLiteral("address"),
                             dialled ? QStringLiteral("tcp://127.0.0.1:%1").arg(device->listenPort)
                                     : QStringLiteral("dynamic"));
        xml.writeEndElement();
    }

    xml.writeStartElement(QStringLiteral("gui"));
    xml.writeAttribute(QStringLiteral("enabled"), QStringLiteral("true"));
    xml.writeAttribute(QStringLiteral("tls"), QStringLiteral("false"));
    xml.writeTextElement(QStringLiteral("address"), QStringLiteral("127.0.0.1:%1").arg(self.guiPort));
    xml.writeTextElement(QStringLiteral("apikey"), self.apiKey);
    xml.writeEndElement();

    const std::pair<const char*, QString> options[] = {
        {"listenAddress", QStringLiteral("tcp://127.0.0.1:%1").arg(self.listenPort)},
        {"globalAnnounceEnabled", QStringLiteral("false")},
        {"localAnnounceEnabled", QStringLiteral("false")},
        {"relaysEnabled", QStringLiteral("false")},
        {"natEnabled", QStringLiteral("false")},
        {"urAccepted", QStringLiteral("-1")},
        {"autoUpgradeIntervalH", QStringLiteral("0")},
        {"crashReportingEnabled", QStringLiteral("false")},
        {"startBrowser", QStringLiteral("false")},
        {"reconnectionIntervalS", QStringLiteral("2")},
    };
    xml.writeStartElement(QStringLiteral("options"));
    for (const auto& [name, value] : options)
        xml.writeTextElement(QLatin1String(name), value);
    xml.writeEndElement();

    xml.writeEndElement();
    xml.writeEndDocument();
    return !xml.hasError() && file.flush() ? true : fail(QStringLiteral("cannot write ") + file.fileName());
}

bool SyncthingPair::launch(Instance& instance)
{
    instance.process = std::make_unique<QProcess>();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("STNOUPGRADE"), QStringLiteral("1"));
    environment.insert(QStringLiteral("HOME"), QFileInfo(instance.home).path());
    instance.process->setProcessEnvironment(environment);
    instance.process->setProcessChannelMode(QProcess::MergedChannels);
    endWithThisProcess(*instance.process);
    instance.process->start(executable(), {QStringLiteral("serve"), QStringLiteral("--home=") + instance.home,
                                           QStringLiteral("--no-browser"), QStringLiteral("--no-restart")});
    return instance.process->waitForStarted() ? true : fail(QStringLiteral("syncthing did not start"));
}

bool SyncthingPair::start(const QStringList& ignored, int timeoutMs)
{
    if (!prepare(instances[A], QStringLiteral("a"), ignored) || !prepare(instances[B], QStringLiteral("b"), ignored))
        return false;
    const QList<quint16> ports = freePorts(4);
    if (ports.size() != 4)
        return fail(QStringLiteral("no free ports on 127.0.0.1"));
    instances[A].listenPort = ports[0];
    instances[A].guiPort = ports[1];
    instances[B].listenPort = ports[2];
    instances[B].guiPort = ports[3];
    if (!writeConfig(instances[A], instances[B]) || !writeConfig(instances[B], instances[A]) || !launch(instances[A]) ||
        !launch(instances[B]))
        return false;

    const QDeadlineTimer deadline(timeoutMs);
    for (Side side : {A, B}) {
        while (rest(instances[side], QStringLiteral("/rest/system/ping")).object().value(QLatin1String("ping")) !=
               QLatin1String("pong")) {
            if (deadline.hasExpired() || instances[side].process->state() != QProcess::Running)
                return fail(QStringLiteral("syncthing's REST interface did not answer"));
            pause(kPollMs);
        }
    }
    while (!connectedToOther(A) || !connectedToOther(B)) {
        if (deadline.hasExpired())
            return fail(QStringLiteral("the two instances did not connect"));
        pause(kPollMs);
    }
    return true;
}

void SyncthingPair::stop()
{
    for (Instance& instance : instances) {
        if (instance.process && instance.process->state() != QProcess::NotRunning)
            instance.process->terminate();
    }
    for (Instance& instance : instances) {
        if (!instance.process || instance.process->state() == QProcess::NotRunning)
            continue;
        if (!instance.process->waitForFinished(10000)) {
            instance.process->kill();
            instance.process->waitForFinished(5000);
        }
    }
}

QJsonDocument SyncthingPair::rest(const Instance& instance, const QString& pathAndQuery, bool post, int timeoutMs)
{
    QNetworkRequest request(QUrl(QStringLiteral("http://127.0.0.1:%1").arg(instance.guiPort) + pathAndQuery));
    request.setRawHeader("X-API-Key", instance.apiKey.toLatin1());
    request.setTransferTimeout(timeoutMs);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    std::unique_ptr<QNetworkReply> reply(post ? network->post(request, QByteArray()) : network->get(request));
    QEventLoop loop;
    QObject::connect(reply.get(), &QNetworkReply::finished, &loop, &QEventLoop::quit);
    if (!reply->isFinished())
        loop.exec();
    if (reply->error() != QNetworkReply::NoError)
        return QJsonDocument();
    const QByteArray body = reply->readAll();
    // Some calls (scan, pause) answer with an empty body; success is all they tell.
    return body.trimmed().isEmpty() ? QJsonDocument(QJsonObject()) : QJsonDocument::fromJson(body);
}

bool SyncthingPair::connectedToOther(Side side)
{
    const QJsonObject connections = rest(instances[side], QStringLiteral("/rest/system/connections"))
                                        .object()
                                        .value(QLatin1String("connections"))
                                        .toObject();
    return connections.value(instances[1 - side].deviceId).toObject().value(QLatin1String("connected")).toBool();
}

bool SyncthingPair::inSync(Side side)
{
    const Instance& self = instances[side];
    const QJsonObject status =
        rest(self, QStringLiteral("/rest/db/status?folder=") + QLatin1String(kFolderId)).object();
    const QJsonObject completion = rest(self, QStringLiteral("/rest/db/completion?folder=%1&device=%2")
                                                  .arg(QLatin1String(kFolderId), instances[1 - side].deviceId))
                                       .object();
    return status.value(QLatin1String("state")) == QLatin1String("idle") &&
           status.contains(QLatin1String("needTotalItems")) &&
           status.value(QLatin1String("needTotalItems")).toInt() == 0 &&
           status.value(QLatin1String("pullErrors")).toInt() == 0 && completion.contains(QLatin1String("completion")) &&
           completion.value(QLatin1String("completion")).toDouble() >= 100.0 && connectedToOther(side);
}

bool SyncthingPair::waitForSync(int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    // A change written a moment ago may not have reached the watcher yet: scan it in now.
    for (const Instance& instance : instances) {
        const int left = int(qMax<qint64>(deadline.remainingTime(), 1));
        if (rest(instance, QStringLiteral("/rest/db/scan?folder=") + QLatin1String(kFolderId), true, left).isNull())
            return fail(QStringLiteral("syncthing did not scan ") + instance.folder);
    }
    // Twice in a row, so that a moment between two steps of a transfer does not count.
    for (int settled = 0; settled < 2;) {
        settled = inSync(A) && inSync(B) ? settled + 1 : 0;
        if (settled == 2)
            break;
        if (deadline.hasExpired())
            return fail(QStringLiteral("the folders did not come in sync in time"));
        pause(kPollMs);
    }
    return true;
}

bool SyncthingPair::setConnected(bool connected, int timeoutMs)
{
    const QString call =
        connected ? QStringLiteral("/rest/system/resume?device=") : QStringLiteral("/rest/system/pause?device=");
    // The one that dials goes offline first and comes back last, finding the other ready.
    for (Side side : connected ? std::initializer_list<Side>{B, A} : std::initializer_list<Side>{A, B}) {
        if (rest(instances[side], call + instances[1 - side].deviceId, true).isNull())
            return fail(QStringLiteral("syncthing refused ") + call);
    }
    const QDeadlineTimer deadline(timeoutMs);
    while (connectedToOther(A) != connected || connectedToOther(B) != connected) {
        if (deadline.hasExpired())
            return fail(connected ? QStringLiteral("the instances did not reconnect")
                                  : QStringLiteral("the instances did not disconnect"));
        pause(kPollMs);
    }
    return true;
}
