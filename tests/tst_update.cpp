#include "app/mainwindow.h"
#include "support/dialogdriver.h"
#include "support/testvault.h"

#include <QAction>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QStatusBar>
#include <QTest>

#include <memory>

namespace {

// The main window looks for the updater beside the program, here the test executable.
QString updaterPath()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/QLM-Updater.exe");
}

// Stand-in updaters are shell scripts that append their arguments to `args`, and write
// their process id to `pid`, in `directory` before running `body`.
bool writeUpdater(const QString& directory, const QByteArray& body, bool executable = true)
{
    QFile file(updaterPath());
    const QByteArray dir = QFile::encodeName(directory);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    file.write("#!/bin/sh\nprintf '%s\\n' \"$#\" \"$@\" >> '" + dir + "/args'\necho $$ > '" + dir + "/pid'\n" + body +
               '\n');
    file.close();
    return file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                               (executable ? QFileDevice::ExeOwner : QFileDevice::Permissions()));
}

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Times the window's queued calls (update results are its only ones here) and its close.
struct WindowWatcher : QObject
{
    explicit WindowWatcher(QWidget* window)
    {
        clock.start();
        window->installEventFilter(this);
    }
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::MetaCall)
            results.append(clock.elapsed());
        else if (event->type() == QEvent::Close)
            closedAt = clock.elapsed();
        return false;
    }
    QElapsedTimer clock;
    QList<qint64> results;
    qint64 closedAt = -1;
};

} // namespace

class TestUpdate : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<TestVault::Fixture> store;

private slots:
    void initTestCase() { DialogDriver::install(); }

    void init()
    {
        store = std::make_unique<TestVault::Fixture>();
        QVERIFY(store->seed());
    }

    void cleanup()
    {
        QFile::remove(updaterPath());
        VERIFY_DIALOGS_ANSWERED();
        store.reset();
    }

    void updateCheck_data()
    {
        QTest::addColumn<QByteArray>("body"); // null: no updater
        QTest::addColumn<bool>("executable");
        QTest::addColumn<int>("requests");
        QTest::addColumn<bool>("hangs");
        QTest::addColumn<bool>("found");
        QTest::addColumn<QString>("report"); // a part of the status-bar text
        QTest::newRow("exit 1") << QByteArray("exit 1") << true << 1 << false << true << "An update was found";
        QTest::newRow("exit 0") << QByteArray("exit 0") << true << 1 << false << false << "No update was found.";
        QTest::newRow("exit 2") << QByteArray("exit 2") << true << 1 << false << false << "No update was found.";
        // A process killed by signal 1 also reports exit code 1.
        QTest::newRow("killed by SIGHUP")
            << QByteArray("kill -HUP $$") << true << 1 << false << false << "Update check failed: the updater crashed.";
        QTest::newRow("crashed") << QByteArray("kill -SEGV $$") << true << 1 << false << false
                                 << "Update check failed: the updater crashed.";
        QTest::newRow("not executable") << QByteArray("exit 1") << false << 1 << false << false
                                        << "Update check failed: the updater could not be started (";
        QTest::newRow("missing") << QByteArray() << true << 1 << false << false
                                 << "Updates come from your system's package manager or the project's page.";
        QTest::newRow("hanging") << QByteArray("exec sleep 60") << true << 1 << true << false
                                 << "Update check failed: the updater did not answer within 1 second.";
        QTest::newRow("two quick requests")
            << QByteArray("sleep 0.3") << true << 2 << false << false << "No update was found.";
    }

    // A found update closes the window, which saves the vault; nothing else does. Each
    // outcome is told apart in the status bar.
    void updateCheck()
    {
        QFETCH(QByteArray, body);
        QFETCH(bool, executable);
        QFETCH(int, requests);
        QFETCH(bool, hangs);
        QFETCH(bool, found);
        QFETCH(QString, report);
        const int timeout = 300;
        if (!body.isNull())
            QVERIFY(writeUpdater(store->dir.path(), body, executable));
        // Only an updater that is there is run; one that is missing is known at once.
        const int results = body.isNull() ? 0 : requests;
        {
            MainWindow window(store->state, store->store);
            window.show();
            WindowWatcher watcher(&window);
            window.setUpdaterTimeout(hangs ? timeout : 30000);
            store->state.vault.addCategory(QStringLiteral("Later"));
            for (int i = 0; i < requests; ++i)
                window.findChild<QAction*>(QStringLiteral("actionCheck_for_Updates"))->trigger();
            QTRY_COMPARE_WITH_TIMEOUT(watcher.results.size(), results, 10000);
            if (found) {
                QTRY_VERIFY_WITH_TIMEOUT(watcher.closedAt >= 0, 10000);
                const qint64 delay = watcher.closedAt - watcher.results.last();
                QVERIFY2(delay >= 90 && delay < 2000, qPrintable(QString::number(delay)));
            } else {
                // Longer than the 100 ms a found update would take to close the window.
                QTest::qWait(300);
                QCOMPARE(watcher.closedAt, -1);
            }
            QCOMPARE(window.isVisible(), !found);
            QCOMPARE(watcher.results.size(), results);
            const QString message = window.statusBar()->currentMessage();
            QVERIFY2(message.contains(report), qPrintable(message));
            if (hangs)
                QVERIFY2(watcher.results.last() >= timeout, qPrintable(QString::number(watcher.results.last())));
        }
        if (!body.isNull() && executable) {
            QCOMPARE(readAll(store->path("args")), QByteArray("3\nvaultry\n1.0.5\nfalse\n").repeated(requests));
            // Gone, not even a zombie: a killed updater must also have been reaped.
            QVERIFY(!QFile::exists("/proc/" + readAll(store->path("pid")).trimmed()));
        }
        StoreState saved;
        QCOMPARE(store->store.load(saved).outcome, StoreLoadResult::Loaded);
        QCOMPARE(saved.vault.categoryNames().contains(QStringLiteral("Later")), found);
    }

    void closingStopsARunningCheck()
    {
        QVERIFY(writeUpdater(store->dir.path(), "exec sleep 60"));
        QElapsedTimer clock;
        {
            MainWindow window(store->state, store->store);
            window.findChild<QAction*>(QStringLiteral("actionCheck_for_Updates"))->trigger();
            QTRY_VERIFY_WITH_TIMEOUT(!readAll(store->path("pid")).isEmpty(), 10000);
            clock.start();
        }
        // Well within the 30 s the updater would otherwise be given.
        QVERIFY2(clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));
        QVERIFY(!QFile::exists("/proc/" + readAll(store->path("pid")).trimmed()));
    }
};

QTEST_MAIN(TestUpdate)
#include "tst_update.moc"
