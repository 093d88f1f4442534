#include "masterpassword.h"

#include <QCryptographicHash>

QString hashMasterPassword(const QString& text)
{
    const QByteArray digest = QCryptographicHash::hash(text.toLatin1(), QCryptographicHash::Sha1);
    return QString::fromLatin1(digest.toHex());
}
