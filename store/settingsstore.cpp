#include "settingsstore.h"

#include "payload.h"
#include "rijndael.h"
#include "sealeddata.h"
#include "securefile.h"
#include "storestate.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QtEndian>

#include <cstring>
#include <limits>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace {

// Constants of the file format; changing either makes existing stores unreadable.
const QByteArray kStoreKey = QByteArrayLiteral("/lanterns.kwfob");
const char kLegacyKey[] = "Rk4WmZ8q(Lp$2vN%tY7-cQ9b)E3hJ&x*u";

constexpr int kPrefixSize = 4;
constexpr int kBlockSize = 32;
constexpr int kLegacyBlockSize = 16;

QString tr(const char* text)
{
    return QCoreApplication::translate("SettingsStore", text);
}

QString native(const QString& path)
{
    return QDir::toNativeSeparators(path);
}

void keyStoreCipher(Rijndael& cipher, const QByteArray& key)
{
    char keyBytes[kBlockSize] = {};
    std::memcpy(keyBytes, key.constData(), size_t(qMin<qsizetype>(key.size(), kBlockSize)));
    cipher.makeKey(keyBytes, Rijndael::zeroChain, kBlockSize, kBlockSize);
}

// From this size on ECB's independent blocks are shared between two threads: below it starting
// a thread costs about what it saves.
constexpr qint64 kSharedEcbBytes = qint64(1) << 19;
// Loading decrypts what the payload reader asks for, a piece at a time: each piece must be large
// enough to be shared, or a load runs on one core.
#ifndef VAULTRY_FUZZ_PIECE
static_assert(kPayloadPiece >= 2 * kSharedEcbBytes, "the payload reader's pieces are too small to share");
#endif

// ECB over the whole blocks of `bytes`, the second half on another thread when there is
// enough to share: a large store takes as long to decrypt as to parse.
void runEcb(const Rijndael& cipher, const char* in, char* out, qint64 bytes, bool encrypt)
{
    const auto run = [&cipher, encrypt](const char* from, char* to, qint64 length) {
        Rijndael copy = cipher; // ECB keeps no chain, but the object is not shared between threads
        if (encrypt)
            copy.encrypt(from, to, unsigned(length), Rijndael::ECB);
        else
            copy.decrypt(from, to, unsigned(length), Rijndael::ECB);
    };
    const qint64 whole = bytes / kBlockSize * kBlockSize;
    const qint64 half = whole / 2 / kBlockSize * kBlockSize;
    if (whole < kSharedEcbBytes) {
        run(in, out, whole);
        return;
    }
    std::thread helper;
    try {
        helper = std::thread(run, in + half, out + half, whole - half);
    } catch (const std::system_error&) {
        run(in + half, out + half, whole - half); // no thread to be had: do it here
    }
    run(in, out, half);
    if (helper.joinable())
        helper.join();
}

// The plaintext of a sealed array, decrypted a chunk at a time as the reader asks for it.
// It yields exactly what decryptData would: the stated length when the prefix is within
// the ciphertext, otherwise every decrypted byte, a trailing partial block as zeros.
class SealedSource : public PayloadSource
{
public:
    SealedSource(QIODevice& device, const QByteArray& key) : device(device)
    {
        keyStoreCipher(cipher, key);
        char prefix[kPrefixSize];
        if (device.read(prefix, kPrefixSize) != kPrefixSize)
            return; // no prefix: no payload
        const qint32 length = qFromLittleEndian<qint32>(prefix);
        const qint64 cipherSize = qMax<qint64>(device.size() - device.pos(), 0);
        framed = length >= 0 && length < cipherSize;
        total = framed ? length : cipherSize;
    }

    // Whether the prefix was present and within the ciphertext.
    bool wellFormed() const { return framed; }

    qint64 pending() const override { return total - handedOut; }

    qint64 readMore(QByteArray& out, qint64 max) override
    {
        const qint64 wanted = qMin(max, pending());
        if (wanted <= 0)
            return 0;
        // What is left of the last block first, then whole blocks straight into `out`.
        qint64 given = qMin<qint64>(wanted, spill.size());
        out.append(spill.constData(), given);
        spill.remove(0, given);
        const qint64 whole = (wanted - given) / kBlockSize * kBlockSize;
        if (whole > 0) {
            const qint64 at = out.size();
            out.resize(at + whole);
            given += decrypt(out.data() + at, whole);
        }
        if (given < wanted) {
            char block[kBlockSize];
            decrypt(block, kBlockSize);
            const qint64 taken = qMin<qint64>(wanted - given, kBlockSize);
            out.append(block, taken);
            spill.append(block + taken, kBlockSize - taken);
            given += taken;
        }
        handedOut += given;
        return given;
    }

private:
    // The next `bytes` (whole blocks) of plaintext; a block the file does not hold whole is zero.
    qint64 decrypt(char* plain, qint64 bytes)
    {
        cipherText.resize(bytes);
        const qint64 read = qMax<qint64>(device.read(cipherText.data(), bytes), 0);
        runEcb(cipher, cipherText.constData(), plain, read, false);
        const qint64 decrypted = read / kBlockSize * kBlockSize;
        std::memset(plain + decrypted, 0, size_t(bytes - decrypted));
        return bytes;
    }

    QIODevice& device;
    Rijndael cipher;
    QByteArray cipherText;
    QByteArray spill;
    qint64 total = 0;
    qint64 handedOut = 0;
    bool framed = false;
};

// Reads a store's bytes from `device`; `ownVault` keeps the entries' texts together (see
// decodeStorePayload), which only the program's own vault should do.
bool readSealed(QIODevice& device, Payload& payload, bool ownVault)
{
    SealedSource source(device, kStoreKey);
    const bool exact = ownVault ? decodeStorePayload(source, payload) : decodePayload(source, payload);
    return source.wellFormed() && exact;
}

// Writes the store file's bytes for a state, encrypted a piece at a time as the payload is
// encoded: a 4-byte little-endian payload length, then the payload and 1 to 32 zero bytes in
// Rijndael ECB blocks, as encryptData seals it, without the payload or the file ever whole in memory.
bool writeSealedState(const StoreSnapshot& state, const SecretWrite& write)
{
    const QStringList& categories = state.categories;
    const EntryList& entries = state.entries;
    const qint64 length = payloadSize(state.preferences, categories, entries);
    Rijndael cipher;
    keyStoreCipher(cipher, kStoreKey);
    char prefix[kPrefixSize];
    qToLittleEndian<qint32>(qint32(length), prefix); // as encryptData writes it, whatever the size
    if (!write(prefix, kPrefixSize))
        return false;
    QByteArray sealed;
    char carry[kBlockSize];
    qint64 carried = 0;
    const bool encoded = writePayload(state.preferences, categories, entries, [&](const char* data, qint64 size) {
        sealed.resize(size + kBlockSize);
        char* out = sealed.data();
        if (carried > 0) {
            const qint64 fill = qMin(size, kBlockSize - carried);
            std::memcpy(carry + carried, data, size_t(fill));
            carried += fill;
            data += fill;
            size -= fill;
            if (carried < kBlockSize)
                return true;
            cipher.encrypt(carry, out, kBlockSize, Rijndael::ECB);
            out += kBlockSize;
            carried = 0;
        }
        const qint64 whole = size / kBlockSize * kBlockSize;
        runEcb(cipher, data, out, whole, true);
        out += whole;
        carried = size - whole;
        std::memcpy(carry, data + whole, size_t(carried));
        return write(sealed.constData(), out - sealed.constData());
    });
    if (!encoded)
        return false;
    // The tail plus 1..32 zero bytes of padding make the last block.
    std::memset(carry + carried, 0, size_t(kBlockSize - carried));
    char last[kBlockSize];
    cipher.encrypt(carry, last, kBlockSize, Rijndael::ECB);
    return write(last, kBlockSize);
}

void applyPayload(Payload& payload, StoreState& state)
{
    state.preferences = payload.preferences;
    state.vault.reset(payload.categories, std::move(payload.entries));
}

// A new name beside `path` made of `tag` and the time, never that of an earlier copy.
QString asidePath(const QString& path, const QString& tag)
{
    const QString base = path + QLatin1Char('.') + tag + QLatin1Char('-') +
                         QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-hhmmss"));
    QString copyPath = base;
    for (int n = 2; QFileInfo::exists(copyPath); ++n)
        copyPath = base + QLatin1Char('-') + QString::number(n);
    return copyPath;
}

// Copies `path` to a new file beside it named after `tag` and the time, never replacing
// an earlier copy. Returns the copy's path, or an empty string with `error` set.
QString keepCopy(const QString& path, const QString& tag, QString* error)
{
    const QString copyPath = asidePath(path, tag);
    return copySecretFile(path, copyPath, error) ? copyPath : QString();
}

StoreLoadResult unreadable(const QString& path, const QString& reason)
{
    StoreLoadResult result;
    result.outcome = StoreLoadResult::Unreadable;
    // Replacing it is what the user agrees to by starting empty.
    result.fingerprint = statFingerprint(path);
    result.message =
        tr("The vault file %1 could not be read: %2. Nothing was loaded from it.").arg(native(path), reason);
    return result;
}

// Marks `result` as damaged and keeps a copy of `path`, which is about to be replaced.
void keepDamaged(StoreLoadResult& result, const QString& path, const QString& loadedWhat)
{
    result.outcome = StoreLoadResult::Damaged;
    QString error;
    result.damagedCopyPath = keepCopy(path, QStringLiteral("damaged"), &error);
    if (!result.damagedCopyPath.isEmpty()) {
        result.message = tr("The vault file %1 is damaged. %2 The file as it was has been kept as %3.")
                             .arg(native(path), loadedWhat, native(result.damagedCopyPath));
    } else {
        result.message = tr("The vault file %1 is damaged. %2 A copy of it could not be kept: %3.")
                             .arg(native(path), loadedWhat, error);
    }
}

StoreLoadResult loadCurrent(const QString& path, StoreState& state)
{
    QFile file(path);
    QString reason;
    if (!openRegularFile(file, &reason))
        return unreadable(path, reason);
    Payload payload;
    StoreFingerprint fingerprint;
    const bool clean = readStoreFingerprinted(file, payload, &fingerprint);
    if (file.error() != QFileDevice::NoError)
        return unreadable(path, file.errorString());
    file.close();

    applyPayload(payload, state);
    StoreLoadResult result;
    result.fingerprint = fingerprint;
    if (!clean)
        keepDamaged(result, path, tr("Everything that could be read from it was loaded."));
    return result;
}

StoreLoadResult migrateLegacy(const SettingsStore& store, StoreState& state)
{
    const QString legacyPath = store.legacyFilePath();
    const QString currentPath = store.filePath();
    const ReadResult legacy = readRegularFile(legacyPath, std::numeric_limits<qint64>::max());
    if (!legacy.ok)
        return unreadable(legacyPath, legacy.reason);
    const QByteArray& bytes = legacy.bytes;

    bool complete = false;
    Payload payload;
    bool ranOut = false;
    decodePayload(openLegacyStore(bytes, &complete), payload, &ranOut);

    // An empty or damaged old file must not replace a sound current store: keep the current
    // one and set the old file aside, renamed, for the user to look at.
    if ((!complete || ranOut) && QFileInfo::exists(currentPath)) {
        QFile currentFile(currentPath);
        Payload current;
        QString reason;
        if (openRegularFile(currentFile, &reason) && readStore(currentFile, current) &&
            currentFile.error() == QFileDevice::NoError) {
            applyPayload(current, state);
            StoreLoadResult result;
            const QString aside = asidePath(legacyPath, QStringLiteral("damaged"));
            if (QFile::rename(legacyPath, aside)) {
                result.damagedCopyPath = aside;
                result.message = tr("The old vault file %1 is empty or damaged, so the current vault file %2 was "
                                    "loaded instead. The old file has been set aside as %3.")
                                     .arg(native(legacyPath), native(currentPath), native(aside));
            } else {
                result.message = tr("The old vault file %1 is empty or damaged, so the current vault file %2 was "
                                    "loaded instead. The old file could not be set aside; please move it away.")
                                     .arg(native(legacyPath), native(currentPath));
            }
            return result;
        }
    }
    applyPayload(payload, state);

    StoreLoadResult result;
    result.outcome = StoreLoadResult::Migrated;
    QStringList notes;
    // The legacy file is deleted below; a damaged one is kept for the user first.
    if (!complete || ranOut) {
        keepDamaged(result, legacyPath, tr("Everything that could be read from it was loaded."));
        notes << result.message;
    }
    // The migration replaces a current store if there is one; keep it rather than lose it.
    if (QFileInfo::exists(currentPath)) {
        QString error;
        const QString copy = keepCopy(currentPath, QStringLiteral("replaced"), &error);
        if (!copy.isEmpty()) {
            notes << tr("The vault was taken from the old file %1; the newer file %2 it replaces has been kept as %3.")
                         .arg(native(legacyPath), native(currentPath), native(copy));
        } else {
            notes << tr("The vault was taken from the old file %1; the newer file %2 it replaces could not be "
                        "kept: %3.")
                         .arg(native(legacyPath), native(currentPath), error);
        }
    }

    const StoreSaveResult saved = store.save(state);
    result.fingerprint = saved.written;
    if (!saved.ok) {
        notes << saved.error << tr("The old file %1 has been kept.").arg(native(legacyPath));
    } else if (!QFile::remove(legacyPath)) {
        // Left in place it would be migrated again over later changes at the next start.
        notes << tr("The old vault file %1 could not be deleted; please delete it.").arg(native(legacyPath));
    }
    result.message = notes.join(QLatin1Char(' '));
    return result;
}

} // namespace

QByteArray sealStore(const QByteArray& payload)
{
    QByteArray data = payload;
    encryptData(data, kStoreKey);
    return data;
}

bool readStore(QIODevice& device, Payload& payload)
{
    return readSealed(device, payload, true);
}

bool decodeStore(const QByteArray& fileBytes, Payload& payload)
{
    QBuffer buffer;
    buffer.setData(fileBytes);
    buffer.open(QIODevice::ReadOnly);
    return readSealed(buffer, payload, false);
}

QByteArray openLegacyStore(const QByteArray& fileBytes, bool* complete)
{
    // int32 n, then a QByteArray: a quint32 byte count (0xFFFFFFFF for null) and the bytes.
    // Read by hand so that a file cut short still yields the ciphertext it holds.
    const qsizetype size = fileBytes.size();
    const char* data = fileBytes.constData();
    bool whole = size >= 2 * 4;
    const quint32 n = whole ? qFromBigEndian<quint32>(data) : 0;
    const quint32 stated = whole ? qFromBigEndian<quint32>(data + 4) : 0;
    QByteArray cipherText;
    if (whole && stated != 0xFFFFFFFFu) {
        const qsizetype present = size - 8;
        whole = stated <= quint64(present);
        cipherText = fileBytes.mid(8, whole ? qsizetype(stated) : present);
    }
    if (complete)
        *complete = whole;

    char key[kLegacyBlockSize];
    std::memcpy(key, kLegacyKey, kLegacyBlockSize);
    Rijndael cipher;
    cipher.makeKey(key, Rijndael::zeroChain, kLegacyBlockSize, kLegacyBlockSize);
    // n counts plaintext bytes; the block it ends in is decrypted whole, since the ciphertext
    // holds it. Never past the whole blocks the ciphertext has.
    const quint64 covered = (quint64(n) + kLegacyBlockSize - 1) / kLegacyBlockSize * kLegacyBlockSize;
    const quint64 bytes = qMin<quint64>(covered, quint64(cipherText.size()));
    QByteArray plain(cipherText.size(), '\0');
    cipher.decrypt(cipherText.constData(), plain.data(), unsigned(bytes), Rijndael::ECB);
    return plain;
}

StoreSaveResult writeStoreFile(const QString& path, const QByteArray& bytes, const WriteHooks& hooks)
{
    return writeStoreFile(
        path, [&bytes](const SecretWrite& write) { return write(bytes.constData(), bytes.size()); }, hooks);
}

StoreSaveResult writeStoreFile(const QString& path, const SecretProducer& produce, const WriteHooks& hooks)
{
    StoreSaveResult result;
    const WriteResult written = writeSecretFile(path, produce, hooks);
    if (!written.ok) {
        result.ok = false;
        result.error = vaultSaveError(path, written.reason);
    }
    return result;
}

namespace {

bool holdsStore(const QString& directory)
{
    return QFileInfo::exists(directory + QLatin1String(kStoreFileName)) ||
           QFileInfo::exists(directory + QLatin1String(kLegacyStoreFileName));
}

} // namespace

StoreLocation chooseStoreLocation(const QString& applicationDirectory, const QString& userDataDirectory)
{
    StoreLocation location;
    const bool besideProgram =
        holdsStore(applicationDirectory) || ::access(QFile::encodeName(applicationDirectory).constData(), W_OK) == 0;
    if (besideProgram) {
        location.directory = applicationDirectory;
        if (holdsStore(userDataDirectory)) {
            location.note = tr("Vaultry uses the vault beside the program in %1. Another vault file is in %2; it "
                               "is not used.")
                                .arg(native(applicationDirectory), native(userDataDirectory));
        }
        return location;
    }
    location.directory = userDataDirectory;
    if (!QFileInfo::exists(userDataDirectory) && QDir().mkpath(userDataDirectory))
        QFile::setPermissions(userDataDirectory, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return location;
}

SettingsStore::SettingsStore(const QString& directory, const QString& note)
    : storeDirectory(directory), locationNote(note)
{
}

SettingsStore::~SettingsStore() = default;

QString SettingsStore::filePath() const
{
    return storeDirectory + QLatin1String(kStoreFileName);
}

QString SettingsStore::legacyFilePath() const
{
    return storeDirectory + QLatin1String(kLegacyStoreFileName);
}

bool SettingsStore::isLocked() const
{
    return lockFile && lockFile->isLocked();
}

SettingsStore::LockResult SettingsStore::lock()
{
    LockResult result;
    if (isLocked()) {
        result.locked = true;
        return result;
    }
    lockFile = std::make_unique<QLockFile>(filePath() + QStringLiteral(".lock"));
    // Held for the whole session: only a lock whose process is gone counts as stale, never an old one.
    lockFile->setStaleLockTime(0);
    if (lockFile->tryLock(0)) {
        // No other copy can be saving now: whatever temporaries are there, a crash left.
        removeStaleTemporaries(filePath());
        // Likewise a journal: a save in place was cut short. Finish it before the store is read.
        const QString recovered = recoverInPlaceWrite(filePath());
        if (!recovered.isEmpty())
            locationNote = (locationNote + QLatin1Char(' ') + recovered).trimmed();
        result.locked = true;
        return result;
    }
    switch (lockFile->error()) {
    case QLockFile::LockFailedError: {
        qint64 pid = 0;
        QString host;
        QString application;
        const QString holder =
            lockFile->getLockInfo(&pid, &host, &application) ? tr(" (process %1 on %2)").arg(pid).arg(host) : QString();
        result.message = tr("Vaultry is already open with this vault%1. Close it there first; this copy will "
                            "end without loading or saving anything.")
                             .arg(holder);
        break;
    }
    default:
        result.message =
            tr("The vault in %1 could not be locked for this session: %2. Vaultry will end without "
               "loading or saving anything.")
                .arg(native(storeDirectory),
                     lockFile->error() == QLockFile::PermissionError ? tr("permission denied") : tr("unknown error"));
        break;
    }
    lockFile.reset();
    return result;
}

StoreSaveResult SettingsStore::save(const StoreState& state) const
{
    return save(snapshotOf(state));
}

StoreSaveResult SettingsStore::save(const StoreSnapshot& snapshot, const WriteHooks& hooks) const
{
    // Hashed as written; a save that writes through a journal first makes the bytes again.
    QByteArray digest;
    qint64 length = 0;
    StoreSaveResult result = writeStoreFile(
        filePath(),
        [&](const SecretWrite& write) {
            ContentHash hash;
            length = 0;
            const bool made = writeSealedState(snapshot, [&](const char* data, qint64 size) {
                hash.add(data, size);
                length += size;
                return write(data, size);
            });
            digest = hash.result();
            return made;
        },
        hooks);
    if (result.ok) {
        result.written = statFingerprint(filePath());
        // Changed again since? Then only its bytes can tell whose it is.
        result.written.sha256 = digest;
        if (result.written.size != length)
            result.written.modifiedNs = -1;
    }
    return result;
}

StoreLoadResult SettingsStore::load(StoreState& state) const
{
    StoreLoadResult result = loadFiles(state);
    if (!locationNote.isEmpty()) {
        result.message = (locationNote + QLatin1Char(' ') + result.message).trimmed();
        locationNote.clear();
    }
    return result;
}

StoreLoadResult SettingsStore::loadFiles(StoreState& state) const
{
    const QString legacyPath = legacyFilePath();
    const QString currentPath = filePath();

    if (QFileInfo::exists(legacyPath)) {
        StoreLoadResult result = migrateLegacy(*this, state);
        // An old file we cannot read must not hide a current store: starting empty would
        // overwrite the current store at the next save.
        if (result.outcome == StoreLoadResult::Unreadable && QFileInfo::exists(currentPath)) {
            const QString legacyNote = result.message;
            result = loadCurrent(currentPath, state);
            result.message =
                (legacyNote + QLatin1Char(' ') +
                 tr("It was left in place and the current vault file was loaded instead. ") + result.message)
                    .trimmed();
        }
        return result;
    }
    if (QFileInfo::exists(currentPath))
        return loadCurrent(currentPath, state);

    StoreLoadResult result;
    result.outcome = StoreLoadResult::Created;
    const StoreSaveResult saved = save(state);
    result.fingerprint = saved.written;
    if (!saved.ok)
        result.message = saved.error;
    return result;
}
