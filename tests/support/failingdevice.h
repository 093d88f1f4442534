#pragma once

#include <QByteArray>
#include <QIODevice>

// A write-only device that takes `limit` bytes and then refuses every write, as a full disk
// does. The bytes it takes are kept, and passed on to `target` when one is given.
class FailingDevice : public QIODevice
{
public:
    explicit FailingDevice(qint64 limit, QIODevice* target = nullptr) : limit(limit), target(target) {}

    QByteArray written() const { return accepted; }

protected:
    qint64 readData(char*, qint64) override { return -1; }

    qint64 writeData(const char* data, qint64 size) override
    {
        const qint64 room = limit - accepted.size();
        if (room <= 0) {
            setErrorString(QStringLiteral("No space left on device"));
            return -1;
        }
        const qint64 taken = qMin(size, room);
        accepted.append(data, taken);
        if (target && target->write(data, taken) != taken) {
            setErrorString(target->errorString());
            return -1;
        }
        return taken;
    }

private:
    qint64 limit;
    QIODevice* target;
    QByteArray accepted;
};
