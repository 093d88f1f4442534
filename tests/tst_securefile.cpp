#include "store/securefile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <memory>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

constexpr uid_t kNobody = 65534;

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

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

} // namespace

class TestSecureFile : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> tempDir;
    QString dir;
    QString path;
    QString mountPoint;

private slots:
    void init()
    {
        tempDir = std::make_unique<QTemporaryDir>();
        QVERIFY(tempDir->isValid());
        dir = tempDir->path();
        path = dir + QStringLiteral("/settings2.vydat");
    }

    void cleanup()
    {
        if (!mountPoint.isEmpty())
            QCOMPARE(::umount(QFile::encodeName(mountPoint).constData()), 0);
        mountPoint.clear();
        tempDir.reset();
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
