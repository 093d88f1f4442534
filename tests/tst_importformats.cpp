#include "formats/bitwardenjson.h"
#include "formats/csvformat.h"
#include "formats/importformats.h"
#include "formats/keepassxml.h"
#include "support/testvault.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QSet>
#include <QStandardPaths>
#include <QStringDecoder>
#include <QStringEncoder>
#include <QTemporaryDir>
#include <QTest>
#include <QXmlStreamReader>

namespace {

enum class Reader
{
    Csv,
    Json,
    Xml,
};

CsvImport decodeCsvBoth(const QByteArray& bytes, const CsvColumnMapping* mapping = nullptr);

ImportedEntries readAs(Reader reader, const QByteArray& bytes)
{
    switch (reader) {
    case Reader::Csv:
        return decodeCsvBoth(bytes).entries;
    case Reader::Json:
        return decodeBitwardenJson(bytes);
    case Reader::Xml:
        return decodeKeePassXml(bytes);
    }
    return {};
}

QString timeText(const EntryTime& time, const QDateTime& readAt)
{
    // A time the source did not give is the moment of reading.
    if (qAbs(time.toDateTime().secsTo(readAt)) < 60)
        return QStringLiteral("now");
    return time.toDateTime().toUTC().toString(Qt::ISODateWithMs);
}

// title|category|url|account|password|notes|created|changed, times in UTC.
QStringList describe(const EntryList& entries, const QDateTime& readAt = QDateTime::currentDateTime())
{
    QStringList lines;
    for (const Entry& entry : entries)
        lines << QStringList{entry.title,
                             entry.category,
                             entry.url,
                             entry.account,
                             entry.password,
                             entry.notes,
                             timeText(entry.dateCreated, readAt),
                             timeText(entry.dateChanged, readAt)}
                     .join(QLatin1Char('|'));
    return lines;
}

QByteArray utf16(const QString& text, QStringConverter::Encoding encoding)
{
    QStringEncoder encoder(encoding, QStringConverter::Flag::WriteBom);
    return encoder(text);
}

// A file that gives a few bytes a read, as a slow source may: its pieces cut lines and characters.
class TrickleFile : public QBuffer
{
public:
    explicit TrickleFile(const QByteArray& bytes) : most(qMax<qint64>(7, bytes.size() / 300)) { setData(bytes); }

protected:
    qint64 readData(char* data, qint64 maxSize) override { return QBuffer::readData(data, qMin(maxSize, most)); }

private:
    qint64 most;
};

// A file whose reading fails once `good` bytes have been read, as a disk may.
class FailingFile : public QBuffer
{
public:
    FailingFile(const QByteArray& bytes, qint64 good) : good(good) { setData(bytes); }

protected:
    qint64 readData(char* data, qint64 maxSize) override
    {
        if (pos() >= good)
            return -1;
        return QBuffer::readData(data, qMin(maxSize, good - pos()));
    }

private:
    qint64 good;
};

// Decodes `bytes` in memory and as a file read a piece at a time, failing the test where the
// two differ; gives the file's.
CsvImport decodeCsvBoth(const QByteArray& bytes, const CsvColumnMapping* mapping)
{
    const CsvImport inMemory = mapping ? decodeCsv(bytes, *mapping) : decodeCsv(bytes);
    TrickleFile file(bytes);
    file.open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    QString readError;
    const CsvImport fromFile = decodeCsvFile(file, mapping, nullptr, &readError);
    const auto same = [](const auto& a, const auto& b, const char* what) {
        return QTest::qCompare(a, b, what, "in memory", __FILE__, __LINE__);
    };
    same(readError, QString(), "read error");
    same(int(fromFile.status), int(inMemory.status), "status") &&
        same(int(fromFile.layout), int(inMemory.layout), "layout") &&
        same(fromFile.columns, inMemory.columns, "columns") &&
        same(fromFile.firstRow, inMemory.firstRow, "first row") &&
        same(fromFile.entries.error, inMemory.entries.error, "error") &&
        same(describe(fromFile.entries.entries), describe(inMemory.entries.entries), "entries") &&
        same(fromFile.entries.categories, inMemory.entries.categories, "categories") &&
        same(fromFile.entries.leftOut.shortRowLines, inMemory.entries.leftOut.shortRowLines, "short rows");
    return fromFile;
}
CsvImport decodeCsvBoth(const QByteArray& bytes, const CsvColumnMapping& mapping)
{
    return decodeCsvBoth(bytes, &mapping);
}

Entry sample(const QString& title, const QString& category, const QString& account, const QString& password,
             const QString& url, const QString& notes)
{
    Entry entry = TestVault::makeEntry(title, category, account, url, notes, password);
    return entry;
}

const char* const kKeePassXcHeader =
    R"("Group","Title","Username","Password","URL","Notes","TOTP","Icon","Last Modified","Created")"
    "\n";

QByteArray sampleFile(const QString& name)
{
    QFile file(QStringLiteral(VAULTRY_TEST_SAMPLES "/") + name);
    if (!file.open(QIODevice::ReadOnly))
        qFatal("missing sample %s", qPrintable(file.fileName()));
    return file.readAll();
}

// An unencrypted Bitwarden export: a login with two addresses and custom fields, a secure note,
// a card in a folder that has gone, an item in the trash and one without a name.
QByteArray bitwardenSample()
{
    return sampleFile(QStringLiteral("bitwarden.json"));
}

// A KeePassXC export: entries in the root and in nested groups, a recycle bin, history, a
// custom string, an attachment, one time in each of the two notations.
QByteArray keePassSample()
{
    return sampleFile(QStringLiteral("keepassxc.xml"));
}

} // namespace

class TestImportFormats : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { TestVault::prepare(); }

    // Each peer's CSV as documented, with the quoting, line breaks, empty fields and missing
    // columns real files have.
    void csvLayouts_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<int>("layout");
        QTest::addColumn<QStringList>("entries");
        QTest::addColumn<QStringList>("categories");

        QTest::newRow("KeePassXC") << QByteArray(kKeePassXcHeader) +
                                          R"("Passwords/Work/Sub","Mail","me@x","se""cret,1","https://mail.example","two
lines, ""q""","otpauth://totp/x?secret=AB","0","2024-05-17T09:30:15Z","2023-01-02T03:04:05Z")"
                                          "\n"
                                          R"("Passwords","Bank","","","","","","0","","")"
                                          "\n"
                                          R"("Passwords/Über","Café ☕","ü","","","","","0","","")"
                                          "\n"
                                   << int(CsvLayout::KeePassXC)
                                   << QStringList{"Mail|Work/Sub|https://mail.example|me@x|se\"cret,1|two\nlines, "
                                                  "\"q\"\nTOTP: otpauth://totp/x?secret=AB|2023-01-02T03:04:05.000Z|"
                                                  "2024-05-17T09:30:15.000Z",
                                                  "Bank|General|||||now|now", "Café ☕|Über||ü|||now|now"}
                                   << QStringList{"Work/Sub", "General", "Über"};
        QTest::newRow("Bitwarden") << QByteArray("folder,favorite,type,name,notes,fields,reprompt,login_uri,"
                                                 "login_username,login_password,login_totp\r\n"
                                                 "Social,1,login,Forum,,\"pin: 1234\nq: a\",0,"
                                                 "\"https://a.example,https://b.example\",bob,\" pw \",JBSW\r\n"
                                                 ",,note,Recipe,\"flour, eggs\",,0,,,,\r\n")
                                   << int(CsvLayout::Bitwarden)
                                   << QStringList{"Forum|Social|https://a.example|bob| pw |Other websites: "
                                                  "https://b.example\nTOTP: JBSW\npin: 1234\nq: a|now|now",
                                                  "Recipe|General||||flour, eggs|now|now"}
                                   << QStringList{"Social", "General"};
        // A row cut short keeps its missing columns empty.
        QTest::newRow("Chrome") << QByteArray("name,url,username,password\n"
                                              "accounts.example,https://accounts.example/login,ann,x\n"
                                              "short.example,https://short.example\n")
                                << int(CsvLayout::Chromium)
                                << QStringList{"accounts.example|General|https://accounts.example/login|ann|x||now|now",
                                               "short.example|General|https://short.example||||now|now"}
                                << QStringList{"General"};
        QTest::newRow("Chrome with notes, Edge") << QByteArray("name,url,username,password,note\n"
                                                               ",https://nameless.example/a,ann,x,\"multi\nline\"\n")
                                                 << int(CsvLayout::Chromium)
                                                 << QStringList{"nameless.example|General|https://nameless.example/"
                                                                "a|ann|x|multi\nline|now|now"}
                                                 << QStringList{"General"};
        QTest::newRow("Firefox")
            << QByteArray(
                   R"("url","username","password","httpRealm","formActionOrigin","guid","timeCreated","timeLastUsed","timePasswordChanged")"
                   "\n"
                   R"("https://www.mozilla.org","me","p,w","","https://www.mozilla.org","{1}","1700000000000","1700000001000","1700000002500")"
                   "\n"
                   R"("https://intranet.example","","","Staff only","","{2}","","","")"
                   "\n")
            << int(CsvLayout::Firefox)
            << QStringList{"www.mozilla.org|General|https://"
                           "www.mozilla.org|me|p,w||2023-11-14T22:13:20.000Z|2023-11-14T22:"
                           "13:22.500Z",
                           "intranet.example|General|https://intranet.example|||HTTP realm: Staff only|now|now"}
            << QStringList{"General"};
        QTest::newRow("header only") << QByteArray("name,url,username,password\n") << int(CsvLayout::Chromium)
                                     << QStringList() << QStringList();
    }

    void csvLayouts()
    {
        QFETCH(QByteArray, file);
        QFETCH(int, layout);
        QFETCH(QStringList, entries);
        QFETCH(QStringList, categories);
        // The same text in each encoding a file may come in.
        const QString text = QString::fromUtf8(file);
        const QList<QPair<const char*, QByteArray>> encodings{
            {"UTF-8", file},
            {"UTF-8 with BOM", "\xEF\xBB\xBF" + file},
            {"UTF-16LE with BOM", utf16(text, QStringConverter::Utf16LE)},
            {"UTF-16BE with BOM", utf16(text, QStringConverter::Utf16BE)},
        };
        for (const auto& [encoding, bytes] : encodings) {
            QCOMPARE(recogniseFormat(bytes), TransferFormat::Csv);
            const CsvImport read = decodeCsvBoth(bytes);
            QVERIFY2(read.status == CsvImport::Imported,
                     qPrintable(encoding + QStringLiteral(": ") + read.entries.error));
            QCOMPARE(int(read.layout), layout);
            QCOMPARE(describe(read.entries.entries), entries);
            QCOMPARE(read.entries.categories, categories);
        }
    }

    // A header of no known layout is read through the mapping the user picks; the columns no
    // field takes are kept in the notes with their names.
    void csvMapping()
    {
        const QByteArray file = "Site,E-mail,Secret,Kind,Memo,Tag\n"
                                "x,ann@shop.example,pw,web,hello,\n"
                                "y,bob@example.org,,,,Home\n";
        const CsvImport unknown = decodeCsvBoth(file);
        QCOMPARE(unknown.status, CsvImport::NeedsMapping);
        QVERIFY(unknown.entries.entries.isEmpty());
        QCOMPARE(unknown.columns, (QStringList{"Site", "E-mail", "Secret", "Kind", "Memo", "Tag"}));

        CsvColumnMapping mapping = guessCsvMapping(unknown.columns);
        QCOMPARE(mapping.title, -1);
        QCOMPARE(mapping.website, 0);
        QCOMPARE(mapping.account, 1);
        QCOMPARE(mapping.password, -1);
        QCOMPARE(mapping.notes, 4);
        QCOMPARE(mapping.category, 5);
        mapping.title = 0;
        mapping.website = -1;
        mapping.password = 2;
        mapping.notes = 4;
        const CsvImport mapped = decodeCsvBoth(file, mapping);
        QCOMPARE(mapped.status, CsvImport::Imported);
        QCOMPARE(describe(mapped.entries.entries),
                 (QStringList{"x|General||ann@shop.example|pw|hello\nKind: web|now|now",
                              "y|Home||bob@example.org|||now|now"}));
        QCOMPARE(mapped.entries.categories, (QStringList{"General", "Home"}));

        // A title column left unmapped: the account stands in.
        mapping.title = -1;
        QCOMPARE(describe(decodeCsvBoth(file, mapping).entries.entries).value(1),
                 QStringLiteral("bob@example.org|Home||bob@example.org||Site: y|now|now"));
    }

    void bitwardenJson()
    {
        const QByteArray file = bitwardenSample();
        const ImportedEntries read = decodeBitwardenJson(file);
        QVERIFY2(read.ok, qPrintable(read.error));
        QCOMPARE(recogniseFormat(file), TransferFormat::BitwardenJson);
        QCOMPARE(describe(read.entries),
                 (QStringList{"Forum|Social|https://forum.example|zoë|p\"w|line 1\nline 2\nOther websites: "
                              "https://m.forum.example\nPIN: 1234\nField: bare|2023-01-02T03:04:05.678Z|2024-05-17T09:"
                              "30:15.000Z",
                              "Alarm code|General||||4711|now|now",
                              "Visa|General||||Card cardholderName: Ann\nCard number: 4111|now|now",
                              "bank.example|General|https://bank.example/x||||now|now"}));
        QCOMPARE(read.categories, (QStringList{"Social", "Empty/Sub", "General"}));
    }

    void keepassXml()
    {
        const QByteArray file = keePassSample();
        const ImportedEntries read = decodeKeePassXml(file);
        QVERIFY2(read.ok, qPrintable(read.error));
        QCOMPARE(recogniseFormat(file), TransferFormat::KeePassXml);
        QCOMPARE(
            describe(read.entries),
            (QStringList{"Mail|Work/Mäil|https://mail.example|me@x|s3cret|two\nlines, \"q\"\nTags: mail;work\notp: "
                         "otpauth://totp/x?secret=AB\nAttachment (not imported): recovery.txt|now|now",
                         "In root|General|||<&>||2023-01-02T03:04:05.000Z|2024-05-17T09:30:15.000Z"}));
        QCOMPARE(read.categories, (QStringList{"Work/Mäil", "Work/Empty", "General"}));
    }

    // JSON and XML read the same from each encoding a file may come in.
    // A file that cannot be read to its end says so and gives no entries, wherever it fails:
    // while checked, while parsed, or read whole (UTF-16).
    void unreadableFile()
    {
        QByteArray rows = kKeePassXcHeader;
        for (int i = 0; i < 40000; ++i)
            rows += "\"Root/G\",\"T" + QByteArray::number(i) + "\",\"u\",\"p\",\"\",\"\",\"\",\"0\",\"\",\"\"\n";
        const QByteArray utf16Rows = utf16(QString::fromUtf8(rows), QStringConverter::Utf16LE);
        for (const auto& [bytes, good] : {std::pair(rows, qint64(100)), std::pair(rows, rows.size() - 10),
                                          std::pair(utf16Rows, utf16Rows.size() / 2)}) {
            FailingFile file(bytes, good);
            QVERIFY(file.open(QIODevice::ReadOnly | QIODevice::Unbuffered));
            QString readError;
            const CsvImport read = decodeCsvFile(file, nullptr, nullptr, &readError);
            QVERIFY(!readError.isEmpty());
            QVERIFY(read.entries.entries.isEmpty());
            QVERIFY(read.status != CsvImport::Imported);
        }
    }

    void encodings_data()
    {
        QTest::addColumn<int>("reader");
        QTest::addColumn<QByteArray>("file");
        QTest::newRow("Bitwarden JSON") << int(Reader::Json) << bitwardenSample();
        QTest::newRow("KeePass XML") << int(Reader::Xml) << keePassSample();
    }

    void encodings()
    {
        QFETCH(int, reader);
        QFETCH(QByteArray, file);
        const QDateTime readAt = QDateTime::currentDateTime();
        const ImportedEntries plain = readAs(Reader(reader), file);
        QVERIFY2(plain.ok, qPrintable(plain.error));
        // A UTF-16 XML file declares itself so.
        const QString utf16Text =
            QString::fromUtf8(file).replace(QLatin1String("encoding=\"UTF-8\""), QLatin1String("encoding=\"UTF-16\""));
        for (const QByteArray& bytes : {"\xEF\xBB\xBF" + file, utf16(utf16Text, QStringConverter::Utf16LE),
                                        utf16(utf16Text, QStringConverter::Utf16BE)}) {
            const ImportedEntries read = readAs(Reader(reader), bytes);
            QVERIFY2(read.ok, qPrintable(read.error));
            QCOMPARE(describe(read.entries, readAt), describe(plain.entries, readAt));
            QCOMPARE(read.categories, plain.categories);
        }
    }

    // Every group and entry of our XML has a UUID of its own, also where a damaged store gave
    // a category no name or two entries one id: KeePassXC takes a group that shares the root's
    // UUID for the root's own child and loops for ever, and keeps one of two entries that share one.
    void xmlUuidsAreUnique()
    {
        Entry twin = sample("twin", "Work/Mail", "", "", "", "");
        Entry other = sample("other", "Work/Mail", "", "", "", "");
        other.id = twin.id;
        const EntryList list = TestVault::entryList({sample("a", "", "", "", "", ""), twin, other});
        QStringList uuids;
        for (QXmlStreamReader reader(encodeKeePassXml(list, {"", "Work/Mail"})); !reader.atEnd();) {
            if (reader.readNext() == QXmlStreamReader::StartElement && reader.name() == QLatin1String("UUID"))
                uuids << reader.readElementText();
        }
        QCOMPARE(uuids.size(), 7); // the root, "", Work, Work/Mail and three entries
        QCOMPARE(QSet<QString>(uuids.cbegin(), uuids.cend()).size(), uuids.size());
    }

    // What we write reads back field for field, through our own readers.
    void roundTrip_data()
    {
        QTest::addColumn<QList<Entry>>("entries");
        QTest::addColumn<QStringList>("categories");
        Entry tricky = sample("Quote \" comma , semi ;", "Work/Mail", " lead and trail ", "\"=1+1\",\r\n\ttabbed",
                              "https://x.example/?a=1&b=<2>", "CRLF\r\nLF\nCR\rend\n\n");
        tricky.dateChanged = QDateTime(QDate(2025, 3, 4), QTime(5, 6, 7, 890));
        Entry unicode = sample("Ключ 🔑", "Ünïcödé", "zoë", "pässwörd€", "", "日本語のメモ");
        unicode.dateCreated = QDateTime(QDate(1999, 12, 31), QTime(23, 59, 59), Qt::UTC).toLocalTime();
        QTest::newRow("awkward texts") << QList<Entry>{tricky, unicode}
                                       << QStringList{"Work/Mail", "Ünïcödé", "Left empty"};
        QTest::newRow("empty fields") << QList<Entry>{sample("Only a title", "General", "", "", "", "")}
                                      << QStringList{"General"};
        QTest::newRow("odd category names")
            << QList<Entry>{sample("a", "a//b", "", "", "", ""), sample("b", "/lead", "", "", "", ""),
                            sample("c", "<&>", "", "", "", "")}
            << QStringList{"a//b", "/lead", "<&>"};
        QTest::newRow("no entries") << QList<Entry>() << QStringList{"General"};
        // Enough text for many of the reader's shared blocks, some texts longer than one takes.
        QRandomGenerator random(7);
        const QString pieces[] = {"a", "Z", "7", " ", ",", ";", "\"", "\r\n", "\n", "\r", "\t", "é", "€", "🔑", "日"};
        const auto text = [&](int longest) {
            QString t;
            for (int n = random.bounded(longest + 1); n > 0; --n)
                t += pieces[random.bounded(int(std::size(pieces)))];
            return t;
        };
        QList<Entry> many;
        for (int i = 0; i < 3000; ++i)
            many << sample("T" + text(40), QStringLiteral("Group %1").arg(i % 7), text(30), text(20), text(60),
                           text(i % 500 == 0 ? 20000 : 150));
        QTest::newRow("many random texts") << many << QStringList();
    }

    void roundTrip()
    {
        QFETCH(QList<Entry>, entries);
        QFETCH(QStringList, categories);
        const EntryList list = TestVault::entryList(entries);

        const CsvImport csv = decodeCsvBoth(encodeKeePassXcCsv(list));
        QVERIFY2(csv.status == CsvImport::Imported, qPrintable(csv.entries.error));
        QCOMPARE(csv.layout, CsvLayout::KeePassXC);
        QCOMPARE(describe(csv.entries.entries), describe(list));

        const QByteArray xmlFile = encodeKeePassXml(list, categories);
        const ImportedEntries xml = decodeKeePassXml(xmlFile);
        QVERIFY2(xml.ok, qPrintable(xml.error));
        // Groups come out in tree order; entries group by group.
        QStringList expected = describe(list);
        QStringList got = describe(xml.entries);
        expected.sort();
        got.sort();
        QCOMPARE(got, expected);
        QStringList gotCategories = xml.categories;
        gotCategories.sort();
        QStringList allCategories = categories;
        for (const Entry& entry : entries)
            allCategories << entry.category;
        allCategories.sort();
        allCategories.removeDuplicates();
        QCOMPARE(gotCategories, allCategories);
        // The same vault gives the same file.
        QCOMPARE(encodeKeePassXml(list, categories), xmlFile);
    }

    // Bad input is named by its line or element, and nothing comes of it (an empty error: input
    // that looks wrong but reads).
    void badInput_data()
    {
        QTest::addColumn<int>("reader");
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QString>("error");
        const QByteArray chrome = "name,url,username,password\n";

        QTest::newRow("csv: empty") << int(Reader::Csv) << QByteArray() << "the file is empty";
        QTest::newRow("csv: cut inside a quoted field")
            << int(Reader::Csv) << chrome + "a,b,c,d\nx,y,z,\"still open\nmore\n"
            << "line 3: a quoted field";
        QTest::newRow("csv: stray quote") << int(Reader::Csv) << chrome + "a,b,c,d\nx\"y,b,c,d\n"
                                          << "line 3: a quote";
        QTest::newRow("csv: quote after a closed field") << int(Reader::Csv) << chrome + "\"a\"b,c,d,e\n"
                                                         << "line 2: a quote";
        QTest::newRow("csv: more fields than the header")
            << int(Reader::Csv) << chrome + "a,b,c,d\n\"multi\nline\",b,c,d,e\n"
            << "line 3: 5 fields where the header row names 4";
        QTest::newRow("csv: not UTF-8") << int(Reader::Csv) << chrome + "a,b,c,d\nx,\xE9t\xE9,c,d\n"
                                        << "line 3 is not UTF-8";
        QTest::newRow("csv: UTF-8 cut in a character") << int(Reader::Csv) << chrome + "a,b,c,\xE2\x82"
                                                       << "line 2 is not UTF-8";
        QTest::newRow("csv: UTF-16 without a mark")
            << int(Reader::Csv) << QByteArray("n\0a\0m\0e\0\n\0", 10) << "zero character";
        QTest::newRow("csv: UTF-16 cut in a character")
            << int(Reader::Csv) << utf16(QString::fromUtf8(chrome + "a,b"), QStringConverter::Utf16LE).chopped(1)
            << "line 2: the file ends in the middle of a UTF-16 character";
        QTest::newRow("csv: a time that is none")
            << int(Reader::Csv) << QByteArray(kKeePassXcHeader) + R"("R","t","","","","","","0","soon","")"
            << "line 2: \"soon\" in column Last Modified";
        QTest::newRow("csv: Firefox time that is none")
            << int(Reader::Csv)
            << QByteArray("url,username,password,httpRealm,formActionOrigin,guid,timeCreated,timeLastUsed,"
                          "timePasswordChanged\nhttps://x,a,b,,,,yesterday,,\n")
            << "line 2: \"yesterday\" in column timeCreated";

        QTest::newRow("csv: Firefox time far out") << int(Reader::Csv)
                                                   << QByteArray("url,username,password,httpRealm,timeCreated\n"
                                                                 "https://x,a,b,,99999999999999999\n")
                                                   << "";
        QTest::newRow("json: cut short") << int(Reader::Json) << QByteArray("{\n  \"items\": [\n    {\"name\": \"a\"")
                                         << "line 3, column 17: unterminated string";
        QTest::newRow("json: another document")
            << int(Reader::Json) << QByteArray("{\"entries\": []}") << "not a Bitwarden JSON export";
        QTest::newRow("json: a list") << int(Reader::Json) << QByteArray("[1, 2]") << "not a Bitwarden JSON export";
        QTest::newRow("json: encrypted") << int(Reader::Json)
                                         << QByteArray(R"({"encrypted": true, "items": "2.AAA|BBB"})")
                                         << "is encrypted";
        QTest::newRow("json: item not an object")
            << int(Reader::Json) << QByteArray(R"({"items": [{"type": 2, "name": "ok"}, 7]})")
            << "item 2 of \"items\" is not an object";
        QTest::newRow("json: over the bound")
            << int(Reader::Json) << QByteArray(kMaxJsonImportBytes + 1, ' ') << "more than 128 MiB";

        const QByteArray start = "<?xml version=\"1.0\"?>\n<KeePassFile>\n<Root>\n<Group><Name>R</Name>\n";
        QTest::newRow("xml: cut short") << int(Reader::Xml) << start + "<Entry><String><Key>Title</Key><Val"
                                        << "line 5: the file ends before the document does";
        QTest::newRow("xml: mismatched tags") << int(Reader::Xml) << start + "<Entry></Group>\n</Root></KeePassFile>"
                                              << "line 5, column";
        QTest::newRow("xml: entities from a DTD")
            << int(Reader::Xml)
            << QByteArray("<?xml version=\"1.0\"?>\n<!DOCTYPE KeePassFile [<!ENTITY a \"aaaaaaaaaa\">"
                          "<!ENTITY b \"&a;&a;&a;&a;&a;&a;\">]>\n<KeePassFile><Root>&b;</Root></KeePassFile>")
            << "declares a document type";
        QTest::newRow("xml: external entity")
            << int(Reader::Xml)
            << QByteArray("<?xml version=\"1.0\"?>\n<!DOCTYPE KeePassFile SYSTEM \"file:///etc/passwd\">\n"
                          "<KeePassFile/>")
            << "line 2: the file declares a document type";
        QTest::newRow("xml: undeclared entity") << int(Reader::Xml) << start + "<Entry>&secret;</Entry>"
                                                << "line 5";
        QTest::newRow("xml: another document") << int(Reader::Xml) << QByteArray("<?xml version=\"1.0\"?>\n<html/>")
                                               << "line 2: the document is <html>, not <KeePassFile>";
        QTest::newRow("xml: too deep") << int(Reader::Xml)
                                       << start + QByteArray("<Group>").repeated(kMaxXmlDepth) +
                                              QByteArray("</Group>").repeated(kMaxXmlDepth) +
                                              "</Group></Root></KeePassFile>"
                                       << "nested more than 64 deep";
        QTest::newRow("xml: deep inside a skipped element")
            << int(Reader::Xml)
            << QByteArray("<KeePassFile><Meta>") + QByteArray("<x>").repeated(100) + QByteArray("</x>").repeated(100) +
                   "</Meta></KeePassFile>"
            << "nested more than 64 deep";
        QTest::newRow("xml: enciphered value") << int(Reader::Xml)
                                               << start + "<Entry><String><Key>Password</Key><Value Protected=\"True\">"
                                                          "aGk=</Value></String></Entry></Group></Root></KeePassFile>"
                                               << "line 5: the value is enciphered";
        QTest::newRow("xml: a time that is none")
            << int(Reader::Xml)
            << start + "<Entry>\n<Times><CreationTime>later</CreationTime></Times></Entry>"
                       "</Group></Root></KeePassFile>"
            << "line 6: \"later\" is not a date and time";
        // A time beyond what ISO 8601 writes keeps the moment of reading.
        QTest::newRow("xml: times out of range are passed over")
            << int(Reader::Xml)
            << start + "<Entry><Times><CreationTime>AAAAAAAAAAA=</CreationTime><LastModificationTime>"
                       "////////f38=</LastModificationTime></Times><String><Key>Title</Key><Value>T</Value>"
                       "</String></Entry></Group></Root></KeePassFile>"
            << "";
        QTest::newRow("xml: an element inside a value")
            << int(Reader::Xml) << start + "<Entry><String><Key>Notes</Key><Value><b>x</b></Value></String>"
            << "line 5: <b> inside an element that holds text";
        QTest::newRow("xml: junk after the document")
            << int(Reader::Xml) << QByteArray("<KeePassFile/>\n<KeePassFile/>") << "line 2";
        QTest::newRow("xml: not UTF-8") << int(Reader::Xml)
                                        << QByteArray("<?xml version=\"1.0\"?>\n<KeePassFile>\n<Meta>\xE9</Meta>")
                                        << "line 3";
        QTest::newRow("xml: empty") << int(Reader::Xml) << QByteArray()
                                    << "line 1: the file ends before the document does";
    }

    void badInput()
    {
        QFETCH(int, reader);
        QFETCH(QByteArray, file);
        QFETCH(QString, error);
        const ImportedEntries read = readAs(Reader(reader), file);
        if (error.isEmpty()) {
            QVERIFY2(read.ok, qPrintable(read.error));
            QCOMPARE(read.entries.size(), 1);
            QVERIFY2(describe(read.entries).constFirst().endsWith(QLatin1String("|now|now")),
                     qPrintable(describe(read.entries).constFirst()));
            return;
        }
        QVERIFY(!read.ok);
        QVERIFY2(read.error.contains(error), qPrintable(read.error));
        QVERIFY(read.entries.isEmpty());
        if (Reader(reader) == Reader::Csv)
            QCOMPARE(decodeCsvBoth(file).status, CsvImport::Failed);
    }

    void recognise_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<int>("format");
        QTest::newRow("list file") << QByteArray("\0\0\0\x04\0a\0b\0\0\0\x02xy", 14)
                                   << int(TransferFormat::VaultryList);
        QTest::newRow("list file, one byte more")
            << QByteArray("\0\0\0\x04\0a\0b\0\0\0\x02xyz", 15) << int(TransferFormat::Unknown);
        QTest::newRow("xml after a BOM and spaces")
            << QByteArray("\xEF\xBB\xBF \n<?xml?>") << int(TransferFormat::KeePassXml);
        QTest::newRow("json in UTF-16") << utf16(QStringLiteral(" {}"), QStringConverter::Utf16BE)
                                        << int(TransferFormat::BitwardenJson);
        QTest::newRow("csv") << QByteArray("a,b\n") << int(TransferFormat::Csv);
        QTest::newRow("blank") << QByteArray(" \n") << int(TransferFormat::Unknown);
        QTest::newRow("binary") << QByteArray("\x89PNG\0\0", 6) << int(TransferFormat::Unknown);
    }

    void recognise()
    {
        QFETCH(QByteArray, file);
        QFETCH(int, format);
        QCOMPARE(int(recogniseFormat(file)), format);
    }

    // Importing the same file twice adds nothing the second time, although every read gives
    // fresh ids; a repeat inside one file is an entry of its own.
    void matchingIdsAdopted()
    {
        const Entry local = sample("Mail", "Work", "me", "pw", "https://mail.example", "");
        const QByteArray file = QByteArray("name,url,username,password\n") +
                                "Mail,https://mail.example,me,pw\nMail,https://mail.example,me,pw\n"
                                "Mail,https://mail.example,me,other\n";
        CsvColumnMapping mapping;
        mapping.title = 0;
        mapping.website = 1;
        mapping.account = 2;
        mapping.password = 3;
        EntryList incoming = decodeCsvBoth(file).entries.entries;
        for (qsizetype i = 0; i < incoming.size(); ++i) {
            Entry entry = incoming.at(i);
            entry.category = QStringLiteral("Work");
            incoming.replace(i, entry);
        }
        const QStringList freshIds{incoming.at(0).id, incoming.at(1).id, incoming.at(2).id};
        QVERIFY(freshIds[0] != freshIds[1]);
        QCOMPARE(freshIds[0].size(), 30);
        adoptMatchingIds(incoming, TestVault::entryList({local}));
        QCOMPARE(incoming.at(0).id, local.id);
        QCOMPARE(incoming.at(1).id, freshIds[1]); // the vault holds one such entry, the file two
        QCOMPARE(incoming.at(2).id, freshIds[2]);

        // Equal rows of one file are all new to a vault without them; each vault entry answers
        // for one of them.
        ImportedEntries repeated = decodeCsvBoth(file).entries;
        adoptMatchingIds(repeated.entries, EntryList());
        QCOMPARE(planImport(repeated, EntryList()).added, 3);
        QCOMPARE(planImport(repeated, EntryList()).alreadyThere, 0);
        const Entry general = sample("Mail", "General", "me", "pw", "https://mail.example", "");
        const EntryList holdingOne = TestVault::entryList({general});
        adoptMatchingIds(repeated.entries, holdingOne);
        QCOMPARE(repeated.entries.at(0).id, general.id);
        QVERIFY(repeated.entries.at(1).id != general.id);
        const ImportPlan plan = planImport(repeated, holdingOne);
        QCOMPARE(plan.added, 2);
        QCOMPARE(plan.alreadyThere, 1);
    }

    // What each reader leaves out or keeps only in the notes, with the entries it gives:
    // title|category|url|account|password|notes|created|changed, and the left-out counts.
    void leftOutAndKept_data()
    {
        QTest::addColumn<int>("reader");
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QStringList>("entries");
        QTest::addColumn<QString>("leftOut");
        const QByteArray bitwardenHeader = "folder,favorite,type,name,notes,fields,reprompt,login_uri,login_username,"
                                           "login_password,login_totp\n";
        QTest::newRow("Bitwarden CSV: a comma inside a website")
            << int(Reader::Csv)
            << bitwardenHeader + ",,login,S,,,0,\"https://s.example/a,b?x=1,androidapp://com.s,https://t.example\",,,\n"
            << QStringList{"S|General|https://s.example/a,b?x=1|||Other websites: androidapp://com.s, "
                           "https://t.example|now|now"}
            << "";
        QTest::newRow("Bitwarden CSV of an organization: collections")
            << int(Reader::Csv)
            << QByteArray("collections,type,name,notes,fields,reprompt,login_uri,login_username,login_password,"
                          "login_totp\n\"Team,Ops\",login,Db,,,0,,root,pw,\n")
            << QStringList{"Db|Team||root|pw|Collections: Ops|now|now"} << "";
        QTest::newRow("KeePassXC CSV: recycle bin, an extra column, a far time")
            << int(Reader::Csv)
            << QByteArray(
                   R"("Group","Title","Username","Password","URL","Notes","TOTP","Icon","Last Modified","Created","Tags")"
                   "\n"
                   R"("Root/Recycle Bin","Gone","","","","","","0","","","")"
                   "\n"
                   R"("Root/Recycle Bin/Old","Gone too","","","","","","0","","","")"
                   "\n"
                   R"("Root/Recycle","Kept","","","","","","0","9999-12-31T23:59:59Z","","a;b")"
                   "\n")
            << QStringList{"Kept|Recycle||||Tags: a;b|now|9999-12-31T23:59:59.000Z"}
            << "recycled 2, columns in notes Tags";
        QTest::newRow("semicolons, a short row")
            << int(Reader::Csv) << QByteArray("name;url;username;password\nA;https://a.example;ann;p,w\nB;x\n")
            << QStringList{"A|General|https://a.example|ann|p,w||now|now", "B|General|x||||now|now"}
            << "short rows 1 (lines 3)";
        QTest::newRow("tabs") << int(Reader::Csv) << QByteArray("name\turl\tusername\tpassword\nA\t\"u,v\"\tann\tp;w\n")
                              << QStringList{"A|General|u,v|ann|p;w||now|now"} << "";
        QTest::newRow("Bitwarden JSON: collections, history, trash, other kinds")
            << int(Reader::Json)
            << QByteArray(R"({"folders": [], "collections": [{"id": "c1", "name": "Team"}, {"id": "c2", "name": "Ops"}],
                "items": [
                  {"type": 1, "name": "Db", "collectionIds": ["c1", "c2"], "notes": null,
                   "login": {"username": "root", "password": "new"},
                   "passwordHistory": [{"lastUsedDate": "2024-01-02T03:04:05.000Z", "password": "old"}]},
                  {"type": 2, "name": "Binned", "deletedDate": "2024-01-01T00:00:00.000Z"},
                  {"type": 9, "name": "Passkey of the future"}]})")
            << QStringList{"Db|Team||root|new|Collections: Ops\nOld password (until 2024-01-02T03:04:05.000Z): "
                           "old|now|now"}
            << "recycled 1, other kinds 1, history in notes 1";
        QTest::newRow("KeePass XML: history and recycle bin")
            << int(Reader::Xml) << keePassSample() << QStringList() << "old versions 1, recycled 2";
    }

    void leftOutAndKept()
    {
        QFETCH(int, reader);
        QFETCH(QByteArray, file);
        QFETCH(QStringList, entries);
        QFETCH(QString, leftOut);
        const ImportedEntries read = readAs(Reader(reader), file);
        QVERIFY2(read.ok, qPrintable(read.error));
        if (!entries.isEmpty())
            QCOMPARE(describe(read.entries), entries);
        const ImportLeftOut& out = read.leftOut;
        QStringList counts;
        const auto note = [&counts](int n, const char* what) {
            if (n > 0)
                counts << QStringLiteral("%1 %2").arg(QLatin1String(what)).arg(n);
        };
        note(out.oldVersions, "old versions");
        note(out.recycled, "recycled");
        note(out.otherKinds, "other kinds");
        if (out.shortRows > 0) {
            QStringList lines;
            for (int line : out.shortRowLines)
                lines << QString::number(line);
            counts << QStringLiteral("short rows %1 (lines %2)").arg(out.shortRows).arg(lines.join(QLatin1Char(' ')));
        }
        if (!out.columnsInNotes.isEmpty())
            counts << QStringLiteral("columns in notes ") + out.columnsInNotes.join(QLatin1Char(' '));
        note(out.historyInNotes, "history in notes");
        QCOMPARE(counts.join(QStringLiteral(", ")), leftOut);
        // The plan carries it to the preview.
        QCOMPARE(planImport(read, EntryList()).leftOut.recycled, out.recycled);
    }

    // A time of year 9999 ("never") survives our export and import in both formats, in any
    // time zone: the local form of 9999-12-31T23:59:59Z lies in year 10000 east of Greenwich.
    void farTimesRoundTrip()
    {
        Entry never = sample("Never", "General", "", "", "", "");
        const QDateTime last(QDate(9999, 12, 31), QTime(23, 59, 59), Qt::UTC);
        never.dateChanged = last;
        never.dateCreated = last.toLocalTime();
        const EntryList list = TestVault::entryList({never});
        for (const ImportedEntries& read :
             {decodeCsvBoth(encodeKeePassXcCsv(list)).entries, decodeKeePassXml(encodeKeePassXml(list, {}))}) {
            QVERIFY2(read.ok, qPrintable(read.error));
            QCOMPARE(read.entries.first().dateChanged.toDateTime().toUTC(), last);
            QCOMPARE(read.entries.first().dateCreated.toDateTime().toUTC(), last);
        }
    }

    // The XML export names the entries whose control characters it cannot carry.
    void xmlCannotCarryControlCharacters()
    {
        const EntryList list = TestVault::entryList({sample("Clean", "A", "tab\there", "", "", "line\r\nbreak 🔑"),
                                                     sample("Bell", "B", "", "x\x07", "", ""),
                                                     sample("Nul", "C", "", "", "", QString(QChar(0)))});
        QCOMPARE(entriesXmlCannotCarry(list), (QStringList{"B/Bell", "C/Nul"}));
        const ImportedEntries back = decodeKeePassXml(encodeKeePassXml(list, {}));
        QVERIFY2(back.ok, qPrintable(back.error));
        QVERIFY(describe(back.entries).join(QLatin1Char('\n')).contains(QStringLiteral("x\uFFFD")));
    }

    // The real KeePassXC: what it exports reads in whole, and what we export it imports whole.
    void keepassxc()
    {
        const QString cli = QStandardPaths::findExecutable(QStringLiteral("keepassxc-cli"));
        if (cli.isEmpty())
            QSKIP("keepassxc-cli is not installed (Debian package keepassxc)");
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const auto run = [&](const QStringList& arguments, const QByteArray& input, QByteArray* output = nullptr) {
            QProcess process;
            process.start(cli, arguments);
            process.write(input);
            process.closeWriteChannel();
            if (!process.waitForFinished(60000) || process.exitCode() != 0) {
                qWarning() << arguments << process.readAllStandardError();
                return false;
            }
            if (output)
                *output = process.readAllStandardOutput();
            return true;
        };
        const QString db = dir.filePath(QStringLiteral("made.kdbx"));
        QVERIFY(run({QStringLiteral("db-create"), QStringLiteral("-p"), db}, "pw\npw\n"));
        QVERIFY(run({QStringLiteral("mkdir"), db, QStringLiteral("Work")}, "pw\n"));
        QVERIFY(run({QStringLiteral("mkdir"), db, QStringLiteral("Work/Ünter")}, "pw\n"));
        QVERIFY(run({QStringLiteral("add"), db, QStringLiteral("Work/Ünter/Mail"), QStringLiteral("-u"),
                     QStringLiteral("me@x"), QStringLiteral("--url"), QStringLiteral("https://mail.example"),
                     QStringLiteral("--notes"), QStringLiteral("two\nlines, \"q\""), QStringLiteral("-p")},
                    "pw\nse\"cret,1 ☕\n"));
        QVERIFY(run({QStringLiteral("add"), db, QStringLiteral("Bank"), QStringLiteral("-u"), QStringLiteral("ann"),
                     QStringLiteral("-p")},
                    "pw\n4711\n"));
        const QStringList made{"Bank|General||ann|4711|", "Mail|Work/Ünter|https://mail.example|me@x|se\"cret,1 ☕|two\n"
                                                          "lines, \"q\""};
        const auto withoutTimes = [](const EntryList& entries) {
            QStringList lines;
            for (const Entry& entry : entries)
                lines << QStringList{entry.title, entry.category, entry.url, entry.account, entry.password, entry.notes}
                             .join(QLatin1Char('|'));
            lines.sort();
            return lines;
        };

        QByteArray csv;
        QVERIFY(run({QStringLiteral("export"), QStringLiteral("-f"), QStringLiteral("csv"), db}, "pw\n", &csv));
        const CsvImport fromCsv = decodeCsvBoth(csv);
        QVERIFY2(fromCsv.status == CsvImport::Imported, qPrintable(fromCsv.entries.error));
        QCOMPARE(fromCsv.layout, CsvLayout::KeePassXC);
        QCOMPARE(withoutTimes(fromCsv.entries.entries), made);
        QByteArray xml;
        QVERIFY(run({QStringLiteral("export"), QStringLiteral("-f"), QStringLiteral("xml"), db}, "pw\n", &xml));
        const ImportedEntries fromXml = decodeKeePassXml(xml);
        QVERIFY2(fromXml.ok, qPrintable(fromXml.error));
        QCOMPARE(withoutTimes(fromXml.entries), made);
        QCOMPARE(fromXml.categories, (QStringList{"Work/Ünter", "General"}));
        // Both exports give the same times, to the second.
        QCOMPARE(describe(fromCsv.entries.entries).size(), 2);

        // Ours, into KeePassXC and back out.
        Entry tricky = sample("Quote \" comma ,", "Work/Mail", " spaced ", "\"=1+1\",\r\n\tx",
                              "https://x.example/?a=1&b=2", "CRLF\r\nLF\nend");
        tricky.dateChanged = QDateTime(QDate(2025, 3, 4), QTime(5, 6, 7));
        const EntryList ours =
            TestVault::entryList({tricky, sample("Ключ 🔑", "Ünïcödé", "zoë", "pässwörd€", "", "日本語")});
        const QString ourXml = dir.filePath(QStringLiteral("ours.xml"));
        QFile file(ourXml);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(encodeKeePassXml(ours, {QStringLiteral("Work/Mail"), QStringLiteral("Ünïcödé")}));
        file.close();
        const QString imported = dir.filePath(QStringLiteral("imported.kdbx"));
        QVERIFY(run({QStringLiteral("import"), QStringLiteral("-p"), ourXml, imported}, "pw\npw\n"));
        QByteArray back;
        QVERIFY(run({QStringLiteral("export"), QStringLiteral("-f"), QStringLiteral("xml"), imported}, "pw\n", &back));
        const ImportedEntries readBack = decodeKeePassXml(back);
        QVERIFY2(readBack.ok, qPrintable(readBack.error));
        // KeePassXC keeps line breaks as bare line feeds.
        QStringList expected = describe(ours).replaceInStrings(QStringLiteral("\r\n"), QStringLiteral("\n"));
        QStringList got = describe(readBack.entries);
        expected.sort();
        got.sort();
        QCOMPARE(got, expected);
        // And KeePassXC itself shows the fields where it keeps them.
        QByteArray shown;
        QVERIFY(run({QStringLiteral("show"), QStringLiteral("-s"), QStringLiteral("-a"), QStringLiteral("Password"),
                     QStringLiteral("-a"), QStringLiteral("UserName"), imported, QStringLiteral("Ünïcödé/Ключ 🔑")},
                    "pw\n", &shown));
        QCOMPARE(QString::fromUtf8(shown), QStringLiteral("pässwörd€\nzoë\n"));
    }
};

QTEST_GUILESS_MAIN(TestImportFormats)
#include "tst_importformats.moc"
