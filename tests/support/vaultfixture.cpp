// vaultry-vaultfixture: makes and reads vault files for the command-line tests, with the program's
// own reader and writer.
//   make DIR [PASSWORD [protect]]  a vault with "General" and "Work" and two entries; with a master
//                                  password (and protected under it, at the cheapest key cost)
//   dump DIR [PASSWORD]            the vault as sorted lines: its form, its categories, then
//                                  "Category/Title|account|url|password|notes" an entry

#include "prefs/masterpassword.h"
#include "store/protectedstore.h"
#include "store/secretmemory.h"
#include "store/securefile.h"
#include "store/settingsstore.h"
#include "store/storestate.h"
#include "sync/fileread.h"

#include <QCoreApplication>
#include <QFile>
#include <QTextStream>

#include <cstdio>

namespace {

int make(const QString& directory, const QString& password, bool protect)
{
    StoreState state;
    state.vault.reset({QStringLiteral("General"), QStringLiteral("Work")}, EntryList());
    Entry mail;
    mail.title = QStringLiteral("Mail");
    mail.account = QStringLiteral("ann@example.com");
    mail.url = QStringLiteral("https://mail.example.com");
    mail.password = QStringLiteral("mail-pässword");
    state.vault.addEntry(mail);
    Entry bank;
    bank.title = QStringLiteral("Bank");
    bank.category = QStringLiteral("Work");
    bank.account = QStringLiteral("ann");
    bank.password = QStringLiteral("bank-password");
    bank.notes = QStringLiteral("two\nlines");
    state.vault.addEntry(bank);
    state.preferences.firstRun = false;
    if (!password.isEmpty()) {
        state.preferences.masterPasswordHash = hashMasterPassword(password);
        state.preferences.maxLoginAttempts = 3;
    }
    SettingsStore store(directory);
    store.setKdfCalibration([] { return kLowestKdfLimits; });
    if (protect && !store.protect(password))
        return 1;
    return store.save(state).ok ? 0 : 1;
}

int dump(const QString& directory, const QString& password)
{
    const QString path = directory + QLatin1String(kStoreFileName);
    StoreFileRead file = readStoreFile(path);
    QString form = QStringLiteral("ordinary");
    if (file.needsPassword) {
        const ReadResult raw = readRegularFile(path, qint64(1) << 30);
        QByteArray plain;
        std::unique_ptr<ProtectionKey> key;
        if (openProtectedStore(raw.bytes, password, plain, &key) != ProtectedOutcome::Opened)
            return 2;
        file = readStoreFile(path, key.get());
        form = QStringLiteral("protected");
    }
    if (file.status != StoreFileRead::Read)
        return 3;
    QStringList lines;
    for (const Entry& entry : file.payload.entries)
        lines << QStringList{entry.category + QLatin1Char('/') + entry.title, entry.account, entry.url, entry.password,
                             entry.notes}
                     .join(QLatin1Char('|'))
                     .replace(QLatin1Char('\n'), QLatin1String("\\n"));
    lines.sort();
    QTextStream out(stdout);
    out << "form: " << form << "\ncategories: " << file.payload.categories.join(QLatin1Char(',')) << '\n'
        << lines.join(QLatin1Char('\n')) << (lines.isEmpty() ? "" : "\n");
    return 0;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication application(argc, argv);
    const QStringList arguments = application.arguments().mid(1);
    if (arguments.size() >= 2 && arguments.at(0) == QLatin1String("make"))
        return make(arguments.at(1), arguments.value(2), arguments.value(3) == QLatin1String("protect"));
    if (arguments.size() >= 2 && arguments.at(0) == QLatin1String("dump"))
        return dump(arguments.at(1), arguments.value(2));
    std::fputs("usage: vaultry-vaultfixture make|dump DIR [PASSWORD [protect]]\n", stderr);
    return 1;
}
