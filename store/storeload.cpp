#include "store/storeload.h"

#include "store/filefingerprint.h"
#include "store/payload.h"
#include "store/securefile.h"
#include "store/settingsstore.h"
#include "store/storelocation.h"
#include "store/storestate.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>

QString storeText(const char* text)
{
    return QCoreApplication::translate("SettingsStore", text);
}

QString nativePath(const QString& path)
{
    return QDir::toNativeSeparators(path);
}

void applyPayload(Payload& payload, StoreState& state)
{
    state.preferences = payload.preferences;
    state.vault.reset(payload.categories, std::move(payload.entries));
}

QString asidePath(const QString& path, const QString& tag)
{
    const QString base = path + QLatin1Char('.') + tag + QLatin1Char('-') +
                         QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-hhmmss"));
    QString copyPath = base;
    for (int n = 2; QFileInfo::exists(copyPath); ++n)
        copyPath = base + QLatin1Char('-') + QString::number(n);
    return copyPath;
}

QString keepCopy(const QString& path, const QString& tag, QString* error)
{
    // Beside the file a link leads to (a synced folder), so that the link itself stays as it is.
    const QString real = realStorePath(path);
    const QString copyPath = asidePath(real, tag);
    return copySecretFile(real, copyPath, error) ? copyPath : QString();
}

StoreLoadResult unreadable(const QString& path, const QString& reason)
{
    StoreLoadResult result;
    result.outcome = StoreLoadResult::Unreadable;
    // Replacing it is what the user agrees to by starting empty.
    result.fingerprint = statFingerprint(path);
    result.message =
        storeText("The vault file %1 could not be read: %2. Nothing was loaded from it.").arg(nativePath(path), reason);
    return result;
}

QString damagedMessage(const QString& path, const QString& loadedWhat)
{
    return storeText("The vault file %1 is damaged. %2").arg(nativePath(path), loadedWhat);
}

void keepDamaged(StoreLoadResult& result, const QString& path, const QString& loadedWhat)
{
    result.outcome = StoreLoadResult::Damaged;
    QString error;
    result.damagedCopyPath = keepCopy(path, QStringLiteral("damaged"), &error);
    if (!result.damagedCopyPath.isEmpty()) {
        result.message = storeText("The vault file %1 is damaged. %2 The file as it was has been kept as %3.")
                             .arg(nativePath(path), loadedWhat, nativePath(result.damagedCopyPath));
    } else {
        result.message = storeText("The vault file %1 is damaged. %2 A copy of it could not be kept: %3.")
                             .arg(nativePath(path), loadedWhat, error);
    }
}
