#include "sync/readablecopies.h"

#include "store/payload.h"
#include "store/protectedstore.h"
#include "store/securefile.h"
#include "store/storelocation.h"
#include "sync/conflictcopies.h"
#include "sync/fileread.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

namespace {

QStringList candidates(const QString& storePath)
{
    QStringList paths;
    const QFileInfo real(realStorePath(storePath));
    const QDir folder = real.dir();
    const QString store = real.fileName();
    const QString legacy = QLatin1String(kLegacyStoreFileName).mid(1);
    const QStringList patterns{store + QStringLiteral(".unreadable-*"), store + QStringLiteral(".damaged-*"),
                               store + QStringLiteral(".replaced-*"), legacy + QStringLiteral(".damaged-*"),
                               QStringLiteral("* (merged*)") + real.completeSuffix().prepend(QLatin1Char('.'))};
    for (const QString& name : folder.entryList(patterns, QDir::Files | QDir::Hidden))
        paths << folder.filePath(name);
    const QString merged = mergedCopiesFolder();
    if (!merged.isEmpty()) {
        const QDir copies(merged);
        for (const QString& name : copies.entryList(QDir::Files | QDir::Hidden))
            paths << copies.filePath(name);
    }
    return paths;
}

} // namespace

QString ReadableCopies::summary() const
{
    QStringList lines;
    if (!encrypted.isEmpty()) {
        lines << QCoreApplication::translate("AutoSaver",
                                             "%n cop(ies) of the vault kept by Vaultry are now encrypted "
                                             "with the master password too.",
                                             nullptr, int(encrypted.size()));
    }
    if (!removed.isEmpty()) {
        lines << QCoreApplication::translate("AutoSaver",
                                             "%n readable cop(ies) of the vault that did not read as a "
                                             "vault were deleted.",
                                             nullptr, int(removed.size()));
    }
    return lines.join(QLatin1Char(' '));
}

ReadableCopies protectReadableCopies(const QString& storePath, const QString& except, const ProtectionKey& key)
{
    ReadableCopies done;
    const QString kept = QFileInfo(except).absoluteFilePath();
    for (const QString& path : candidates(storePath)) {
        if (QFileInfo(path).absoluteFilePath() == kept)
            continue;
        const StoreFileRead copy = readStoreFile(path);
        if (copy.protectedForm)
            continue;
        if (copy.status == StoreFileRead::Read &&
            writeSecretFile(path, encodeProtectedStore(encodePayload(copy.payload), key)).ok) {
            done.encrypted << path;
        } else if (QFile::remove(path)) {
            done.removed << path;
        }
    }
    return done;
}
