#pragma once

// autotype/: typing an entry into another program's window (X11 through XTest) and the keyboard
// shortcut that starts it from anywhere. This file: what is typed, without any window system.

#include <QList>
#include <QString>

#include <optional>

struct AutoTypeStep
{
    enum class Kind
    {
        Text, // `text`, character by character
        Tab,
        Enter,
        Delay, // `milliseconds` without typing
    };
    Kind kind = Kind::Text;
    QString text;
    int milliseconds = 0;

    bool operator==(const AutoTypeStep& other) const
    {
        return kind == other.kind && text == other.text && milliseconds == other.milliseconds;
    }
};

// What the placeholders stand for; `totp` is empty for an entry without a one-time-code secret.
struct AutoTypeFields
{
    QString account, password, totp;
};

inline constexpr char kDefaultAutoTypeSequence[] = "{USERNAME}{TAB}{PASSWORD}{ENTER}";
inline constexpr int kMaxAutoTypeDelayMs = 10000;

// The sequence an entry sets on a notes line "Auto-Type: ...", else the default one.
QString autoTypeSequenceInNotes(const QString& notes);

// The steps of `sequence`: text as written, and the placeholders {USERNAME}, {PASSWORD}, {TOTP},
// {TAB}, {ENTER} and {DELAY n} (n milliseconds, up to kMaxAutoTypeDelayMs) in any case; {{} and
// {}} type a brace. Nothing, with `error` set for the user, for an unknown or unclosed
// placeholder, or {TOTP} for an entry without a secret.
std::optional<QList<AutoTypeStep>> parseAutoTypeSequence(const QString& sequence, const AutoTypeFields& fields,
                                                         QString* error = nullptr);
