#include "sync/mergebasefile.h"

#include "store/protectedstore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <sodium.h>

namespace {

constexpr qint64 kMaxBaseBytes = qint64(1) << 31;

} // namespace

QString defaultMergeBaseFolder()
{
    const QString data = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    return data.isEmpty() ? QString() : data + QStringLiteral("/merge-base");
}

QString mergeBaseFilePath(const QString& folder, const QString& storePath)
{
    const QFileInfo info(storePath);
    QString real = info.canonicalFilePath();
    if (real.isEmpty())
        real = info.absoluteFilePath();
    const QByteArray utf8 = real.toUtf8();
    unsigned char digest[16];
    crypto_generichash(digest, sizeof digest, reinterpret_cast<const unsigned char*>(utf8.constData()),
                       size_t(utf8.size()), nullptr, 0);
    return QDir(folder).filePath(
        QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(digest), sizeof digest).toHex()) +
        QStringLiteral(".base"));
}

QByteArray sealMergeBase(const QByteArray& encodedBase, const ProtectionKey* key)
{
    return key ? encodeProtectedStore(encodedBase, *key) : encodedBase;
}

bool openMergeBase(const QByteArray& fileBytes, const ProtectionKey* key, MergeBase& base)
{
    if (!isProtectedStore(fileBytes.left(8)))
        return MergeBase::decode(fileBytes, base);
    QByteArray encoded;
    if (!key || decodeProtectedStore(fileBytes, *key, encoded) != ProtectedOutcome::Opened)
        return false;
    const bool ok = MergeBase::decode(encoded, base);
    sodium_memzero(encoded.data(), size_t(encoded.size()));
    return ok;
}

MergeBase readMergeBase(const QString& folder, const QString& storePath, const ProtectionKey* key)
{
    MergeBase base;
    if (folder.isEmpty())
        return base;
    const ReadResult read = readRegularFile(mergeBaseFilePath(folder, storePath), kMaxBaseBytes);
    if (!read.ok || !openMergeBase(read.bytes, key, base))
        return MergeBase();
    return base;
}

WriteResult writeMergeBase(const QString& folder, const QString& storePath, const MergeBase& base,
                           const ProtectionKey* key)
{
    if (folder.isEmpty())
        return {false, QStringLiteral("no data folder")};
    if (!QDir().mkpath(folder))
        return {false, QStringLiteral("the folder %1 cannot be made").arg(QDir::toNativeSeparators(folder))};
    QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return writeSecretFile(mergeBaseFilePath(folder, storePath), sealMergeBase(base.encode(), key));
}
