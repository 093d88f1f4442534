// CSV import. The first byte picks how the table is read:
//   even: by its header (a known layout, else the columns are asked for),
//   odd:  through a mapping of the first six columns, in the order the rest of that byte gives.
// Whatever reads must export as KeePassXC CSV and read back to the same texts, and the file
// read a few bytes at a time must give what the bytes read whole give.
#include "formats/csvformat.h"

#include <QBuffer>
#include <QByteArray>

#include <cstdint>
#include <cstdlib>

namespace {

QStringList texts(const Entry& entry)
{
    return {entry.title, entry.category, entry.url, entry.account, entry.password, entry.notes};
}

// A file that gives at most 7 bytes a read, so that lines and characters are cut between pieces.
class TrickleFile : public QBuffer
{
public:
    using QBuffer::QBuffer;

protected:
    qint64 readData(char* data, qint64 size) override { return QBuffer::readData(data, qMin<qint64>(size, 7)); }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const QByteArray input(reinterpret_cast<const char*>(data) + 1, qsizetype(size) - 1);
    CsvImport read;
    CsvColumnMapping mapping;
    const bool mapped = data[0] % 2 != 0;
    if (!mapped) {
        read = decodeCsv(input);
    } else {
        int* fields[] = {&mapping.title,   &mapping.account, &mapping.password,
                         &mapping.website, &mapping.notes,   &mapping.category};
        for (int i = 0; i < 6; ++i)
            *fields[(i + data[0] / 2) % 6] = i - (data[0] >> 7);
        read = decodeCsv(input, mapping);
    }
    QByteArray bytes = input;
    TrickleFile file(&bytes);
    if (!file.open(QIODevice::ReadOnly))
        std::abort();
    QString readError;
    const CsvImport streamed = decodeCsvFile(file, mapped ? &mapping : nullptr, nullptr, &readError);
    if (!readError.isEmpty() || streamed.status != read.status || streamed.entries.ok != read.entries.ok ||
        streamed.entries.error != read.entries.error ||
        streamed.entries.entries.size() != read.entries.entries.size())
        std::abort();
    for (qsizetype i = 0; i < read.entries.entries.size(); ++i) {
        if (texts(streamed.entries.entries.at(i)) != texts(read.entries.entries.at(i)))
            std::abort();
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
