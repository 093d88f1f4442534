#pragma once

// Memory for secrets: libsodium's guarded allocations (locked out of swap, fenced by guard pages,
// unreadable except while in use, wiped when freed) and wiping of Qt's own buffers.

#include <QByteArray>
#include <QString>

// Initialises libsodium once for the process; false when it cannot be used (no random source).
bool sodiumReady();

// A fixed number of bytes in guarded memory, zero at first. The bytes can be touched only inside
// read() or edit(); the rest of the time the pages admit no access at all.
class GuardedBytes
{
public:
    explicit GuardedBytes(qsizetype size);
    ~GuardedBytes();

    GuardedBytes(const GuardedBytes&) = delete;
    GuardedBytes& operator=(const GuardedBytes&) = delete;

    // False when the memory could not be had.
    bool isValid() const { return memory != nullptr; }
    qsizetype size() const { return length; }

    // Calls use(const unsigned char* bytes, qsizetype size) with the bytes readable.
    template <typename Use> auto read(Use&& use) const
    {
        const Opened opened(*this, false);
        return use(static_cast<const unsigned char*>(memory), length);
    }
    // Calls use(unsigned char* bytes, qsizetype size) with the bytes readable and writable.
    template <typename Use> auto edit(Use&& use)
    {
        const Opened opened(*this, true);
        return use(static_cast<unsigned char*>(memory), length);
    }

private:
    // Opens the pages for as long as it lives. Openings nest: the pages close with the outermost.
    class Opened
    {
    public:
        Opened(const GuardedBytes& bytes, bool writable);
        ~Opened();
        Opened(const Opened&) = delete;
        Opened& operator=(const Opened&) = delete;

    private:
        const GuardedBytes& bytes;
    };

    void* memory = nullptr;
    qsizetype length = 0;
    mutable int openings = 0;
    mutable bool writableNow = false;
};

// Overwrites every byte the array's storage holds (also a copy sharing it, and capacity left over
// from earlier contents), then empties it. Storage the array does not own (fromRawData) is left.
void wipeBytes(QByteArray& bytes);
// The same for a text.
void wipeString(QString& text);
