#include "app/mainwindow.h"
#include "store/preferences.h"
#include "store/settingsstore.h"
#include "support/dialogdriver.h"
#include "support/testvault.h"
#include "update/updatethread.h"
#include "vault/entrylist.h"

#include <QAction>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <csignal>
#include <memory>

namespace {

const QString kUpdaterName = QStringLiteral("/QLM-Updater.exe");

// Stand-in updaters are shell scripts; `body` follows a line that records the arguments.
bool writeUpdater(const QString& directory, const QString& argumentsFile, const QByteArray& body)
{
    QFile file(directory + kUpdaterName);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    file.write("#!/bin/sh\nprintf '%s\\n' \"$#\" \"$@\" > '" + QFile::encodeName(argumentsFile) + "'\n" + body + '\n');
    file.close();
    return file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// True while the process exists, zombies included: a killed updater must also have been reaped.
bool processExists(const QByteArray& pidText)
{
    const pid_t pid = pid_t(pidText.trimmed().toLongLong());
    return pid > 0 && (::kill(pid, 0) == 0 || errno != ESRCH);
}

// Sees the window's queued calls (update results are its only ones here) and its close.
class WindowWatcher : public QObject
{
public:
    explicit WindowWatcher(QWidget* window)
    {
        clock.start();
        window->installEventFilter(this);
    }

    int results = 0;
    qint64 lastResultAt = -1;
    qint64 closedAt = -1;

protected:
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::MetaCall) {
            ++results;
            lastResultAt = clock.elapsed();
        } else if (event->type() == QEvent::Close) {
            closedAt = clock.elapsed();
        }
        return false;
    }

private:
    QElapsedTimer clock;
};

} // namespace

class TestUpdate : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir storeDir;
    std::unique_ptr<QTemporaryDir> work;

    // The main window looks for the updater beside the program, here the test executable.
    static QString programDirectory() { return QCoreApplication::applicationDirPath(); }
    QString workFile(const char* name) const { return work->filePath(QLatin1String(name)); }

    static void checkForUpdates(MainWindow& window)
    {
        window.findChild<QAction*>(QStringLiteral("actionCheck_for_Updates"))->trigger();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(storeDir.isValid());
        DialogDriver::install();
    }

    void init()
    {
        work = std::make_unique<QTemporaryDir>();
        QVERIFY(work->isValid());
        TestVault::reset(storeDir.path());
        preferences.firstRun = false;
        QVERIFY(saveSettings().ok);
    }

    void cleanup()
    {
        QFile::remove(programDirectory() + kUpdaterName);
        VERIFY_DIALOGS_ANSWERED();
    }

    void runnerReadsTheExitCode_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("found");
        QTest::newRow("exit 1") << QByteArray("exit 1") << true;
        QTest::newRow("exit 0") << QByteArray("exit 0") << false;
        QTest::newRow("exit 2") << QByteArray("exit 2") << false;
        // A process killed by signal 1 also reports exit code 1.
        QTest::newRow("killed by SIGHUP") << QByteArray("kill -HUP $$") << false;
        QTest::newRow("missing") << QByteArray() << false;
    }

    void runnerReadsTheExitCode()
    {
        QFETCH(QByteArray, body);
        QFETCH(bool, found);
        if (!body.isNull())
            QVERIFY(writeUpdater(work->path(), workFile("args"), body));
        QCOMPARE(runUpdater(QStringLiteral("vaultry"), QStringLiteral("1.0.5"), work->path(), false, 10000), found);
    }

    void runnerKillsAHangingUpdater()
    {
        QVERIFY(writeUpdater(work->path(), workFile("args"),
                             "echo $$ > '" + QFile::encodeName(workFile("pid")) + "'\nexec sleep 60"));
        QElapsedTimer clock;
        clock.start();
        QVERIFY(!runUpdater(QStringLiteral("vaultry"), QStringLiteral("1.0.5"), work->path(), false, 300));
        QVERIFY2(clock.elapsed() >= 300 && clock.elapsed() < 10000, qPrintable(QString::number(clock.elapsed())));
        const QByteArray pid = readAll(workFile("pid"));
        QVERIFY(!pid.isEmpty());
        QVERIFY(!processExists(pid));
    }

    void updateFoundClosesTheWindowAndSaves()
    {
        QVERIFY(writeUpdater(programDirectory(), workFile("args"), "exit 1"));
        {
            MainWindow window;
            window.show();
            WindowWatcher watcher(&window);
            categoryNames.append(QStringLiteral("Later"));
            checkForUpdates(window);
            QTRY_VERIFY_WITH_TIMEOUT(watcher.closedAt >= 0, 10000);
            QVERIFY(!window.isVisible());
            QCOMPARE(watcher.results, 1);
            const qint64 delay = watcher.closedAt - watcher.lastResultAt;
            QVERIFY2(delay >= 90 && delay < 2000, qPrintable(QString::number(delay)));
        }
        QCOMPARE(readAll(workFile("args")), QByteArray("3\nvaultry\n1.0.5\nfalse\n"));
        categoryNames.clear();
        QCOMPARE(loadSettings().outcome, StoreLoadResult::Loaded);
        QVERIFY(categoryNames.contains(QStringLiteral("Later")));
    }

    void otherOutcomesLeaveTheWindowOpen_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("timeout");
        QTest::newRow("exit 0") << QByteArray("exit 0") << 30000;
        QTest::newRow("exit 2") << QByteArray("exit 2") << 30000;
        QTest::newRow("missing") << QByteArray() << 30000;
        QTest::newRow("hanging") << QByteArray("exec sleep 60") << 300;
    }

    void otherOutcomesLeaveTheWindowOpen()
    {
        QFETCH(QByteArray, body);
        QFETCH(int, timeout);
        if (!body.isNull())
            QVERIFY(writeUpdater(programDirectory(), workFile("args"),
                                 "echo $$ > '" + QFile::encodeName(workFile("pid")) + "'\n" + body));
        MainWindow window;
        window.show();
        WindowWatcher watcher(&window);
        window.setUpdaterTimeout(timeout);
        checkForUpdates(window);
        QTRY_COMPARE_WITH_TIMEOUT(watcher.results, 1, 10000);
        // Longer than the 100 ms a found update would take to close the window.
        QTest::qWait(300);
        QVERIFY(window.isVisible());
        QCOMPARE(watcher.closedAt, -1);
        if (!body.isNull()) {
            QCOMPARE(readAll(workFile("args")), QByteArray("3\nvaultry\n1.0.5\nfalse\n"));
            QVERIFY(!processExists(readAll(workFile("pid"))));
        }
    }

    void twoQuickRequestsRunTwice()
    {
        QVERIFY(writeUpdater(programDirectory(), workFile("args"),
                             "echo run >> '" + QFile::encodeName(workFile("log")) + "'\nsleep 0.3\nexit 0"));
        MainWindow window;
        window.show();
        WindowWatcher watcher(&window);
        checkForUpdates(window);
        checkForUpdates(window);
        QTRY_COMPARE_WITH_TIMEOUT(watcher.results, 2, 10000);
        QCOMPARE(readAll(workFile("log")), QByteArray("run\nrun\n"));
        QVERIFY(window.isVisible());
    }
};

QTEST_MAIN(TestUpdate)
#include "tst_update.moc"
