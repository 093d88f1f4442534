#include "app/idlewatcher.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTest>
#include <QTimer>

namespace {

const QString kSessionPath = QStringLiteral("/org/freedesktop/login1/session/_37");

// logind's manager as far as the watcher asks it: every process is in session 37.
class FakeLogindManager : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.login1.Manager")

public slots:
    QDBusObjectPath GetSessionByPID(uint) { return QDBusObjectPath(kSessionPath); }
};

} // namespace

class TestIdleWatcher : public QObject
{
    Q_OBJECT

private slots:
    // Lock requests after the steps, the clock starting at 0 with a 5-minute setting. Steps: "t=MS"
    // moves the clock on and lets the timer check, "key"/"mouse" are input, "timer" is an event that
    // is not, "off"/"on" turn the watcher off and on, "minutes=N" changes the setting.
    void idleTimeline_data()
    {
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<int>("requests");
        QTest::newRow("not yet") << QStringList{"t=299999"} << 0;
        QTest::newRow("idle") << QStringList{"t=300000"} << 1;
        QTest::newRow("once per idle spell") << QStringList{"t=300000", "t=900000"} << 1;
        QTest::newRow("a key postpones") << QStringList{"t=180000", "key", "t=479999"} << 0;
        QTest::newRow("postponed, then idle") << QStringList{"t=180000", "key", "t=480000"} << 1;
        QTest::newRow("the mouse postpones") << QStringList{"t=180000", "mouse", "t=300000"} << 0;
        QTest::newRow("other events are no input") << QStringList{"t=180000", "timer", "t=300000"} << 1;
        QTest::newRow("input starts a new spell") << QStringList{"t=300000", "key", "t=600000"} << 2;
        QTest::newRow("never") << QStringList{"minutes=0", "t=100000000"} << 0;
        QTest::newRow("shorter setting") << QStringList{"t=60000", "minutes=1"} << 1;
        QTest::newRow("off") << QStringList{"off", "t=100000000"} << 0;
        QTest::newRow("on again counts from then")
            << QStringList{"t=290000", "off", "t=1000000", "on", "t=1299999"} << 0;
        QTest::newRow("on again, then idle") << QStringList{"off", "t=1000000", "on", "t=1300000"} << 1;
    }
    void idleTimeline()
    {
        QFETCH(QStringList, steps);
        QFETCH(int, requests);
        qint64 now = 0;
        IdleWatcher watcher([&now] { return now; });
        watcher.watchInput(qApp);
        watcher.setIdleMinutes(5);
        QSignalSpy spy(&watcher, &IdleWatcher::lockRequested);
        QObject receiver;
        for (const QString& step : steps) {
            if (step.startsWith(QLatin1String("t="))) {
                now = step.mid(2).toLongLong();
                watcher.checkTime();
            } else if (step == QLatin1String("key")) {
                QKeyEvent key(QEvent::KeyPress, Qt::Key_A, Qt::NoModifier, QStringLiteral("a"));
                QCoreApplication::sendEvent(&receiver, &key);
            } else if (step == QLatin1String("mouse")) {
                QMouseEvent move(QEvent::MouseMove, QPointF(3, 4), QPointF(3, 4), Qt::NoButton, Qt::NoButton,
                                 Qt::NoModifier);
                QCoreApplication::sendEvent(&receiver, &move);
            } else if (step == QLatin1String("timer")) {
                QTimerEvent timer(1);
                QCoreApplication::sendEvent(&receiver, &timer);
            } else if (step == QLatin1String("off") || step == QLatin1String("on")) {
                watcher.setEnabled(step == QLatin1String("on"));
            } else if (step.startsWith(QLatin1String("minutes="))) {
                watcher.setIdleMinutes(step.mid(8).toInt());
            }
        }
        QCOMPARE(spy.count(), requests);
        for (const QList<QVariant>& request : spy)
            QCOMPARE(request.at(0).value<IdleWatcher::Reason>(), IdleWatcher::Idle);
    }

    // The timer is what calls checkTime in the program: it must be set for the time left.
    void timerWaitsForTheRest()
    {
        qint64 now = 0;
        IdleWatcher watcher([&now] { return now; });
        watcher.setIdleMinutes(5);
        auto* timer = watcher.findChild<QTimer*>(QStringLiteral("idleLockTimer"));
        QVERIFY(timer);
        QVERIFY(timer->isActive());
        QCOMPARE(timer->interval(), 300000);
        now = 100000;
        watcher.checkTime();
        QCOMPARE(timer->interval(), 200000);
        watcher.setEnabled(false);
        QVERIFY(!timer->isActive());
    }

    // Signals from a private bus, sent by a stand-in for logind and the screen saver. Those that must
    // not lock go first; the one that must comes last, so that waiting for it proves the rest did nothing.
    void sessionLockSignals()
    {
        const QString daemon = QStandardPaths::findExecutable(QStringLiteral("dbus-daemon"));
        if (daemon.isEmpty())
            QSKIP("dbus-daemon is not installed");
        QProcess bus;
        bus.start(daemon, {QStringLiteral("--session"), QStringLiteral("--nofork"), QStringLiteral("--print-address")});
        QVERIFY(bus.waitForStarted());
        QVERIFY(bus.waitForReadyRead(10000));
        const QString address = QString::fromUtf8(bus.readLine()).trimmed();
        {
            QDBusConnection desktop = QDBusConnection::connectToBus(address, QStringLiteral("desktop"));
            QDBusConnection ours = QDBusConnection::connectToBus(address, QStringLiteral("ours"));
            QVERIFY(desktop.isConnected() && ours.isConnected());
            FakeLogindManager manager;
            QVERIFY(desktop.registerService(QStringLiteral("org.freedesktop.login1")));
            QVERIFY(desktop.registerService(QStringLiteral("org.freedesktop.ScreenSaver")));
            QVERIFY(desktop.registerObject(QStringLiteral("/org/freedesktop/login1"), &manager,
                                           QDBusConnection::ExportAllSlots));

            IdleWatcher watcher;
            QSignalSpy spy(&watcher, &IdleWatcher::lockRequested);
            QSignalSpy found(&watcher, &IdleWatcher::watchingSession);
            watcher.watchDesktopSession(ours, ours);
            // logind is asked for the session without waiting; the answer comes through the event loop.
            QVERIFY(found.wait(10000));
            QCOMPARE(found.at(0).at(0).toString(), kSessionPath);
            // A round trip: the bus has taken the watcher's match rules before any signal is sent.
            QVERIFY(ours.interface()->isServiceRegistered(QStringLiteral("org.freedesktop.login1")));

            const auto send = [&desktop](const QString& path, const QString& interface, const QString& name,
                                         const QVariantList& arguments = {}) {
                QDBusMessage signal = QDBusMessage::createSignal(path, interface, name);
                signal.setArguments(arguments);
                QVERIFY(desktop.send(signal));
            };
            const QString session = QStringLiteral("org.freedesktop.login1.Session");
            const QString properties = QStringLiteral("org.freedesktop.DBus.Properties");
            const QString screenSaver = QStringLiteral("org.freedesktop.ScreenSaver");
            const QString screenSaverPath = QStringLiteral("/org/freedesktop/ScreenSaver");
            const auto lockedHint = [&](bool locked) {
                return QVariantList{session, QVariantMap{{QStringLiteral("LockedHint"), locked}}, QStringList()};
            };

            send(QStringLiteral("/org/freedesktop/login1/session/_12"), session, QStringLiteral("Lock"));
            send(screenSaverPath, screenSaver, QStringLiteral("ActiveChanged"), {false});
            send(kSessionPath, properties, QStringLiteral("PropertiesChanged"), lockedHint(false));
            send(kSessionPath, session, QStringLiteral("Lock"));
            QVERIFY(spy.wait(10000));
            QCOMPARE(spy.count(), 1);

            send(kSessionPath, properties, QStringLiteral("PropertiesChanged"), lockedHint(true));
            QVERIFY(spy.wait(10000));
            QCOMPARE(spy.count(), 2);

            send(screenSaverPath, screenSaver, QStringLiteral("ActiveChanged"), {true});
            QVERIFY(spy.wait(10000));
            QCOMPARE(spy.count(), 3);
            for (const QList<QVariant>& request : spy)
                QCOMPARE(request.at(0).value<IdleWatcher::Reason>(), IdleWatcher::SessionLocked);
        }
        QDBusConnection::disconnectFromBus(QStringLiteral("desktop"));
        QDBusConnection::disconnectFromBus(QStringLiteral("ours"));
        bus.terminate();
        QVERIFY(bus.waitForFinished(10000));
    }
};

QTEST_MAIN(TestIdleWatcher)
#include "tst_idlewatcher.moc"
