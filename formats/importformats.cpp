#include "importformats.h"

#include "vault/randomsource.h"

#include <QHash>
#include <QSet>
#include <QStringDecoder>
#include <QUrl>

#include <QtEndian>

namespace {

const QByteArray kUtf8Bom("\xEF\xBB\xBF");
const QByteArray kUtf16LeBom("\xFF\xFE");
const QByteArray kUtf16BeBom("\xFE\xFF");

// A list file is a string of at most 16 UTF-16 units, then a byte array running to the end.
bool looksLikeListFile(const QByteArray& bytes, qint64 fileSize)
{
    if (bytes.size() < 8)
        return false;
    const quint32 checkBytes = qFromBigEndian<quint32>(bytes.constData());
    if (checkBytes % 2 != 0 || checkBytes > 32 || bytes.size() < qsizetype(8 + checkBytes))
        return false;
    const quint32 sealedBytes = qFromBigEndian<quint32>(bytes.constData() + 4 + checkBytes);
    return qint64(sealedBytes) == fileSize - 8 - checkBytes;
}

// Decodes `bytes` strictly; false on any malformed or incomplete sequence.
bool decodeStrictly(QStringConverter::Encoding encoding, const QByteArray& bytes, QString& text)
{
    QStringDecoder decoder(encoding, QStringConverter::Flag::Stateless);
    text = decoder(bytes);
    return !decoder.hasError();
}

} // namespace

QString transferFormatName(TransferFormat format)
{
    switch (format) {
    case TransferFormat::VaultryList:
        return QStringLiteral("Vaultry list");
    case TransferFormat::Csv:
        return QStringLiteral("CSV");
    case TransferFormat::BitwardenJson:
        return QStringLiteral("Bitwarden JSON");
    case TransferFormat::KeePassXml:
        return QStringLiteral("KeePass 2 XML");
    case TransferFormat::Unknown:
        break;
    }
    return QStringLiteral("unknown");
}

TransferFormat recogniseFormat(const QByteArray& bytes, qint64 fileSize)
{
    if (looksLikeListFile(bytes, fileSize < 0 ? bytes.size() : fileSize))
        return TransferFormat::VaultryList;
    // The start is enough; a character cut at its end does no harm to the first non-space one.
    const QByteArray head = bytes.left(4096);
    QString text;
    if (head.startsWith(kUtf16LeBom))
        text = QStringDecoder(QStringConverter::Utf16LE)(head.mid(2));
    else if (head.startsWith(kUtf16BeBom))
        text = QStringDecoder(QStringConverter::Utf16BE)(head.mid(2));
    else
        text = QStringDecoder(QStringConverter::Utf8)(head.startsWith(kUtf8Bom) ? head.mid(3) : head);
    if (text.contains(QChar(0)))
        return TransferFormat::Unknown;
    for (const QChar c : std::as_const(text)) {
        if (c.isSpace())
            continue;
        if (c == QLatin1Char('<'))
            return TransferFormat::KeePassXml;
        if (c == QLatin1Char('{') || c == QLatin1Char('['))
            return TransferFormat::BitwardenJson;
        return TransferFormat::Csv;
    }
    return TransferFormat::Unknown;
}

QString textProblem(const QByteArray& head, qint64 fileSize)
{
    if (fileSize == 0)
        return QStringLiteral("the file is empty");
    if (head.startsWith(kUtf16LeBom) || head.startsWith(kUtf16BeBom))
        return QString();
    const qsizetype zero = head.indexOf('\0');
    if (zero >= 0)
        return QStringLiteral("line %1 holds a zero byte: the file is not text, or is UTF-16 without a byte-order "
                              "mark (save it as UTF-8)")
            .arg(QByteArrayView(head).first(zero).count('\n') + 1);
    return QString();
}

QString decodeImportText(const QByteArray& bytes, QString* error)
{
    QString text;
    if (bytes.startsWith(kUtf16LeBom) || bytes.startsWith(kUtf16BeBom)) {
        const QByteArray body = bytes.mid(2);
        const auto encoding = bytes.startsWith(kUtf16LeBom) ? QStringConverter::Utf16LE : QStringConverter::Utf16BE;
        const bool sound = decodeStrictly(encoding, body, text);
        if (body.size() % 2 != 0) {
            *error = QStringLiteral("line %1: the file ends in the middle of a UTF-16 character")
                         .arg(lineOfOffset(text, text.size()));
            return QString();
        }
        if (!sound) {
            *error = QStringLiteral("the file is not valid UTF-16 text (it starts with a UTF-16 byte-order mark)");
            return QString();
        }
    } else {
        const QByteArray body = bytes.startsWith(kUtf8Bom) ? bytes.mid(3) : bytes;
        if (!decodeStrictly(QStringConverter::Utf8, body, text)) {
            // Name the first line that does not decode.
            int line = 1;
            for (qsizetype start = 0; start <= body.size(); ++line) {
                qsizetype end = body.indexOf('\n', start);
                if (end < 0)
                    end = body.size();
                QString lineText;
                if (!decodeStrictly(QStringConverter::Utf8, body.mid(start, end - start), lineText))
                    break;
                start = end + 1;
            }
            *error = QStringLiteral("line %1 is not UTF-8 text; save the file as UTF-8 or as UTF-16 with a "
                                    "byte-order mark")
                         .arg(line);
            return QString();
        }
    }
    const qsizetype zero = text.indexOf(QChar(0));
    if (zero >= 0) {
        *error = QStringLiteral("line %1 holds a zero character; the file may be UTF-16 without a byte-order mark")
                     .arg(lineOfOffset(text, zero));
        return QString();
    }
    if (text.isNull())
        text = QLatin1String("");
    return text;
}

namespace {

QRandomGenerator seededFromSource()
{
    quint32 seed[8];
    RandomSource::fill(seed, 8);
    return QRandomGenerator(seed, 8);
}

} // namespace

ImportedEntryMaker::ImportedEntryMaker() : generator(seededFromSource()) {}

Entry ImportedEntryMaker::make()
{
    constexpr int kIdLength = 30;
    quint32 draws[kIdLength];
    generator.fillRange(draws);
    Entry entry = blank;
    char id[kIdLength];
    const quint32 alphabetSize = sizeof(kIdAlphabet) - 1;
    for (int i = 0; i < kIdLength; ++i)
        id[i] = kIdAlphabet[(draws[i] & 0x7FFFFFFFu) % alphabetSize];
    entry.id = ids.fromUtf8(QByteArrayView(id, kIdLength));
    return entry;
}

int lineOfOffset(const QString& text, qsizetype offset)
{
    return int(QStringView(text).left(offset).count(QLatin1Char('\n'))) + 1;
}

bool takeImportedTime(const QDateTime& time, EntryTime& into)
{
    if (!time.isValid())
        return false;
    const auto inRange = [](const QDateTime& t) {
        return t.isValid() && t.date().year() >= 1000 && t.date().year() <= 9999;
    };
    const QDateTime utc = time.toUTC();
    if (!inRange(utc))
        return true;
    const QDateTime local = time.toLocalTime();
    into = inRange(local) ? local : utc;
    return true;
}

void appendNamedField(QString& notes, const QString& name, const QString& value)
{
    if (value.isEmpty())
        return;
    if (!notes.isEmpty() && !notes.endsWith(QLatin1Char('\n')))
        notes += QLatin1Char('\n');
    notes += name + QStringLiteral(": ") + value;
}

QString fallbackTitle(const QString& url, const QString& account)
{
    const QString host = QUrl::fromUserInput(url.trimmed()).host();
    if (!host.isEmpty())
        return host;
    if (!account.isEmpty())
        return account;
    return QStringLiteral("Untitled");
}

void adoptMatchingIds(EntryList& incoming, const EntryList& existing)
{
    const auto textsOf = [](const Entry& entry) {
        return QStringList{entry.title, entry.category, entry.url, entry.account, entry.password, entry.notes};
    };
    // Texts to the ids of the vault entries not yet answered for.
    QHash<QStringList, QStringList> idsByTexts;
    for (const Entry& entry : existing)
        idsByTexts[textsOf(entry)].append(entry.id);
    if (idsByTexts.isEmpty())
        return;
    for (qsizetype i = 0; i < incoming.size(); ++i) {
        const auto found = idsByTexts.find(textsOf(incoming.at(i)));
        if (found == idsByTexts.end() || found->isEmpty())
            continue;
        const QString id = found->takeFirst();
        if (id != incoming.at(i).id) {
            Entry same = incoming.at(i);
            same.id = id;
            incoming.replace(i, same);
        }
    }
}

ImportPlan planImport(const ImportedEntries& incoming, const EntryList& existing)
{
    ImportPlan plan;
    QHash<QString, qsizetype> position;
    const auto categoryAt = [&](const QString& name) -> ImportPlan::Category& {
        auto found = position.constFind(name);
        if (found == position.cend()) {
            found = position.insert(name, plan.categories.size());
            plan.categories.append({name, 0, 0});
        }
        return plan.categories[*found];
    };
    for (const QString& name : incoming.categories)
        categoryAt(name);
    // Repeated ids (only a list file can hold them) are tracked only when there are any.
    const bool repeats = incoming.entries.hasDuplicateIds();
    QSet<QString> seen;
    for (const Entry& entry : incoming.entries) {
        ImportPlan::Category& category = categoryAt(entry.category);
        ++category.entries;
        if (existing.containsId(entry.id) || (repeats && seen.contains(entry.id))) {
            ++category.alreadyThere;
            ++plan.alreadyThere;
        } else {
            if (repeats)
                seen.insert(entry.id);
            ++plan.added;
        }
    }
    for (const ImportPlan::Category& category : std::as_const(plan.categories)) {
        if (category.entries > category.alreadyThere)
            ++plan.categoriesReceiving;
    }
    plan.leftOut = incoming.leftOut;
    return plan;
}

void noteCategory(QStringList& categories, const QString& name)
{
    if (categories.isEmpty() || categories.constLast() != name)
        categories.append(name);
}
