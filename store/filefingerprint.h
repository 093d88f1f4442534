#pragma once

#include <QByteArray>
#include <QString>

class QFile;
struct Payload;

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
// The fingerprint of an open file's identity (size, change time, inode, device), without its digest.
StoreFingerprint openFileFingerprint(const QFile& file);
