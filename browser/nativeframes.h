#pragma once

#include <QByteArray>
#include <QString>

// Native messaging's frames: a 4-byte length in the machine's byte order, then that many bytes
// of UTF-8 JSON. The browser, the host executable and the window all speak them.
inline constexpr quint32 kMaxBrowserMessage = 1024 * 1024; // browsers take no larger answer

QByteArray nativeFrame(const QByteArray& message);

// Where the window listens for the host executable: $XDG_RUNTIME_DIR/vaultry-browser.
QString browserSocketPath();

// Cuts frames out of a byte stream as it arrives. A frame longer than the limit is skipped
// without being kept, so that the frames after it are still read.
class NativeFrameReader
{
public:
    enum class Result
    {
        NeedMore,
        Frame,
        TooLarge, // one frame over the limit was found; its bytes are being skipped
    };

    void append(const QByteArray& bytes) { buffer.append(bytes); }
    // The next whole frame into `frame`, if there is one.
    Result next(QByteArray& frame);

private:
    void dropSkipped();

    QByteArray buffer;
    quint64 skipping = 0;
};
