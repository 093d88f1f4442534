#include "store/legacystore.h"

#include "store/builtincipher.h"
#include "store/payload.h"
#include "store/rijndael.h"
#include "store/securefile.h"
#include "store/settingsstore.h"
#include "store/storeload.h"
#include "store/storestate.h"

#include <QFile>
#include <QFileInfo>
#include <QtEndian>

#include <cerrno>
#include <cstring>

namespace {

// A constant of the file format; changing it makes existing legacy files unreadable.
const char kLegacyKey[] = "Rk4WmZ8q(Lp$2vN%tY7-cQ9b)E3hJ&x*u";
constexpr int kLegacyBlockSize = 16;

QString tr(const char* text)
{
    return storeText(text);
}

QString native(const QString& path)
{
    return nativePath(path);
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

} // namespace

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

QByteArray openLegacyStore(const QByteArray& fileBytes, bool* complete)
{
    QByteArray plain = fileBytes;
    openLegacyInPlace(plain, complete);
    return plain;
}
