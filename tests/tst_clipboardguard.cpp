#include "app/clipboardguard.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>
#include <QSignalSpy>
#include <QTest>

namespace {

const QString kPassword = QStringLiteral("s3cr3t-Ω");
const QString kOther = QStringLiteral("copied by the user");

QClipboard* clipboard()
{
    return QGuiApplication::clipboard();
}

QString held()
{
    return clipboard()->text(QClipboard::Clipboard);
}

} // namespace

class TestClipboardGuard : public QObject
{
    Q_OBJECT

private slots:
    void init() { clipboard()->setText(QStringLiteral("before"), QClipboard::Clipboard); }

    // What the clipboard holds after a password was copied at 0 s and the steps that followed.
    // Steps: "t=MS" moves the clock on and lets the timer check, "copy" copies the password again,
    // "other" is the user copying something else, "seconds=N" changes the setting, "now" clears at once.
    void clearsOnlyItsOwnPassword_data()
    {
        QTest::addColumn<int>("seconds");
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<int>("clearedSignals");
        QTest::newRow("not yet") << 30 << QStringList{"t=29999"} << kPassword << 0;
        QTest::newRow("on time") << 30 << QStringList{"t=29999", "t=30000"} << QString() << 1;
        QTest::newRow("never") << 0 << QStringList{"t=100000000"} << kPassword << 0;
        QTest::newRow("user copied since") << 30 << QStringList{"t=10000", "other", "t=30000"} << kOther << 0;
        QTest::newRow("copied again restarts") << 30 << QStringList{"t=20000", "copy", "t=30000"} << kPassword << 0;
        QTest::newRow("copied again, then due") << 30 << QStringList{"t=20000", "copy", "t=50000"} << QString() << 1;
        QTest::newRow("shorter setting counts from the copy")
            << 30 << QStringList{"t=10000", "seconds=5"} << QString() << 1;
        QTest::newRow("setting turned off") << 30 << QStringList{"seconds=0", "t=60000"} << kPassword << 0;
        QTest::newRow("lock or exit") << 0 << QStringList{"now"} << QString() << 1;
        QTest::newRow("lock after the user copied") << 30 << QStringList{"other", "now"} << kOther << 0;
        QTest::newRow("lock after it was cleared") << 30 << QStringList{"t=30000", "other", "now"} << kOther << 1;
    }
    void clearsOnlyItsOwnPassword()
    {
        QFETCH(int, seconds);
        QFETCH(QStringList, steps);
        QFETCH(QString, expected);
        QFETCH(int, clearedSignals);
        qint64 now = 0;
        ClipboardGuard guard(clipboard(), [&now] { return now; });
        QSignalSpy cleared(&guard, &ClipboardGuard::cleared);
        guard.setClearSeconds(seconds);
        guard.copyPassword(kPassword);
        QCOMPARE(held(), kPassword);
        for (const QString& step : steps) {
            if (step.startsWith(QLatin1String("t="))) {
                now = step.mid(2).toLongLong();
                guard.checkTime();
            } else if (step == QLatin1String("copy")) {
                guard.copyPassword(kPassword);
            } else if (step == QLatin1String("other")) {
                clipboard()->setText(kOther, QClipboard::Clipboard);
            } else if (step.startsWith(QLatin1String("seconds="))) {
                guard.setClearSeconds(step.mid(8).toInt());
            } else if (step == QLatin1String("now")) {
                guard.clearNow();
            }
        }
        QCOMPARE(held(), expected);
        QCOMPARE(cleared.count(), clearedSignals);
    }

    // The timer is what calls checkTime in the program: it comes back each time the whole
    // seconds left go down, which are counted down for the status bar.
    void timerCountsDownTheRest()
    {
        qint64 now = 0;
        ClipboardGuard guard(clipboard(), [&now] { return now; });
        QSignalSpy countdown(&guard, &ClipboardGuard::countingDown);
        guard.setClearSeconds(30);
        guard.copyPassword(kPassword);
        auto* timer = guard.findChild<QTimer*>(QStringLiteral("clipboardClearTimer"));
        QVERIFY(timer);
        QVERIFY(timer->isActive());
        QCOMPARE(timer->interval(), 1000);
        for (const auto& [at, interval, left] : {std::tuple{12000, 1000, 18}, {12001, 999, 18}, {29500, 500, 1}}) {
            now = at;
            guard.checkTime();
            QCOMPARE(timer->interval(), interval);
            QCOMPARE(countdown.last().at(0).toInt(), left);
        }
        QCOMPARE(countdown.first().at(0).toInt(), 30);
        guard.clearNow();
        QVERIFY(!timer->isActive());
    }

    void passwordIsMarkedForClipboardManagers()
    {
        ClipboardGuard guard(clipboard());
        guard.copyPassword(kPassword);
        const QMimeData* data = clipboard()->mimeData(QClipboard::Clipboard);
        QVERIFY(data);
        QCOMPARE(data->data(QStringLiteral("x-kde-passwordManagerHint")), QByteArray("secret"));
        guard.clearNow();
    }
};

QTEST_MAIN(TestClipboardGuard)
#include "tst_clipboardguard.moc"
