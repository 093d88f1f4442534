// Writes small starting corpora for the fuzz targets; each file's first byte is the mode.
#include "formats/csvformat.h"
#include "formats/keepassxml.h"
#include "store/listcodec.h"
#include "store/payload.h"
#include "store/settingsstore.h"

#include <QBuffer>
#include <QDataStream>
#include <QDir>
#include <QFile>

#include <cstdio>

namespace {

void put(const QString& dir, const QString& name, char mode, const QByteArray& bytes)
{
    QDir().mkpath(dir);
    QFile file(dir + QLatin1Char('/') + name);
    if (file.open(QIODevice::WriteOnly))
        file.write(QByteArray(1, mode) + bytes);
}

void putRaw(const QString& dir, const QString& name, const QByteArray& bytes)
{
    QDir().mkpath(dir);
    QFile file(dir + QLatin1Char('/') + name);
    if (file.open(QIODevice::WriteOnly))
        file.write(bytes);
}

EntryList sampleEntries(int count)
{
    EntryList list;
    for (int i = 0; i < count; ++i) {
        Entry entry(Entry::NoId);
        entry.id = QStringLiteral("id%1").arg(i);
        entry.title = QStringLiteral("Title Ω %1").arg(i);
        entry.account = i % 2 ? QString() : QStringLiteral("user");
        entry.dateCreated = QDateTime(QDate(2024, 1, 1), QTime(12, 0), i % 2 ? Qt::UTC : Qt::LocalTime);
        list.append(entry);
    }
    return list;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: fuzz_seeds DIR\n");
        return 2;
    }
    const QString root = QString::fromLocal8Bit(argv[1]);
    const QString store = root + QStringLiteral("/store");
    const QString list = root + QStringLiteral("/listcodec");

    Preferences prefs;
    prefs.masterPasswordHash = QStringLiteral("da39a3ee5e6b4b0d3255bfef95601890afd80709");
    const QByteArray empty = encodePayload(Preferences(), {}, EntryList());
    const QByteArray small = encodePayload(prefs, {QStringLiteral("General"), QString()}, sampleEntries(3));
    put(store, QStringLiteral("sealed-empty"), 0, sealStore(empty));
    put(store, QStringLiteral("sealed-small"), 0, sealStore(small));
    put(store, QStringLiteral("plain-empty"), 1, empty);
    put(store, QStringLiteral("plain-small"), 1, small);
    // A legacy file with its stated count; the ciphertext is random to the parser anyway.
    QByteArray legacy;
    {
        QBuffer buffer(&legacy);
        buffer.open(QIODevice::WriteOnly);
        QDataStream stream(&buffer);
        stream.setVersion(QDataStream::Qt_4_6);
        stream << qint32(64) << QByteArray(64, '\x5a');
    }
    put(store, QStringLiteral("legacy"), 2, legacy);

    put(list, QStringLiteral("file-empty"), 0, encodeList(EntryList(), QStringLiteral("fuzz")));
    put(list, QStringLiteral("file-small"), 0, encodeList(sampleEntries(2), QStringLiteral("fuzz")));
    put(list, QStringLiteral("plain-empty"), 1, encodeEntryList(EntryList()));
    put(list, QStringLiteral("plain-small"), 1, encodeEntryList(sampleEntries(3)));

    const QString csv = root + QStringLiteral("/csv");
    EntryList awkward = sampleEntries(2);
    Entry quoted(Entry::NoId);
    quoted.id = QStringLiteral("q");
    quoted.title = QStringLiteral("say \"hi\", then\r\nleave");
    quoted.category = QStringLiteral("Work/Sub");
    awkward.append(quoted);
    put(csv, QStringLiteral("keepassxc"), 0, encodeKeePassXcCsv(awkward));
    put(csv, QStringLiteral("bitwarden"), 0,
        "folder,favorite,type,name,notes,fields,reprompt,login_uri,login_username,login_password,login_totp\n"
        "Social,1,login,Forum,,\"pin: 1\",0,\"https://a.example,https://b.example\",bob,pw,JBSW\n"
        ",,note,Recipe,\"flour, eggs\",,0,,,,\n");
    put(csv, QStringLiteral("chrome"), 0,
        "name,url,username,password,note\nx.example,https://x.example,ann,pw,\"a\nb\"\n");
    put(csv, QStringLiteral("firefox"), 0,
        "\"url\",\"username\",\"password\",\"httpRealm\",\"formActionOrigin\",\"guid\",\"timeCreated\","
        "\"timeLastUsed\",\"timePasswordChanged\"\n"
        "\"https://x.example\",\"me\",\"pw\",\"\",\"https://x.example\",\"{1}\",\"1700000000000\",\"1\",\"1\"\n");
    put(csv, QStringLiteral("mapped"), 1, "Site,E-mail,Secret,Kind,Memo,Tag\nx,ann@x,pw,web,hello,Home\n");

    putRaw(
        root + QStringLiteral("/bitwarden"), QStringLiteral("export.json"),
        R"({"encrypted": false, "folders": [{"id": "f", "name": "Social"}], "items": [)"
        R"({"id": "1", "folderId": "f", "type": 1, "name": "Forum", "notes": "n", "fields": [{"name": "PIN", "value": "1"}],)"
        R"( "login": {"uris": [{"uri": "https://x.example"}], "username": "u", "password": "p", "totp": "T"},)"
        R"( "creationDate": "2023-01-02T03:04:05.678Z", "revisionDate": "2024-01-01T00:00:00.000Z", "deletedDate": null},)"
        R"({"type": 2, "name": "Note", "notes": "x"}, {"type": 3, "name": "Card", "card": {"number": "4111"}}]})");

    putRaw(root + QStringLiteral("/keepass"), QStringLiteral("ours.xml"),
           encodeKeePassXml(awkward, {QStringLiteral("General"), QStringLiteral("Empty")}));
    putRaw(root + QStringLiteral("/keepass"), QStringLiteral("recycled.xml"),
           "<?xml version=\"1.0\"?><KeePassFile><Meta><RecycleBinUUID>AAAAAAAAAAAAAAAAAAAAAQ==</RecycleBinUUID></Meta>"
           "<Root><Group><Name>R</Name><Entry><Times><CreationTime>pxrZ3Q4AAAA=</CreationTime></Times>"
           "<String><Key>otp</Key><Value>x</Value></String><Binary><Key>f</Key></Binary>"
           "<History><Entry/></History></Entry><Group><UUID>AAAAAAAAAAAAAAAAAAAAAQ==</UUID><Name>Bin</Name>"
           "<Entry/></Group></Group></Root></KeePassFile>");
    return 0;
}
