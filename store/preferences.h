#pragma once

#include <QString>

// The persisted preferences, in file order, with their start-up values.
struct Preferences
{
    QString masterPasswordHash = QLatin1String(""); // empty: no master password set
    bool hidePassword = true;
    qint32 maxLoginAttempts = 0; // 0: no master-password prompt
    bool genAlphanum = true;
    qint32 genMaxLength = 12;
    qint32 genMinLength = 10;
    bool genMixedCase = true;
    bool genSpecialChars = true;
    bool firstRun = true;
};

// Every persisted setting alike (the one comparison of preferences).
inline bool operator==(const Preferences& a, const Preferences& b)
{
    return a.masterPasswordHash == b.masterPasswordHash && a.hidePassword == b.hidePassword &&
           a.maxLoginAttempts == b.maxLoginAttempts && a.genAlphanum == b.genAlphanum &&
           a.genMaxLength == b.genMaxLength && a.genMinLength == b.genMinLength && a.genMixedCase == b.genMixedCase &&
           a.genSpecialChars == b.genSpecialChars && a.firstRun == b.firstRun;
}
inline bool operator!=(const Preferences& a, const Preferences& b)
{
    return !(a == b);
}
