// Writes small starting corpora for the fuzz targets; each file's first byte is the mode.
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
    return 0;
}
