// The real program, run as a user would run it: a copy of the executable in a temporary
// folder, its store beside it, ended by signals.
#include "store/payload.h"
#include "store/settingsstore.h"
#include "support/testvault.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <unistd.h>

namespace {

using TestVault::readFile;

} // namespace

class TestProcess : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> dir;
    QString program;

    QString storePath() const { return dir->path() + QLatin1String(kStoreFileName); }

    void start(QProcess& process, const QStringList& arguments = QStringList()) const
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        // A home of the test's own: what the window remembers, and no vault in a data folder
        // that the program would have to choose between.
        const QString home = dir->filePath(QStringLiteral("home"));
        environment.insert(QStringLiteral("HOME"), home);
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"), dir->filePath(QStringLiteral("config")));
        environment.insert(QStringLiteral("XDG_DATA_HOME"), home + QStringLiteral("/.local/share"));
        environment.insert(QStringLiteral("XDG_CACHE_HOME"), home + QStringLiteral("/.cache"));
        process.setProcessEnvironment(environment);
        process.setProgram(program);
        process.setArguments(arguments);
        process.start();
        QVERIFY(process.waitForStarted());
    }

    // Waits for the program to end and returns its exit code; -1 when it did not end normally.
    static int finish(QProcess& process)
    {
        if (!process.waitForFinished(30000))
            return -1;
        return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }

    void writeStore(const Preferences& preferences, const QStringList& categories)
    {
        QFile file(storePath());
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(sealStore(encodePayload(preferences, categories, EntryList())));
    }

    Payload readStore() const
    {
        Payload payload;
        decodeStore(readFile(storePath()), payload);
        return payload;
    }

    // Starts `executable` as the user nobody, with `home` as home and runtime folder.
    static void startAsNobody(QProcess& process, const QString& executable, const QString& home)
    {
        QProcessEnvironment environment;
        environment.insert(QStringLiteral("HOME"), home);
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), home);
        process.setProcessEnvironment(environment);
        process.start(QStringLiteral("setpriv"), {QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"),
                                                  QStringLiteral("--clear-groups"), executable});
        QVERIFY(process.waitForStarted());
    }

    static bool canRunAsNobody()
    {
        return ::geteuid() == 0 && !QStandardPaths::findExecutable(QStringLiteral("setpriv")).isEmpty();
    }

    // An owner-only folder of nobody's under the test folder (a home, a runtime folder).
    QString nobodysFolder(const QString& name) const
    {
        const QString path = dir->filePath(name);
        if (!QDir().mkpath(path) || ::chown(QFile::encodeName(path).constData(), 65534, 65534) != 0 ||
            !QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner))
            return QString();
        return path;
    }

    static QStringList runtimeLocks(const QString& folder)
    {
        return QDir(folder).entryList({QStringLiteral("vaultry-*.lock")}, QDir::Files);
    }

private slots:
    void init()
    {
        dir = std::make_unique<QTemporaryDir>();
        QVERIFY(dir->isValid());
        program = dir->filePath(QStringLiteral("vaultry"));
        QVERIFY(QFile::copy(QStringLiteral(VAULTRY_EXECUTABLE), program));
    }

    void signalSavesTheSession_data()
    {
        QTest::addColumn<int>("signalNumber");
        QTest::addColumn<bool>("firstStart"); // the first-run notice is open when the signal comes
        QTest::newRow("SIGTERM") << SIGTERM << false;
        QTest::newRow("SIGHUP") << SIGHUP << false;
        QTest::newRow("SIGINT") << SIGINT << false;
        QTest::newRow("SIGTERM at the first-run notice") << SIGTERM << true;
    }

    // "General" and the first-run flag exist only in memory until the session is saved.
    void signalSavesTheSession()
    {
        QFETCH(int, signalNumber);
        QFETCH(bool, firstStart);
        if (!firstStart) {
            Preferences preferences;
            preferences.firstRun = false;
            writeStore(preferences, {});
        }
        QProcess process;
        start(process);
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(storePath() + QStringLiteral(".lock")) && QFile::exists(storePath()),
                                 20000);
        ::kill(pid_t(process.processId()), signalNumber);
        QCOMPARE(finish(process), 0);
        const Payload saved = readStore();
        QCOMPARE(saved.categories, QStringList{QStringLiteral("General")});
        QVERIFY(!saved.preferences.firstRun);
        QCOMPARE(QFile(storePath()).permissions() & (QFile::ReadGroup | QFile::ReadOther), QFile::Permissions());
        QVERIFY(!QFile::exists(storePath() + QStringLiteral(".lock")));
    }

    // A second copy on the same store says so and ends without loading or saving anything;
    // the first keeps its lock and saves at its own close.
    void secondCopyIsRefused()
    {
        Preferences preferences;
        preferences.firstRun = false;
        writeStore(preferences, {QStringLiteral("Work")});
        const QByteArray stored = readFile(storePath());

        QProcess first;
        start(first);
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(storePath() + QStringLiteral(".lock")), 20000);
        QProcess second;
        start(second);
        QByteArray said;
        QTRY_VERIFY_WITH_TIMEOUT((said += second.readAllStandardError()).contains("already open"), 20000);
        QVERIFY2(said.contains(QByteArray::number(first.processId())), said.constData());
        ::kill(pid_t(second.processId()), SIGTERM);
        QCOMPARE(finish(second), 1);
        QCOMPARE(readFile(storePath()), stored);

        QCOMPARE(first.state(), QProcess::Running);
        ::kill(pid_t(first.processId()), SIGTERM);
        QCOMPARE(finish(first), 0);
        QCOMPARE(readStore().categories, QStringList{QStringLiteral("Work")});
    }

    // A lock left by a process that is gone does not keep the vault closed.
    void staleLockIsTakenOver()
    {
        Preferences preferences;
        preferences.firstRun = false;
        writeStore(preferences, {});
        QProcess crashed;
        start(crashed);
        // Killed once the lock names its holder: a lock file made but not yet written says nothing.
        QTRY_VERIFY_WITH_TIMEOUT(
            readFile(storePath() + QStringLiteral(".lock")).startsWith(QByteArray::number(crashed.processId()) + '\n'),
            20000);
        ::kill(pid_t(crashed.processId()), SIGKILL);
        QCOMPARE(finish(crashed), -1);
        QVERIFY(QFile::exists(storePath() + QStringLiteral(".lock")));

        QProcess next;
        start(next);
        QTRY_VERIFY_WITH_TIMEOUT(
            readFile(storePath() + QStringLiteral(".lock")).startsWith(QByteArray::number(next.processId()) + '\n'),
            20000);
        ::kill(pid_t(next.processId()), SIGTERM);
        QCOMPARE(finish(next), 0);
        QCOMPARE(readStore().categories, QStringList{QStringLiteral("General")});
    }

    // Changes reach the disk while the program runs, so a kill -9 loses none of them: its own
    // (the first category), a conflicted copy found at start, and a store another computer left
    // meanwhile, which is merged rather than overwritten.
    void savedAsItGoes()
    {
        Preferences preferences;
        preferences.firstRun = false;
        writeStore(preferences, {});
        Entry copied;
        copied.title = QStringLiteral("From the copy");
        const QString conflictCopy =
            dir->filePath(QStringLiteral("settings2.sync-conflict-20261207-143012-ABCDEFG.vydat"));
        QVERIFY(writeStoreFile(conflictCopy, sealStore(encodePayload(preferences, {QStringLiteral("General")},
                                                                     TestVault::entryList({copied}))))
                    .ok);

        QProcess process;
        start(process);
        const auto titles = [this] {
            QStringList list;
            for (const Entry& entry : readStore().entries)
                list << entry.title;
            list.sort();
            return list;
        };
        // Merged and saved; made on another computer, it is left for that one to take out.
        QTRY_COMPARE_WITH_TIMEOUT(titles(), QStringList{QStringLiteral("From the copy")}, 20000);
        QVERIFY(QFile::exists(conflictCopy));

        ::kill(pid_t(process.processId()), SIGKILL);
        QCOMPARE(finish(process), -1);
        QCOMPARE(readStore().categories, QStringList{QStringLiteral("General")});

        // Another computer adds an entry while the program runs again; the close keeps it.
        QProcess again;
        start(again);
        QTRY_VERIFY_WITH_TIMEOUT(
            readFile(storePath() + QStringLiteral(".lock")).startsWith(QByteArray::number(again.processId()) + '\n'),
            20000);
        Payload other = readStore();
        Entry added;
        added.title = QStringLiteral("From the other computer");
        added.category = QStringLiteral("Work");
        other.categories << QStringLiteral("Work");
        other.entries.append(added);
        QVERIFY(writeStoreFile(storePath(), sealStore(encodePayload(other))).ok);
        ::kill(pid_t(again.processId()), SIGTERM);
        QCOMPARE(finish(again), 0);
        QCOMPARE(readStore().categories, (QStringList{QStringLiteral("General"), QStringLiteral("Work")}));
        QCOMPARE(titles(), (QStringList{QStringLiteral("From the copy"), QStringLiteral("From the other computer")}));
    }

    void commandLine_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QByteArray>("out"); // a part of standard output
        QTest::addColumn<QByteArray>("err"); // a part of standard error
        QTest::newRow("--help") << QStringList{"--help"} << 0 << QByteArray("--vault-dir <folder>") << QByteArray();
        QTest::newRow("-h") << QStringList{"-h"} << 0 << QByteArray("Usage:") << QByteArray();
        QTest::newRow("--version") << QStringList{"--version"} << 0 << QByteArray("Vaultry 1.0.5\n") << QByteArray();
        QTest::newRow("with a Qt option")
            << QStringList{"-style", "fusion", "-v"} << 0 << QByteArray("Vaultry 1.0.5\n") << QByteArray();
        QTest::newRow("unknown option") << QStringList{"--vault"} << 2 << QByteArray()
                                        << QByteArray("Unknown option 'vault'");
        QTest::newRow("folder missing") << QStringList{"--vault-dir"} << 2 << QByteArray()
                                        << QByteArray("Missing value after '--vault-dir'");
        QTest::newRow("stray argument") << QStringList{"vault"} << 2 << QByteArray()
                                        << QByteArray("unexpected argument 'vault'");
    }

    // Answered on the terminal without a display: with none, making the application object
    // would end the program with an error.
    void commandLine()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QByteArray, out);
        QFETCH(QByteArray, err);
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove(QStringLiteral("DISPLAY"));
        environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"), dir->filePath(QStringLiteral("config")));
        process.setProcessEnvironment(environment);
        process.start(program, arguments);
        QVERIFY(process.waitForStarted());
        QCOMPARE(finish(process), exitCode);
        const QByteArray said = process.readAllStandardOutput();
        const QByteArray complained = process.readAllStandardError();
        QVERIFY2(said.contains(out), said.constData());
        QVERIFY2(complained.contains(err), complained.constData());
        QVERIFY(!QFile::exists(storePath()));
    }

    // --vault-dir keeps the vault in the folder given, made owner-only when missing, and
    // nothing beside the program.
    void vaultDirChoosesTheFolder()
    {
        const QString folder = dir->filePath(QStringLiteral("elsewhere/vaults"));
        const QString store = folder + QLatin1String(kStoreFileName);
        QProcess process;
        start(process, {QStringLiteral("--vault-dir"), folder});
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(store + QStringLiteral(".lock")) && QFile::exists(store), 20000);
        ::kill(pid_t(process.processId()), SIGTERM);
        QCOMPARE(finish(process), 0);
        Payload saved;
        QVERIFY(decodeStore(readFile(store), saved));
        QCOMPARE(saved.categories, QStringList{QStringLiteral("General")});
        QVERIFY(!QFile::exists(storePath()));
        QCOMPARE(QFile::permissions(folder) & QFile::Permissions(0x0077), QFile::Permissions());
    }

    // Installed where the user cannot write, the program keeps its vault in the user's data
    // folder, across a close and a restart.
    void unwritableFolderUsesTheDataFolder()
    {
        if (!canRunAsNobody())
            QSKIP("needs root and setpriv to run the program as a user who cannot write its folder");
        const QString home = dir->filePath(QStringLiteral("home"));
        QVERIFY(QDir().mkpath(home));
        QVERIFY(QFile::setPermissions(dir->path(), QFile::Permissions(0x7755)));
        QVERIFY(::chown(QFile::encodeName(home).constData(), 65534, 65534) == 0);
        const QString dataStore = home + QStringLiteral("/.local/share/VAULTRY") + QLatin1String(kStoreFileName);

        for (int run = 0; run < 2; ++run) {
            QProcess process;
            QProcessEnvironment environment;
            environment.insert(QStringLiteral("HOME"), home);
            environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
            environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), home);
            process.setProcessEnvironment(environment);
            process.start(QStringLiteral("setpriv"), {QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"),
                                                      QStringLiteral("--clear-groups"), program});
            QVERIFY(process.waitForStarted());
            QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(dataStore + QStringLiteral(".lock")), 20000);
            ::kill(pid_t(process.processId()), SIGTERM);
            QCOMPARE(finish(process), 0);
            Payload saved;
            QVERIFY(decodeStore(readFile(dataStore), saved));
            QCOMPARE(saved.categories, QStringList{QStringLiteral("General")});
            QVERIFY(!saved.preferences.firstRun); // the second run found the first run's vault
        }
        QVERIFY(!QFile::exists(storePath()));
        QCOMPARE(QFile::permissions(QFileInfo(dataStore).path()) & QFile::Permissions(0x0077), QFile::Permissions());
    }

    // A user who may write the store but not its folder (a shared folder): the lock is kept in
    // the runtime folder, a second copy is still refused, and the close saves into the file.
    void sharedFolderSavesInPlace()
    {
        if (!canRunAsNobody())
            QSKIP("needs root and setpriv to run the program as a user who cannot write its folder");
        Preferences preferences;
        preferences.firstRun = false;
        writeStore(preferences, {});
        QVERIFY(::chown(QFile::encodeName(storePath()).constData(), 65534, 65534) == 0);
        QVERIFY(QFile::setPermissions(dir->path(), QFile::Permissions(0x7755)));
        const QString home = nobodysFolder(QStringLiteral("home"));
        QVERIFY(!home.isEmpty());

        QProcess first;
        startAsNobody(first, program, home);
        QTRY_COMPARE_WITH_TIMEOUT(runtimeLocks(home).size(), 1, 20000);
        QProcess second;
        startAsNobody(second, program, home);
        QByteArray said;
        QTRY_VERIFY_WITH_TIMEOUT((said += second.readAllStandardError()).contains("already open"), 20000);
        ::kill(pid_t(second.processId()), SIGTERM);
        QCOMPARE(finish(second), 1);

        ::kill(pid_t(first.processId()), SIGTERM);
        QCOMPARE(finish(first), 0);
        QCOMPARE(readStore().categories, QStringList{QStringLiteral("General")});
        QVERIFY(runtimeLocks(home).isEmpty());
        QCOMPARE(QDir(dir->path()).entryList(QDir::Files | QDir::Hidden),
                 (QStringList{QStringLiteral("settings2.vydat"), QStringLiteral("vaultry")}));
    }

    // On a read-only file system the vault opens for viewing; the close writes nothing there.
    void readOnlyFileSystemOpensTheVault()
    {
        Preferences preferences;
        preferences.firstRun = false;
        writeStore(preferences, {QStringLiteral("Work")});
        const QByteArray stored = readFile(storePath());
        QTemporaryDir mountPoint;
        QTemporaryDir runtime;
        const auto mount = [](const QStringList& arguments) {
            QProcess process;
            process.start(QStringLiteral("mount"), arguments);
            return process.waitForFinished() && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
        };
        if (::geteuid() != 0 || !mount({QStringLiteral("--bind"), dir->path(), mountPoint.path()}))
            QSKIP("needs root to mount a read-only folder");
        const bool readOnly = mount({QStringLiteral("-o"), QStringLiteral("remount,bind,ro"), mountPoint.path()});
        int exitCode = -2;
        if (readOnly) {
            QProcess process;
            QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
            environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
            environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime.path());
            process.setProcessEnvironment(environment);
            process.start(mountPoint.filePath(QStringLiteral("vaultry")));
            if (process.waitForStarted()) {
                QTRY_COMPARE_WITH_TIMEOUT(runtimeLocks(runtime.path()).size() + int(process.state() == 0), 1, 20000);
                ::kill(pid_t(process.processId()), SIGTERM);
                exitCode = finish(process);
            }
        }
        QProcess::execute(QStringLiteral("umount"), {mountPoint.path()});
        QVERIFY(readOnly);
        QCOMPARE(exitCode, 0);
        QCOMPARE(readFile(storePath()), stored);
        QCOMPARE(QDir(dir->path()).entryList(QDir::Files | QDir::Hidden),
                 (QStringList{QStringLiteral("settings2.vydat"), QStringLiteral("vaultry")}));
    }

    // The program cannot be read through /proc by others of its user (it makes itself
    // non-dumpable). A lock naming such a process that holds another vault is stale and taken
    // over; a lock its holder still holds is not.
    void nonDumpableHoldersAreJudgedRight()
    {
        if (!canRunAsNobody())
            QSKIP("needs root and setpriv to run the program as an ordinary user");
        QVERIFY(QFile::setPermissions(dir->path(), QFile::Permissions(0x7755)));
        const QString home = nobodysFolder(QStringLiteral("home"));
        Preferences preferences;
        preferences.firstRun = false;
        const auto vaultFolder = [&](const QString& name) {
            const QString folder = nobodysFolder(name);
            const QString copy = folder + QStringLiteral("/vaultry");
            QFile store(folder + QLatin1String(kStoreFileName));
            if (folder.isEmpty() || !QFile::copy(program, copy) || !store.open(QIODevice::WriteOnly) ||
                store.write(sealStore(encodePayload(preferences, {}, EntryList()))) <= 0)
                return QString();
            store.close();
            ::chown(QFile::encodeName(store.fileName()).constData(), 65534, 65534);
            return folder;
        };
        const QString mine = vaultFolder(QStringLiteral("mine"));
        const QString other = vaultFolder(QStringLiteral("other"));
        QVERIFY(!home.isEmpty() && !mine.isEmpty() && !other.isEmpty());
        const QString lockName = QLatin1String(kStoreFileName) + QStringLiteral(".lock");

        QProcess holder;
        startAsNobody(holder, other + QStringLiteral("/vaultry"), home);
        QTRY_VERIFY_WITH_TIMEOUT(readFile(other + lockName).startsWith(QByteArray::number(holder.processId()) + '\n'),
                                 20000);
        // Left by a crash, as the holder's pid came round again.
        QVERIFY(QFile::copy(other + lockName, mine + lockName));
        QVERIFY(::chown(QFile::encodeName(mine + lockName).constData(), 65534, 65534) == 0);

        QProcess next;
        startAsNobody(next, mine + QStringLiteral("/vaultry"), home);
        QTRY_VERIFY_WITH_TIMEOUT(readFile(mine + lockName).startsWith(QByteArray::number(next.processId()) + '\n'),
                                 20000);
        QProcess second;
        startAsNobody(second, other + QStringLiteral("/vaultry"), home);
        QByteArray said;
        QTRY_VERIFY_WITH_TIMEOUT((said += second.readAllStandardError()).contains("already open"), 20000);
        ::kill(pid_t(second.processId()), SIGTERM);
        QCOMPARE(finish(second), 1);

        for (QProcess* process : {&holder, &next}) {
            ::kill(pid_t(process->processId()), SIGTERM);
            QCOMPARE(finish(*process), 0);
        }
    }
};

QTEST_GUILESS_MAIN(TestProcess)
#include "tst_process.moc"
