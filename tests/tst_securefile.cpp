#include "store/listfile.h"
#include "store/securefile.h"
#include "store/settingsstore.h"
#include "store/storestate.h"
#include "support/testvault.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <csignal>
#include <grp.h>
#include <memory>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr uid_t kNobody = 65534;

using TestVault::readFile;

void writeFile(const QString& path, const QByteArray& bytes, mode_t mode = 0644)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), bytes.size());
    file.close();
    QCOMPARE(::chmod(QFile::encodeName(path).constData(), mode), 0);
}

QByteArray filled(int size, char seed)
{
    QByteArray bytes(size, '\0');
    for (int i = 0; i < size; ++i)
        bytes[i] = char(seed + i % 251);
    return bytes;
}

mode_t modeOf(const QString& path)
{
    struct stat st;
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_mode & 07777 : 0;
}

QStringList namesIn(const QString& dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

// Links `path` to a character device. As root a faulty writer would replace what the link leads
// to, so root gets a null device of its own in `dir` rather than the system's /dev/null.
bool linkToDevice(const QString& dir, const QString& path)
{
    QString device = QStringLiteral("/dev/null");
    if (::geteuid() == 0) {
        device = dir + QStringLiteral("/null");
        if (::mknod(QFile::encodeName(device).constData(), S_IFCHR | 0666, makedev(1, 3)) != 0)
            return false;
    }
    return QFile::link(device, path);
}

// What a child process sent back, and whether it was killed before it could.
struct ChildRun
{
    bool killed = false;
    QString output;
};

// Runs `work` in a child process as the user a locked folder keeps out (nobody, when the tests run
// as root) and returns what it sent back. A hook may kill the child part way through a save, as a
// crash or `kill -9` would.
ChildRun runAsUser(const std::function<QString()>& work)
{
    int channel[2];
    if (::pipe(channel) != 0)
        return ChildRun();
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(channel[0]);
        if (::geteuid() == 0 && (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0))
            ::_exit(3);
        const QByteArray output = work().toUtf8();
        const bool sent = ::write(channel[1], output.constData(), size_t(output.size())) == output.size();
        ::_exit(sent ? 0 : 4);
    }
    ::close(channel[1]);
    QByteArray output;
    char buffer[4096];
    for (ssize_t got; (got = ::read(channel[0], buffer, sizeof buffer)) != 0;) {
        if (got > 0)
            output.append(buffer, got);
        else if (errno != EINTR)
            break;
    }
    ::close(channel[0]);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    ChildRun run;
    run.killed = WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
    run.output = QString::fromUtf8(output);
    return run;
}

// A fault for the next system call: `error`, or, for -1, the end of the process there and then.
int fault(int error)
{
    if (error < 0)
        ::raise(SIGKILL);
    return error;
}

// Peak memory of this process so far, in KiB.
long peakMemory()
{
    struct rusage usage;
    return ::getrusage(RUSAGE_SELF, &usage) == 0 ? usage.ru_maxrss : 0;
}

} // namespace

class TestSecureFile : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> tempDir;
    std::unique_ptr<QTemporaryDir> dataDir;
    QString dir;
    QString path;
    QString mountPoint;
    QString journalFolder; // where saves in place keep their journals in these tests

    // A store in a folder its user may not write: saves go in place. Owned by nobody when the
    // tests run as root, so that runAsUser acts as its owner.
    QString lockedStore(const QByteArray& bytes)
    {
        const QString locked = dir + QStringLiteral("/locked");
        const QString store = locked + QStringLiteral("/settings2.vydat");
        if (!QDir(dir).mkdir(QStringLiteral("locked")))
            return QString();
        writeFile(store, bytes);
        if (::geteuid() == 0 && (::chown(QFile::encodeName(locked).constData(), kNobody, kNobody) != 0 ||
                                 ::chown(QFile::encodeName(store).constData(), kNobody, kNobody) != 0))
            return QString();
        return ::chmod(QFile::encodeName(locked).constData(), 0555) == 0 ? store : QString();
    }

private slots:
    void init()
    {
        tempDir = std::make_unique<QTemporaryDir>();
        QVERIFY(tempDir->isValid());
        dir = tempDir->path();
        path = dir + QStringLiteral("/settings2.vydat");
        // The user's data folder, where journals go, is the test's own, and nobody's when root acts
        // as nobody.
        dataDir = std::make_unique<QTemporaryDir>();
        QVERIFY(dataDir->isValid());
        const QString data = dataDir->path();
        qputenv("XDG_DATA_HOME", QFile::encodeName(data));
        journalFolder = data + QLatin1Char('/') + QCoreApplication::applicationName() + QStringLiteral("/journal");
        if (::geteuid() == 0) {
            QCOMPARE(::chown(QFile::encodeName(data).constData(), kNobody, kNobody), 0);
            QCOMPARE(::chmod(QFile::encodeName(dir).constData(), 0711), 0);
        }
    }

    void cleanup()
    {
        if (!mountPoint.isEmpty())
            QCOMPARE(::umount(QFile::encodeName(mountPoint).constData()), 0);
        mountPoint.clear();
        ::chmod(QFile::encodeName(dir + QStringLiteral("/locked")).constData(), 0755);
        tempDir.reset();
        dataDir.reset();
    }

    // Faults at each system call, on a store larger than the 16 KiB a buffered writer holds back.
    void failedWriteKeepsTheOldFile_data()
    {
        QTest::addColumn<QString>("step");
        QTest::addColumn<qint64>("failAt"); // bytes the file takes before a write fails
        QTest::addColumn<int>("error");     // 0: the save succeeds

        QTest::newRow("write fails at once") << "write" << qint64(0) << ENOSPC;
        QTest::newRow("write fails part way") << "write" << qint64(5000) << ENOSPC;
        QTest::newRow("write fails at the last byte") << "write" << qint64(19999) << ENOSPC;
        QTest::newRow("fsync fails") << "sync" << qint64(-1) << EIO;
        QTest::newRow("close fails") << "close" << qint64(-1) << EIO;
        QTest::newRow("short writes succeed") << "short" << qint64(-1) << 0;
    }

    void failedWriteKeepsTheOldFile()
    {
        QFETCH(QString, step);
        QFETCH(qint64, failAt);
        QFETCH(int, error);

        const QByteArray old = filled(3000, 'o');
        writeFile(path, old);
        const QByteArray bytes = filled(20000, 'n');
        WriteHooks hooks;
        if (step == QLatin1String("write")) {
            hooks.write = [&](qint64 at, qint64& size) {
                size = qMin(size, failAt - at);
                return at >= failAt ? ENOSPC : 0;
            };
        } else if (step == QLatin1String("short")) {
            hooks.write = [](qint64, qint64& size) {
                size = qMin<qint64>(size, 1000);
                return 0;
            };
        } else if (step == QLatin1String("sync")) {
            hooks.sync = [] { return EIO; };
        } else {
            hooks.close = [] { return EIO; };
        }

        const WriteResult result = writeSecretFile(path, bytes, hooks);
        QCOMPARE(result.ok, error == 0);
        QCOMPARE(result.reason, error ? qt_error_string(error) : QString());
        QCOMPARE(readFile(path), error ? old : bytes);
        QCOMPARE(namesIn(dir), QStringList{QStringLiteral("settings2.vydat")});
    }

    void resultIsOwnerOnly_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<int>("mask");

        QTest::newRow("new file, umask 022") << "new" << 022;
        QTest::newRow("new file, umask 0277") << "new" << 0277;
        QTest::newRow("over a 0644 file") << "over" << 022;
        QTest::newRow("through a link to a 0644 file") << "link" << 022;
        QTest::newRow("copy of a 0644 file") << "copy" << 022;
    }

    void resultIsOwnerOnly()
    {
        QFETCH(QString, how);
        QFETCH(int, mask);

        const QByteArray bytes = filled(5000, 'n');
        QString target = path;
        if (how == QLatin1String("over")) {
            writeFile(path, "old");
        } else if (how == QLatin1String("link")) {
            // The link stays and the file it leads to is replaced, beside that file.
            QVERIFY(QDir(dir).mkdir(QStringLiteral("real")));
            target = dir + QStringLiteral("/real/store");
            writeFile(target, "old");
            QVERIFY(QFile::link(target, path));
        } else if (how == QLatin1String("copy")) {
            writeFile(path, bytes);
            target = path + QStringLiteral(".damaged-20240101-120000");
        }

        const mode_t oldMask = ::umask(mode_t(mask));
        QString error;
        const bool ok =
            how == QLatin1String("copy") ? copySecretFile(path, target, &error) : writeSecretFile(path, bytes).ok;
        ::umask(oldMask);
        QVERIFY2(ok, qPrintable(error));
        QCOMPARE(readFile(target), bytes);
        QCOMPARE(modeOf(target), mode_t(0600));

        if (how == QLatin1String("link")) {
            QVERIFY(QFileInfo(path).isSymLink());
            QCOMPARE(namesIn(dir + QStringLiteral("/real")), QStringList{QStringLiteral("store")});
        } else if (how == QLatin1String("copy")) {
            // An existing copy is never replaced.
            writeFile(dir + QStringLiteral("/other"), "other");
            QVERIFY(!copySecretFile(dir + QStringLiteral("/other"), target, &error));
            QCOMPARE(readFile(target), bytes);
        }
    }

    void nonRegularFilesAreRefused_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("named pipe") << "fifo";
        QTest::newRow("folder") << "folder";
        QTest::newRow("link to a device") << "device";
    }

    // Opening a pipe for reading would wait for a writer for ever; a device would take the vault.
    void nonRegularFilesAreRefused()
    {
        QFETCH(QString, kind);
        const QByteArray name = QFile::encodeName(path);
        if (kind == QLatin1String("fifo"))
            QCOMPARE(::mkfifo(name.constData(), 0600), 0);
        else if (kind == QLatin1String("folder"))
            QVERIFY(QDir(dir).mkdir(QStringLiteral("settings2.vydat")));
        else if (!linkToDevice(dir, path))
            QSKIP("cannot make a device node here");
        struct stat before;
        QCOMPARE(::lstat(name.constData(), &before), 0);
        const QString reason = QStringLiteral("%1 is not a regular file").arg(path);

        const WriteResult written = writeSecretFile(path, "secret");
        QVERIFY(!written.ok);
        QCOMPARE(written.reason, reason);
        const ReadResult read = readRegularFile(path, 1 << 20);
        QVERIFY(!read.ok);
        QCOMPARE(read.reason, reason);
        QCOMPARE(nonRegularReason(path), reason);
        QString error;
        QVERIFY(!copySecretFile(path, dir + QStringLiteral("/copy"), &error));
        QCOMPARE(error, reason);

        struct stat after;
        QCOMPARE(::lstat(name.constData(), &after), 0);
        QCOMPARE(after.st_mode, before.st_mode);
        QVERIFY(::stat(name.constData(), &after) == 0 && !S_ISREG(after.st_mode)); // nor where it leads
        QStringList names = namesIn(dir);
        names.removeOne(QStringLiteral("null"));
        QCOMPARE(names, QStringList{QStringLiteral("settings2.vydat")});
    }

    void readingStopsAtTheLimit_data()
    {
        QTest::addColumn<int>("size");
        QTest::newRow("at the limit") << 4096;
        QTest::newRow("one byte over") << 4097;
    }

    void readingStopsAtTheLimit()
    {
        QFETCH(int, size);
        writeFile(path, filled(size, 'r'));
        const ReadResult read = readRegularFile(path, 4096);
        QCOMPARE(read.ok, size <= 4096);
        QCOMPARE(read.bytes, read.ok ? filled(size, 'r') : QByteArray());
        QCOMPARE(read.reason.isEmpty(), read.ok);
    }

    // A folder the user may not write holding a store they may: no temporary file can be made.
    void readOnlyFolderSavesInPlace()
    {
        const QString locked = dir + QStringLiteral("/locked");
        const QString store = locked + QStringLiteral("/settings2.vydat");
        QVERIFY(QDir(dir).mkdir(QStringLiteral("locked")));
        writeFile(store, "old");
        const QByteArray lockedName = QFile::encodeName(locked);
        const bool root = ::geteuid() == 0;
        if (root) {
            // Root may write anywhere; act as nobody, keeping root as the saved id to return to.
            QCOMPARE(::chown(lockedName.constData(), kNobody, kNobody), 0);
            QCOMPARE(::chown(QFile::encodeName(store).constData(), kNobody, kNobody), 0);
            QCOMPARE(::chmod(QFile::encodeName(dir).constData(), 0711), 0);
        }
        QCOMPARE(::chmod(lockedName.constData(), 0555), 0);
        if (root && (::setegid(kNobody) != 0 || ::seteuid(kNobody) != 0)) {
            QVERIFY(::seteuid(0) == 0 && ::setegid(0) == 0);
            QSKIP("cannot act as another user here");
        }
        const QByteArray bytes = filled(5000, 'n');
        const WriteResult result = writeSecretFile(store, bytes);
        if (root)
            QVERIFY(::seteuid(0) == 0 && ::setegid(0) == 0);
        ::chmod(lockedName.constData(), 0755);

        QVERIFY2(result.ok, qPrintable(result.reason));
        QCOMPARE(readFile(store), bytes);
        QCOMPARE(modeOf(store), mode_t(0600));
        QCOMPARE(namesIn(locked), QStringList{QStringLiteral("settings2.vydat")});
        QCOMPARE(namesIn(journalFolder), QStringList());
    }

    // A save in place cut short at each step, by a kill (error -1) or a failed call, then the
    // recovery the next start runs. The new store is shorter than the old, so that a save that
    // wrote everything but did not cut the file to length is caught too.
    void interruptedSaveInPlaceIsRecovered_data()
    {
        QTest::addColumn<QString>("step");   // where the fault strikes: "journal", "overwrite", "sync"
        QTest::addColumn<qint64>("failAt");  // for writes: bytes of that file written first
        QTest::addColumn<int>("error");      // -1: killed there
        QTest::addColumn<QString>("before"); // the store before recovery: "old", "new" or "torn"
        QTest::addColumn<bool>("completed"); // recovery finishes the save from the journal

        QTest::newRow("no fault") << "" << qint64(-1) << 0 << "new" << false;
        QTest::newRow("killed while writing the journal") << "journal" << qint64(7000) << -1 << "old" << false;
        QTest::newRow("killed once the journal is synced") << "overwrite" << qint64(0) << -1 << "old" << true;
        QTest::newRow("killed part way through the overwrite") << "overwrite" << qint64(5000) << -1 << "torn" << true;
        QTest::newRow("killed before the store is synced") << "sync" << qint64(-1) << -1 << "new" << true;
        QTest::newRow("disk full while writing the journal") << "journal" << qint64(7000) << ENOSPC << "old" << false;
        QTest::newRow("write fails before the overwrite") << "overwrite" << qint64(0) << EIO << "old" << false;
        QTest::newRow("write fails part way through the overwrite")
            << "overwrite" << qint64(5000) << EIO << "torn" << true;
        QTest::newRow("fsync of the store fails") << "sync" << qint64(-1) << EIO << "new" << true;
    }

    void interruptedSaveInPlaceIsRecovered()
    {
        QFETCH(QString, step);
        QFETCH(qint64, failAt);
        QFETCH(int, error);
        QFETCH(QString, before);
        QFETCH(bool, completed);

        const QByteArray old = filled(30000, 'o');
        const QByteArray bytes = filled(20000, 'n');
        const QString store = lockedStore(old);
        QVERIFY(!store.isEmpty());
        const QString journal = inPlaceJournalPath(store);
        QCOMPARE(QFileInfo(journal).absolutePath(), journalFolder);

        const ChildRun save = runAsUser([&] {
            WriteHooks hooks;
            WriteHooks journalHooks;
            const auto writeFault = [failAt, error](qint64 at, qint64& size) {
                size = qMin(size, failAt - at);
                return at >= failAt ? fault(error) : 0;
            };
            if (step == QLatin1String("journal"))
                journalHooks.write = writeFault;
            else if (step == QLatin1String("overwrite"))
                hooks.write = writeFault;
            else if (step == QLatin1String("sync"))
                hooks.sync = [error] { return fault(error); };
            hooks.journal = &journalHooks;
            const WriteResult result = writeSecretFile(store, bytes, hooks);
            return result.ok ? QStringLiteral("saved") : result.reason;
        });
        QCOMPARE(save.killed, error < 0);
        if (error == 0) {
            QCOMPARE(save.output, QStringLiteral("saved"));
        } else if (error > 0) {
            // The reason is the failed call's; a journal left behind is named.
            QVERIFY2(save.output.startsWith(qt_error_string(error)), qPrintable(save.output));
            QCOMPARE(save.output.contains(journal), completed);
        }
        const QByteArray torn = readFile(store);
        if (before == QLatin1String("torn"))
            QVERIFY(torn != old && torn != bytes);
        else
            QCOMPARE(torn, before == QLatin1String("old") ? old : bytes);
        QCOMPARE(QFileInfo::exists(journal), completed);
        QCOMPARE(namesIn(dir + QStringLiteral("/locked")), QStringList{QStringLiteral("settings2.vydat")});

        // The next start: as its user, finishing the save or leaving the old store.
        const ChildRun recovery = runAsUser([&] { return recoverInPlaceWrite(store); });
        QVERIFY(!recovery.killed);
        QCOMPARE(recovery.output,
                 completed ? QStringLiteral("An unfinished save of %1 was completed from its journal.").arg(store)
                           : QString());
        const bool saved = completed || before == QLatin1String("new");
        QCOMPARE(readFile(store), saved ? bytes : old);
        QCOMPARE(modeOf(store), mode_t(0600));
        QCOMPARE(namesIn(journalFolder), QStringList());
    }

    // A journal left by a failed save in place is older than any save that succeeds after it.
    void laterSaveDropsTheJournal()
    {
        const QString store = lockedStore(filled(30000, 'o'));
        QVERIFY(!store.isEmpty());
        const ChildRun failedSave = runAsUser([&] {
            WriteHooks hooks;
            hooks.write = [](qint64 at, qint64& size) {
                size = qMin<qint64>(size, 5000 - at);
                return at >= 5000 ? EIO : 0;
            };
            return writeSecretFile(store, filled(20000, 'n'), hooks).reason;
        });
        QVERIFY(failedSave.output.contains(inPlaceJournalPath(store)));
        // The folder can be written now: the next save replaces the store as usual.
        QCOMPARE(::chmod(QFile::encodeName(dir + QStringLiteral("/locked")).constData(), 0755), 0);
        const QByteArray newer = filled(10000, 'w');
        const ChildRun later = runAsUser([&] {
            const WriteResult saved = writeSecretFile(store, newer);
            return saved.ok ? recoverInPlaceWrite(store) : saved.reason;
        });
        QCOMPARE(later.output, QString());
        QCOMPARE(readFile(store), newer);
        QCOMPARE(namesIn(journalFolder), QStringList());
    }

    // Taking the store's lock at start finishes a save in place that was cut short, before the
    // store is read, and tells the user.
    void startFinishesAnInterruptedSave()
    {
        QTemporaryDir scratch;
        StoreState state;
        SettingsStore made(scratch.path());
        QVERIFY(made.save(state).ok);
        const QByteArray old = readFile(made.filePath());
        QVERIFY(state.vault.addCategory(QStringLiteral("Work")));
        QVERIFY(made.save(state).ok);
        const QByteArray bytes = readFile(made.filePath());

        // The lock goes beside the link, in a folder its user may write.
        const QString store = lockedStore(old);
        QVERIFY(!store.isEmpty());
        const QString app = dir + QStringLiteral("/app");
        const QString link = app + QLatin1String(kStoreFileName);
        QVERIFY(QDir(dir).mkdir(QStringLiteral("app")));
        QVERIFY(QFile::link(store, link));
        if (::geteuid() == 0)
            QCOMPARE(::chown(QFile::encodeName(app).constData(), kNobody, kNobody), 0);
        const ChildRun killed = runAsUser([&] {
            WriteHooks hooks;
            hooks.write = [](qint64, qint64&) { return fault(-1); };
            return writeSecretFile(link, bytes, hooks).reason;
        });
        QVERIFY(killed.killed);
        QCOMPARE(readFile(store), old);

        const ChildRun start = runAsUser([&] {
            SettingsStore next(app);
            if (!next.lock().locked)
                return QStringLiteral("not locked");
            StoreState loaded;
            const StoreLoadResult result = next.load(loaded);
            return result.message + QLatin1Char('|') + loaded.vault.categoryNames().join(QLatin1Char(','));
        });
        QCOMPARE(start.output,
                 QStringLiteral("An unfinished save of %1 was completed from its journal.|Work").arg(link));
        QCOMPARE(readFile(store), bytes);
        QCOMPARE(namesIn(journalFolder), QStringList());
    }

    // A journal that is not whole must never be written over the store, which its save had not yet
    // touched.
    void damagedJournalIsDiscarded_data()
    {
        QTest::addColumn<QString>("damage");
        QTest::newRow("none") << "none";
        QTest::newRow("cut short by a byte") << "cut";
        QTest::newRow("cut to its header") << "header";
        QTest::newRow("a byte of the content changed") << "content";
        QTest::newRow("written for another file") << "name";
    }

    void damagedJournalIsDiscarded()
    {
        QFETCH(QString, damage);
        const QByteArray old = filled(30000, 'o');
        const QByteArray bytes = filled(20000, 'n');
        const QString store = lockedStore(old);
        QVERIFY(!store.isEmpty());
        const QString journal = inPlaceJournalPath(store);
        // A journal complete and synced, then a kill before the store was touched.
        const ChildRun save = runAsUser([&] {
            WriteHooks hooks;
            hooks.write = [](qint64, qint64&) { return fault(-1); };
            return writeSecretFile(store, bytes, hooks).reason;
        });
        QVERIFY(save.killed);
        QByteArray content = readFile(journal);
        QVERIFY(content.contains(bytes));
        const qsizetype nameAt = content.indexOf(QFile::encodeName(store));
        QVERIFY(nameAt > 0);
        if (damage == QLatin1String("cut"))
            content.chop(1);
        else if (damage == QLatin1String("header"))
            content.truncate(nameAt);
        else if (damage == QLatin1String("content"))
            content[content.indexOf(bytes) + 10000] = 'x';
        else if (damage == QLatin1String("name"))
            content[nameAt + content.mid(nameAt).indexOf("settings2")] = 'S';
        QFile file(journal);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        QCOMPARE(file.write(content), content.size());
        file.close();

        const ChildRun recovery = runAsUser([&] { return recoverInPlaceWrite(store); });
        const bool sound = damage == QLatin1String("none");
        QCOMPARE(recovery.output,
                 sound ? QStringLiteral("An unfinished save of %1 was completed from its journal.").arg(store)
                       : QStringLiteral("An unfinished save of %1 left an incomplete journal, which "
                                        "was deleted; the file is as it was before that save.")
                             .arg(store));
        QCOMPARE(readFile(store), sound ? bytes : old);
        QCOMPARE(namesIn(journalFolder), QStringList());
    }

    // The reason given is the failed call's, whatever runs after it: the cleanup's own calls or the
    // producer's work on its way out.
    void failureGivesTheFirstError_data()
    {
        QTest::addColumn<QString>("after");
        QTest::newRow("closing fails too") << "close";
        QTest::newRow("the producer carries on") << "producer";
    }

    void failureGivesTheFirstError()
    {
        QFETCH(QString, after);
        const QByteArray old = filled(3000, 'o');
        writeFile(path, old);
        const QByteArray bytes = filled(20000, 'n');
        WriteHooks hooks;
        hooks.write = [](qint64 at, qint64& size) {
            size = qMin<qint64>(size, 5000 - at);
            return at >= 5000 ? ENOSPC : 0;
        };
        if (after == QLatin1String("close"))
            hooks.close = [] { return EIO; };
        const WriteResult result = writeSecretFile(
            path,
            [&](const SecretWrite& write) {
                const bool written = write(bytes.constData(), bytes.size());
                if (after == QLatin1String("producer"))
                    errno = EBADF; // as a call made while unwinding could leave it
                return written;
            },
            hooks);
        QVERIFY(!result.ok);
        QCOMPARE(vaultSaveError(path, result.reason),
                 QStringLiteral("The vault could not be saved to %1: No space left on device.").arg(path));
        QCOMPARE(readFile(path), old);
        QCOMPARE(namesIn(dir), QStringList{QStringLiteral("settings2.vydat")});
    }

    // A link whose file is missing is saved by creating that file; the link stays.
    void linkToAMissingFile_data()
    {
        QTest::addColumn<QStringList>("links"); // name, then what it leads to, for each link
        QTest::addColumn<QString>("created");   // relative to the test folder; empty when refused
        QTest::addColumn<int>("error");

        const QString store = QStringLiteral("settings2.vydat");
        QTest::newRow("absolute") << QStringList{store, QStringLiteral("$DIR/real/store")} << "real/store" << 0;
        QTest::newRow("relative") << QStringList{store, QStringLiteral("real/store")} << "real/store" << 0;
        QTest::newRow("through a second link")
            << QStringList{store, QStringLiteral("real/hop"), QStringLiteral("real/hop"), QStringLiteral("store")}
            << "real/store" << 0;
        QTest::newRow("into a missing folder") << QStringList{store, QStringLiteral("missing/store")} << "" << ENOENT;
        QTest::newRow("a loop") << QStringList{store, QStringLiteral("loop"), QStringLiteral("loop"), store} << ""
                                << ELOOP;
    }

    void linkToAMissingFile()
    {
        QFETCH(QStringList, links);
        QFETCH(QString, created);
        QFETCH(int, error);

        QVERIFY(QDir(dir).mkdir(QStringLiteral("real")));
        for (int i = 0; i + 1 < links.size(); i += 2) {
            const QByteArray to = QFile::encodeName(QString(links[i + 1]).replace(QStringLiteral("$DIR"), dir));
            QCOMPARE(::symlink(to.constData(), QFile::encodeName(dir + QLatin1Char('/') + links[i]).constData()), 0);
        }
        const QStringList before = namesIn(dir + QStringLiteral("/real"));
        const QByteArray bytes = filled(5000, 'n');
        const WriteResult result = writeSecretFile(path, bytes);
        QCOMPARE(result.reason, error ? qt_error_string(error) : QString());
        QCOMPARE(result.ok, error == 0);
        QVERIFY(QFileInfo(path).isSymLink());
        if (created.isEmpty()) {
            QCOMPARE(namesIn(dir + QStringLiteral("/real")), before);
            return;
        }
        const QString target = dir + QLatin1Char('/') + created;
        QCOMPARE(readFile(target), bytes);
        QCOMPARE(modeOf(target), mode_t(0600));
        QVERIFY(!QFileInfo(target).isSymLink());
    }

    // A file far over the limit is refused from its size alone: nothing of it is read.
    void oversizedFileIsRefusedUnread()
    {
        const QString list = dir + QStringLiteral("/huge.vydl");
        QFile file(list);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(file.resize(kMaxListFileBytes + kMaxListFileBytes / 2)); // sparse: takes no room
        file.close();
        const QString reason = QStringLiteral("%1 is larger than %2 bytes").arg(list).arg(kMaxListFileBytes);

        const long peakBefore = peakMemory();
        const ReadResult read = readRegularFile(list, kMaxListFileBytes);
        QVERIFY(!read.ok);
        QCOMPARE(read.reason, reason);
        const ListReadResult listRead = readListFile(list);
        QCOMPARE(listRead.status, ListReadResult::Unreadable);
        QVERIFY2(listRead.reason.contains(QStringLiteral("larger than")), qPrintable(listRead.reason));
        QVERIFY(listRead.bytes.isEmpty());
        // Reading up to the limit first would have taken a gigabyte.
        QVERIFY2(peakMemory() - peakBefore < 64 * 1024, qPrintable(QString::number(peakMemory() - peakBefore)));
    }

    void staleTemporariesAreRemoved()
    {
        writeFile(path, "store");
        // The name a real save gives its temporary file, caught before the save is failed.
        QStringList during;
        WriteHooks hooks;
        hooks.sync = [&] {
            during = namesIn(dir);
            return EIO;
        };
        QVERIFY(!writeSecretFile(path, "new", hooks).ok);
        during.removeOne(QStringLiteral("settings2.vydat"));
        QCOMPARE(during.size(), 1);

        const QStringList stale = {during.first(), QStringLiteral("settings2.vydat.saving-Ab12Cd")};
        const QStringList kept = {
            QStringLiteral("other.vydat.saving-Ab12Cd"),
            QStringLiteral("settings2.vydat"),
            QStringLiteral("settings2.vydat.damaged-20240101-120000"),
            QStringLiteral("settings2.vydat.replaced-20240101-120000-2"),
            QStringLiteral("settings2.vydat.saving-Ab12C"),
            QStringLiteral("settings2.vydat.saving-Ab12Cd7"),
            QStringLiteral("settings2Xvydat.saving-Ab12Cd"),
        };
        for (const QString& name : stale + kept)
            writeFile(dir + QLatin1Char('/') + name, "x", 0600);
        QCOMPARE(removeStaleTemporaries(path), 2);
        QCOMPARE(namesIn(dir), kept);
    }

    // A buffering writer replaced a small store with an empty file here and reported success.
    void fullFileSystemKeepsTheOldFile()
    {
        if (::geteuid() != 0)
            QSKIP("mounting a small file system needs root");
        const QString small = dir + QStringLiteral("/small");
        QVERIFY(QDir(dir).mkdir(QStringLiteral("small")));
        if (::mount("tmpfs", QFile::encodeName(small).constData(), "tmpfs", 0, "size=64k") != 0)
            QSKIP("cannot mount a tmpfs here");
        mountPoint = small;

        const QString store = small + QStringLiteral("/settings2.vydat");
        const QByteArray old = filled(5000, 'o');
        QVERIFY(writeSecretFile(store, old).ok);
        QFile filler(small + QStringLiteral("/filler"));
        QVERIFY(filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
        const QByteArray page(4096, 'f');
        while (filler.write(page) == page.size()) {
        }
        filler.close();

        const WriteResult result = writeSecretFile(store, filled(5000, 'n'));
        QVERIFY(!result.ok);
        QCOMPARE(vaultSaveError(store, result.reason),
                 QStringLiteral("The vault could not be saved to %1: No space left on device.").arg(store));
        QCOMPARE(readFile(store), old);
        QCOMPARE(namesIn(small), QStringList({QStringLiteral("filler"), QStringLiteral("settings2.vydat")}));
    }
};

QTEST_GUILESS_MAIN(TestSecureFile)
#include "tst_securefile.moc"
