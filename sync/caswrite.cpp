#include "sync/caswrite.h"

bool stillTheFile(const QString& path, const StoreFingerprint& expected)
{
    const StoreFingerprint now = statFingerprint(path);
    return expected.isNull() ? now.isNull() : !now.isNull() && now.sameStat(expected);
}

StoreSaveResult compareAndSwapWrite(const SettingsStore& store, const StoreSnapshot& snapshot,
                                    const std::shared_ptr<const ProtectionKey>& key, const StoreFingerprint& expected,
                                    const WriteHooks& hooks)
{
    const QString path = store.saveFilePath();
    return store.save(snapshot, key, hooks, [&path, &expected] { return stillTheFile(path, expected); });
}
