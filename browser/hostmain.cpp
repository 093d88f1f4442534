// vaultry-browser-host: started by the browser for KeePassXC-Browser. Passes native messaging's
// frames from its standard input to the running Vaultry's local socket and Vaultry's frames back
// to its standard output, unchanged. When Vaultry does not run (or does not serve browsers), it
// answers the protocol's "not opened" error itself.

#include "browser/nativeframes.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>
#include <QSocketNotifier>

#include <cerrno>
#include <unistd.h>

namespace {

bool writeOut(const QByteArray& message)
{
    const QByteArray frame = nativeFrame(message);
    qsizetype done = 0;
    while (done < frame.size()) {
        const ssize_t written = ::write(STDOUT_FILENO, frame.constData() + done, size_t(frame.size() - done));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        done += written;
    }
    return true;
}

QByteArray errorFor(const QByteArray& request, const char* code, const QString& text)
{
    const QJsonObject asked = QJsonDocument::fromJson(request).object();
    QJsonObject reply;
    reply.insert(QLatin1String("action"), asked.value(QLatin1String("action")).toString());
    reply.insert(QLatin1String("errorCode"), QLatin1String(code));
    reply.insert(QLatin1String("error"), text);
    if (asked.contains(QLatin1String("requestID")))
        reply.insert(QLatin1String("requestID"), asked.value(QLatin1String("requestID")));
    return QJsonDocument(reply).toJson(QJsonDocument::Compact);
}

class Relay : public QObject
{
public:
    Relay() : input(STDIN_FILENO, QSocketNotifier::Read)
    {
        connect(&input, &QSocketNotifier::activated, this, &Relay::readInput);
        connect(&vaultry, &QLocalSocket::readyRead, this, &Relay::readVaultry);
        connect(&vaultry, &QLocalSocket::disconnected, this, &Relay::answerPending);
    }

private:
    void readInput()
    {
        char buffer[65536];
        const ssize_t got = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (got < 0 && (errno == EINTR || errno == EAGAIN))
            return;
        if (got <= 0) { // the browser went away
            input.setEnabled(false);
            QCoreApplication::quit();
            return;
        }
        fromBrowser.append(QByteArray(buffer, qsizetype(got)));
        QByteArray frame;
        for (;;) {
            const NativeFrameReader::Result result = fromBrowser.next(frame);
            if (result == NativeFrameReader::Result::NeedMore)
                break;
            if (result == NativeFrameReader::Result::TooLarge)
                writeOut(errorFor(QByteArray(), "0", QStringLiteral("The message is larger than 1 MiB.")));
            else
                forward(frame);
        }
    }

    void forward(const QByteArray& request)
    {
        if (vaultry.state() != QLocalSocket::ConnectedState) {
            vaultry.abort();
            vaultry.connectToServer(browserSocketPath());
            if (!vaultry.waitForConnected(2000)) {
                writeOut(notRunning(request));
                return;
            }
        }
        pending.append(request);
        vaultry.write(nativeFrame(request));
        vaultry.flush();
    }

    static QByteArray notRunning(const QByteArray& request)
    {
        return errorFor(request, "1", QStringLiteral("Vaultry is not running, or does not let browsers fill logins."));
    }

    // Vaultry went away: what it had not answered yet is answered here, so that no request waits for ever.
    void answerPending()
    {
        readVaultry();
        for (const QByteArray& request : std::as_const(pending))
            writeOut(notRunning(request));
        pending.clear();
    }

    void readVaultry()
    {
        fromVaultry.append(vaultry.readAll());
        QByteArray frame;
        for (;;) {
            const NativeFrameReader::Result result = fromVaultry.next(frame);
            if (result == NativeFrameReader::Result::NeedMore)
                break;
            if (result != NativeFrameReader::Result::Frame)
                continue;
            // Every request has one answer; the notices of locking come besides.
            const QString action = QJsonDocument::fromJson(frame).object().value(QLatin1String("action")).toString();
            if (!pending.isEmpty() && action != QLatin1String("database-locked") &&
                action != QLatin1String("database-unlocked"))
                pending.removeFirst();
            if (!writeOut(frame))
                QCoreApplication::quit();
        }
    }

    QSocketNotifier input;
    QLocalSocket vaultry;
    NativeFrameReader fromBrowser;
    NativeFrameReader fromVaultry;
    QList<QByteArray> pending; // sent to Vaultry, not answered yet
};

} // namespace

int main(int argc, char* argv[])
{
    // The browser passes the extension's origin (and Firefox the manifest's path); nothing depends on them.
    QCoreApplication application(argc, argv);
    Relay relay;
    return QCoreApplication::exec();
}
