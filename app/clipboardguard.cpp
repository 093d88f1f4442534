#include "clipboardguard.h"

#include "store/secretmemory.h"

#include <QClipboard>
#include <QMimeData>

#include <limits>

#include <sodium.h>

ClipboardGuard::ClipboardGuard(QClipboard* clipboard, MonotonicClock clock, QObject* parent)
    : QObject(parent), clipboard(clipboard), clock(std::move(clock)), digestKey(crypto_generichash_KEYBYTES, '\0')
{
    timer.setObjectName(QStringLiteral("clipboardClearTimer"));
    timer.setSingleShot(true);
    connect(&timer, &QTimer::timeout, this, &ClipboardGuard::checkTime);
    if (sodiumReady())
        randombytes_buf(digestKey.data(), size_t(digestKey.size()));
    connect(clipboard, &QClipboard::dataChanged, this, &ClipboardGuard::onClipboardChanged);
}

void ClipboardGuard::setClearSeconds(int newSeconds)
{
    seconds = qMax(0, newSeconds);
    checkTime();
}

void ClipboardGuard::copyPassword(const QString& password)
{
    // The hint asks clipboard managers not to record the password.
    auto* data = new QMimeData;
    data->setText(password);
    data->setData(QStringLiteral("x-kde-passwordManagerHint"), QByteArrayLiteral("secret"));
    copying = true;
    clipboard->setMimeData(data, QClipboard::Clipboard);
    copying = false;
    copiedDigest = digest(password);
    copiedAt = clock();
    pending = true;
    checkTime();
}

void ClipboardGuard::clearNow()
{
    if (!pending)
        return;
    pending = false;
    timer.stop();
    if (holdsPassword()) {
        clipboard->clear(QClipboard::Clipboard);
        emit cleared();
    }
}

void ClipboardGuard::checkTime()
{
    if (!pending || seconds == 0) {
        timer.stop();
        return;
    }
    const qint64 left = copiedAt + qint64(seconds) * 1000 - clock();
    if (left <= 0) {
        clearNow();
        return;
    }
    emit countingDown(int(qMin<qint64>((left + 999) / 1000, std::numeric_limits<int>::max())));
    // Again when the count of seconds left goes down.
    timer.start(int((left - 1) % 1000 + 1));
}

QByteArray ClipboardGuard::digest(const QString& text) const
{
    QByteArray out(crypto_generichash_BYTES, Qt::Uninitialized);
    crypto_generichash(reinterpret_cast<unsigned char*>(out.data()), size_t(out.size()),
                       reinterpret_cast<const unsigned char*>(text.constData()), size_t(text.size()) * sizeof(QChar),
                       reinterpret_cast<const unsigned char*>(digestKey.constData()), size_t(digestKey.size()));
    return out;
}

bool ClipboardGuard::holdsPassword() const
{
    // Not wiped: the text may share its storage with the clipboard's own.
    return digest(clipboard->text(QClipboard::Clipboard)) == copiedDigest;
}

void ClipboardGuard::onClipboardChanged()
{
    // Something else copied since: its text is not ours to clear.
    if (pending && !copying && !holdsPassword()) {
        pending = false;
        timer.stop();
    }
}
