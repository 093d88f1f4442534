#include "storemerge.h"

#include <QCoreApplication>

namespace {

QString tr(const char* text)
{
    return QCoreApplication::translate("StoreMerge", text);
}

// The settings that merge as a whole.
enum class Setting
{
    MasterPassword,
    LoginAttempts,
    HidePasswords,
    Generator,
    FirstRun,
};

constexpr Setting kSettings[] = {Setting::MasterPassword, Setting::LoginAttempts, Setting::HidePasswords,
                                 Setting::Generator, Setting::FirstRun};

bool same(Setting setting, const Preferences& a, const Preferences& b)
{
    switch (setting) {
    case Setting::MasterPassword:
        return a.masterPasswordHash == b.masterPasswordHash &&
               a.masterPasswordHash.isNull() == b.masterPasswordHash.isNull();
    case Setting::LoginAttempts:
        return a.maxLoginAttempts == b.maxLoginAttempts;
    case Setting::HidePasswords:
        return a.hidePassword == b.hidePassword;
    case Setting::Generator:
        return a.genAlphanum == b.genAlphanum && a.genMaxLength == b.genMaxLength && a.genMinLength == b.genMinLength &&
               a.genMixedCase == b.genMixedCase && a.genSpecialChars == b.genSpecialChars;
    case Setting::FirstRun:
        return a.firstRun == b.firstRun;
    }
    return true;
}

void copy(Setting setting, Preferences& to, const Preferences& from)
{
    switch (setting) {
    case Setting::MasterPassword:
        to.masterPasswordHash = from.masterPasswordHash;
        break;
    case Setting::LoginAttempts:
        to.maxLoginAttempts = from.maxLoginAttempts;
        break;
    case Setting::HidePasswords:
        to.hidePassword = from.hidePassword;
        break;
    case Setting::Generator:
        to.genAlphanum = from.genAlphanum;
        to.genMaxLength = from.genMaxLength;
        to.genMinLength = from.genMinLength;
        to.genMixedCase = from.genMixedCase;
        to.genSpecialChars = from.genSpecialChars;
        break;
    case Setting::FirstRun:
        to.firstRun = from.firstRun;
        break;
    }
}

// What the user knows the setting as; empty for a mark the user never sees.
QString userName(Setting setting)
{
    switch (setting) {
    case Setting::MasterPassword:
        return tr("the master password");
    case Setting::LoginAttempts:
        return tr("the number of login attempts");
    case Setting::HidePasswords:
        return tr("hiding passwords");
    case Setting::Generator:
        return tr("the password generator");
    case Setting::FirstRun:
        break;
    }
    return QString();
}

PreferencesMerge mergePreferences(const Preferences* base, const Preferences& ours, const Preferences& theirs)
{
    PreferencesMerge result;
    result.merged = ours;
    for (Setting setting : kSettings) {
        if (same(setting, ours, theirs) || (base && same(setting, *base, theirs)))
            continue;
        const bool fromTheirs = base && same(setting, *base, ours);
        if (fromTheirs) {
            copy(setting, result.merged, theirs);
            if (setting == Setting::MasterPassword)
                result.report.masterPasswordFromTheirs = true;
        }
        const QString name = userName(setting);
        if (!name.isEmpty())
            (fromTheirs ? result.report.fromTheirs : result.report.keptOurs) << name;
    }
    return result;
}

StoreMerge mergeStore(const Payload* base, const Payload& ours, const Payload& theirs)
{
    const PreferencesMerge preferences =
        mergePreferences(base ? &base->preferences : nullptr, ours.preferences, theirs.preferences);
    const VaultContents baseVault = base ? VaultContents{base->categories, base->entries} : VaultContents();
    VaultMerge vault = mergeVaults(baseVault, {ours.categories, ours.entries}, {theirs.categories, theirs.entries});

    StoreMerge result;
    result.merged.preferences = preferences.merged;
    result.merged.categories = std::move(vault.merged.categories);
    result.merged.entries = std::move(vault.merged.entries);
    result.vault = std::move(vault.report);
    result.preferences = preferences.report;
    result.theirsOutdated = result.vault.theirsOutdated || !sameSettings(result.merged.preferences, theirs.preferences);
    return result;
}

} // namespace

bool sameSettings(const Preferences& a, const Preferences& b)
{
    for (Setting setting : kSettings) {
        if (!same(setting, a, b))
            return false;
    }
    return true;
}

QString PreferencesMergeReport::summary() const
{
    QStringList sentences;
    if (!fromTheirs.isEmpty())
        sentences << tr("Changed on another computer and taken over: %1.").arg(fromTheirs.join(QLatin1String(", ")));
    if (!keptOurs.isEmpty())
        sentences << tr("Changed on both computers, this computer's setting was kept: %1.")
                         .arg(keptOurs.join(QLatin1String(", ")));
    return sentences.join(QLatin1Char(' '));
}

PreferencesMerge mergePreferences(const Preferences& base, const Preferences& ours, const Preferences& theirs)
{
    return mergePreferences(&base, ours, theirs);
}

PreferencesMerge mergePreferences(const Preferences& ours, const Preferences& theirs)
{
    return mergePreferences(nullptr, ours, theirs);
}

StoreMerge mergeStore(const Payload& base, const Payload& ours, const Payload& theirs)
{
    return mergeStore(&base, ours, theirs);
}

StoreMerge mergeStore(const Payload& ours, const Payload& theirs)
{
    return mergeStore(nullptr, ours, theirs);
}
