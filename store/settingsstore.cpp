#include "settingsstore.h"

#include "payload.h"
#include "prefs/masterpassword.h"
#include "protectedstore.h"
#include "rijndael.h"
#include "sealeddata.h"
#include "secretmemory.h"
#include "securefile.h"
#include "storestate.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QStandardPaths>
#include <QSysInfo>
#include <QtEndian>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <limits>
#include <sys/stat.h>
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

// A decrypted payload handed to the payload reader.
class BufferSource : public PayloadSource
{
public:
    explicit BufferSource(const QByteArray& bytes) : bytes(bytes) {}
    qint64 pending() const override { return bytes.size() - handedOut; }
    qint64 readMore(QByteArray& out, qint64 max) override
    {
        const qint64 given = qMin(max, pending());
        out.append(bytes.constData() + handedOut, given);
        handedOut += given;
        return given;
    }

private:
    const QByteArray& bytes;
    qint64 handedOut = 0;
};

// Whether the file at `path` is a protected store: it begins with the magic, or with the magic
// changed in one byte, which no ordinary store does (its first four bytes would state a payload of
// over a gigabyte). Such a file is refused whole rather than read in part as an ordinary one.
bool fileIsProtected(const QString& path)
{
    QFile file(path);
    QString reason;
    if (!openRegularFile(file, &reason))
        return false;
    const QByteArray first = file.read(kProtectedMagicSize);
    if (first.size() < kProtectedMagicSize)
        return false;
    int differing = 0;
    for (int i = 0; i < kProtectedMagicSize; ++i)
        differing += first[i] != kProtectedMagic[i];
    return differing <= 1;
}

// Writes the store in the protected form: the payload encrypted as it is encoded.
bool writeProtectedState(const StoreSnapshot& state, const ProtectionKey& key, const SecretWrite& write)
{
    return writeProtectedStore(
        key,
        [&state](const PayloadSink& sink) {
            return writePayload(state.preferences, state.categories, state.entries, sink);
        },
        write);
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

QString damagedMessage(const QString& path, const QString& loadedWhat)
{
    return tr("The vault file %1 is damaged. %2").arg(native(path), loadedWhat);
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

// Loads the current store. A damaged one is copied aside before anything can replace it; when
// no copy can be made (no room for it), `savePath` is set to a new file beside it, so that the
// original, which may hold more than was read, is never replaced.
StoreLoadResult loadCurrent(const QString& path, StoreState& state, bool readOnly, QString* savePath)
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
    if (clean)
        return result;
    const QString loadedWhat = tr("Everything that could be read from it was loaded.");
    if (readOnly) {
        // Nothing will be written, so the file stays as it is without a copy.
        result.outcome = StoreLoadResult::Damaged;
        result.message = damagedMessage(path, loadedWhat);
        return result;
    }
    keepDamaged(result, path, loadedWhat);
    if (result.damagedCopyPath.isEmpty()) {
        *savePath = asidePath(path, QStringLiteral("recovered"));
        result.message += QLatin1Char(' ') + tr("The damaged file will not be replaced: this session's vault will "
                                                "be saved as %1 instead.")
                                                 .arg(native(*savePath));
    }
    return result;
}

// Reads a legacy store file whole, refusing one larger than any such file can sensibly be
// before reading anything: the format must be read in one piece.
bool readLegacyFile(const QString& path, QByteArray& bytes, QString* reason)
{
    QFile file(path);
    if (!openRegularFile(file, reason))
        return false;
    const qint64 size = file.size();
    if (size > kMaxLegacyFileBytes) {
        *reason = tr("it is larger than %1 bytes").arg(kMaxLegacyFileBytes);
        return false;
    }
    // What the size said and no more: a file that grows meanwhile is read as it was.
    bytes.resize(size);
    qint64 done = 0;
    while (done < size) {
        const qint64 got = file.read(bytes.data() + done, size - done);
        if (got < 0) {
            *reason = file.errorString();
            bytes.clear();
            return false;
        }
        if (got == 0)
            break;
        done += got;
    }
    bytes.truncate(done);
    return true;
}

// Turns a legacy file's bytes into its plaintext (see openLegacyStore) in the same buffer,
// so that a large file is held once.
void openLegacyInPlace(QByteArray& bytes, bool* complete)
{
    // int32 n, then a QByteArray: a quint32 byte count (0xFFFFFFFF for null) and the bytes.
    // Read by hand so that a file cut short still yields the ciphertext it holds.
    const qsizetype size = bytes.size();
    bool whole = size >= 2 * 4;
    const quint32 n = whole ? qFromBigEndian<quint32>(bytes.constData()) : 0;
    const quint32 stated = whole ? qFromBigEndian<quint32>(bytes.constData() + 4) : 0;
    qsizetype cipherSize = 0;
    if (whole && stated != 0xFFFFFFFFu) {
        const qsizetype present = size - 8;
        whole = stated <= quint64(present);
        cipherSize = whole ? qsizetype(stated) : present;
    }
    if (complete)
        *complete = whole;
    char* data = bytes.data();
    if (cipherSize > 0)
        std::memmove(data, data + 8, size_t(cipherSize));
    bytes.truncate(cipherSize);
    data = bytes.data();

    char key[kLegacyBlockSize];
    std::memcpy(key, kLegacyKey, kLegacyBlockSize);
    Rijndael cipher;
    cipher.makeKey(key, Rijndael::zeroChain, kLegacyBlockSize, kLegacyBlockSize);
    // n counts plaintext bytes; the block it ends in is decrypted whole, since the ciphertext
    // holds it. Never past the whole blocks the ciphertext has; the rest reads as zeros.
    const quint64 covered = (quint64(n) + kLegacyBlockSize - 1) / kLegacyBlockSize * kLegacyBlockSize;
    const qsizetype decrypted =
        qsizetype(qMin<quint64>(covered, quint64(cipherSize)) / kLegacyBlockSize * kLegacyBlockSize);
    cipher.decrypt(data, data, unsigned(decrypted), Rijndael::ECB);
    std::memset(data + decrypted, 0, size_t(cipherSize - decrypted));
}

StoreLoadResult migrateLegacy(const SettingsStore& store, StoreState& state, bool readOnly, QString* savePath)
{
    const QString legacyPath = store.legacyFilePath();
    const QString currentPath = store.filePath();
    QByteArray plain;
    QString reason;
    if (!readLegacyFile(legacyPath, plain, &reason))
        return unreadable(legacyPath, reason);

    bool complete = false;
    openLegacyInPlace(plain, &complete);
    Payload payload;
    bool ranOut = false;
    decodePayload(plain, payload, &ranOut);
    plain = QByteArray();
    const bool damaged = !complete || ranOut;

    // An empty or damaged old file must not replace a sound current store: keep the current
    // one and set the old file aside, renamed, for the user to look at.
    if (damaged && QFileInfo::exists(currentPath)) {
        QFile currentFile(currentPath);
        Payload current;
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
    result.outcome = damaged ? StoreLoadResult::Damaged : StoreLoadResult::Migrated;
    const QString loadedWhat = tr("Everything that could be read from it was loaded.");
    if (readOnly) {
        // Nothing can be written: both files stay as they are, and the next start migrates again.
        if (damaged)
            result.message = damagedMessage(legacyPath, loadedWhat);
        return result;
    }
    QStringList notes;
    // The migration replaces a current store if there is one; keep it rather than lose it.
    if (QFileInfo::exists(currentPath)) {
        QString error;
        QString copy = keepCopy(currentPath, QStringLiteral("replaced"), &error);
        const QFileInfo currentInfo(currentPath);
        if (copy.isEmpty() && currentInfo.isFile() && !currentInfo.isSymLink()) {
            // No room for a copy: set the file itself aside, which needs none.
            const QString aside = asidePath(currentPath, QStringLiteral("replaced"));
            if (::rename(QFile::encodeName(currentPath).constData(), QFile::encodeName(aside).constData()) == 0)
                copy = aside;
        }
        if (!copy.isEmpty()) {
            notes << tr("The vault was taken from the old file %1; the newer file %2 it replaces has been kept as %3.")
                         .arg(native(legacyPath), native(currentPath), native(copy));
        } else {
            // Neither: the newer file stays as it is, and so does the old one, to be migrated again.
            *savePath = asidePath(currentPath, QStringLiteral("recovered"));
            notes << tr("The vault was taken from the old file %1; the newer file %2 it replaces could not be "
                        "kept: %3.")
                         .arg(native(legacyPath), native(currentPath), error)
                  << tr("Neither file is replaced or deleted: this session's vault will be saved as %1 instead.")
                         .arg(native(*savePath));
        }
    }

    const StoreSaveResult saved = store.save(state);
    result.fingerprint = saved.written;
    if (!saved.ok) {
        if (damaged)
            notes.prepend(damagedMessage(legacyPath, loadedWhat));
        notes << saved.error << tr("The old file %1 has been kept.").arg(native(legacyPath));
    } else if (!savePath->isEmpty()) {
        // Saved beside the newer file, which is still the store: the old file stays with it.
        if (damaged)
            notes.prepend(damagedMessage(legacyPath, loadedWhat));
    } else if (damaged) {
        // Set aside rather than copied and deleted: a rename needs no room and cannot lose the
        // file. Left in place, it is set aside at the next start, beside the sound store.
        const QString aside = asidePath(legacyPath, QStringLiteral("damaged"));
        if (::rename(QFile::encodeName(legacyPath).constData(), QFile::encodeName(aside).constData()) == 0) {
            result.damagedCopyPath = aside;
            notes.prepend(tr("The vault file %1 is damaged. %2 The file as it was has been kept as %3.")
                              .arg(native(legacyPath), loadedWhat, native(aside)));
        } else {
            notes.prepend(tr("The vault file %1 is damaged. %2 A copy of it could not be kept: %3.")
                              .arg(native(legacyPath), loadedWhat, qt_error_string(errno)));
        }
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
    QByteArray plain = fileBytes;
    openLegacyInPlace(plain, complete);
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

// Whether `directory` (links followed) is one of the system's program folders, which are
// shared by every user and must not hold one user's vault.
bool inSystemProgramFolder(const QString& directory)
{
    QString path = QFileInfo(directory).canonicalFilePath();
    if (path.isEmpty())
        path = QDir::cleanPath(QFileInfo(directory).absoluteFilePath());
    const QStringList parts = path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    if (parts.isEmpty())
        return true; // the root folder
    const QString& top = parts.first();
    return top == QLatin1String("usr") || top == QLatin1String("opt") || top == QLatin1String("bin") ||
           top == QLatin1String("sbin") || top.startsWith(QLatin1String("lib"));
}

// A folder for a portable copy's vault: the user's own, writable, and not a system folder.
bool isPortableFolder(const QString& directory)
{
    const QByteArray name = QFile::encodeName(directory);
    struct stat st;
    return ::stat(name.constData(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() &&
           ::access(name.constData(), W_OK) == 0 && !inSystemProgramFolder(directory);
}

// Whether a save can reach the store at `path`: through its folder (a new file renamed over it)
// or, failing that, the file itself (rewritten in place). When neither, `reason` says why.
bool storeWritable(const QString& path, QString* reason)
{
    const QFileInfo info(path);
    QString target = info.canonicalFilePath(); // the file a link leads to
    if (target.isEmpty())
        target = info.isSymLink() ? info.symLinkTarget() : info.absoluteFilePath();
    if (::access(QFile::encodeName(QFileInfo(target).absolutePath()).constData(), W_OK) == 0)
        return true;
    const int folderError = errno;
    if (::access(QFile::encodeName(target).constData(), W_OK) == 0)
        return true;
    *reason = qt_error_string(errno == ENOENT ? folderError : errno);
    return false;
}

// The store's path with links and "..", so that every way of naming it finds the same lock.
QString realStorePath(const QString& path)
{
    const QFileInfo info(path);
    const QString canonical = info.canonicalFilePath();
    if (!canonical.isEmpty())
        return canonical;
    const QString folder = QFileInfo(info.absolutePath()).canonicalFilePath();
    return folder.isEmpty() ? QDir::cleanPath(info.absoluteFilePath()) : folder + QLatin1Char('/') + info.fileName();
}

// Where a session keeps its lock when it cannot keep it beside the store: the user's runtime
// folder (else data folder), under a name made of the store's real path.
QString runtimeLockPath(const QString& storePath)
{
    // Only a runtime folder the session names: Qt's stand-in for a missing one is a folder in /tmp.
    QString folder = qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR")
                         ? QString()
                         : QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (folder.isEmpty())
        folder = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    const QByteArray key =
        QCryptographicHash::hash(QFile::encodeName(realStorePath(storePath)), QCryptographicHash::Sha256);
    return folder + QStringLiteral("/vaultry-") + QString::fromLatin1(key.toHex().left(32)) + QStringLiteral(".lock");
}

QString lockHolder(QLockFile& lock)
{
    qint64 pid = 0;
    QString host;
    QString application;
    return lock.getLockInfo(&pid, &host, &application) ? tr(" (process %1 on %2)").arg(pid).arg(host) : QString();
}

QString alreadyOpen(const QString& holder)
{
    return tr("Vaultry is already open with this vault%1. Close it there first; this copy will end without loading "
              "or saving anything.")
        .arg(holder);
}

QString notLocked(const QString& directory, QLockFile::LockError error)
{
    return tr("The vault in %1 could not be locked for this session: %2. Vaultry will end without loading or "
              "saving anything.")
        .arg(native(directory), error == QLockFile::PermissionError ? tr("permission denied") : tr("unknown error"));
}

// Whether the process named by a lock on this computer has ended: a lock that QLockFile still
// reports held although its holder is gone is one it could not remove (a folder the user may
// not write).
bool holderIsGone(QLockFile& lock)
{
    qint64 pid = 0;
    QString host;
    QString application;
    return lock.getLockInfo(&pid, &host, &application) && pid > 0 &&
           (host.isEmpty() || host == QSysInfo::machineHostName()) && ::kill(pid_t(pid), 0) != 0 && errno == ESRCH;
}

// The host a lock beside the store was taken on, when that is another computer: the store's
// folder is synced, and that computer's Vaultry is open on its own copy.
QString otherHost(QLockFile& lock)
{
    qint64 pid = 0;
    QString host;
    QString application;
    if (!lock.getLockInfo(&pid, &host, &application) || host.isEmpty() || host == QSysInfo::machineHostName())
        return QString();
    return host;
}

} // namespace

StoreLocation chooseStoreLocation(const QString& applicationDirectory, const QString& userDataDirectory)
{
    StoreLocation location;
    if (holdsStore(applicationDirectory) || isPortableFolder(applicationDirectory)) {
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

QString SettingsStore::saveFilePath() const
{
    return redirectedSavePath.isEmpty() ? filePath() : redirectedSavePath;
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
    bool syncedFromOtherHost = false;
    lockFile = std::make_unique<QLockFile>(filePath() + QStringLiteral(".lock"));
    // Held for the whole session: only a lock whose process is gone counts as stale, never an old one.
    lockFile->setStaleLockTime(0);
    if (!lockFile->tryLock(0)) {
        const QLockFile::LockError error = lockFile->error();
        const QString host = error == QLockFile::LockFailedError ? otherHost(*lockFile) : QString();
        syncedFromOtherHost = !host.isEmpty();
        if (syncedFromOtherHost) {
            result = lockInRuntimeFolder();
            lockNote = tr("Vaultry is also open on %1; changes from both will be merged.").arg(host);
        } else if (error == QLockFile::PermissionError ||
                   (error == QLockFile::LockFailedError && holderIsGone(*lockFile))) {
            // A lock that cannot be made, or a crash's lock that cannot be removed.
            result = lockInRuntimeFolder();
            lockNote = tr("No lock file can be made beside the vault in %1, so this session's lock is kept in %2: "
                          "it keeps a second Vaultry of yours away from this vault, not other users. Changes are "
                          "written into the vault file itself.")
                           .arg(native(storeDirectory), native(QFileInfo(lockFile->fileName()).path()));
        } else {
            result.message = error == QLockFile::LockFailedError ? alreadyOpen(lockHolder(*lockFile))
                                                                 : notLocked(storeDirectory, error);
        }
        if (!result.locked) {
            lockNote.clear();
            lockFile.reset();
            return result;
        }
    } else if (QFileInfo::exists(runtimeLockPath(filePath()))) {
        // A copy here that found another computer's lock beside the store keeps its own in the
        // runtime folder; that computer's lock is gone now, but this copy is not.
        QLockFile elsewhere(runtimeLockPath(filePath()));
        elsewhere.setStaleLockTime(0);
        if (!elsewhere.tryLock(0) && elsewhere.error() == QLockFile::LockFailedError) {
            result.message = alreadyOpen(lockHolder(elsewhere));
            lockFile.reset();
            return result;
        }
    }
    // No other copy can be saving now: whatever temporaries are there, a crash left. Not so
    // while another computer holds the lock: its save may be in flight through the sync.
    if (!syncedFromOtherHost)
        removeStaleTemporaries(filePath());
    // A journal left means a save in place was cut short: finish it before the store is read.
    const QString recovered = recoverInPlaceWrite(filePath());
    if (!recovered.isEmpty())
        locationNote = (locationNote + QLatin1Char(' ') + recovered).trimmed();
    result.locked = true;
    return result;
}

SettingsStore::LockResult SettingsStore::lockInRuntimeFolder()
{
    LockResult result;
    const QString path = runtimeLockPath(filePath());
    const QString folder = QFileInfo(path).path();
    if (!QFileInfo::exists(folder) && QDir().mkpath(folder))
        QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    lockFile = std::make_unique<QLockFile>(path);
    lockFile->setStaleLockTime(0);
    result.locked = lockFile->tryLock(0);
    if (!result.locked) {
        result.message = lockFile->error() == QLockFile::LockFailedError ? alreadyOpen(lockHolder(*lockFile))
                                                                         : notLocked(storeDirectory, lockFile->error());
    }
    return result;
}

StoreSaveResult SettingsStore::save(const StoreState& state) const
{
    return save(snapshotOf(state));
}

StoreSaveResult SettingsStore::save(const StoreSnapshot& snapshot, const WriteHooks& hooks) const
{
    if (readOnly) {
        StoreSaveResult result;
        result.ok = false;
        result.error =
            tr("The vault in %1 was opened read-only; changes cannot be saved there.").arg(native(storeDirectory));
        return result;
    }
    // Out of memory while the window is locked: the file holds the vault as it was saved.
    if (vaultReleased)
        return StoreSaveResult();
    return save(snapshot, key, hooks);
}

StoreSaveResult SettingsStore::save(const StoreSnapshot& snapshot,
                                    const std::shared_ptr<const ProtectionKey>& sessionKey,
                                    const WriteHooks& hooks) const
{
    if (readOnly) {
        StoreSaveResult result;
        result.ok = false;
        result.error =
            tr("The vault in %1 was opened read-only; changes cannot be saved there.").arg(native(storeDirectory));
        return result;
    }
    // Hashed as written; a save that writes through a journal first makes the bytes again.
    const QString path = saveFilePath();
    QByteArray digest;
    qint64 length = 0;
    StoreSaveResult result = writeStoreFile(
        path,
        [&](const SecretWrite& write) {
            ContentHash hash;
            length = 0;
            const SecretWrite hashed = [&](const char* data, qint64 size) {
                hash.add(data, size);
                length += size;
                return write(data, size);
            };
            const bool made =
                sessionKey ? writeProtectedState(snapshot, *sessionKey, hashed) : writeSealedState(snapshot, hashed);
            digest = hash.result();
            return made;
        },
        hooks);
    if (result.ok) {
        result.written = statFingerprint(path);
        // Changed again since? Then only its bytes can tell whose it is.
        result.written.digest = digest;
        if (result.written.size != length)
            result.written.modifiedNs = -1;
    }
    return result;
}

bool SettingsStore::protect(const QString& password)
{
    std::unique_ptr<ProtectionKey> made = ProtectionKey::create(password, calibration ? calibration() : calibrateKdf());
    if (!made)
        return false;
    key = std::move(made);
    return true;
}

void SettingsStore::unprotect()
{
    key.reset();
}

bool SettingsStore::changeProtectionPassword(const QString& password)
{
    if (!key)
        return true;
    std::unique_ptr<ProtectionKey> made = ProtectionKey::create(password, key->limits());
    if (!made)
        return false;
    key = std::move(made);
    return true;
}

bool SettingsStore::adoptFileProtection(const QString& password)
{
    QByteArray bytes;
    QString reason;
    if (!readLegacyFile(saveFilePath(), bytes, &reason))
        return false;
    QByteArray plain;
    std::unique_ptr<ProtectionKey> derived;
    const bool opens = openProtectedStore(bytes, password, plain, &derived) == ProtectedOutcome::Opened && derived;
    wipeBytes(plain);
    if (!opens)
        return false;
    key = std::move(derived);
    return true;
}

void SettingsStore::setKdfCalibration(const std::function<KdfLimits()>& calibrate)
{
    calibration = calibrate;
}

SettingsStore::ReopenOutcome SettingsStore::reopen(StoreState& state, const QString& password, QString* error)
{
    const QString path = saveFilePath();
    QByteArray bytes;
    QString reason;
    if (!readLegacyFile(path, bytes, &reason)) {
        if (error)
            *error = tr("The vault file %1 could not be read: %2.").arg(native(path), reason);
        return ReopenOutcome::Failed;
    }
    Payload payload;
    if (!isProtectedStore(bytes)) {
        // Written in the ordinary form meanwhile, by another copy: the master password still decides.
        if (!decodeStore(bytes, payload)) {
            if (error)
                *error = tr("The vault file %1 is damaged.").arg(native(path));
            return ReopenOutcome::Failed;
        }
        if (hashMasterPassword(password) != payload.preferences.masterPasswordHash)
            return ReopenOutcome::Refused;
        key.reset();
    } else {
        // Derived from what was typed, never the session's key: the password is what is checked.
        QByteArray plain;
        std::unique_ptr<ProtectionKey> derived;
        if (openProtectedStore(bytes, password, plain, &derived) != ProtectedOutcome::Opened)
            return ReopenOutcome::Refused;
        bytes = QByteArray();
        BufferSource source(plain);
        const bool exact = decodeStorePayload(source, payload);
        wipeBytes(plain);
        if (!exact) {
            if (error)
                *error = tr("The vault file %1 opened, but what it holds cannot be read.").arg(native(path));
            return ReopenOutcome::Failed;
        }
        key = std::move(derived);
    }
    applyPayload(payload, state);
    vaultReleased = false;
    return ReopenOutcome::Opened;
}

StoreLoadResult SettingsStore::load(StoreState& state) const
{
    StoreLoadResult result = loadFiles(state);
    QStringList notes{locationNote};
    if (!readOnly)
        notes << lockNote; // a read-only session saves nowhere, so where its lock is matters little
    notes << result.message;
    notes.removeIf([](const QString& note) { return note.isEmpty(); });
    result.message = notes.join(QLatin1Char(' '));
    locationNote.clear();
    lockNote.clear();
    return result;
}

StoreLoadResult SettingsStore::loadProtected(StoreState& state) const
{
    const QString path = filePath();
    StoreLoadResult result;
    result.outcome = StoreLoadResult::NotOpened;
    QByteArray bytes; // the ciphertext only
    QString reason;
    if (!readLegacyFile(path, bytes, &reason)) {
        result.message =
            tr("The vault file %1 could not be read: %2. It has been left as it is.").arg(native(path), reason);
        return result;
    }
    if (!readProtectedHeader(bytes)) {
        result.message = tr("The vault file %1 is encrypted with the master password, but its beginning is damaged, "
                            "so no password can open it. It has been left as it is.")
                             .arg(native(path));
        return result;
    }
    for (bool again = false; passwordPrompt; again = true) {
        QString password;
        const bool given = passwordPrompt(again, password);
        if (!given) {
            wipeString(password);
            return result; // the user's choice: nothing to say
        }
        QByteArray plain;
        std::unique_ptr<ProtectionKey> derived;
        const ProtectedOutcome opened = openProtectedStore(bytes, password, plain, &derived);
        wipeString(password);
        if (opened != ProtectedOutcome::Opened)
            continue;         // a wrong password and a changed file look the same
        bytes = QByteArray(); // not needed to parse: a large vault is not held three times
        Payload payload;
        BufferSource source(plain);
        const bool exact = decodeStorePayload(source, payload);
        wipeBytes(plain);
        if (!exact) {
            // Authentic, so written that way: never loaded in part, never replaced.
            result.message = tr("The vault file %1 opened with the master password, but what it holds cannot be "
                                "read. It has been left as it is.")
                                 .arg(native(path));
            return result;
        }
        applyPayload(payload, state);
        key = std::move(derived);
        result.outcome = StoreLoadResult::Loaded;
        return result;
    }
    result.message = tr("The vault file %1 is encrypted with the master password.").arg(native(path));
    return result;
}

StoreLoadResult SettingsStore::loadFiles(StoreState& state) const
{
    const QString legacyPath = legacyFilePath();
    const QString currentPath = filePath();
    redirectedSavePath.clear();
    readOnly = false;
    key.reset();
    vaultReleased = false;
    QString why;
    const bool writable = storeWritable(currentPath, &why);
    readOnly = !writable;
    const QString readOnlyNote =
        writable ? QString()
                 : tr("The vault file %1 cannot be written (%2), so it has been opened read-only: you can view it, "
                      "but changes cannot be saved there.")
                       .arg(native(currentPath), why);

    StoreLoadResult result;
    if (QFileInfo::exists(legacyPath)) {
        result = migrateLegacy(*this, state, readOnly, &redirectedSavePath);
        // An old file we cannot read must not hide a current store: starting empty would
        // overwrite the current store at the next save.
        if (result.outcome == StoreLoadResult::Unreadable && QFileInfo::exists(currentPath)) {
            const QString legacyNote = result.message;
            result = fileIsProtected(currentPath) ? loadProtected(state)
                                                  : loadCurrent(currentPath, state, readOnly, &redirectedSavePath);
            result.message =
                (legacyNote + QLatin1Char(' ') +
                 tr("It was left in place and the current vault file was loaded instead. ") + result.message)
                    .trimmed();
        }
    } else if (QFileInfo::exists(currentPath)) {
        result = fileIsProtected(currentPath) ? loadProtected(state)
                                              : loadCurrent(currentPath, state, readOnly, &redirectedSavePath);
    } else {
        result.outcome = StoreLoadResult::Created;
        if (!readOnly) {
            const StoreSaveResult saved = save(state);
            result.fingerprint = saved.written;
            if (!saved.ok)
                result.message = saved.error;
        }
    }
    result.message = (result.message + QLatin1Char(' ') + readOnlyNote).trimmed();
    return result;
}
