#include "textblocks.h"

namespace {

// 256 KiB of text a block: little left unused at a block's end, few blocks for a large file.
constexpr qsizetype kBlockUnits = qsizetype(128) << 10;

} // namespace

TextBlocks::~TextBlocks()
{
    retire();
}

void TextBlocks::retire()
{
    if (!header)
        return;
    const int unused = reserved - handedOut + 1; // and the block's own
    if (header->ref_.fetchAndSubOrdered(unused) == unused)
        QTypedArrayData<char16_t>::deallocate(header);
    header = nullptr;
}

char16_t* TextBlocks::take(qsizetype units)
{
    if (units + 1 > kBlockUnits / 8)
        return nullptr;
    if (!header || units + 1 > room - used) {
        retire();
        auto [block, text] = QTypedArrayData<char16_t>::allocate(kBlockUnits);
        if (!block)
            qBadAlloc();
        header = block;
        base = text;
        room = kBlockUnits;
        used = 0;
        // Every string takes at least one unit (its 0), so a block holds at most `room` of them.
        reserved = int(room);
        handedOut = 0;
        header->ref_.fetchAndAddRelaxed(reserved);
    }
    return base + used;
}

QString TextBlocks::handOut(char16_t* at, qsizetype units)
{
    at[units] = 0;
    used = at - base + units + 1;
    ++handedOut;
    return QString(QString::DataPointer(header, at, units));
}

QString TextBlocks::fromUtf8(QByteArrayView utf8)
{
    if (utf8.isEmpty())
        return QString(QLatin1String(""));
    // UTF-8 never takes fewer bytes than UTF-16 takes units.
    char16_t* at = take(utf8.size());
    if (!at)
        return QString::fromUtf8(utf8);
    const QChar* end = decoder.appendToBuffer(reinterpret_cast<QChar*>(at), utf8);
    return handOut(at, reinterpret_cast<const char16_t*>(end) - at);
}
