#include "store/listcodec.h"
#include "store/payload.h"
#include "store/sealeddata.h"
#include "support/testvault.h"
#include "vault/entrylist.h"

#include <QDataStream>
#include <QTest>
#include <QtEndian>

namespace {

const QString pw = QStringLiteral("pw");

QByteArray sealed(QByteArray plain, const QString& password = pw)
{
    encryptData(plain, password);
    return plain;
}

// A list file around a given sealed list, with the right check string for `pw`.
QByteArray listFile(const QByteArray& sealedList)
{
    return TestVault::streamBytes([&](QDataStream& s) { s << listCheckString(pw) << sealedList; });
}

QList<Entry> sampleEntries(int count)
{
    QList<Entry> list;
    for (int i = 0; i < count; ++i) {
        list.append(TestVault::makeEntry(QStringLiteral("Bank %1 ✓").arg(i), QStringLiteral("Money"),
                                         i % 2 ? QStringLiteral("ådmin") : QString()));
        list.last().id = QStringLiteral("id%1").arg(i);
    }
    return list;
}

} // namespace

class TestListCodec : public QObject
{
    Q_OBJECT

private slots:
    // The file of an empty list, byte by byte, for passwords whose digests differ in zero bytes.
    void emptyListFile_data()
    {
        QTest::addColumn<QString>("password");
        QTest::addColumn<QByteArray>("check"); // the digest bytes kept in the check string
        // MD5("") = d41d8cd98f00b204...: cut at its sixth byte.
        QTest::newRow("empty password") << QString() << QByteArray::fromHex("d41d8cd98f");
        QTest::newRow("no zero byte") << QStringLiteral("secret")
                                      << QByteArray::fromHex("5ebe2294ecd0e0f08eab7690d2a6ee69");
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
        const QByteArray expected = TestVault::streamBytes([&](QDataStream& s) {
            s << quint32(2 * check.size());
            for (char c : check)
                s << quint16(quint8(c));
            s << sealed(QByteArray(4, '\0'), password);
        });
        const QByteArray file = encodeList(EntryList(), password);
        QCOMPARE(file.toHex(), expected.toHex());
        QCOMPARE(file.size(), 4 + 2 * check.size() + 4 + 36);
    }

    // Round trips; a wrong password; a check string that matches but guards a list that is not
    // well formed (what parsed is kept); too few bytes for the check string and the sealed list.
    void decode_data()
    {
        const QByteArray plain = encodeEntryList(sampleEntries(2));
        const QByteArray whole = listFile(sealed(plain));
        QByteArray pastTheData = sealed(plain);
        qToLittleEndian<qint32>(qint32(plain.size()) + 4096, pastTheData.data());

        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QString>("password");
        QTest::addColumn<int>("status");
        QTest::addColumn<int>("entries"); // -1: not checked
        const QString longPassword = QStringLiteral("pässwörd with a long tail beyond 32 bytes of key");
        const int ok = ListDecodeResult::Ok;
        const int damaged = ListDecodeResult::Damaged;
        const int unreadable = ListDecodeResult::Unreadable;
        QTest::newRow("empty list, empty check")
            << encodeList(EntryList(), QStringLiteral("mj")) << QStringLiteral("mj") << ok << 0;
        QTest::newRow("one, empty password") << encodeList(sampleEntries(1), QString()) << QString() << ok << 1;
        QTest::newRow("many") << encodeList(sampleEntries(500), longPassword) << longPassword << ok << 500;
        QTest::newRow("wrong password") << encodeList(sampleEntries(2), QStringLiteral("secret"))
                                        << QStringLiteral("Secret") << int(ListDecodeResult::WrongPassword) << 0;
        // Both digests start with a zero byte: the checks agree, the keys do not.
        QTest::newRow("shared empty check")
            << encodeList(sampleEntries(2), QStringLiteral("mj")) << QStringLiteral("qw") << damaged << -1;
        QTest::newRow("prefix past the data") << listFile(pastTheData) << pw << damaged << 2;
        QTest::newRow("entries run past the end") << listFile(sealed(plain.chopped(7))) << pw << damaged << 2;
        QTest::newRow("sealed list too short") << listFile(QByteArray("\x01\x00", 2)) << pw << damaged << 0;
        QTest::newRow("trailing bytes after the list") << (whole + '!') << pw << damaged << 2;
        QTest::newRow("empty") << QByteArray() << pw << unreadable << 0;
        QTest::newRow("list cut short") << whole.chopped(1) << pw << unreadable << 0;
        QTest::newRow("huge list length")
            << (whole.left(4 + 2 * listCheckString(pw).size()) + QByteArray::fromHex("fffffff0") + QByteArray(64, 'z'))
            << pw << unreadable << 0;
    }

    void decode()
    {
        QFETCH(QByteArray, file);
        QFETCH(QString, password);
        QFETCH(int, status);
        QFETCH(int, entries);
        const ListDecodeResult result = decodeList(file, password);
        QCOMPARE(int(result.status), status);
        if (entries >= 0)
            QCOMPARE(result.entries.size(), entries);
        if (status == ListDecodeResult::Ok)
            QCOMPARE(TestVault::describe(result.entries), TestVault::describe(sampleEntries(entries)));
    }
};

QTEST_GUILESS_MAIN(TestListCodec)
#include "tst_listcodec.moc"
