#include "secrets/attributelines.h"

#include <QStringList>

namespace {

bool needsEscape(char32_t c, bool atEnd)
{
    return c == U'%' || c == U'=' || c < 0x20 || c == 0x7F || c == 0x85 || c == 0x2028 || c == 0x2029 ||
           (atEnd && c == U' ');
}

QString escaped(const QString& text)
{
    QString out;
    const QList<uint> points = text.toUcs4();
    for (qsizetype i = 0; i < points.size(); ++i) {
        const char32_t c = points.at(i);
        const QString character = QString::fromUcs4(&c, 1);
        if (!needsEscape(c, i == 0 || i == points.size() - 1)) {
            out += character;
            continue;
        }
        for (const char byte : character.toUtf8())
            out += QStringLiteral("%%1").arg(uint(uchar(byte)), 2, 16, QLatin1Char('0')).toUpper();
    }
    return out;
}

QString unescaped(const QString& text)
{
    return QString::fromUtf8(QByteArray::fromPercentEncoding(text.toUtf8()));
}

bool isAttributeLine(const QString& line)
{
    return line.startsWith(QLatin1String(kAttributeLinePrefix));
}

} // namespace

AttributeMap attributesFromNotes(const QString& notes)
{
    AttributeMap attributes;
    for (QString line : notes.split(QLatin1Char('\n'))) {
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
        if (!isAttributeLine(line))
            continue;
        const QString pair = line.mid(qsizetype(sizeof(kAttributeLinePrefix)) - 1);
        const qsizetype equals = pair.indexOf(QLatin1Char('='));
        if (equals < 0)
            continue;
        attributes.insert(unescaped(pair.left(equals)), unescaped(pair.mid(equals + 1)));
    }
    return attributes;
}

QString notesWithoutAttributes(const QString& notes)
{
    QStringList kept;
    for (const QString& line : notes.split(QLatin1Char('\n'))) {
        if (!isAttributeLine(line))
            kept << line;
    }
    while (!kept.isEmpty() && kept.last().trimmed().isEmpty())
        kept.removeLast();
    return kept.join(QLatin1Char('\n'));
}

QString notesWithAttributes(const QString& notes, const AttributeMap& attributes)
{
    QStringList lines;
    const QString own = notesWithoutAttributes(notes);
    if (!own.isEmpty())
        lines << own;
    for (auto it = attributes.cbegin(); it != attributes.cend(); ++it)
        lines << QLatin1String(kAttributeLinePrefix) + escaped(it.key()) + QLatin1Char('=') + escaped(it.value());
    return lines.join(QLatin1Char('\n'));
}
