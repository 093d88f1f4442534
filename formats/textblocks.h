#pragma once

// Strings for a reader that makes many small ones (a million entries' fields): their UTF-16
// text goes into shared blocks instead of a heap block each, which costs a header, a malloc
// header and rounding per string (a 12-character title took 48 bytes besides its 24 of text).
// The strings share their block's reference count, as QString's slices of one buffer do, so a
// block lives exactly as long as any of its strings; changing one copies it out first.

#include <QByteArrayView>
#include <QString>
#include <QStringDecoder>

class TextBlocks
{
public:
    TextBlocks() = default;
    ~TextBlocks();
    TextBlocks(const TextBlocks&) = delete;
    TextBlocks& operator=(const TextBlocks&) = delete;

    // `utf8` (already checked to be UTF-8) as a string in a block; an empty one for no bytes.
    QString fromUtf8(QByteArrayView utf8);

private:
    // Room for `units` code units and the 0 after them in the current block (or a new one);
    // null for a text too long to be worth a block's room.
    char16_t* take(qsizetype units);
    QString handOut(char16_t* at, qsizetype units);
    void retire();

    QTypedArrayData<char16_t>* header = nullptr;
    char16_t* base = nullptr;
    qsizetype room = 0;
    qsizetype used = 0;
    int reserved = 0; // references taken for the block's strings at once, not one atomic step each
    int handedOut = 0;
    QStringDecoder decoder{QStringConverter::Utf8, QStringConverter::Flag::Stateless};
};
