#include "generator.h"

#include "vault/randomsource.h"

#include <QVarLengthArray>

int randomInt(int low, int high)
{
    if (low > high)
        std::swap(low, high);
    const qint64 span = qint64(high) - qint64(low) + 1;
    return int(low + qint64(RandomSource::next() % quint64(span)));
}

QString generatePassword(int minLength, int maxLength, bool mixedCase, bool alphanumeric, bool specialChars)
{
    // Lengths from a damaged or hand-made store are brought into what the settings dialog
    // allows, so a password is never empty and never absurdly long.
    maxLength = qBound(kMinPasswordLength, maxLength, kMaxPasswordLength);
    minLength = qBound(kMinPasswordLength, minLength, maxLength);
    const int length = randomInt(minLength, maxLength);

    QString pool = QStringLiteral("abcdefghijklmnopqrstuvwxyz");
    if (alphanumeric)
        pool += QStringLiteral("0123456789");
    if (mixedCase)
        pool += QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZ");
    if (specialChars)
        pool += QStringLiteral("!@#$%^&*()-=+*/?<>");

    QString result;
    QVarLengthArray<quint32, 128> draws(length);
    RandomSource::fill(draws.data(), length);
    result.reserve(length);
    for (quint32 draw : draws)
        result.append(pool.at(draw % quint32(pool.size())));
    return result;
}
