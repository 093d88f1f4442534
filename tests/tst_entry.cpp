#include "store/payload.h"
#include "support/testvault.h"
#include "vault/entry.h"
#include "vault/entrylist.h"
#include "vault/randomsource.h"
#include "vault/treeitem.h"

#include <QBuffer>
#include <QDataStream>
#include <QTest>

class TestEntry : public QObject
{
    Q_OBJECT

private slots:
    void init() { TestVault::prepare(); }

    void defaultEntry()
    {
        const QDateTime before = QDateTime::currentDateTime();
        const Entry entry;
        const QDateTime after = QDateTime::currentDateTime();
        QCOMPARE(entry.id.size(), 30);
        for (QChar ch : entry.id)
            QVERIFY(QByteArray(kIdAlphabet).contains(char(ch.unicode())));
        QCOMPARE(entry.title, QStringLiteral("New"));
        QCOMPARE(entry.category, QStringLiteral("General"));
        for (const QString* text : {&entry.url, &entry.account, &entry.password, &entry.notes}) {
            QVERIFY(text->isEmpty());
            QVERIFY(!text->isNull());
        }
        QVERIFY(entry.dateCreated >= before && entry.dateCreated <= after);
        QCOMPARE(entry.dateChanged, entry.dateCreated);
    }

    void identifiersFollowTheRandomSource()
    {
        // 30 draws per entry, in order: the same seed gives the same ids, and the draws of
        // one record are exactly the next 30 values of the source.
        RandomSource::useSeed(7);
        const QString first = Entry().id;
        const QString second = Entry().id;
        RandomSource::useSeed(7);
        QString expected;
        for (int i = 0; i < 60; ++i)
            expected += QLatin1Char(kIdAlphabet[RandomSource::next() % 62]);
        QCOMPARE(first + second, expected);
        QVERIFY(first != second);
        QCOMPARE(randomString(0), QString());
        QCOMPARE(randomString(-3), QString());
    }

    void identityIsTheIdAlone()
    {
        Entry a = TestVault::makeEntry(QStringLiteral("a"), QStringLiteral("x"));
        Entry b = a;
        b.title = QStringLiteral("other");
        QVERIFY(a == b);
        b.id = a.id.toLower() == a.id ? a.id.toUpper() : a.id.toLower();
        QVERIFY(a != b);
    }

    void streamRoundTrip_data()
    {
        QTest::addColumn<Entry>("entry");
        Entry full = TestVault::makeEntry(QStringLiteral("Mail ✓ Ω"), QStringLiteral("Work"), QStringLiteral("me"),
                                          QStringLiteral("https://example.org"), QStringLiteral("line 1\nline 2"),
                                          QStringLiteral("p\u00e4ss"));
        QTest::newRow("full") << full;
        Entry nulls = full;
        nulls.url = QString();
        nulls.notes = QString();
        QTest::newRow("null texts") << nulls;
        Entry empties = full;
        empties.title = QLatin1String("");
        QTest::newRow("empty texts") << empties;
        Entry noTime = full;
        noTime.dateChanged = QDateTime();
        QTest::newRow("invalid time") << noTime;
    }

    void streamRoundTrip()
    {
        QFETCH(Entry, entry);
        QByteArray bytes;
        {
            QDataStream out(&bytes, QIODevice::WriteOnly);
            out.setVersion(QDataStream::Qt_4_6);
            out << entry;
        }
        QDataStream in(bytes);
        in.setVersion(QDataStream::Qt_4_6);
        Entry read;
        in >> read;
        QCOMPARE(in.status(), QDataStream::Ok);
        QVERIFY(in.atEnd());
        QCOMPARE(TestVault::describe(read), TestVault::describe(entry));
    }

    void defaultRecordIs126Bytes()
    {
        Entry entry;
        entry.id = QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123");
        entry.dateCreated = QDateTime(QDate(2020, 2, 29), QTime(13, 14, 15, 16), Qt::LocalTime);
        entry.dateChanged = entry.dateCreated;
        QByteArray bytes;
        QDataStream out(&bytes, QIODevice::WriteOnly);
        out.setVersion(QDataStream::Qt_4_6);
        out << entry;
        QCOMPARE(bytes.size(), 126);
        // id: byte count 60, then "A" as a big-endian UTF-16 unit.
        QCOMPARE(bytes.left(6), QByteArray::fromHex("0000003c0041"));
        // dateCreated: Julian day, milliseconds since midnight, and 0xFF, which marks local time.
        const QByteArray date = bytes.mid(126 - 18, 9);
        QCOMPARE(date, QByteArray::fromHex("0025851d") + QByteArray::fromHex("02d72868ff"));
    }

    void entryListIndexFollowsEveryChange()
    {
        EntryList list;
        Entry a = TestVault::makeEntry(QStringLiteral("a"), QStringLiteral("c"));
        Entry b = TestVault::makeEntry(QStringLiteral("b"), QStringLiteral("c"));
        Entry c = TestVault::makeEntry(QStringLiteral("c"), QStringLiteral("d"));
        list.append(a);
        list.append(b);
        list.append(c);
        QCOMPARE(list.indexOfId(c.id), 2);
        list.removeAt(0);
        QCOMPARE(list.indexOfId(c.id), 1);
        QCOMPARE(list.indexOfId(a.id), -1);
        Entry renamed = b;
        renamed.id = QStringLiteral("fresh");
        list.replace(0, renamed);
        QCOMPARE(list.indexOfId(QStringLiteral("fresh")), 0);
        QVERIFY(!list.containsId(b.id));
        // Duplicate ids (only possible from a file) resolve to the first occurrence.
        Entry twin = c;
        twin.title = QStringLiteral("twin");
        list.append(twin);
        QCOMPARE(list.findById(c.id)->title, QStringLiteral("c"));
        QCOMPARE(list.removeIf([](const Entry& e) { return e.category == QLatin1String("d"); }), 2);
        QVERIFY(!list.containsId(c.id));
        QCOMPARE(list.size(), 1);
        list.clear();
        QVERIFY(list.findById(QStringLiteral("fresh")) == nullptr);
    }

    void searchTextFollowsEveryChange()
    {
        EntryList list;
        Entry a = TestVault::makeEntry(QStringLiteral("Alpha"), QStringLiteral("Work"), QStringLiteral("ME"));
        Entry b = TestVault::makeEntry(QStringLiteral("Beta"), QStringLiteral("Home"));
        list.append(a);
        QVERIFY(list.searchText(0).contains(QStringLiteral("alpha")));
        QVERIFY(list.searchText(0).contains(QStringLiteral("me")));
        list.append(b);
        QVERIFY(list.searchText(1).contains(QStringLiteral("beta")));
        Entry renamed = a;
        renamed.title = QStringLiteral("Omega");
        list.replace(0, renamed);
        QVERIFY(list.searchText(0).contains(QStringLiteral("omega")));
        QVERIFY(!list.searchText(0).contains(QStringLiteral("alpha")));
        list.removeAt(0);
        QVERIFY(list.searchText(0).contains(QStringLiteral("beta")));
        list.removeIf([](const Entry&) { return false; });
        list.append(a);
        QVERIFY(list.searchText(1).contains(QStringLiteral("alpha")));
    }

    void idLookupDoesNotDependOnSharedStorage()
    {
        // Lookups are fastest for ids that share storage with the list, but any equal text must do.
        EntryList list;
        Entry a = TestVault::makeEntry(QStringLiteral("a"), QStringLiteral("c"));
        list.append(a);
        const QString sameText(a.id.constData(), a.id.size());
        QCOMPARE(list.indexOfId(sameText), 0);
        Entry copy = a;
        copy.id = sameText;
        list.replace(0, copy);
        QCOMPARE(list.indexOfId(a.id), 0);
        QCOMPARE(list.indexOfId(sameText), 0);
        a = Entry(); // frees the old id storage
        QCOMPARE(list.indexOfId(a.id), -1);
        QCOMPARE(list.indexOfId(sameText), 0);
    }

    void treeItemBounds()
    {
        TreeItem root({QStringLiteral("Entries")});
        QVERIFY(root.insertChildren(0, 1, 10));
        QVERIFY(!root.insertChildren(2, 1, 10));
        QVERIFY(!root.insertChildren(-1, 1, 10));
        QVERIFY(root.insertChildren(root.childCount(), 1, 10));
        QVERIFY(root.insertChildren(0, 0, 10));
        QCOMPARE(root.childCount(), 2);
        QVERIFY(root.child(-1) == nullptr);
        QVERIFY(root.child(root.childCount()) == nullptr);
        TreeItem* row = root.child(1);
        QCOMPARE(row->childNumber(), 1);
        QCOMPARE(root.childNumber(), 0);
        QVERIFY(!row->setData(10, 1));
        QVERIFY(!row->setData(-1, 1));
        QVERIFY(!row->data(10).isValid());
        QVERIFY(!root.removeChildren(1, 2));
        QVERIFY(!root.removeColumns(0, 2));
        QVERIFY(root.insertColumns(1, 2));
        QCOMPARE(row->columnCount(), 12);
        QVERIFY(root.removeColumns(1, 2));
        QCOMPARE(row->columnCount(), 10);
        QVERIFY(root.removeChildren(0, 2));
        QCOMPARE(root.childCount(), 0);
    }

    void treeItemCarriesTheWholeRecord()
    {
        TreeItem root({QStringLiteral("Entries")});
        root.insertChildren(0, 2, 10);
        const Entry entry = TestVault::makeEntry(QStringLiteral("t"), QStringLiteral("c"), QStringLiteral("a"),
                                                 QStringLiteral("u"), QStringLiteral("n"), QStringLiteral("p"));
        root.child(0)->setFromEntry(entry);
        QCOMPARE(TestVault::describe(root.child(0)->toEntry()), TestVault::describe(entry));
        // Column 8 holds the change time, column 9 the creation time.
        QCOMPARE(root.child(0)->data(8).toDateTime(), entry.dateChanged);
        QCOMPARE(root.child(0)->data(9).toDateTime(), entry.dateCreated);
        // A category row yields the "no entry" record.
        root.child(1)->setData(0, QStringLiteral("Work"));
        QCOMPARE(root.child(1)->toEntry().id, QStringLiteral("0"));
    }

    // Byte for byte, odd ones included, through the list reader and through the stream operators:
    // local times marked 0 or 1 by older programs, past midnight, no date, unknown marks.
    void timesWriteBackAsRead()
    {
        const quint32 day = QDate(2024, 3, 31).toJulianDay();
        const struct
        {
            quint32 day, msecs;
            qint8 spec;
        } times[] = {{day, 9000000, -1}, {day, 9000000, 0},   {day, 9000000, 1},     {day, 9000000, 2},
                     {day, 9000000, 3},  {day, 9000000, 4},   {day, 0xFFFFFFFF, -1}, {day, 86400000, 2},
                     {0, 5, -1},         {0, 0xFFFFFFFF, -1}, {day, 5, 127},         {0x7FFFFFFF, 1, 2}};
        const QByteArray texts = TestVault::streamBytes([](QDataStream& s) {
            for (int i = 0; i < 7; ++i)
                s << QStringLiteral("t");
        });
        for (const auto& t : times) {
            const QByteArray stored = TestVault::streamBytes([&](QDataStream& s) { s << t.day << t.msecs << t.spec; });
            const QByteArray record = texts + stored + stored;
            EntryList list;
            QVERIFY(decodeEntryList(TestVault::streamBytes([](QDataStream& s) { s << qint32(1); }) + record, list));
            QCOMPARE(encodeEntryList(list).right(18).toHex(), (stored + stored).toHex());

            QDataStream in(record);
            in.setVersion(QDataStream::Qt_4_6);
            Entry entry(Entry::NoId);
            in >> entry;
            QCOMPARE(in.status(), QDataStream::Ok);
            QCOMPARE(TestVault::streamBytes([&](QDataStream& s) { s << entry; }).toHex(), record.toHex());
            QCOMPARE(entry.dateChanged, list.at(0).dateChanged);
        }
    }
};

QTEST_GUILESS_MAIN(TestEntry)
#include "tst_entry.moc"
