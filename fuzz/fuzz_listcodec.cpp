// List file reading. The first byte picks what the rest is:
//   0: a list file as found on disk,
//   1: an entry list in the clear, wrapped in a list file under the right password.
#include "store/listcodec.h"
#include "store/payload.h"

#include <QByteArray>

#include <cstdint>
#include <cstdlib>

namespace {

const QString password = QStringLiteral("fuzz");

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const QByteArray input(reinterpret_cast<const char*>(data) + 1, qsizetype(size) - 1);
    if (data[0] % 2 == 0) {
        decodeList(input, password);
        return 0;
    }
    EntryList direct;
    const bool exact = decodeEntryList(input, direct);
    const ListDecodeResult result = decodeList(encodeListFile(input, password), password);
    if ((result.status == ListDecodeResult::Ok) != exact || result.entries.size() != direct.size())
        std::abort();
    if (exact) {
        // An exact list exports and imports to the same ids.
        const ListDecodeResult again = decodeList(encodeList(direct, password), password);
        if (again.status != ListDecodeResult::Ok || again.entries.size() != direct.size())
            std::abort();
        for (qsizetype i = 0; i < direct.size(); ++i) {
            if (again.entries.at(i).id != direct.at(i).id)
                std::abort();
        }
    }
    return 0;
}
