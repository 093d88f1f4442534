#pragma once

#include "store/preferences.h"
#include "vault/entrylist.h"

#include <QByteArray>
#include <QStringList>

#include <functional>

class QDataStream;

// The plaintext of the settings store: the preferences, the category names and the
// entries, in QDataStream form (stream version 12, big-endian).
struct Payload
{
    Preferences preferences;
    QStringList categories;
    EntryList entries;
};

// Smallest encodings, used to bound what a count read from a file may reserve.
inline constexpr qint64 kMinStringBytes = 4;                                          // byte count only
inline constexpr qint64 kMinDateTimeBytes = 9;                                        // day, msecs, spec
inline constexpr qint64 kMinEntryBytes = 7 * kMinStringBytes + 2 * kMinDateTimeBytes; // 46

QByteArray encodePayload(const Preferences& preferences, const QStringList& categories, const EntryList& entries);
QByteArray encodePayload(const Payload& payload);

// The same bytes handed to `sink` a piece (up to about 1 MiB) at a time, so that a large vault
// is never encoded whole; stops and returns false as soon as the sink does.
using PayloadSink = std::function<bool(const char* data, qint64 size)>;
bool writePayload(const Preferences& preferences, const QStringList& categories, const EntryList& entries,
                  const PayloadSink& sink);
// How many bytes writePayload hands out.
qint64 payloadSize(const Preferences& preferences, const QStringList& categories, const EntryList& entries);

// Fills `payload` from `data`, which is read as far as it goes: fields past the end read as
// zero, false or empty, and a list stops at the end of the data, the element that ran into
// it still included. True when the data held exactly one payload, no more and no less;
// `ranOut` tells the two failures apart (true: the data ended early or was malformed).
bool decodePayload(const QByteArray& data, Payload& payload, bool* ranOut = nullptr);

// An int32 count followed by that many entries: the list inside a list file.
void writeEntryList(QDataStream& stream, const EntryList& entries);
void writeEntryList(QDataStream& stream, const QList<Entry>& entries);
QByteArray encodeEntryList(const EntryList& entries);
QByteArray encodeEntryList(const QList<Entry>& entries);
// Same reading rules as decodePayload.
bool decodeEntryList(const QByteArray& data, EntryList& entries);

// Bytes handed to the payload reader piece by piece, so that a large store need not be
// decrypted in one buffer before it is parsed.
// The reader asks its source for this much at a time (more only for a longer text). Pieces large
// enough for the decryption to share one between two cores loaded no faster (the cipher is a small
// share of a load) and held a megabyte more, so loading decrypts on one core. Fuzz builds read in
// small pieces, so that inputs of a few kilobytes cross many of them.
#ifdef VAULTRY_FUZZ_PIECE
inline constexpr qint64 kPayloadPiece = VAULTRY_FUZZ_PIECE;
#else
inline constexpr qint64 kPayloadPiece = 256 << 10;
#endif

class PayloadSource
{
public:
    virtual ~PayloadSource() = default;
    // Bytes still to come after what has been handed out so far.
    virtual qint64 pending() const = 0;
    // Appends up to `max` further bytes to `out`; returns how many (0 at the end).
    virtual qint64 readMore(QByteArray& out, qint64 max) = 0;
};

// decodePayload over a source of `PayloadSource::pending()` bytes.
bool decodePayload(PayloadSource& source, Payload& payload);

// The same for the program's own store: the entries' texts share one block rather than a heap
// block each, which nearly halves the memory of a large vault (the block goes with the last of
// its strings). Categories that an entry names as the list does share the list's string.
bool decodeStorePayload(PayloadSource& source, Payload& payload);
