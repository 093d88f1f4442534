#include "store/payload.h"
#include "store/rijndael.h"
#include "store/sealeddata.h"
#include "store/settingsstore.h"
#include "support/readonlyfolder.h"
#include "support/testvault.h"

#include <QDataStream>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QProcess>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

#include <cerrno>
#include <csignal>
#include <functional>
#include <memory>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QByteArray storeKey = QByteArrayLiteral("/lanterns.kwfob");

using TestVault::readFile;

void writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), bytes.size());
}

// The preferences as the store writes them, for comparing every field at once.
QByteArray preferenceBytes(const Preferences& p)
{
    return TestVault::streamBytes([&](QDataStream& s) {
        s << p.masterPasswordHash << p.hidePassword << p.maxLoginAttempts << p.genAlphanum << p.genMaxLength
          << p.genMinLength << p.genMixedCase << p.genSpecialChars << p.firstRun;
    });
}

QStringList markNulls(QStringList names)
{
    for (QString& name : names)
        name = name.isNull() ? QStringLiteral("<null>") : name;
    return names;
}

// A whole payload as lines, null texts marked, for comparing it with another.
QStringList describe(const Payload& p)
{
    return QStringList{QString::fromLatin1(preferenceBytes(p.preferences).toHex())} + markNulls(p.categories) +
           QStringList{QStringLiteral("--")} + TestVault::describe(p.entries);
}

QStringList describe(const StoreState& state)
{
    return describe(Payload{state.preferences, state.vault.categoryNames(), state.vault.entries()});
}

Entry sampleEntry(int i)
{
    Entry entry = TestVault::makeEntry(
        QStringLiteral("Title %1 — Ω日本").arg(i), QStringLiteral("Cat %1").arg(i % 7), QStringLiteral("user%1").arg(i),
        i % 5 ? QStringLiteral("https://example.org/%1").arg(i) : QString(QLatin1String("")), // empty, not null
        i % 3 ? QStringLiteral("notes\nline %1 \U0001F511").arg(i) : QString(), QStringLiteral("pä$$%1").arg(i));
    if (i % 11 == 0)
        entry.dateChanged = QDateTime(QDate(2023, 3, 26), QTime(1, 30), Qt::UTC);
    if (i % 13 == 0)
        entry.dateCreated = QDateTime();
    return entry;
}

EntryList sampleEntries(int count)
{
    EntryList list;
    for (int i = 0; i < count; ++i)
        list.append(sampleEntry(i));
    return list;
}

Preferences unusualPreferences()
{
    Preferences p;
    p.masterPasswordHash = QStringLiteral("0123456789abcdef0123456789abcdef01234567");
    p.hidePassword = p.genAlphanum = p.genMixedCase = p.genSpecialChars = p.firstRun = false;
    p.maxLoginAttempts = 3;
    p.genMaxLength = 40;
    p.genMinLength = 8;
    return p;
}

// A legacy file as the old version wrote it: the payload zero-padded to whole blocks and
// encrypted with AES-128 under the first 16 bytes of the legacy key.
QByteArray legacyFile(const QByteArray& payload, qint32 n = -1)
{
    QByteArray plain = payload;
    plain.append(QByteArray((16 - plain.size() % 16) % 16, '\0'));
    QByteArray cipherText(plain.size(), '\0');
    Rijndael cipher;
    cipher.makeKey("Rk4WmZ8q(Lp$2vN%", Rijndael::zeroChain, 16, 16);
    cipher.encrypt(plain.constData(), cipherText.data(), unsigned(plain.size()), Rijndael::ECB);
    return TestVault::streamBytes([&](QDataStream& s) { s << (n < 0 ? qint32(plain.size()) : n) << cipherText; });
}

QStringList damagedCopies(const QString& dir)
{
    return QDir(dir).entryList({QStringLiteral("settings2.vydat.damaged-*")}, QDir::Files, QDir::Name);
}

// The files in `dir`, each with its bytes, for telling that nothing in it changed.
QMap<QString, QByteArray> folderContents(const QString& dir)
{
    QMap<QString, QByteArray> files;
    for (const QString& name : QDir(dir).entryList(QDir::Files | QDir::Hidden))
        files.insert(name, readFile(dir + QLatin1Char('/') + name));
    return files;
}

} // namespace

class TestStore : public QObject
{
    Q_OBJECT

    std::unique_ptr<TestVault::Fixture> fixture; // a fresh, empty directory per test
    QTemporaryDir runtimeDir;                    // the user's runtime folder, for locks kept there
    QString dir;
    QString storePath;
    QString legacyPath;

    StoreState& state() const { return fixture->state; }
    const SettingsStore& store() const { return fixture->store; }

private slots:
    void initTestCase() { qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtimeDir.path())); }

    void init()
    {
        fixture = std::make_unique<TestVault::Fixture>();
        dir = fixture->dir.path();
        storePath = dir + QLatin1String(kStoreFileName);
        legacyPath = dir + QLatin1String(kLegacyStoreFileName);
    }

    void cleanup() { fixture.reset(); }

    void firstStartWritesTheDefaults()
    {
        const StoreLoadResult result = store().load(state());
        QCOMPARE(result.outcome, StoreLoadResult::Created);
        QVERIFY(result.message.isEmpty());

        const QByteArray file = readFile(storePath);
        QCOMPARE(file.size(), 36);
        QByteArray payload = file;
        decryptData(payload, storeKey);
        // Empty hash, then hide, attempts 0, alphanum, max 12, min 10, mixed, special, first run,
        // and the two empty lists.
        QCOMPARE(payload.toHex(' '),
                 QByteArray::fromHex("00000000 01 00000000 01 0000000c 0000000a 010101 00000000 00000000").toHex(' '));

        state().preferences.maxLoginAttempts = 9;
        QCOMPARE(store().load(state()).outcome, StoreLoadResult::Loaded);
        QCOMPARE(preferenceBytes(state().preferences), preferenceBytes(Preferences()));
    }

    // A store others may read is made owner-only when it is opened, without being written: its
    // bytes and change time stay as they were.
    void openedStoreBecomesOwnerOnly()
    {
        QCOMPARE(store().load(state()).outcome, StoreLoadResult::Created);
        QVERIFY(QFile::setPermissions(storePath, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup |
                                                     QFile::ReadOther | QFile::WriteOther));
        const QByteArray bytes = readFile(storePath);
        const QDateTime changed = QFileInfo(storePath).lastModified();
        QCOMPARE(SettingsStore(dir).load(state()).outcome, StoreLoadResult::Loaded);
        QCOMPARE(QFile::permissions(storePath) & ~(QFile::ReadUser | QFile::WriteUser),
                 QFile::ReadOwner | QFile::WriteOwner);
        QCOMPARE(readFile(storePath), bytes);
        QCOMPARE(QFileInfo(storePath).lastModified(), changed);
    }

    void firstStartReportsAFailedWrite()
    {
        // A directory path that runs through a regular file cannot be written, even by root.
        writeFile(dir + QStringLiteral("/plain"), "x");
        const StoreLoadResult result = SettingsStore(dir + QStringLiteral("/plain")).load(state());
        QCOMPARE(result.outcome, StoreLoadResult::Created);
        QVERIFY2(result.message.contains(QStringLiteral("plain")), qPrintable(result.message));
    }

    void roundTrip_data()
    {
        QTest::addColumn<int>("count");
        QTest::newRow("empty vault") << 0;
        // Several megabytes: the loader reads in chunks, so names and entries straddle them.
        QTest::newRow("many") << 12000;
    }

    void roundTrip()
    {
        QFETCH(int, count);
        state().preferences = unusualPreferences();
        EntryList entries = sampleEntries(count);
        if (count > 0) {
            Entry big = sampleEntry(count); // one text longer than a read chunk
            big.notes = QString(1500000, QChar(0x263A));
            entries.append(big);
        }
        state().vault.reset({QStringLiteral("General"), QStringLiteral("Ω Work 日本"), QLatin1String(""), QString(),
                             QStringLiteral("\U0001F511 keys")},
                            entries);
        QVERIFY(store().save(state()).ok);

        StoreState loaded;
        const StoreLoadResult result = store().load(loaded);
        QCOMPARE(result.outcome, StoreLoadResult::Loaded);
        QVERIFY(result.message.isEmpty());
        QCOMPARE(describe(loaded), describe(state()));
        QVERIFY(damagedCopies(dir).isEmpty());
    }

    // Store files read through the chunked reader, against the payload reader on what decryptData
    // makes of them: payloads cut short, overlong, or with counts and lengths that lie, and files
    // whose framing is off, which never read cleanly.
    void reading_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<bool>("exact");
        QTest::addColumn<QStringList>("names"); // null names as "<null>"
        QTest::addColumn<QStringList>("titles");

        const QByteArray head = preferenceBytes(unusualPreferences());
        const Entry first = sampleEntry(1);
        const Entry second = sampleEntry(2);
        const auto bytes = [](const std::function<void(QDataStream&)>& write) { return TestVault::streamBytes(write); };
        const QByteArray names =
            bytes([](QDataStream& s) { s << qint32(2) << QStringLiteral("One") << QStringLiteral("Two"); });
        const QByteArray twoEntries = bytes([&](QDataStream& s) { s << qint32(2) << first << second; });
        const QByteArray whole = head + names + twoEntries;
        const qsizetype firstEntrySize = bytes([&](QDataStream& s) { s << first; }).size();
        const QStringList both = {QStringLiteral("One"), QStringLiteral("Two")};
        const QStringList titles = {first.title, second.title};
        const QStringList none;
        const QStringList nullName = {QStringLiteral("<null>")};
        const QByteArray sealed = sealStore(whole);
        const auto withPrefix = [&](qint32 prefix) {
            QByteArray file = sealed;
            qToLittleEndian<qint32>(prefix, file.data());
            return file;
        };

        QTest::newRow("whole") << sealed << true << both << titles;
        QTest::newRow("no data") << sealStore({}) << false << none << none;
        // Ends inside the second name: it is kept, as far as it was read (null).
        QTest::newRow("ends inside a name")
            << sealStore(head + names.chopped(2)) << false << QStringList{QStringLiteral("One"), nullName[0]} << none;
        // The entry cut short is still taken, with the fields it did not reach empty.
        QTest::newRow("ends inside an entry") << sealStore(head + names + twoEntries.left(4 + firstEntrySize + 20))
                                              << false << both << QStringList{first.title, QString()};
        QTest::newRow("byte left over") << sealStore(whole + '\0') << false << both << titles;
        QTest::newRow("name count too large")
            << sealStore(head + bytes([](QDataStream& s) { s << qint32(0x7FFFFFFF) << QStringLiteral("One"); }))
            << false << QStringList{QStringLiteral("One")} << none;
        QTest::newRow("entry count too large")
            << sealStore(head + names + bytes([&](QDataStream& s) { s << qint32(0x7FFFFFFF) << first << second; }))
            << false << both << titles;
        // A length near 4 GiB must be refused against the data, not allocated.
        QTest::newRow("huge name length")
            << sealStore(head + bytes([](QDataStream& s) { s << qint32(1) << quint32(0xFFFFFFF0) << quint32(0); }))
            << false << nullName << none;
        QTest::newRow("empty file") << QByteArray() << false << none << none;
        QTest::newRow("negative prefix") << withPrefix(-1) << false << both << titles;
        QTest::newRow("prefix past the data") << withPrefix(qint32(sealed.size())) << false << both << titles;
        QTest::newRow("partial last block") << sealed.chopped(37) << false << both << titles;
    }

    void reading()
    {
        QFETCH(QByteArray, file);
        QFETCH(bool, exact);
        QFETCH(QStringList, names);
        QFETCH(QStringList, titles);

        QByteArray plain = file;
        decryptData(plain, storeKey);
        Payload payload;
        payload.categories = QStringList{QStringLiteral("stale")};
        QCOMPARE(decodePayload(plain, payload), exact);
        QCOMPARE(markNulls(payload.categories), names);
        QStringList actualTitles;
        for (const Entry& entry : payload.entries)
            actualTitles << entry.title;
        QCOMPARE(actualTitles, titles);
        if (plain.startsWith(preferenceBytes(unusualPreferences())))
            QCOMPARE(preferenceBytes(payload.preferences), preferenceBytes(unusualPreferences()));
        if (plain.isEmpty()) {
            // Fields past the end read as zero, false or empty, not as start-up values.
            QVERIFY(payload.preferences.masterPasswordHash.isEmpty());
            QVERIFY(!payload.preferences.hidePassword && !payload.preferences.firstRun);
            QCOMPARE(payload.preferences.genMaxLength, 0);
        }

        Payload fromFile;
        QCOMPARE(decodeStore(file, fromFile), exact);
        QCOMPARE(describe(fromFile), describe(payload));
    }

    // Times are decoded without QDataStream for speed; they must match what it reads. Opening and
    // closing the store writes each back as stored, whatever mark an older program gave it.
    void timesReadAsQtReadsThem_data()
    {
        QTest::addColumn<quint32>("julianDay");
        QTest::addColumn<quint32>("msecs");
        QTest::addColumn<int>("spec");

        const quint32 day = QDate(2024, 3, 31).toJulianDay();
        for (int spec : {-1, 0, 1, 2, 3, 4, 5, 127, -128}) {
            QTest::addRow("spec %d", spec) << day << quint32(3723004) << spec;
            QTest::addRow("no date, spec %d", spec) << quint32(0) << quint32(3723004) << spec;
        }
        QTest::newRow("null time") << day << quint32(0xFFFFFFFF) << 0;
        QTest::newRow("time past midnight") << day << quint32(86400000) << 2;
        QTest::newRow("all zero") << quint32(0) << quint32(0) << 0;
        QTest::newRow("far future") << quint32(0x7FFFFFFF) << quint32(1) << 2;
    }

    void timesReadAsQtReadsThem()
    {
        QFETCH(quint32, julianDay);
        QFETCH(quint32, msecs);
        QFETCH(int, spec);

        const QByteArray time = TestVault::streamBytes([&](QDataStream& s) { s << julianDay << msecs << qint8(spec); });
        QDataStream qt(time);
        qt.setVersion(QDataStream::Qt_4_6);
        if (spec == 4)
            QTest::ignoreMessage(QtWarningMsg, "Using TimeZone in setTimeSpec() is unsupported");
        QDateTime expected;
        qt >> expected;

        EntryList list;
        const QByteArray texts = TestVault::streamBytes([](QDataStream& s) {
            s << qint32(1);
            for (int i = 0; i < 7; ++i)
                s << QStringLiteral("t");
        });
        QVERIFY(decodeEntryList(texts + time + time, list));
        const QDateTime actual = list.at(0).dateChanged;
        QCOMPARE(actual, expected);
        QCOMPARE(actual.timeSpec(), expected.timeSpec());
        QCOMPARE(actual.date(), expected.date());
        QCOMPARE(actual.time(), expected.time());

        const QByteArray payload =
            preferenceBytes(unusualPreferences()) +
            TestVault::streamBytes([](QDataStream& s) { s << qint32(1) << QStringLiteral("t"); }) + texts + time + time;
        writeFile(storePath, sealStore(payload));
        QCOMPARE(store().load(state()).outcome, StoreLoadResult::Loaded);
        const Entry& loaded = state().vault.entries().at(0);
        QCOMPARE(loaded.dateCreated.toDateTime(), expected);
        QCOMPARE(loaded.dateChanged.timeSpec(), expected.timeSpec());
        QVERIFY(store().save(state()).ok);
        QByteArray saved = readFile(storePath);
        decryptData(saved, storeKey);
        QCOMPARE(saved.toHex(), payload.toHex());
    }

    void damagedStoreIsLoadedAndKept()
    {
        const QByteArray payload = encodePayload(Preferences(), {QStringLiteral("General")}, sampleEntries(3));
        const QByteArray damaged = sealStore(payload.chopped(30)); // the last entry cut short
        writeFile(storePath, damaged);

        for (int attempt = 1; attempt <= 2; ++attempt) {
            StoreState loaded;
            const StoreLoadResult result = store().load(loaded);
            QCOMPARE(result.outcome, StoreLoadResult::Damaged);
            QCOMPARE(loaded.vault.entries().size(), 3);
            QCOMPARE(loaded.vault.entries().at(0).title, sampleEntry(0).title);
            QCOMPARE(loaded.vault.categoryNames(), QStringList{QStringLiteral("General")});
            // A second load keeps a second copy rather than overwrite the first.
            const QStringList copies = damagedCopies(dir);
            QCOMPARE(copies.size(), attempt);
            QCOMPARE(result.damagedCopyPath, dir + QLatin1Char('/') + copies.last());
            QVERIFY2(result.message.contains(QDir::toNativeSeparators(result.damagedCopyPath)),
                     qPrintable(result.message));
            QCOMPARE(readFile(result.damagedCopyPath), damaged);
            // The copy holds the vault too: owner-only, whatever the original's mode.
            QCOMPARE(QFile::permissions(result.damagedCopyPath) &
                         ~(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser),
                     QFile::Permissions());
        }
    }

    // A pipe or a device where the store should be is refused at once instead of hanging.
    void nonRegularStoreIsRefused_data()
    {
        QTest::addColumn<bool>("legacy"); // the pipe is the old file, beside a sound current one
        QTest::newRow("store") << false;
        QTest::newRow("old file") << true;
    }

    void nonRegularStoreIsRefused()
    {
        QFETCH(bool, legacy);
        const QByteArray current = sealStore(encodePayload(Preferences(), {QStringLiteral("Kept")}, EntryList()));
        if (legacy)
            writeFile(storePath, current);
        const QString pipe = legacy ? legacyPath : storePath;
        QVERIFY(::mkfifo(QFile::encodeName(pipe).constData(), 0600) == 0);

        const StoreLoadResult result = store().load(state());
        QVERIFY2(result.message.contains(QStringLiteral("not a regular file")), qPrintable(result.message));
        QCOMPARE(result.outcome, legacy ? StoreLoadResult::Loaded : StoreLoadResult::Unreadable);
        QCOMPARE(state().vault.categoryNames(), legacy ? QStringList{QStringLiteral("Kept")} : QStringList());
        QVERIFY(QFileInfo(pipe).exists() && !QFileInfo(pipe).isFile());
        if (!legacy)
            QVERIFY(!store().save(state()).ok); // nor is it written over
    }

    void saveReportsAnUnwritablePlace()
    {
        // The store's name taken by a directory: the new file cannot replace it.
        QVERIFY(QDir(dir).mkdir(QStringLiteral("settings2.vydat")));
        const StoreSaveResult result = store().save(state());
        QVERIFY(!result.ok);
        QVERIFY2(result.error.contains(QDir::toNativeSeparators(storePath)), qPrintable(result.error));
        QVERIFY(QFileInfo(storePath).isDir());
    }

    void legacyMigration_data()
    {
        QTest::addColumn<QByteArray>("legacy");
        QTest::addColumn<QByteArray>("expected"); // the payload it holds
        QTest::addColumn<bool>("currentExists");
        QTest::addColumn<bool>("saveFails");
        QTest::addColumn<int>("outcome");

        const QByteArray old = encodePayload(unusualPreferences(),
                                             {QStringLiteral("Old ÄÖ"), QStringLiteral("General")}, sampleEntries(4));
        const int migrated = StoreLoadResult::Migrated;
        // The default payload encrypted with AES-128 by an independent implementation.
        QTest::newRow("known answer") << QByteArray::fromHex("00000020 00000020 0b1b2618601d7e9026615de6f995042b"
                                                             "4cb93b754a2a817f05cfcd19f034f24d")
                                      << encodePayload(Preferences(), {}, EntryList()) << false << false << migrated;
        QTest::newRow("legacy alone") << legacyFile(old) << old << false << false << migrated;
        QTest::newRow("replaces a current file") << legacyFile(old) << old << true << false << migrated;
        QTest::newRow("save fails") << legacyFile(old) << old << false << true << migrated;
        QTest::newRow("cut short") << legacyFile(old).chopped(40) << old << false << false
                                   << int(StoreLoadResult::Damaged);
        // n is trusted only as far as the ciphertext goes.
        QTest::newRow("n past the ciphertext") << legacyFile(old, 0x7FFFFFF0) << old << false << false << migrated;
        // The block n ends in is in the ciphertext and holds the payload's last bytes.
        QByteArray odd = old;
        for (QString name = QStringLiteral("N"); odd.size() % 16 == 0 || odd == old; name += u'N')
            odd = encodePayload(unusualPreferences(), {QStringLiteral("General"), name}, sampleEntries(4));
        QTest::newRow("n inside the last block")
            << legacyFile(odd, qint32(odd.size())) << odd << false << false << migrated;
    }

    void legacyMigration()
    {
        QFETCH(QByteArray, legacy);
        QFETCH(QByteArray, expected);
        QFETCH(bool, currentExists);
        QFETCH(bool, saveFails);
        QFETCH(int, outcome);

        Payload old;
        QVERIFY(decodePayload(expected, old));
        writeFile(legacyPath, legacy);
        const QByteArray oldCurrent = sealStore(encodePayload(Preferences(), {QStringLiteral("Newer")}, EntryList()));
        if (currentExists)
            writeFile(storePath, oldCurrent);
        if (saveFails)
            QVERIFY(QDir(dir).mkdir(QStringLiteral("settings2.vydat")));

        state().preferences.genMaxLength = 77; // replaced by what the file holds
        const StoreLoadResult result = store().load(state());
        QCOMPARE(int(result.outcome), outcome);
        QCOMPARE(preferenceBytes(state().preferences), preferenceBytes(old.preferences));
        QCOMPARE(state().vault.categoryNames(), old.categories);
        QCOMPARE(TestVault::describe(state().vault.entries()) == TestVault::describe(old.entries),
                 outcome != StoreLoadResult::Damaged);

        if (saveFails) {
            QVERIFY(QFile::exists(legacyPath));
            QVERIFY2(result.message.contains(QDir::toNativeSeparators(legacyPath)), qPrintable(result.message));
            return;
        }
        QVERIFY(!QFile::exists(legacyPath));
        Payload written;
        QVERIFY(decodeStore(readFile(storePath), written));
        QCOMPARE(describe(written), describe(state()));

        const QStringList kept = QDir(dir).entryList({QStringLiteral("settings2.vydat.replaced-*")}, QDir::Files);
        QCOMPARE(kept.size(), currentExists ? 1 : 0);
        if (currentExists)
            QCOMPARE(readFile(dir + QLatin1Char('/') + kept.first()), oldCurrent);
        if (outcome == StoreLoadResult::Damaged)
            QCOMPARE(readFile(result.damagedCopyPath), legacy);
        else
            QVERIFY(result.message.isEmpty() == !currentExists);
    }

    void unreadableLegacyFileLeavesTheCurrentStore()
    {
        const QByteArray current = sealStore(encodePayload(Preferences(), {QStringLiteral("Kept")}, EntryList()));
        writeFile(storePath, current);
        QVERIFY(QDir(dir).mkdir(QStringLiteral("settings.vydat")));
        const StoreLoadResult result = store().load(state());
        QCOMPARE(result.outcome, StoreLoadResult::Loaded);
        QCOMPARE(state().vault.categoryNames(), QStringList{QStringLiteral("Kept")});
        QVERIFY2(result.message.contains(QDir::toNativeSeparators(legacyPath)), qPrintable(result.message));
        QCOMPARE(readFile(storePath), current);
    }

    // An empty or damaged old file beside a sound current store replaces nothing: the current
    // store is loaded as it is and the old file is set aside.
    void damagedLegacyFileLeavesASoundStore_data()
    {
        QTest::addColumn<QByteArray>("legacy");
        const QByteArray old = encodePayload(Preferences(), {QStringLiteral("Old")}, sampleEntries(4));
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("cut short") << legacyFile(old).chopped(40);
    }

    void damagedLegacyFileLeavesASoundStore()
    {
        QFETCH(QByteArray, legacy);
        Preferences preferences = unusualPreferences();
        const QByteArray current = sealStore(encodePayload(preferences, {QStringLiteral("Kept")}, sampleEntries(2)));
        writeFile(storePath, current);
        writeFile(legacyPath, legacy);

        const StoreLoadResult result = store().load(state());
        QCOMPARE(result.outcome, StoreLoadResult::Loaded);
        QCOMPARE(preferenceBytes(state().preferences), preferenceBytes(preferences));
        QCOMPARE(state().vault.categoryNames(), QStringList{QStringLiteral("Kept")});
        QCOMPARE(state().vault.entries().size(), 2);
        QCOMPARE(readFile(storePath), current);
        QVERIFY(!QFile::exists(legacyPath));
        QCOMPARE(readFile(result.damagedCopyPath), legacy);
        QVERIFY2(result.message.contains(QDir::toNativeSeparators(result.damagedCopyPath)), qPrintable(result.message));
        QVERIFY(QDir(dir).entryList({QStringLiteral("*.replaced-*")}).isEmpty());
    }

    // The safe writer's own faults are tested with it; here, what the store makes of one.
    void failedSaveKeepsTheOldFile()
    {
        state().vault.reset({QStringLiteral("Old")}, EntryList());
        QVERIFY(store().save(state()).ok);
        const QByteArray old = readFile(storePath);

        WriteHooks hooks;
        hooks.write = [](qint64 at, qint64& size) {
            size = qMin<qint64>(size, 1000 - at);
            return at >= 1000 ? ENOSPC : 0;
        };
        const QByteArray bytes = sealStore(encodePayload(Preferences(), {QStringLiteral("Old")}, sampleEntries(100)));
        const StoreSaveResult result = writeStoreFile(storePath, bytes, hooks);
        QVERIFY(!result.ok);
        QVERIFY2(result.error.contains(QDir::toNativeSeparators(storePath)), qPrintable(result.error));
        QVERIFY2(result.error.contains(qt_error_string(ENOSPC)), qPrintable(result.error));
        QCOMPARE(readFile(storePath), old);
        QCOMPARE(QDir(dir).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("settings2.vydat")});
    }

    // The folder beside the program holds the vault of a portable copy only: one that already
    // holds a vault, or the user's own writable folder outside the system's program folders.
    void storeLocation_data()
    {
        QTest::addColumn<QString>("folder"); // "<own>": a folder of the user's, "<other>": another user's
        QTest::addColumn<bool>("holdsVault");
        QTest::addColumn<bool>("dataFolderHoldsVault");
        QTest::addColumn<bool>("beside");

        QTest::newRow("own folder") << "<own>" << false << false << true;
        QTest::newRow("own folder, vault in the data folder too") << "<own>" << false << true << true;
        // Installed for everyone: root may write there, but its vault would lock out other users.
        QTest::newRow("system program folder") << "/usr/bin" << false << false << false;
        QTest::newRow("link to a system program folder") << "<link to /usr/bin>" << false << false << false;
        QTest::newRow("other user's folder") << "<other>" << false << false << false;
        QTest::newRow("other user's folder holding a vault") << "<other>" << true << false << true;
    }

    void storeLocation()
    {
        QFETCH(QString, folder);
        QFETCH(bool, holdsVault);
        QFETCH(bool, dataFolderHoldsVault);
        QFETCH(bool, beside);

        QString program = folder;
        if (folder == QLatin1String("<own>") || folder == QLatin1String("<other>")) {
            program = dir + QStringLiteral("/program");
            QVERIFY(QDir().mkpath(program));
            if (holdsVault)
                writeFile(program + QLatin1String(kStoreFileName), sealStore({}));
            if (folder == QLatin1String("<other>") &&
                ::chown(QFile::encodeName(program).constData(), 65534, 65534) != 0)
                QSKIP("needs root to give a folder to another user");
        } else if (folder.startsWith(QLatin1String("<link"))) {
            program = dir + QStringLiteral("/program");
            QVERIFY(QFile::link(QStringLiteral("/usr/bin"), program));
        }
        const QString data = dir + QStringLiteral("/data/VAULTRY");
        if (dataFolderHoldsVault) {
            QVERIFY(QDir().mkpath(data));
            writeFile(data + QLatin1String(kStoreFileName), sealStore({}));
        }

        const StoreLocation location = chooseStoreLocation(program, data);
        QCOMPARE(location.directory, beside ? program : data);
        QCOMPARE(location.note.contains(QDir::toNativeSeparators(data)), dataFolderHoldsVault);
        if (!beside)
            QCOMPARE(QFile::permissions(data) & QFile::Permissions(0x0077), QFile::Permissions());
    }

    // A store that cannot be written at all is opened for viewing: nothing in its folder is
    // created, copied, replaced or deleted, and every save is refused with the reason.
    void readOnlyStore_data()
    {
        QTest::addColumn<QString>("content");
        QTest::addColumn<int>("outcome");
        QTest::newRow("sound store") << "store" << int(StoreLoadResult::Loaded);
        QTest::newRow("damaged store") << "damaged" << int(StoreLoadResult::Damaged);
        QTest::newRow("old file to migrate") << "legacy" << int(StoreLoadResult::Migrated);
        QTest::newRow("no vault yet") << "none" << int(StoreLoadResult::Created);
    }

    void readOnlyStore()
    {
        QFETCH(QString, content);
        QFETCH(int, outcome);
        const QByteArray payload = encodePayload(unusualPreferences(), {QStringLiteral("Seen")}, sampleEntries(3));
        if (content == QLatin1String("store"))
            writeFile(storePath, sealStore(payload));
        else if (content == QLatin1String("damaged"))
            writeFile(storePath, sealStore(payload.chopped(30)));
        else if (content == QLatin1String("legacy"))
            writeFile(legacyPath, legacyFile(payload));
        const QMap<QString, QByteArray> before = folderContents(dir);

        ReadOnlyFolder readOnly(dir, false);
        if (!readOnly.valid)
            QSKIP("cannot make a read-only folder here");
        SettingsStore store(readOnly.path);
        QVERIFY(store.lock().locked);
        StoreState loaded;
        const StoreLoadResult result = store.load(loaded);
        QCOMPARE(int(result.outcome), outcome);
        QVERIFY(store.isReadOnly());
        QVERIFY2(result.message.contains(QStringLiteral("read-only")), qPrintable(result.message));
        QVERIFY(result.damagedCopyPath.isEmpty());
        QCOMPARE(loaded.vault.categoryNames(),
                 content == QLatin1String("none") ? QStringList() : QStringList{QStringLiteral("Seen")});

        loaded.vault.addCategory(QStringLiteral("Changed"));
        const StoreSaveResult saved = store.save(loaded);
        QVERIFY(!saved.ok);
        QVERIFY2(saved.error.contains(QStringLiteral("read-only")), qPrintable(saved.error));
        QCOMPARE(folderContents(dir), before);
        // The lock, kept elsewhere, still keeps a second copy away.
        const SettingsStore::LockResult second = SettingsStore(readOnly.path).lock();
        QVERIFY(!second.locked);
        QVERIFY2(second.message.contains(QStringLiteral("already open")), qPrintable(second.message));
    }

    // A folder that does not let the lock file be made, holding a store that can be written:
    // the lock is kept in the runtime folder, under the store's real path, and the store is
    // not read-only (the save in place is tried with the real program).
    void lockWhereNoneCanBeMade_data()
    {
        QTest::addColumn<bool>("crashLeftALock"); // which cannot be removed either
        QTest::newRow("no lock there") << false;
        QTest::newRow("a crash's lock there") << true;
    }

    void lockWhereNoneCanBeMade()
    {
        QFETCH(bool, crashLeftALock);
        writeFile(storePath, sealStore(encodePayload(Preferences(), {QStringLiteral("Shared")}, EntryList())));
        const QByteArray crashed = "2147483600\nvaultry\n" + QSysInfo::machineHostName().toUtf8() + "\n";
        if (crashLeftALock)
            writeFile(storePath + QStringLiteral(".lock"), crashed);
        ReadOnlyFolder folder(dir, true);
        if (!folder.valid)
            QSKIP("cannot make a read-only folder here");
        {
            SettingsStore store(folder.path);
            const SettingsStore::LockResult locked = store.lock();
            QVERIFY2(locked.locked, qPrintable(locked.message));
            QCOMPARE(QFile::exists(folder.path + QLatin1String(kStoreFileName) + QStringLiteral(".lock")),
                     crashLeftALock);
            QCOMPARE(QDir(runtimeDir.path()).entryList({QStringLiteral("vaultry-*.lock")}).size(), 1);

            StoreState loaded;
            const StoreLoadResult result = store.load(loaded);
            QCOMPARE(result.outcome, StoreLoadResult::Loaded);
            QVERIFY(!store.isReadOnly());
            QVERIFY2(result.message.contains(QDir::toNativeSeparators(runtimeDir.path())), qPrintable(result.message));
            QVERIFY(store.load(loaded).message.isEmpty()); // said once
            // Saved in place, whether the folder refuses new files by its permissions or by its mount.
            QVERIFY(loaded.vault.addCategory(QStringLiteral("Saved in place")));
            const StoreSaveResult saved = store.save(loaded);
            QVERIFY2(saved.ok, qPrintable(saved.error));

            // Another way to name the same store finds the same lock.
            const QString link = dir + QStringLiteral("-link");
            QVERIFY(QFile::link(folder.path, link));
            const SettingsStore::LockResult second = SettingsStore(link + QStringLiteral("/.")).lock();
            QFile::remove(link);
            QVERIFY(!second.locked);
            QVERIFY2(second.message.contains(QStringLiteral("already open")), qPrintable(second.message));
        }
        QVERIFY(SettingsStore(folder.path).lock().locked); // released with its store
        StoreState reloaded;
        SettingsStore(dir).load(reloaded);
        QVERIFY(reloaded.vault.categoryNames().contains(QStringLiteral("Saved in place")));
    }

    // A lock that came with the folder from another computer does not keep the vault closed,
    // nor is a save that computer may have in flight removed; a second copy here is refused.
    void lockFromAnotherComputer()
    {
        const QByteArray lock = "4242\nvaultry\nanother-" + QSysInfo::machineHostName().toUtf8() +
                                "\n0123456789abcdef0123456789abcdef\n01234567-89ab-cdef-0123-456789abcdef\n";
        writeFile(storePath + QStringLiteral(".lock"), lock);
        const QString saving = storePath + QStringLiteral(".saving-Ab12Cd");
        writeFile(saving, "theirs");

        SettingsStore store(dir);
        const SettingsStore::LockResult locked = store.lock();
        QVERIFY2(locked.locked, qPrintable(locked.message));
        StoreState loaded;
        const QString message = store.load(loaded).message;
        QVERIFY2(
            message.contains(QStringLiteral("Vaultry is also open on another-%1; changes from both will be merged.")
                                 .arg(QSysInfo::machineHostName())),
            qPrintable(message));
        QCOMPARE(readFile(storePath + QStringLiteral(".lock")), lock);
        QVERIFY(QFile::exists(saving));
        for (bool closedThere : {false, true}) {
            if (closedThere) // its lock goes, through the sync
                QVERIFY(QFile::remove(storePath + QStringLiteral(".lock")));
            const SettingsStore::LockResult second = SettingsStore(dir).lock();
            QVERIFY(!second.locked);
            QVERIFY2(second.message.contains(QStringLiteral("already open")), qPrintable(second.message));
        }
        QVERIFY(!QFile::exists(storePath + QStringLiteral(".lock")));
    }

    // No room for the copy of a damaged store (it is larger than what the disk can still
    // take): the original, which may hold more than was read, is never replaced; the session
    // saves beside it.
    void damagedStoreWithoutRoomForACopy()
    {
        EntryList entries = sampleEntries(2000);
        QByteArray damaged = sealStore(encodePayload(Preferences(), {QStringLiteral("General")}, entries));
        for (int i = 0; i < 32; ++i)
            damaged[damaged.size() / 2 + i] = char(0xA5 ^ i); // one garbled block mid-way
        writeFile(storePath, damaged);

        struct rlimit old;
        QVERIFY(::getrlimit(RLIMIT_FSIZE, &old) == 0);
        struct rlimit small = old;
        small.rlim_cur = rlim_t(damaged.size() - 1);
        const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN); // write() fails with EFBIG instead
        QVERIFY(::setrlimit(RLIMIT_FSIZE, &small) == 0);
        StoreState loaded;
        const StoreLoadResult result = store().load(loaded);
        loaded.vault.addCategory(QStringLiteral("Added"));
        const StoreSaveResult saved = store().save(loaded);
        ::setrlimit(RLIMIT_FSIZE, &old);
        std::signal(SIGXFSZ, oldHandler);

        QCOMPARE(result.outcome, StoreLoadResult::Damaged);
        QVERIFY(result.damagedCopyPath.isEmpty());
        QVERIFY(loaded.vault.entries().size() < entries.size());
        QVERIFY2(saved.ok, qPrintable(saved.error));
        QCOMPARE(readFile(storePath), damaged);
        const QString savedAs = store().saveFilePath();
        QVERIFY(savedAs != storePath);
        QVERIFY2(result.message.contains(QDir::toNativeSeparators(savedAs)), qPrintable(result.message));
        Payload written;
        QVERIFY(decodeStore(readFile(savedAs), written));
        QCOMPARE(describe(written), describe(loaded));
        QVERIFY(damagedCopies(dir).isEmpty());
    }

    // The store an old file's migration replaces is kept: copied aside, or, with no room for a
    // copy, renamed aside. Where neither can be, neither file is replaced or deleted.
    void migrationKeepsTheStoreItReplaces_data()
    {
        QTest::addColumn<bool>("folderWritable"); // else: a writable store in a folder that is not
        QTest::newRow("no room for a copy") << true;
        QTest::newRow("folder not writable") << false;
    }

    void migrationKeepsTheStoreItReplaces()
    {
        QFETCH(bool, folderWritable);
        const QByteArray current =
            sealStore(encodePayload(Preferences(), {QStringLiteral("Newer")}, sampleEntries(2000)));
        const QByteArray old = encodePayload(unusualPreferences(), {QStringLiteral("Old")}, sampleEntries(2));
        writeFile(storePath, current);
        writeFile(legacyPath, legacyFile(old));

        std::unique_ptr<ReadOnlyFolder> folder;
        if (!folderWritable) {
            folder = std::make_unique<ReadOnlyFolder>(dir, true);
            if (!folder->valid)
                QSKIP("cannot make a read-only folder here");
        }
        SettingsStore store(folder ? folder->path : dir);
        struct rlimit limit;
        QVERIFY(::getrlimit(RLIMIT_FSIZE, &limit) == 0);
        struct rlimit small = limit;
        small.rlim_cur = rlim_t(current.size() - 1); // the copy does not fit, the migrated vault does
        const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        QVERIFY(::setrlimit(RLIMIT_FSIZE, &small) == 0);
        StoreState loaded;
        const StoreLoadResult result = store.load(loaded);
        ::setrlimit(RLIMIT_FSIZE, &limit);
        std::signal(SIGXFSZ, oldHandler);

        QCOMPARE(result.outcome, StoreLoadResult::Migrated);
        QCOMPARE(loaded.vault.categoryNames(), QStringList{QStringLiteral("Old")});
        const QStringList kept = QDir(dir).entryList({QStringLiteral("settings2.vydat.replaced-*")}, QDir::Files);
        if (folderWritable) {
            QCOMPARE(kept.size(), 1);
            QCOMPARE(readFile(dir + QLatin1Char('/') + kept.first()), current);
            QVERIFY2(result.message.contains(kept.first()), qPrintable(result.message));
            QVERIFY(!QFile::exists(legacyPath));
            Payload written;
            QVERIFY(decodeStore(readFile(storePath), written));
            QCOMPARE(written.categories, QStringList{QStringLiteral("Old")});
        } else {
            QVERIFY(kept.isEmpty());
            QCOMPARE(readFile(storePath), current);
            QCOMPARE(readFile(legacyPath), legacyFile(old));
            QVERIFY2(result.message.contains(QDir::toNativeSeparators(store.saveFilePath())),
                     qPrintable(result.message));
            QVERIFY(store.saveFilePath() != store.filePath());
        }
    }

    // A legacy file too large to be one is refused by its size, before anything is read (a
    // sparse file: read, it would take gigabytes of memory), and kept as it is.
    void hugeLegacyFileIsLeftAlone_data()
    {
        QTest::addColumn<bool>("currentExists");
        QTest::newRow("alone") << false;
        QTest::newRow("beside a store") << true;
    }

    void hugeLegacyFileIsLeftAlone()
    {
        QFETCH(bool, currentExists);
        const QByteArray current = sealStore(encodePayload(Preferences(), {QStringLiteral("Kept")}, EntryList()));
        if (currentExists)
            writeFile(storePath, current);
        const qint64 size = qint64(3) << 30;
        {
            QFile legacy(legacyPath);
            QVERIFY(legacy.open(QIODevice::WriteOnly));
            QVERIFY(legacy.write(legacyFile(encodePayload(Preferences(), {}, EntryList()))) > 0);
            QVERIFY(legacy.resize(size));
        }
        const QStringList before = QDir(dir).entryList(QDir::Files | QDir::Hidden);

        const StoreLoadResult result = store().load(state());
        QCOMPARE(result.outcome, currentExists ? StoreLoadResult::Loaded : StoreLoadResult::Unreadable);
        QVERIFY2(result.message.contains(QDir::toNativeSeparators(legacyPath)), qPrintable(result.message));
        QVERIFY2(result.message.contains(QString::number(kMaxLegacyFileBytes)), qPrintable(result.message));
        QCOMPARE(QFileInfo(legacyPath).size(), size);
        QCOMPARE(QDir(dir).entryList(QDir::Files | QDir::Hidden), before);
        if (currentExists)
            QCOMPARE(state().vault.categoryNames(), QStringList{QStringLiteral("Kept")});
    }
};

QTEST_GUILESS_MAIN(TestStore)
#include "tst_store.moc"
