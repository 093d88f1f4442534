// Store file reading. The first byte picks what the rest is:
//   0: a store file as found on disk (sealed),
//   1: a payload in the clear, read both directly and sealed through the chunked reader,
//   2: a legacy store file.
#include "store/payload.h"
#include "store/settingsstore.h"

#include <QByteArray>

#include <cstdint>
#include <cstdlib>

namespace {

bool samePayload(const Payload& a, const Payload& b)
{
    if (a.categories != b.categories || a.entries.size() != b.entries.size())
        return false;
    for (qsizetype i = 0; i < a.entries.size(); ++i) {
        const Entry& x = a.entries.at(i);
        const Entry& y = b.entries.at(i);
        if (x.id != y.id || x.notes != y.notes || x.dateChanged != y.dateChanged)
            return false;
    }
    return a.preferences.masterPasswordHash == b.preferences.masterPasswordHash &&
           a.preferences.genMinLength == b.preferences.genMinLength;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const QByteArray input(reinterpret_cast<const char*>(data) + 1, qsizetype(size) - 1);
    switch (data[0] % 3) {
    case 0: {
        Payload payload;
        decodeStore(input, payload);
        break;
    }
    case 1: {
        Payload direct;
        const bool exact = decodePayload(input, direct);
        Payload sealed;
        // Both readers must agree on every input.
        if (decodeStore(sealStore(input), sealed) != exact || !samePayload(direct, sealed))
            std::abort();
        // What parsed exactly writes back to a payload that parses to the same.
        if (exact) {
            Payload again;
            if (!decodePayload(encodePayload(direct), again) || !samePayload(direct, again))
                std::abort();
        }
        break;
    }
    default: {
        bool complete = false;
        Payload payload;
        decodePayload(openLegacyStore(input, &complete), payload);
        break;
    }
    }
    return 0;
}
