#pragma once

#include "store/payload.h"

#include <QByteArray>
#include <QString>

class ProtectionKey;
class QFile;
struct StoreState;

// The store's contents as one value, taken on the GUI thread and written or merged elsewhere:
// its lists are implicitly shared, so taking one copies no entry.
using StoreSnapshot = Payload;
StoreSnapshot snapshotOf(const StoreState& state);

// What is known of one version of the store file, to tell the file this program loaded or wrote
// from one put in its place by someone else (a sync tool, another computer).
struct StoreFingerprint
{
    qint64 size = -1; // -1: no file known
    qint64 modifiedNs = 0;
    quint64 inode = 0;
    quint64 device = 0;
    QByteArray digest; // BLAKE2b-256 of the bytes; empty when they were not read

    bool isNull() const { return size < 0; }
    // The same file by its size, change time and identity, without reading it.
    bool sameStat(const StoreFingerprint& other) const;
};

// A BLAKE2b-256 digest of bytes handed to it piece by piece: the fingerprint hashes every byte a
// save writes, and BLAKE2b is about 1.6 times as fast as SHA-256 here, which at a million entries
// is a third of a second of each background save.
class ContentHash
{
public:
    ContentHash();
    void add(const char* data, qint64 size);
    QByteArray result();

private:
    alignas(64) unsigned char state[384];
};

// The file's size, change time and identity, links followed; null when it cannot be looked at.
StoreFingerprint statFingerprint(const QString& path);
// Whether `path` is still the file `known` describes, judged without reading it.
bool storeFileUnchanged(const QString& path, const StoreFingerprint& known);

// readStore over an opened store file that also fingerprints the bytes as they are read.
bool readStoreFingerprinted(QFile& file, Payload& payload, StoreFingerprint* fingerprint);

struct StoreFileRead
{
    enum Status
    {
        Missing,
        Unreadable, // could not be opened or read
        Damaged,    // read, but not a whole store: a partial download, another file
        Read,
    };
    Status status = Missing;
    Payload payload;
    StoreFingerprint fingerprint;
    QString reason; // for the user, when Unreadable
    // Unreadable because it is protected under a master password this session does not hold
    // (changed, or protection turned on, on another computer).
    bool needsPassword = false;
};

// Reads and fingerprints the store file at `path` as it is now. A store protected under the
// master password opens only with `key` (derived for its salt); otherwise it is Unreadable.
StoreFileRead readStoreFile(const QString& path, const ProtectionKey* key = nullptr);
