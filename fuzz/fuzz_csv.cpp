// CSV import. The first byte picks how the table is read:
//   even: by its header (a known layout, else the columns are asked for),
//   odd:  through a mapping of the first six columns, in the order the rest of that byte gives.
// Whatever reads must export as KeePassXC CSV and read back to the same texts.
#include "formats/csvformat.h"

#include <QByteArray>

#include <cstdint>
#include <cstdlib>

namespace {

QStringList texts(const Entry& entry)
{
    return {entry.title, entry.category, entry.url, entry.account, entry.password, entry.notes};
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const QByteArray input(reinterpret_cast<const char*>(data) + 1, qsizetype(size) - 1);
    CsvImport read;
    if (data[0] % 2 == 0) {
        read = decodeCsv(input);
    } else {
        CsvColumnMapping mapping;
        int* fields[] = {&mapping.title,   &mapping.account, &mapping.password,
                         &mapping.website, &mapping.notes,   &mapping.category};
        for (int i = 0; i < 6; ++i)
            *fields[(i + data[0] / 2) % 6] = i - (data[0] >> 7);
        read = decodeCsv(input, mapping);
    }
    if ((read.status == CsvImport::Imported) != read.entries.ok)
        std::abort();
    if (!read.entries.ok) {
        if (!read.entries.entries.isEmpty() || (read.status == CsvImport::Failed && read.entries.error.isEmpty()))
            std::abort();
        return 0;
    }
    const CsvImport again = decodeCsv(encodeKeePassXcCsv(read.entries.entries));
    if (again.status != CsvImport::Imported || again.entries.entries.size() != read.entries.entries.size())
        std::abort();
    for (qsizetype i = 0; i < again.entries.entries.size(); ++i) {
        if (texts(again.entries.entries.at(i)) != texts(read.entries.entries.at(i)))
            std::abort();
    }
    return 0;
}
