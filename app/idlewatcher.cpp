#include "idlewatcher.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QEvent>

#include <limits>
#include <unistd.h>

namespace {

const QString kLogindService = QStringLiteral("org.freedesktop.login1");
const QString kLogindPath = QStringLiteral("/org/freedesktop/login1");
const QString kLogindManager = QStringLiteral("org.freedesktop.login1.Manager");
const QString kLogindSession = QStringLiteral("org.freedesktop.login1.Session");
const QString kScreenSaverService = QStringLiteral("org.freedesktop.ScreenSaver");
const QString kScreenSaverPath = QStringLiteral("/org/freedesktop/ScreenSaver");

bool isInput(QEvent::Type type)
{
    switch (type) {
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::MouseMove:
    case QEvent::Wheel:
    case QEvent::TouchBegin:
    case QEvent::TouchUpdate:
    case QEvent::TabletPress:
    case QEvent::TabletMove:
        return true;
    default:
        return false;
    }
}

} // namespace

IdleWatcher::IdleWatcher(MonotonicClock clock, QObject* parent) : QObject(parent), clock(std::move(clock))
{
    timer.setObjectName(QStringLiteral("idleLockTimer"));
    timer.setSingleShot(true);
    connect(&timer, &QTimer::timeout, this, &IdleWatcher::checkTime);
    lastInput = this->clock();
}

void IdleWatcher::setIdleMinutes(int newMinutes)
{
    minutes = qMax(0, newMinutes);
    checkTime();
}

void IdleWatcher::setEnabled(bool on)
{
    enabled = on;
    restartCount();
}

void IdleWatcher::restartCount()
{
    lastInput = clock();
    asked = false;
    checkTime();
}

void IdleWatcher::watchInput(QObject* target)
{
    target->installEventFilter(this);
}

bool IdleWatcher::eventFilter(QObject* watched, QEvent* event)
{
    // Every event of the program passes here: only note the time.
    if (isInput(event->type())) {
        lastInput = clock();
        asked = false;
    }
    return QObject::eventFilter(watched, event);
}

void IdleWatcher::checkTime()
{
    if (!enabled || minutes == 0 || asked) {
        timer.stop();
        return;
    }
    const qint64 left = lastInput + qint64(minutes) * 60 * 1000 - clock();
    if (left > 0) {
        timer.start(int(qMin<qint64>(left, std::numeric_limits<int>::max())));
        return;
    }
    asked = true;
    timer.stop();
    emit lockRequested(Idle);
}

void IdleWatcher::onSessionLock()
{
    if (enabled)
        emit lockRequested(SessionLocked);
}

void IdleWatcher::onSessionPropertiesChanged(const QString& interface, const QVariantMap& changed, const QStringList&)
{
    const auto hint = changed.constFind(QStringLiteral("LockedHint"));
    if (interface == kLogindSession && hint != changed.constEnd() && hint->toBool())
        onSessionLock();
}

void IdleWatcher::onScreenSaverActiveChanged(bool active)
{
    if (active)
        onSessionLock();
}

void IdleWatcher::watchDesktopSession()
{
    watchDesktopSession(QDBusConnection::systemBus(), QDBusConnection::sessionBus());
}

void IdleWatcher::watchDesktopSession(const QDBusConnection& systemBus, const QDBusConnection& sessionBus)
{
    watchScreenSaver(sessionBus);
    if (!systemBus.isConnected())
        return;
    // Asked without waiting: start-up does not wait for a slow or absent logind.
    QDBusMessage ask =
        QDBusMessage::createMethodCall(kLogindService, kLogindPath, kLogindManager, QStringLiteral("GetSessionByPID"));
    ask << quint32(::getpid());
    auto* call = new QDBusPendingCallWatcher(systemBus.asyncCall(ask), this);
    connect(call, &QDBusPendingCallWatcher::finished, this,
            [this, systemBus](QDBusPendingCallWatcher* done) { onSessionFound(done, systemBus, true); });
}

void IdleWatcher::onSessionFound(QDBusPendingCallWatcher* call, const QDBusConnection& systemBus, bool byProcess)
{
    call->deleteLater();
    const QDBusPendingReply<QDBusObjectPath> reply = *call;
    if (!reply.isError()) {
        watchLogindSession(systemBus, reply.value().path());
        return;
    }
    // A process started outside the session (a service, a terminal multiplexer) is found by the
    // session's id instead.
    const QString sessionId = qEnvironmentVariable("XDG_SESSION_ID");
    if (!byProcess || sessionId.isEmpty())
        return;
    QDBusMessage ask =
        QDBusMessage::createMethodCall(kLogindService, kLogindPath, kLogindManager, QStringLiteral("GetSession"));
    ask << sessionId;
    auto* next = new QDBusPendingCallWatcher(systemBus.asyncCall(ask), this);
    connect(next, &QDBusPendingCallWatcher::finished, this,
            [this, systemBus](QDBusPendingCallWatcher* done) { onSessionFound(done, systemBus, false); });
}

void IdleWatcher::watchLogindSession(const QDBusConnection& systemBus, const QString& sessionPath)
{
    QDBusConnection bus = systemBus;
    bus.connect(kLogindService, sessionPath, kLogindSession, QStringLiteral("Lock"), this, SLOT(onSessionLock()));
    bus.connect(kLogindService, sessionPath, QStringLiteral("org.freedesktop.DBus.Properties"),
                QStringLiteral("PropertiesChanged"), this,
                SLOT(onSessionPropertiesChanged(QString, QVariantMap, QStringList)));
    emit watchingSession(sessionPath);
}

void IdleWatcher::watchScreenSaver(const QDBusConnection& sessionBus)
{
    QDBusConnection bus = sessionBus;
    bus.connect(kScreenSaverService, kScreenSaverPath, kScreenSaverService, QStringLiteral("ActiveChanged"), this,
                SLOT(onScreenSaverActiveChanged(bool)));
}
