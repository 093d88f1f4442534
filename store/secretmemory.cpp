#include "secretmemory.h"

#include <sodium.h>

bool sodiumReady()
{
    static const bool ready = sodium_init() >= 0;
    return ready;
}

GuardedBytes::GuardedBytes(qsizetype size) : length(size)
{
    if (size < 0 || !sodiumReady())
        return;
    // sodium_malloc fills with a pattern; a request of 0 still gets a page of its own.
    memory = sodium_malloc(size_t(qMax<qsizetype>(size, 1)));
    if (!memory)
        return;
    sodium_memzero(memory, size_t(size));
    sodium_mprotect_noaccess(memory);
}

GuardedBytes::~GuardedBytes()
{
    if (memory)
        sodium_free(memory); // wipes, whatever the protection
}

GuardedBytes::Opened::Opened(const GuardedBytes& bytes, bool writable) : bytes(bytes)
{
    if (!bytes.memory)
        return;
    if (bytes.openings++ == 0 || (writable && !bytes.writableNow)) {
        if (writable)
            sodium_mprotect_readwrite(bytes.memory);
        else
            sodium_mprotect_readonly(bytes.memory);
        bytes.writableNow = writable || bytes.writableNow;
    }
}

GuardedBytes::Opened::~Opened()
{
    if (bytes.memory && --bytes.openings == 0) {
        sodium_mprotect_noaccess(bytes.memory);
        bytes.writableNow = false;
    }
}

namespace {

// Wipes the whole allocation behind a Qt array, whoever shares it: a secret that was copied is
// still the same secret.
template <typename Array> void wipeStorage(Array& array)
{
    auto& d = array.data_ptr();
    if (!d.isMutable())
        return; // static or raw data: not ours
    auto* start = const_cast<typename Array::value_type*>(array.constData()) - d.freeSpaceAtBegin();
    sodium_memzero(start, size_t(d.constAllocatedCapacity()) * sizeof(*start));
}

} // namespace

void wipeBytes(QByteArray& bytes)
{
    wipeStorage(bytes);
    bytes = QByteArray();
}

void wipeString(QString& text)
{
    wipeStorage(text);
    text = QString();
}
