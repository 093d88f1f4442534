#include "store/listcodec.h"
#include "store/payload.h"
#include "store/sealeddata.h"
#include "support/testvault.h"
#include "vault/entrylist.h"

#include <QBuffer>
#include <QDataStream>
#include <QTest>
#include <QtEndian>

#include <functional>

namespace {

QByteArray sealed(const QByteArray& plain, const QString& password)
{
    QByteArray data = plain;
    encryptData(data, password);
    return data;
}

// A list file around a given sealed list, with the right check string for `password`.
QByteArray listFile(const QByteArray& sealedList, const QString& password, const QByteArray& trailer = {})
{
    return TestVault::streamBytes([&](QDataStream& s) { s << listCheckString(password) << sealedList; }) + trailer;
}

QList<Entry> sampleEntries(int count)
{
    QList<Entry> list;
    for (int i = 0; i < count; ++i) {
        Entry entry = TestVault::makeEntry(QStringLiteral("Bank %1 ✓").arg(i), QStringLiteral("Money"),
                                           QStringLiteral("ådmin"), QStringLiteral("https://bank.example/%1").arg(i),
                                           QStringLiteral("two\nlines"), QStringLiteral("pw%1").arg(i));
        entry.dateCreated = QDateTime(QDate(2020, 1, 1 + i % 28), QTime(i % 24, 0), i % 2 ? Qt::UTC : Qt::LocalTime);
        if (i % 4 == 0)
            entry.account = QString();
        list.append(entry);
    }
    return list;
}

} // namespace

class TestListCodec : public QObject
{
    Q_OBJECT

private slots:
    void init() { TestVault::reset(); }

    void roundTrip_data()
    {
        QTest::addColumn<int>("count");
        QTest::addColumn<QString>("password");
        QTest::newRow("empty list") << 0 << QStringLiteral("secret");
        QTest::newRow("one") << 1 << QString();
        QTest::newRow("many") << 500 << QStringLiteral("pässwörd with a long tail beyond 32 bytes of key");
    }

    void roundTrip()
    {
        QFETCH(int, count);
        QFETCH(QString, password);
        const QList<Entry> exported = sampleEntries(count);
        const ListDecodeResult result = decodeList(encodeList(exported, password), password);
        QCOMPARE(result.status, ListDecodeResult::Ok);
        QCOMPARE(result.entries.size(), exported.size());
        for (qsizetype i = 0; i < exported.size(); ++i) {
            const Entry& a = result.entries.at(i);
            const Entry& b = exported.at(i);
            QCOMPARE(a.id, b.id);
            QCOMPARE(a.title, b.title);
            QCOMPARE(a.account.isNull(), b.account.isNull());
            QCOMPARE(a.notes, b.notes);
            QCOMPARE(a.dateCreated, b.dateCreated);
            QCOMPARE(a.dateCreated.timeSpec(), b.dateCreated.timeSpec());
            QCOMPARE(a.dateChanged, b.dateChanged);
        }
    }

    // The file of an empty list, byte by byte, for passwords whose digests differ in zero bytes.
    void emptyListFile_data()
    {
        QTest::addColumn<QString>("password");
        QTest::addColumn<QByteArray>("check"); // the digest bytes kept in the check string
        // MD5("") = d41d8cd98f00b204...: cut at its sixth byte.
        QTest::newRow("empty password") << QString() << QByteArray::fromHex("d41d8cd98f");
        QTest::newRow("no zero byte") << QStringLiteral("secret")
                                      << QByteArray::fromHex("5ebe2294ecd0e0f08eab7690d2a6ee69");
        // MD5("ai") = 4921c0e2d1f6005a...: cut before the zero byte.
        QTest::newRow("zero inside") << QStringLiteral("ai") << QByteArray::fromHex("4921c0e2d1f6");
        // MD5("mj") = 007de96a...: the check string is empty.
        QTest::newRow("zero first") << QStringLiteral("mj") << QByteArray();
        // Characters above U+00FF are "?" in the key and the digest alike.
        QTest::newRow("beyond Latin-1") << QStringLiteral("\u043f\u0430\u0440\u043e\u043b\u044c")
                                        << QByteArray::fromHex("df64dc2eb4a0b85091dd31eb4923eaac");
    }

    void emptyListFile()
    {
        QFETCH(QString, password);
        QFETCH(QByteArray, check);
        const QByteArray file = encodeList(EntryList(), password);
        const qsizetype k = check.size();
        QCOMPARE(file.size(), 4 + 2 * k + 4 + 36);
        QCOMPARE(qFromBigEndian<quint32>(file.constData()), quint32(2 * k));
        for (qsizetype i = 0; i < k; ++i)
            QCOMPARE(qFromBigEndian<quint16>(file.constData() + 4 + 2 * i), quint16(quint8(check.at(i))));
        QCOMPARE(qFromBigEndian<quint32>(file.constData() + 4 + 2 * k), quint32(36));
        QByteArray list = file.mid(4 + 2 * k + 4);
        decryptData(list, password);
        QCOMPARE(list, QByteArray(4, '\0'));

        const ListDecodeResult result = decodeList(file, password);
        QCOMPARE(result.status, ListDecodeResult::Ok);
        QVERIFY(result.entries.isEmpty());
    }

    void wrongPassword_data()
    {
        QTest::addColumn<QString>("lockedWith");
        QTest::addColumn<QString>("openedWith");
        QTest::addColumn<int>("status");
        QTest::newRow("different") << QStringLiteral("secret") << QStringLiteral("Secret")
                                   << int(ListDecodeResult::WrongPassword);
        QTest::newRow("empty against set")
            << QStringLiteral("secret") << QString() << int(ListDecodeResult::WrongPassword);
        QTest::newRow("same Latin-1 bytes")
            << QStringLiteral("\u0444x") << QStringLiteral("\u4e00x") << int(ListDecodeResult::Ok);
        // Both digests start with a zero byte ("mj", "qw"): the checks agree, the keys do not,
        // and the list decrypts to bytes that do not parse.
        QTest::newRow("shared empty check")
            << QStringLiteral("mj") << QStringLiteral("qw") << int(ListDecodeResult::Damaged);
    }

    void wrongPassword()
    {
        QFETCH(QString, lockedWith);
        QFETCH(QString, openedWith);
        QFETCH(int, status);
        const ListDecodeResult result = decodeList(encodeList(sampleEntries(3), lockedWith), openedWith);
        QCOMPARE(int(result.status), status);
        if (status == ListDecodeResult::WrongPassword)
            QVERIFY(result.entries.isEmpty());
    }

    // The check string matches, but what it guards is not a well-formed list.
    void damagedList_data()
    {
        const QString pw = QStringLiteral("pw");
        const QList<Entry> two = sampleEntries(2);
        const QByteArray plain = encodeEntryList(two);
        auto withPrefix = [&](qint32 prefix) {
            QByteArray bytes = sealed(plain, pw);
            qToLittleEndian<qint32>(prefix, bytes.data());
            return bytes;
        };
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<int>("entries");
        QTest::newRow("prefix negative") << listFile(withPrefix(-1), pw) << 2;
        QTest::newRow("prefix past the data") << listFile(withPrefix(qint32(plain.size()) + 4096), pw) << 2;
        QTest::newRow("entries run past the end") << listFile(sealed(plain.left(plain.size() - 7), pw), pw) << 2;
        QTest::newRow("bytes left over") << listFile(sealed(plain + "xy", pw), pw) << 2;
        QByteArray lying = plain;
        qToBigEndian<qint32>(0x7FFFFFFF, lying.data());
        QTest::newRow("count beyond the data") << listFile(sealed(lying, pw), pw) << 2;
        QTest::newRow("sealed list too short") << listFile(QByteArray("\x01\x00", 2), pw) << 0;
        QTest::newRow("trailing bytes after the list") << listFile(sealed(plain, pw), pw, "!") << 2;
    }

    void damagedList()
    {
        QFETCH(QByteArray, file);
        QFETCH(int, entries);
        const ListDecodeResult result = decodeList(file, QStringLiteral("pw"));
        QCOMPARE(result.status, ListDecodeResult::Damaged);
        QCOMPARE(result.entries.size(), entries);
    }

    void tooShortToRead_data()
    {
        const QString pw = QStringLiteral("pw");
        const QByteArray whole = encodeList(sampleEntries(1), pw);
        const QByteArray checkOnly = TestVault::streamBytes([&](QDataStream& s) { s << listCheckString(pw); });
        QTest::addColumn<QByteArray>("file");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("three bytes") << whole.left(3);
        QTest::newRow("check string only") << checkOnly;
        QTest::newRow("list cut short") << whole.left(whole.size() - 1);
        QTest::newRow("odd check length") << QByteArray::fromHex("00000003aabbcc0000000000");
        QTest::newRow("huge list length") << (checkOnly + QByteArray::fromHex("fffffff0") + QByteArray(64, 'z'));
    }

    void tooShortToRead()
    {
        QFETCH(QByteArray, file);
        const ListDecodeResult result = decodeList(file, QStringLiteral("pw"));
        QCOMPARE(result.status, ListDecodeResult::Unreadable);
        QVERIFY(result.entries.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestListCodec)
#include "tst_listcodec.moc"
