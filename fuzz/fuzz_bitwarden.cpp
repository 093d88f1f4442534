// Bitwarden JSON import: any bytes. Entries come only with success, and each names a category
// that the result lists.
#include "formats/bitwardenjson.h"

#include <QByteArray>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const ImportedEntries read = decodeBitwardenJson(QByteArray(reinterpret_cast<const char*>(data), qsizetype(size)));
    if (read.ok != read.error.isEmpty() || (!read.ok && !read.entries.isEmpty()))
        std::abort();
    for (const Entry& entry : read.entries) {
        if (entry.id.size() != 30 || entry.title.isEmpty() || !read.categories.contains(entry.category))
            std::abort();
    }
    return 0;
}
