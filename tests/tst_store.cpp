#include "store/payload.h"
#include "store/preferences.h"
#include "store/rijndael.h"
#include "store/sealeddata.h"
#include "store/settingsstore.h"
#include "support/failingdevice.h"
#include "support/testvault.h"
#include "vault/entrylist.h"

#include <QBuffer>
#include <QDataStream>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

#include <functional>
#include <memory>

namespace {

const QByteArray storeKey = QByteArrayLiteral("/lanterns.kwfob");

void writePreferences(QDataStream& s, const Preferences& p)
{
    s << p.masterPasswordHash << p.hidePassword << p.maxLoginAttempts << p.genAlphanum << p.genMaxLength
      << p.genMinLength << p.genMixedCase << p.genSpecialChars << p.firstRun;
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), bytes.size());
}

// Entry equality is by id only; a store must bring back every field, null or empty alike.
bool sameEntry(const Entry& a, const Entry& b)
{
    auto same = [](const QString& x, const QString& y) { return x == y && x.isNull() == y.isNull(); };
    return same(a.id, b.id) && same(a.title, b.title) && same(a.category, b.category) && same(a.url, b.url) &&
           same(a.account, b.account) && same(a.password, b.password) && same(a.notes, b.notes) &&
           a.dateCreated == b.dateCreated && a.dateCreated.timeSpec() == b.dateCreated.timeSpec() &&
           a.dateChanged == b.dateChanged && a.dateChanged.timeSpec() == b.dateChanged.timeSpec();
}

void compareEntries(const EntryList& actual, const QList<Entry>& expected)
{
    QCOMPARE(actual.size(), expected.size());
    for (qsizetype i = 0; i < expected.size(); ++i) {
        if (!sameEntry(actual.at(i), expected.at(i)))
            QFAIL(qPrintable(QStringLiteral("entry %1 (%2) differs").arg(i).arg(expected.at(i).title)));
    }
}

bool samePreferences(const Preferences& a, const Preferences& b)
{
    return a.masterPasswordHash == b.masterPasswordHash && a.hidePassword == b.hidePassword &&
           a.maxLoginAttempts == b.maxLoginAttempts && a.genAlphanum == b.genAlphanum &&
           a.genMaxLength == b.genMaxLength && a.genMinLength == b.genMinLength && a.genMixedCase == b.genMixedCase &&
           a.genSpecialChars == b.genSpecialChars && a.firstRun == b.firstRun;
}

Entry sampleEntry(int i)
{
    Entry entry =
        TestVault::makeEntry(QStringLiteral("Title %1 — Ω日本").arg(i), QStringLiteral("Cat %1").arg(i % 7),
                             QStringLiteral("user%1").arg(i), QStringLiteral("https://example.org/%1").arg(i),
                             QStringLiteral("notes\nline %1 \U0001F511").arg(i), QStringLiteral("pä$$%1").arg(i));
    if (i % 3 == 0)
        entry.notes = QString(); // null, not empty
    if (i % 5 == 0)
        entry.url = QLatin1String("");
    if (i % 11 == 0)
        entry.dateChanged = QDateTime(QDate(2023, 3, 26), QTime(1, 30), Qt::UTC);
    if (i % 13 == 0)
        entry.dateCreated = QDateTime();
    return entry;
}

Preferences unusualPreferences()
{
    Preferences p;
    p.masterPasswordHash = QStringLiteral("0123456789abcdef0123456789abcdef01234567");
    p.hidePassword = false;
    p.maxLoginAttempts = 3;
    p.genAlphanum = false;
    p.genMaxLength = 40;
    p.genMinLength = 8;
    p.genMixedCase = false;
    p.genSpecialChars = false;
    p.firstRun = false;
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

} // namespace

class TestStore : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> tempDir;
    QString dir;
    QString storePath;
    QString legacyPath;

private slots:
    void init()
    {
        tempDir = std::make_unique<QTemporaryDir>(); // a fresh, empty directory per test
        QVERIFY(tempDir->isValid());
        dir = tempDir->path();
        storePath = dir + QLatin1String(kStoreFileName);
        legacyPath = dir + QLatin1String(kLegacyStoreFileName);
        TestVault::reset(dir);
    }

    void firstStartWritesTheDefaults()
    {
        const StoreLoadResult result = loadSettings();
        QCOMPARE(result.outcome, StoreLoadResult::Created);
        QVERIFY(result.message.isEmpty());

        const QByteArray file = readFile(storePath);
        QCOMPARE(file.size(), 36);
        QCOMPARE(file.left(4), QByteArray::fromHex("1d000000")); // 29, little-endian
        QByteArray payload = file;
        decryptData(payload, storeKey);
        // Empty hash, then hide, attempts 0, alphanum, max 12, min 10, mixed, special, first run,
        // and the two empty lists.
        QCOMPARE(payload.toHex(), QByteArray("00000000"
                                             "01"
                                             "00000000"
                                             "01"
                                             "0000000c"
                                             "0000000a"
                                             "010101"
                                             "00000000"
                                             "00000000"));

        preferences.maxLoginAttempts = 9;
        QCOMPARE(loadSettings().outcome, StoreLoadResult::Loaded);
        QVERIFY(samePreferences(preferences, Preferences()));
    }

    void firstStartReportsAFailedWrite()
    {
        // A directory path that runs through a regular file cannot be written, even by root.
        writeFile(dir + QStringLiteral("/plain"), "x");
        setStoreDirectory(dir + QStringLiteral("/plain"));
        const StoreLoadResult result = loadSettings();
        QCOMPARE(result.outcome, StoreLoadResult::Created);
        QVERIFY2(result.message.contains(QStringLiteral("plain")), qPrintable(result.message));
    }

    void roundTrip_data()
    {
        QTest::addColumn<int>("count");
        QTest::newRow("empty vault") << 0;
        QTest::newRow("a few") << 13;
        // Several megabytes: the loader reads in chunks, so names and entries straddle them.
        QTest::newRow("many") << 12000;
    }

    void roundTrip()
    {
        QFETCH(int, count);
        const Preferences saved = unusualPreferences();
        preferences = saved;
        const QStringList names = {QStringLiteral("General"), QStringLiteral("Ω Work 日本"), QLatin1String(""),
                                   QString(), QStringLiteral("\U0001F511 keys")};
        categoryNames = names;
        QList<Entry> expected;
        for (int i = 0; i < count; ++i) {
            expected.append(sampleEntry(i));
            entries.append(expected.last());
        }
        if (count > 0) {
            // One text longer than a read chunk.
            Entry big = sampleEntry(count);
            big.notes = QString(1500000, QChar(0x263A));
            expected.append(big);
            entries.append(big);
        }
        QVERIFY(saveSettings().ok);

        TestVault::reset(dir);
        const StoreLoadResult result = loadSettings();
        QCOMPARE(result.outcome, StoreLoadResult::Loaded);
        QVERIFY(result.message.isEmpty());
        QVERIFY(samePreferences(preferences, saved));
        QCOMPARE(categoryNames, names);
        QVERIFY(categoryNames.at(2).isEmpty() && !categoryNames.at(2).isNull());
        QVERIFY(categoryNames.at(3).isNull());
        compareEntries(entries, expected);
        QVERIFY(damagedCopies(dir).isEmpty());
    }

    // The payload reader on data cut short, overlong, or with counts that lie.
    void payloadReading_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<bool>("exact");
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<QStringList>("titles");

        const Preferences prefs = unusualPreferences();
        const QByteArray head = TestVault::streamBytes([&](QDataStream& s) { writePreferences(s, prefs); });
        const Entry first = sampleEntry(1);
        const Entry second = sampleEntry(2);
        const QByteArray names = TestVault::streamBytes(
            [](QDataStream& s) { s << qint32(2) << QStringLiteral("One") << QStringLiteral("Two"); });
        const QByteArray twoEntries =
            TestVault::streamBytes([&](QDataStream& s) { s << qint32(2) << first << second; });
        const QByteArray whole = head + names + twoEntries;
        const QByteArray firstEntryBytes = TestVault::streamBytes([&](QDataStream& s) { s << first; });
        const QStringList both = {QStringLiteral("One"), QStringLiteral("Two")};
        const QStringList titles = {first.title, second.title};

        QTest::newRow("whole") << whole << true << both << titles;
        QTest::newRow("no data") << QByteArray() << false << QStringList() << QStringList();
        QTest::newRow("ends in the preferences") << head.left(10) << false << QStringList() << QStringList();
        QTest::newRow("ends after the preferences") << head << false << QStringList() << QStringList();
        // Ends inside the second name: it is kept, as far as it was read (null).
        QTest::newRow("ends inside a name") << (head + names.left(names.size() - 2)) << false
                                            << QStringList{QStringLiteral("One"), QString()} << QStringList();
        QTest::newRow("ends after the names") << (head + names) << false << both << QStringList();
        // The entry cut short is still taken, with the fields it did not reach empty.
        QTest::newRow("ends inside an entry") << (head + names + twoEntries.left(4 + firstEntryBytes.size() + 20))
                                              << false << both << QStringList{first.title, QLatin1String("")};
        QTest::newRow("byte left over") << (whole + '\0') << false << both << titles;
        QTest::newRow("name count too large")
            << (head + TestVault::streamBytes([](QDataStream& s) { s << qint32(0x7FFFFFFF) << QStringLiteral("One"); }))
            << false << QStringList{QStringLiteral("One")} << QStringList();
        QTest::newRow("entry count too large")
            << (head + names +
                TestVault::streamBytes([&](QDataStream& s) { s << qint32(0x7FFFFFFF) << first << second; }))
            << false << both << titles;
        QTest::newRow("negative counts") << (head + TestVault::streamBytes(
                                                        [](QDataStream& s) { s << qint32(-5) << qint32(-1); }))
                                         << true << QStringList() << QStringList();
        QTest::newRow("null name") << (head +
                                       TestVault::streamBytes([](QDataStream& s) { s << qint32(1) << QString() << 0; }))
                                   << true << QStringList{QString()} << QStringList();
        QTest::newRow("odd name length") << (head + TestVault::streamBytes([](QDataStream& s) {
                                                 s << qint32(1) << quint32(3) << quint32(0) << 0;
                                             }))
                                         << false << QStringList{QString()} << QStringList();
        // A length near 4 GiB must be refused against the data, not allocated.
        QTest::newRow("huge name length")
            << (head +
                TestVault::streamBytes([](QDataStream& s) { s << qint32(1) << quint32(0xFFFFFFF0) << quint32(0); }))
            << false << QStringList{QString()} << QStringList();
        QTest::newRow("huge entry text length")
            << (head +
                TestVault::streamBytes([](QDataStream& s) { s << qint32(0) << qint32(1) << quint32(0x7FFFFFFE); }))
            << false << QStringList() << QStringList{QLatin1String("")};
    }

    void payloadReading()
    {
        QFETCH(QByteArray, data);
        QFETCH(bool, exact);
        QFETCH(QStringList, names);
        QFETCH(QStringList, titles);

        Payload payload;
        payload.categories = QStringList{QStringLiteral("stale")};
        QCOMPARE(decodePayload(data, payload), exact);
        QCOMPARE(payload.categories, names);
        for (qsizetype i = 0; i < names.size(); ++i)
            QCOMPARE(payload.categories.at(i).isNull(), names.at(i).isNull());
        QCOMPARE(payload.entries.size(), titles.size());
        for (qsizetype i = 0; i < titles.size(); ++i)
            QCOMPARE(payload.entries.at(i).title, titles.at(i));
        if (data.startsWith(TestVault::streamBytes([](QDataStream& s) { writePreferences(s, unusualPreferences()); })))
            QVERIFY(samePreferences(payload.preferences, unusualPreferences()));
        if (data.isEmpty()) {
            // Fields past the end read as zero, false or empty, not as start-up values.
            QVERIFY(payload.preferences.masterPasswordHash.isEmpty());
            QVERIFY(!payload.preferences.hidePassword && !payload.preferences.firstRun);
            QCOMPARE(payload.preferences.genMaxLength, 0);
        }

        // Sealed as a store file, the same bytes read the same way through the chunked reader.
        Payload fromFile;
        QCOMPARE(decodeStore(sealStore(data), fromFile), exact);
        QCOMPARE(fromFile.categories, payload.categories);
        compareEntries(fromFile.entries, payload.entries.toList());
    }

    // Store files whose framing is off: they read as decryptData would have them, and never cleanly.
    void storeFraming_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<bool>("clean");

        const QByteArray payload = encodePayload(unusualPreferences(), {QStringLiteral("A")}, EntryList());
        const QByteArray sealed = sealStore(payload);
        auto withPrefix = [&](qint32 prefix) {
            QByteArray bytes = sealed;
            qToLittleEndian<qint32>(prefix, bytes.data());
            return bytes;
        };
        QTest::newRow("sound") << sealed << true;
        QTest::newRow("empty file") << QByteArray() << false;
        QTest::newRow("short prefix") << sealed.left(3) << false;
        QTest::newRow("prefix only") << sealed.left(4) << false;
        QTest::newRow("negative prefix") << withPrefix(-1) << false;
        QTest::newRow("prefix past the data") << withPrefix(qint32(sealed.size())) << false;
        QTest::newRow("prefix short of the payload") << withPrefix(qint32(payload.size() - 3)) << false;
        QTest::newRow("prefix beyond the payload") << withPrefix(qint32(payload.size() + 1)) << false;
        QTest::newRow("partial last block") << sealed.left(sealed.size() - 5) << false;
    }

    void storeFraming()
    {
        QFETCH(QByteArray, file);
        QFETCH(bool, clean);

        Payload payload;
        QCOMPARE(decodeStore(file, payload), clean);
        QByteArray plain = file;
        decryptData(plain, storeKey);
        Payload expected;
        decodePayload(plain, expected);
        QVERIFY(samePreferences(payload.preferences, expected.preferences));
        QCOMPARE(payload.categories, expected.categories);
        compareEntries(payload.entries, expected.entries.toList());
    }

    // Times are decoded without QDataStream for speed; they must match what it reads.
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

        const QByteArray entryBytes = TestVault::streamBytes([&](QDataStream& s) {
            for (int i = 0; i < 7; ++i)
                s << QStringLiteral("t");
            for (int i = 0; i < 2; ++i)
                s << julianDay << msecs << qint8(spec);
        });
        QDataStream qt(entryBytes);
        qt.setVersion(QDataStream::Qt_4_6);
        Entry expected(Entry::NoId);
        if (spec == 4) {
            for (int i = 0; i < 2; ++i)
                QTest::ignoreMessage(QtWarningMsg, "Using TimeZone in setTimeSpec() is unsupported");
        }
        qt >> expected;

        EntryList list;
        QVERIFY(decodeEntryList(TestVault::streamBytes([](QDataStream& s) { s << qint32(1); }) + entryBytes, list));
        QCOMPARE(list.size(), 1);
        const QDateTime actual = list.at(0).dateChanged;
        QCOMPARE(actual, expected.dateChanged);
        QCOMPARE(actual.isValid(), expected.dateChanged.isValid());
        QCOMPARE(actual.timeSpec(), expected.dateChanged.timeSpec());
        QCOMPARE(actual.date(), expected.dateChanged.date());
        QCOMPARE(actual.time(), expected.dateChanged.time());
    }

    void damagedStoreIsLoadedAndKept_data()
    {
        QTest::addColumn<bool>("wholeEntry"); // cut the last entry off whole, or only its end
        QTest::addColumn<int>("loaded");
        QTest::newRow("last entry cut short") << false << 3;
        QTest::newRow("last entry missing") << true << 2;
    }

    void damagedStoreIsLoadedAndKept()
    {
        QFETCH(bool, wholeEntry);
        QFETCH(int, loaded);
        categoryNames = QStringList{QStringLiteral("General")};
        for (int i = 0; i < 3; ++i)
            entries.append(sampleEntry(i));
        const int cut =
            wholeEntry ? int(TestVault::streamBytes([](QDataStream& s) { s << entries.last(); }).size()) : 30;
        const QByteArray payload = encodePayload(preferences, categoryNames, entries);
        const QByteArray damaged = sealStore(payload.left(payload.size() - cut));
        writeFile(storePath, damaged);

        for (int attempt = 1; attempt <= 2; ++attempt) {
            TestVault::reset(dir);
            const StoreLoadResult result = loadSettings();
            QCOMPARE(result.outcome, StoreLoadResult::Damaged);
            QCOMPARE(entries.size(), loaded);
            QCOMPARE(entries.at(0).title, sampleEntry(0).title);
            QCOMPARE(categoryNames, QStringList{QStringLiteral("General")});
            // A second load keeps a second copy rather than overwrite the first.
            const QStringList copies = damagedCopies(dir);
            QCOMPARE(copies.size(), attempt);
            QCOMPARE(result.damagedCopyPath, dir + QLatin1Char('/') + copies.last());
            QVERIFY2(result.message.contains(QDir::toNativeSeparators(result.damagedCopyPath)),
                     qPrintable(result.message));
            QCOMPARE(readFile(result.damagedCopyPath), damaged);
        }
    }

    void unreadableStoreIsLeftAlone()
    {
        QVERIFY(QDir(dir).mkdir(QStringLiteral("settings2.vydat")));
        preferences.genMaxLength = 77;
        const StoreLoadResult result = loadSettings();
        QCOMPARE(result.outcome, StoreLoadResult::Unreadable);
        QVERIFY2(result.message.contains(QDir::toNativeSeparators(storePath)), qPrintable(result.message));
        QCOMPARE(preferences.genMaxLength, 77);
        QVERIFY(QFileInfo(storePath).isDir());
        QVERIFY(damagedCopies(dir).isEmpty());
    }

    void legacyKnownAnswer()
    {
        // The default payload encrypted with AES-128 by an independent implementation.
        const QByteArray file = QByteArray::fromHex("00000020"
                                                    "00000020"
                                                    "0b1b2618601d7e9026615de6f995042b"
                                                    "4cb93b754a2a817f05cfcd19f034f24d");
        writeFile(legacyPath, file);
        preferences = unusualPreferences();
        const StoreLoadResult result = loadSettings();
        QCOMPARE(result.outcome, StoreLoadResult::Migrated);
        QVERIFY(result.message.isEmpty());
        QVERIFY(samePreferences(preferences, Preferences()));
        QVERIFY(!QFile::exists(legacyPath));
        QCOMPARE(readFile(storePath).size(), 36);
    }

    void legacyMigration_data()
    {
        QTest::addColumn<bool>("currentExists");
        QTest::addColumn<bool>("saveFails");
        QTest::addColumn<int>("cut"); // bytes taken off the end of the legacy file
        QTest::addColumn<qint32>("n");
        QTest::addColumn<int>("outcome");
        QTest::newRow("legacy alone") << false << false << 0 << -1 << int(StoreLoadResult::Migrated);
        QTest::newRow("replaces a current file") << true << false << 0 << -1 << int(StoreLoadResult::Migrated);
        QTest::newRow("save fails") << false << true << 0 << -1 << int(StoreLoadResult::Migrated);
        QTest::newRow("cut short") << false << false << 40 << -1 << int(StoreLoadResult::Damaged);
        // n is trusted only as far as the ciphertext goes.
        QTest::newRow("n past the ciphertext")
            << false << false << 0 << qint32(0x7FFFFFF0) << int(StoreLoadResult::Migrated);
    }

    void legacyMigration()
    {
        QFETCH(bool, currentExists);
        QFETCH(bool, saveFails);
        QFETCH(int, cut);
        QFETCH(qint32, n);
        QFETCH(int, outcome);

        const Preferences prefs = unusualPreferences();
        const QStringList names = {QStringLiteral("Old ÄÖ"), QStringLiteral("General")};
        EntryList legacyEntries;
        for (int i = 0; i < 4; ++i)
            legacyEntries.append(sampleEntry(i));
        QByteArray legacy = legacyFile(encodePayload(prefs, names, legacyEntries), n);
        legacy.chop(cut);
        writeFile(legacyPath, legacy);
        const QByteArray oldCurrent = sealStore(encodePayload(Preferences(), {QStringLiteral("Newer")}, EntryList()));
        if (currentExists)
            writeFile(storePath, oldCurrent);
        if (saveFails)
            QVERIFY(QDir(dir).mkdir(QStringLiteral("settings2.vydat")));

        const StoreLoadResult result = loadSettings();
        QCOMPARE(int(result.outcome), outcome);
        QVERIFY(samePreferences(preferences, prefs));
        QCOMPARE(categoryNames, names);
        if (cut == 0)
            compareEntries(entries, legacyEntries.toList());
        else
            QVERIFY(!sameEntry(entries.last(), legacyEntries.last()) || entries.size() < legacyEntries.size());

        if (saveFails) {
            QVERIFY(QFile::exists(legacyPath));
            QVERIFY2(result.message.contains(QDir::toNativeSeparators(legacyPath)), qPrintable(result.message));
            return;
        }
        QVERIFY(!QFile::exists(legacyPath));
        Payload written;
        QVERIFY(decodeStore(readFile(storePath), written));
        QVERIFY(samePreferences(written.preferences, prefs));
        QCOMPARE(written.categories, names);
        compareEntries(written.entries, entries.toList());

        const QStringList kept = QDir(dir).entryList({QStringLiteral("settings2.vydat.replaced-*")}, QDir::Files);
        QCOMPARE(kept.size(), currentExists ? 1 : 0);
        if (currentExists)
            QCOMPARE(readFile(dir + QLatin1Char('/') + kept.first()), oldCurrent);
        if (outcome == StoreLoadResult::Damaged)
            QCOMPARE(readFile(result.damagedCopyPath), legacy);
        else
            QVERIFY(result.message.isEmpty() == !currentExists);
    }

    void failedSaveKeepsTheOldFile_data()
    {
        QTest::addColumn<qint64>("limit");
        QTest::newRow("nothing written") << qint64(0);
        QTest::newRow("one byte") << qint64(1);
        QTest::newRow("part way") << qint64(1000);
        QTest::newRow("all but one byte") << qint64(-1);
    }

    void failedSaveKeepsTheOldFile()
    {
        QFETCH(qint64, limit);
        categoryNames = QStringList{QStringLiteral("Old")};
        QVERIFY(saveSettings().ok);
        const QByteArray old = readFile(storePath);

        for (int i = 0; i < 100; ++i)
            entries.append(sampleEntry(i));
        const QByteArray bytes = sealStore(encodePayload(preferences, categoryNames, entries));
        const qint64 accepted = limit < 0 ? bytes.size() + limit : limit;
        FailingDevice* device = nullptr;
        const StoreSaveResult result =
            writeStoreFile(storePath, bytes, [&](QIODevice* file) -> std::unique_ptr<QIODevice> {
                auto failing = std::make_unique<FailingDevice>(accepted, file);
                failing->open(QIODevice::WriteOnly);
                device = failing.get();
                return failing;
            });
        QVERIFY(!result.ok);
        QVERIFY(device);
        QVERIFY2(result.error.contains(QDir::toNativeSeparators(storePath)), qPrintable(result.error));
        QVERIFY2(result.error.contains(QStringLiteral("No space left on device")), qPrintable(result.error));
        QCOMPARE(readFile(storePath), old);
        QCOMPARE(QDir(dir).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("settings2.vydat")});
    }

    void saveReportsAnUnwritablePlace()
    {
        categoryNames = QStringList{QStringLiteral("Kept")};
        // The store's name taken by a directory: the rename cannot replace it.
        QVERIFY(QDir(dir).mkdir(QStringLiteral("settings2.vydat")));
        const StoreSaveResult result = saveSettings();
        QVERIFY(!result.ok);
        QVERIFY2(result.error.contains(QDir::toNativeSeparators(storePath)), qPrintable(result.error));
        QVERIFY(QFileInfo(storePath).isDir());
    }
};

QTEST_GUILESS_MAIN(TestStore)
#include "tst_store.moc"
