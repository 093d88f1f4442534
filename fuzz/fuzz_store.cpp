// Store file reading, through the reader the program loads with (readStore over a device, the
// entries' texts in one shared block) and checked against the plain payload reader. The first
// byte picks what the rest is:
//   0: a store file as found on disk (sealed),
//   1: a payload in the clear, sealed here,
//   2: a legacy store file.
// The fuzz build reads in pieces of a few dozen bytes (VAULTRY_FUZZ_PIECE), so that these inputs
// cross piece boundaries everywhere, as a large store crosses the program's 1 MiB pieces.
// Whatever reads exactly must write back to the bytes it was read from (booleans and negative
// counts aside, which no writer makes: they read as true and as none).
#include "store/payload.h"
#include "store/sealeddata.h"
#include "store/settingsstore.h"
#include "store/storestate.h"

#include <QBuffer>
#include <QByteArray>
#include <QtEndian>

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

void check(bool condition)
{
    if (!condition)
        std::abort();
}

bool sameText(const QString& a, const QString& b)
{
    return a.isNull() == b.isNull() && a == b;
}

bool sameTime(const EntryTime& a, const EntryTime& b)
{
    char x[9];
    char y[9];
    a.toStream(x);
    b.toStream(y);
    return std::memcmp(x, y, 9) == 0;
}

bool sameEntry(const Entry& a, const Entry& b)
{
    return sameText(a.id, b.id) && sameText(a.title, b.title) && sameText(a.category, b.category) &&
           sameText(a.url, b.url) && sameText(a.account, b.account) && sameText(a.password, b.password) &&
           sameText(a.notes, b.notes) && sameTime(a.dateCreated, b.dateCreated) &&
           sameTime(a.dateChanged, b.dateChanged);
}

bool samePayload(const Payload& a, const Payload& b)
{
    const Preferences& p = a.preferences;
    const Preferences& q = b.preferences;
    if (!sameText(p.masterPasswordHash, q.masterPasswordHash) || p.hidePassword != q.hidePassword ||
        p.maxLoginAttempts != q.maxLoginAttempts || p.genAlphanum != q.genAlphanum ||
        p.genMaxLength != q.genMaxLength || p.genMinLength != q.genMinLength || p.genMixedCase != q.genMixedCase ||
        p.genSpecialChars != q.genSpecialChars || p.firstRun != q.firstRun)
        return false;
    if (a.categories.size() != b.categories.size() || a.entries.size() != b.entries.size())
        return false;
    for (qsizetype i = 0; i < a.categories.size(); ++i) {
        if (!sameText(a.categories.at(i), b.categories.at(i)))
            return false;
    }
    for (qsizetype i = 0; i < a.entries.size(); ++i) {
        if (!sameEntry(a.entries.at(i), b.entries.at(i)))
            return false;
    }
    return true;
}

// The store file's bytes read as the program reads them.
bool readAsProgram(const QByteArray& file, Payload& payload)
{
    QBuffer device;
    device.setData(file);
    device.open(QIODevice::ReadOnly);
    return readStore(device, payload);
}

// `plain` as the writer writes what was read from it: a boolean of any non-zero byte as 1, and a
// negative count (read as none) as 0.
QByteArray asWritten(QByteArray plain, const QString& hash, const QStringList& categories)
{
    const auto textSize = [](const QString& text) { return 4 + (text.isNull() ? 0 : text.size() * 2); };
    const qsizetype head = textSize(hash);
    // hidePassword, then after two int32s genAlphanum, after two more the last three.
    for (qsizetype at : {head, head + 5, head + 14, head + 15, head + 16}) {
        if (at < plain.size())
            plain[at] = plain.at(at) != 0 ? '\1' : '\0';
    }
    qsizetype entryCount = head + 17 + 4;
    for (const QString& name : categories)
        entryCount += textSize(name);
    for (qsizetype at : {head + 17, entryCount}) {
        if (at + 4 <= plain.size() && qint32(qFromBigEndian<quint32>(plain.constData() + at)) < 0)
            qToBigEndian<quint32>(0, plain.data() + at);
    }
    return plain;
}

// What the program does with a load: the vault takes the entries (building its id index), and a
// save writes them back. An exact payload must come back as the bytes it was read from.
void loadAndSave(Payload& payload, bool exact, const QByteArray& plain)
{
    StoreState state;
    state.preferences = payload.preferences;
    state.vault.reset(payload.categories, std::move(payload.entries));
    payload = Payload(); // the texts' shared block now lives on through the vault's strings alone
    for (const Entry& entry : state.vault.entries())
        check(state.vault.entries().indexOfId(entry.id) >= 0);
    const QByteArray written = encodePayload(state.preferences, state.vault.categoryNames(), state.vault.entries());
    if (exact)
        check(written == asWritten(plain, state.preferences.masterPasswordHash, state.vault.categoryNames()));
}

// A payload in the clear through both readers, which must agree; then loaded and saved.
void readPlain(const QByteArray& plain)
{
    Payload direct;
    const bool exact = decodePayload(plain, direct);
    Payload program;
    check(readAsProgram(sealStore(plain), program) == exact);
    check(samePayload(direct, program));
    loadAndSave(program, exact, plain);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const QByteArray input(reinterpret_cast<const char*>(data) + 1, qsizetype(size) - 1);
    switch (data[0] % 3) {
    case 0: {
        Payload program;
        const bool exact = readAsProgram(input, program);
        // Against the whole file opened at once and read by the plain reader.
        QByteArray plain = input;
        const bool framed = openSealed(plain, QByteArrayLiteral("/lanterns.kwfob"));
        Payload direct;
        check((decodePayload(plain, direct) && framed) == exact);
        check(samePayload(program, direct));
        loadAndSave(program, exact, plain);
        break;
    }
    case 1:
        readPlain(input);
        break;
    default: {
        // As migration reads a legacy file.
        bool complete = false;
        bool ranOut = false;
        Payload payload;
        decodePayload(openLegacyStore(input, &complete), payload, &ranOut);
        break;
    }
    }
    return 0;
}
