#include "sync/mergebase.h"

#include <QDataStream>
#include <QIODevice>

namespace {

constexpr int kOwnWritesKept = 32;

} // namespace

MergeBase MergeBase::of(const Payload& shared)
{
    MergeBase base;
    base.known = true;
    base.shared = shared;
    return base;
}

void MergeBase::noteOwnWrite(const QByteArray& fileDigest)
{
    if (fileDigest.isEmpty() || ownWrites.contains(fileDigest))
        return;
    ownWrites << fileDigest;
    if (ownWrites.size() > kOwnWritesKept)
        ownWrites.removeFirst();
}

bool MergeBase::isOwnWrite(const QByteArray& fileDigest) const
{
    return !fileDigest.isEmpty() && ownWrites.contains(fileDigest);
}

QByteArray MergeBase::encode() const
{
    QByteArray bytes;
    QDataStream stream(&bytes, QIODevice::WriteOnly);
    stream.setVersion(QDataStream::Qt_4_6);
    stream << quint32(0x56594231) << quint8(known) << ownWrites;
    bytes += encodePayload(shared);
    return bytes;
}

bool MergeBase::decode(const QByteArray& bytes, MergeBase& base)
{
    QDataStream stream(bytes);
    stream.setVersion(QDataStream::Qt_4_6);
    quint32 magic = 0;
    quint8 known = 0;
    MergeBase read;
    stream >> magic >> known >> read.ownWrites;
    if (magic != 0x56594231 || stream.status() != QDataStream::Ok)
        return false;
    read.known = known != 0;
    if (!decodePayload(bytes.mid(int(stream.device()->pos())), read.shared))
        return false;
    base = std::move(read);
    return true;
}

IncomingMerge mergeIncoming(const MergeBase& base, const Payload& ours, const Payload& theirs, IncomingKind kind,
                            qint64 nowMsecs)
{
    Q_UNUSED(nowMsecs);
    StoreMerge merge = base.isEmpty() ? mergeStore(ours, theirs) : mergeStore(base.shared, ours, theirs);
    IncomingMerge result;
    result.merged = std::move(merge.merged);
    result.vault = std::move(merge.vault);
    result.preferences = std::move(merge.preferences);
    result.theirsOutdated = merge.theirsOutdated;
    result.base = base;
    if (kind == IncomingKind::StoreFile) {
        const QList<QByteArray> own = base.ownWrites;
        result.base = MergeBase::of(theirs);
        result.base.ownWrites = own;
    }
    return result;
}
