// Writes the trial's vault: one login for the local page, one for another site, browsers allowed.
#include "store/localsettings.h"
#include "store/settingsstore.h"
#include "store/storestate.h"
#include "vault/entrylist.h"

#include <QCoreApplication>

int main(int argc, char** argv)
{
    QCoreApplication application(argc, argv);
    const QString folder = QString::fromLocal8Bit(argv[1]);
    SettingsStore store(folder);
    StoreState state;
    Entry local;
    local.title = QStringLiteral("Local test site");
    local.url = QStringLiteral("http://127.0.0.1:8765");
    local.account = QStringLiteral("alice");
    local.password = QStringLiteral("wonderland-42");
    Entry other;
    other.title = QStringLiteral("Other site");
    other.url = QStringLiteral("https://other.example");
    other.account = QStringLiteral("bob");
    other.password = QStringLiteral("nope");
    EntryList entries;
    entries.append(local);
    entries.append(other);
    state.vault.reset({Vault::generalCategory()}, entries);
    state.preferences.firstRun = false;
    LocalSettings settings;
    settings.browserFillsLogins = true;
    return store.save(state).ok && saveLocalSettings(folder, settings) ? 0 : 1;
}
