#include "totp.h"

#include <QCoreApplication>
#include <QMessageAuthenticationCode>
#include <QRegularExpression>
#include <QStringList>
#include <QUrl>
#include <QUrlQuery>
#include <QtEndian>

namespace {

constexpr char kBase32Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ234567";

QString tr(const char* text)
{
    return QCoreApplication::translate("Totp", text);
}

// Upper case, without spaces, dashes and padding; empty when a character is not base32.
QString normalisedBase32(const QString& text)
{
    QString cleaned;
    for (const QChar c : text) {
        if (c == QLatin1Char(' ') || c == QLatin1Char('-') || c == QLatin1Char('\t'))
            continue;
        cleaned += c.toUpper();
    }
    while (cleaned.endsWith(QLatin1Char('=')))
        cleaned.chop(1);
    for (const QChar c : cleaned) {
        if (c.unicode() > 0x7f || !std::strchr(kBase32Alphabet, c.toLatin1()))
            return QString();
    }
    return cleaned;
}

QByteArray decodeBase32(const QString& normalised)
{
    QByteArray bytes;
    quint32 buffer = 0;
    int bits = 0;
    for (const QChar c : normalised) {
        buffer = (buffer << 5) | quint32(std::strchr(kBase32Alphabet, c.toLatin1()) - kBase32Alphabet);
        bits += 5;
        if (bits >= 8) {
            bits -= 8;
            bytes += char((buffer >> bits) & 0xff);
        }
    }
    return bytes;
}

std::optional<TotpSecret> fail(QString* error, const QString& message)
{
    if (error)
        *error = message;
    return std::nullopt;
}

std::optional<TotpSecret> withSecret(TotpSecret secret, const QString& base32, QString* error)
{
    secret.base32 = normalisedBase32(base32);
    if (secret.base32.isEmpty())
        return fail(error, tr("The secret is not base32 (letters A to Z and digits 2 to 7)."));
    secret.key = decodeBase32(secret.base32);
    // Fewer than 80 bits is either a typing slip or a secret no service hands out.
    if (secret.key.size() < 10)
        return fail(error, tr("The secret is too short: at least 16 base32 characters are needed."));
    return secret;
}

std::optional<TotpSecret> parseUri(const QString& text, QString* error)
{
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid() || url.scheme().compare(QLatin1String("otpauth"), Qt::CaseInsensitive) != 0)
        return fail(error, tr("The link is not an otpauth:// link."));
    if (url.host().compare(QLatin1String("totp"), Qt::CaseInsensitive) != 0)
        return fail(error, tr("Only time-based codes (otpauth://totp/) are supported."));
    TotpSecret secret;
    const QString label = url.path(QUrl::FullyDecoded).mid(1);
    const qsizetype colon = label.indexOf(QLatin1Char(':'));
    secret.account = (colon >= 0 ? label.mid(colon + 1) : label).trimmed();
    if (colon >= 0)
        secret.issuer = label.left(colon).trimmed();
    const QUrlQuery query(url);
    if (query.hasQueryItem(QStringLiteral("issuer")))
        secret.issuer = query.queryItemValue(QStringLiteral("issuer"), QUrl::FullyDecoded);

    bool ok = true;
    if (query.hasQueryItem(QStringLiteral("digits")))
        secret.digits = query.queryItemValue(QStringLiteral("digits")).toInt(&ok);
    if (!ok || secret.digits < kTotpMinDigits || secret.digits > kTotpMaxDigits)
        return fail(error, tr("Codes must have %1 to %2 digits.").arg(kTotpMinDigits).arg(kTotpMaxDigits));
    if (query.hasQueryItem(QStringLiteral("period")))
        secret.period = query.queryItemValue(QStringLiteral("period")).toInt(&ok);
    if (!ok || secret.period < kTotpMinPeriod || secret.period > kTotpMaxPeriod)
        return fail(error, tr("Codes must change every %1 to %2 seconds.").arg(kTotpMinPeriod).arg(kTotpMaxPeriod));
    const QString algorithm = query.queryItemValue(QStringLiteral("algorithm")).toUpper();
    if (algorithm.isEmpty() || algorithm == QLatin1String("SHA1"))
        secret.algorithm = TotpSecret::Algorithm::Sha1;
    else if (algorithm == QLatin1String("SHA256"))
        secret.algorithm = TotpSecret::Algorithm::Sha256;
    else if (algorithm == QLatin1String("SHA512"))
        secret.algorithm = TotpSecret::Algorithm::Sha512;
    else
        return fail(error, tr("The algorithm must be SHA1, SHA256 or SHA512."));
    if (!query.hasQueryItem(QStringLiteral("secret")))
        return fail(error, tr("The link holds no secret."));
    return withSecret(secret, query.queryItemValue(QStringLiteral("secret"), QUrl::FullyDecoded), error);
}

const QRegularExpression& namedLine()
{
    static const QRegularExpression expression(QStringLiteral("^\\s*(?:TOTP|otp)\\s*:\\s*(\\S.*?)\\s*$"),
                                               QRegularExpression::CaseInsensitiveOption);
    return expression;
}

const QRegularExpression& uriInLine()
{
    static const QRegularExpression expression(QStringLiteral("otpauth://totp/\\S+"),
                                               QRegularExpression::CaseInsensitiveOption);
    return expression;
}

// The text of `line` that holds a secret, or an empty string.
QString secretTextOf(const QString& line)
{
    const QRegularExpressionMatch uri = uriInLine().match(line);
    if (uri.hasMatch())
        return uri.captured();
    const QRegularExpressionMatch named = namedLine().match(line);
    return named.hasMatch() ? named.captured(1) : QString();
}

} // namespace

std::optional<TotpSecret> parseTotpSecret(const QString& text, QString* error)
{
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty())
        return fail(error, tr("Paste an otpauth:// link or a base32 secret."));
    if (trimmed.startsWith(QLatin1String("otpauth:"), Qt::CaseInsensitive))
        return parseUri(trimmed, error);
    return withSecret(TotpSecret(), trimmed, error);
}

std::optional<TotpSecret> totpSecretInNotes(const QString& notes)
{
    const QStringList lines = notes.split(QLatin1Char('\n'));
    for (const QString& line : lines) {
        const QString text = secretTextOf(line);
        if (text.isEmpty())
            continue;
        if (std::optional<TotpSecret> secret = parseTotpSecret(text))
            return secret;
    }
    return std::nullopt;
}

QString totpCode(const TotpSecret& secret, qint64 unixSeconds)
{
    const quint64 counter = quint64(unixSeconds < 0 ? 0 : unixSeconds) / quint64(qMax(1, secret.period));
    char message[8];
    qToBigEndian(counter, message);
    QCryptographicHash::Algorithm hash = QCryptographicHash::Sha1;
    if (secret.algorithm == TotpSecret::Algorithm::Sha256)
        hash = QCryptographicHash::Sha256;
    else if (secret.algorithm == TotpSecret::Algorithm::Sha512)
        hash = QCryptographicHash::Sha512;
    const QByteArray mac = QMessageAuthenticationCode::hash(QByteArray(message, 8), secret.key, hash);
    // Dynamic truncation (RFC 4226, 5.3).
    const int offset = mac.at(mac.size() - 1) & 0x0f;
    const quint32 binary = (quint32(uchar(mac.at(offset)) & 0x7f) << 24) | (quint32(uchar(mac.at(offset + 1))) << 16) |
                           (quint32(uchar(mac.at(offset + 2))) << 8) | quint32(uchar(mac.at(offset + 3)));
    quint32 modulus = 1;
    for (int i = 0; i < secret.digits; ++i)
        modulus *= 10;
    return QString::number(binary % modulus).rightJustified(secret.digits, QLatin1Char('0'));
}

QString totpCodeInNotes(const QString& notes, qint64 unixSeconds)
{
    const std::optional<TotpSecret> secret = totpSecretInNotes(notes);
    return secret ? totpCode(*secret, unixSeconds) : QString();
}

int totpSecondsLeft(const TotpSecret& secret, qint64 unixSeconds)
{
    const int period = qMax(1, secret.period);
    return period - int((unixSeconds < 0 ? 0 : unixSeconds) % period);
}

QString totpUri(const TotpSecret& secret)
{
    QString label = QString::fromLatin1(QUrl::toPercentEncoding(secret.account));
    if (!secret.issuer.isEmpty())
        label = QString::fromLatin1(QUrl::toPercentEncoding(secret.issuer)) + QLatin1Char(':') + label;
    QString uri = QStringLiteral("otpauth://totp/") + label + QStringLiteral("?secret=") + secret.base32;
    if (!secret.issuer.isEmpty())
        uri += QStringLiteral("&issuer=") + QString::fromLatin1(QUrl::toPercentEncoding(secret.issuer));
    if (secret.algorithm == TotpSecret::Algorithm::Sha256)
        uri += QStringLiteral("&algorithm=SHA256");
    else if (secret.algorithm == TotpSecret::Algorithm::Sha512)
        uri += QStringLiteral("&algorithm=SHA512");
    return uri + QStringLiteral("&digits=%1&period=%2").arg(secret.digits).arg(secret.period);
}

QString notesWithTotpUri(const QString& notes, const QString& uri)
{
    QStringList lines = notes.split(QLatin1Char('\n'));
    for (QString& line : lines) {
        const QString text = secretTextOf(line);
        if (!text.isEmpty() && parseTotpSecret(text)) {
            line = uri;
            return lines.join(QLatin1Char('\n'));
        }
    }
    if (notes.isEmpty())
        return uri;
    return notes + (notes.endsWith(QLatin1Char('\n')) ? QString() : QStringLiteral("\n")) + uri;
}
