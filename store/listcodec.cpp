#include "listcodec.h"

#include "payload.h"
#include "sealeddata.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QDataStream>

QString listCheckString(const QString& password)
{
    const QByteArray digest = QCryptographicHash::hash(password.toLatin1(), QCryptographicHash::Md5);
    const qsizetype zero = digest.indexOf('\0');
    return QString::fromLatin1(digest.constData(), zero < 0 ? digest.size() : zero);
}

QByteArray encodeList(const EntryList& entries, const QString& password)
{
    return encodeList(entries.toList(), password);
}

QByteArray encodeList(const QList<Entry>& entries, const QString& password)
{
    return encodeListFile(encodeEntryList(entries), password);
}

QByteArray encodeListFile(const QByteArray& plainList, const QString& password)
{
    QByteArray sealed = plainList;
    encryptData(sealed, password);

    QByteArray file;
    QBuffer buffer(&file);
    buffer.open(QIODevice::WriteOnly);
    QDataStream stream(&buffer);
    stream.setVersion(QDataStream::Qt_4_6);
    stream << listCheckString(password) << sealed;
    return file;
}

ListDecodeResult decodeList(const QByteArray& fileBytes, const QString& password)
{
    ListDecodeResult result;
    QBuffer buffer;
    buffer.setData(fileBytes);
    buffer.open(QIODevice::ReadOnly);
    QDataStream stream(&buffer);
    stream.setVersion(QDataStream::Qt_4_6);
    // QDataStream reads a string or byte array of an absurd stated size a megabyte at a
    // time and gives up at the end of the data, so a corrupt count allocates little.
    QString check;
    QByteArray sealed;
    stream >> check >> sealed;
    if (stream.status() != QDataStream::Ok) {
        result.status = ListDecodeResult::Unreadable;
        return result;
    }
    if (check != listCheckString(password)) {
        result.status = ListDecodeResult::WrongPassword;
        return result;
    }
    const bool leftOver = !buffer.atEnd();
    const bool wellFormed = openSealed(sealed, password.toLatin1());
    const bool exact = decodeEntryList(sealed, result.entries);
    result.status = wellFormed && exact && !leftOver ? ListDecodeResult::Ok : ListDecodeResult::Damaged;
    return result;
}
