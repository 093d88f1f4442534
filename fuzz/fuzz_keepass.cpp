// KeePass 2 XML import: any bytes. Whatever reads must export as KeePass XML and read back to
// the same number of entries, each in the same category.
#include "formats/keepassxml.h"

#include <QByteArray>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const ImportedEntries read = decodeKeePassXml(QByteArray(reinterpret_cast<const char*>(data), qsizetype(size)));
    if (read.ok != read.error.isEmpty() || (!read.ok && !read.entries.isEmpty()))
        std::abort();
    if (!read.ok)
        return 0;
    const ImportedEntries again = decodeKeePassXml(encodeKeePassXml(read.entries, read.categories));
    if (!again.ok || again.entries.size() != read.entries.size())
        std::abort();
    QStringList before;
    QStringList after;
    for (qsizetype i = 0; i < read.entries.size(); ++i) {
        before << read.entries.at(i).category;
        after << again.entries.at(i).category;
    }
    before.sort();
    after.sort();
    if (before != after)
        std::abort();
    return 0;
}
