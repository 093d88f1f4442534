#pragma once

// One-time codes (TOTP, RFC 6238) from a secret kept on a line of an entry's notes.

#include <QByteArray>
#include <QString>

#include <optional>

struct TotpSecret
{
    enum class Algorithm
    {
        Sha1,
        Sha256,
        Sha512,
    };

    QByteArray key;  // the shared secret's bytes
    QString base32;  // the same, as base32 without padding (for the URI and the QR code)
    int digits = 6;  // 6 to 8
    int period = 30; // seconds, 15 to 60
    Algorithm algorithm = Algorithm::Sha1;
    QString issuer; // from the URI's label or issuer parameter; may be empty
    QString account;
};

inline constexpr int kTotpMinDigits = 6;
inline constexpr int kTotpMaxDigits = 8;
inline constexpr int kTotpMinPeriod = 15;
inline constexpr int kTotpMaxPeriod = 60;

// Reads an `otpauth://totp/...` URI or a bare base32 secret (spaces, dashes, lower case and
// padding allowed). Nothing, with `error` set for the user, when the text is neither, or when it
// asks for digits, a period or an algorithm outside those above.
std::optional<TotpSecret> parseTotpSecret(const QString& text, QString* error = nullptr);

// The secret on a line of `notes`: an `otpauth://totp/` URI anywhere on a line, or a line
// "TOTP: value" or "otp: value" (as the importers write KeePassXC's and Bitwarden's fields)
// holding a URI or a bare base32 secret. The first that reads wins.
std::optional<TotpSecret> totpSecretInNotes(const QString& notes);

// The code for the time `unixSeconds` (seconds since 1970 UTC), zero-padded to secret.digits.
QString totpCode(const TotpSecret& secret, qint64 unixSeconds);
// The code of the secret in `notes` (as totpSecretInNotes finds it) at `unixSeconds`; empty when
// the notes hold none.
QString totpCodeInNotes(const QString& notes, qint64 unixSeconds);
// Seconds until the code of `unixSeconds` changes (1 to secret.period).
int totpSecondsLeft(const TotpSecret& secret, qint64 unixSeconds);

// The `otpauth://totp/` URI for `secret`, as written into notes and shown as a QR code.
QString totpUri(const TotpSecret& secret);
// `notes` with the line holding a secret replaced by `uri`, or `uri` added as a line of its own.
QString notesWithTotpUri(const QString& notes, const QString& uri);
