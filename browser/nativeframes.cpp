#include "browser/nativeframes.h"

#include <QStandardPaths>

#include <cstring>

QByteArray nativeFrame(const QByteArray& message)
{
    const quint32 length = quint32(message.size());
    QByteArray frame(sizeof length, '\0');
    std::memcpy(frame.data(), &length, sizeof length);
    return frame + message;
}

void NativeFrameReader::dropSkipped()
{
    const qsizetype dropped = qsizetype(qMin<quint64>(skipping, quint64(buffer.size())));
    buffer.remove(0, dropped);
    skipping -= quint64(dropped);
}

NativeFrameReader::Result NativeFrameReader::next(QByteArray& frame)
{
    frame.clear();
    dropSkipped();
    if (skipping > 0)
        return Result::NeedMore;
    quint32 length = 0;
    if (buffer.size() < qsizetype(sizeof length))
        return Result::NeedMore;
    std::memcpy(&length, buffer.constData(), sizeof length);
    if (length > kMaxBrowserMessage) {
        buffer.remove(0, sizeof length);
        skipping = length;
        dropSkipped();
        return Result::TooLarge;
    }
    if (buffer.size() < qsizetype(sizeof length + length))
        return Result::NeedMore;
    frame = buffer.mid(sizeof length, length);
    buffer.remove(0, sizeof length + length);
    return Result::Frame;
}

QString browserSocketPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation) + QStringLiteral("/vaultry-browser");
}
