#include "sync/mergebase.h"

#include <QDataStream>
#include <QIODevice>
#include <QtEndian>

#include <sodium.h>

#include <algorithm>

namespace {

constexpr quint32 kMagic = 0x56594233; // "VYB3"
constexpr int kOwnWritesKept = 32;
constexpr qint64 kRecordBytes = 8 + 4 * MergeFieldCount;

using TextField = QString Entry::*;
constexpr TextField kTextFields[] = {&Entry::title,   &Entry::category, &Entry::url,
                                     &Entry::account, &Entry::password, &Entry::notes};

bool byId(const MergeBase::Record& a, const MergeBase::Record& b)
{
    return a.id < b.id;
}

template <typename List> auto findId(const List& list, quint64 id, quint64 (*idOf)(const typename List::value_type&))
{
    auto it = std::lower_bound(list.begin(), list.end(), id,
                               [&](const typename List::value_type& r, quint64 wanted) { return idOf(r) < wanted; });
    return it != list.end() && idOf(*it) == id ? &*it : nullptr;
}

quint64 recordId(const MergeBase::Record& r)
{
    return r.id;
}
quint64 deletionId(const MergeBase::Deletion& d)
{
    return d.version.id;
}

const MergeBase::Record* findRecord(const std::vector<MergeBase::Record>& list, quint64 id)
{
    return findId(list, id, recordId);
}
const MergeBase::Deletion* findDeletion(const std::vector<MergeBase::Deletion>& list, quint64 id)
{
    return findId(list, id, deletionId);
}

bool sameRecordDigests(const MergeBase::Record& a, const MergeBase::Record& b, int mask)
{
    for (int i = 0; i < MergeFieldCount; ++i) {
        if ((mask & (1 << i)) && a.fields[i] != b.fields[i])
            return false;
    }
    return true;
}

int maskOf(const MergeBase::Record& before, const MergeBase::Record& now)
{
    int mask = 0;
    for (int i = 0; i < MergeFieldCount; ++i)
        mask |= before.fields[i] == now.fields[i] ? 1 << i : 0;
    return mask;
}

// A count, then the records as QDataStream writes their numbers, some hundred at a time: a
// write to the stream per number took longer than making the digests.
void writeRecords(QDataStream& out, const std::vector<MergeBase::Record>& records)
{
    out << quint64(records.size());
    constexpr qint64 kBatch = 256;
    char batch[kBatch * kRecordBytes];
    qint64 used = 0;
    for (const MergeBase::Record& r : records) {
        qToBigEndian(r.id, batch + used);
        used += 8;
        for (quint32 field : r.fields) {
            qToBigEndian(field, batch + used);
            used += 4;
        }
        if (used == qint64(sizeof batch)) {
            out.writeRawData(batch, int(used));
            used = 0;
        }
    }
    out.writeRawData(batch, int(used));
}

void writeVersion(QDataStream& out, const MergeBase::Version& version)
{
    writeRecords(out, version.records);
    out << quint64(version.categories.size());
    for (quint64 c : version.categories)
        out << c;
    const Preferences& p = version.preferences;
    out << p.masterPasswordHash << p.hidePassword << p.maxLoginAttempts << p.genAlphanum << p.genMaxLength
        << p.genMinLength << p.genMixedCase << p.genSpecialChars << p.firstRun;
}

// A count that the rest of the bytes can hold, each element at least `bytes` long.
bool plausible(QDataStream& in, quint64 count, qint64 bytes)
{
    const qint64 left = in.device()->size() - in.device()->pos();
    return in.status() == QDataStream::Ok && count <= quint64(left / bytes);
}

// QDataStream's own readers size a text or list by the count they read, which damaged bytes can
// make gigabytes: these check it against what is left first.
bool readBlob(QDataStream& in, QByteArray& blob)
{
    quint32 size = 0;
    in >> size;
    if (size == 0xFFFFFFFF) {
        blob = QByteArray();
        return in.status() == QDataStream::Ok;
    }
    if (!plausible(in, size, 1))
        return false;
    blob = QByteArray(""); // empty, not null
    blob.resize(qsizetype(size));
    return in.readRawData(blob.data(), int(size)) == int(size);
}

bool readBlobs(QDataStream& in, QList<QByteArray>& list)
{
    quint32 count = 0;
    in >> count;
    if (!plausible(in, count, 4))
        return false;
    list.clear();
    for (quint32 i = 0; i < count; ++i) {
        QByteArray blob;
        if (!readBlob(in, blob))
            return false;
        list << blob;
    }
    return true;
}

bool readText(QDataStream& in, QString& text)
{
    QByteArray utf16;
    if (!readBlob(in, utf16) || utf16.size() % 2)
        return false;
    if (utf16.isNull()) {
        text = QString();
        return true;
    }
    text = QLatin1String("");
    text.resize(utf16.size() / 2);
    for (qsizetype i = 0; i < text.size(); ++i)
        text[i] = QChar(quint16((quint8(utf16[2 * i]) << 8) | quint8(utf16[2 * i + 1])));
    return true;
}

bool readRecord(QDataStream& in, MergeBase::Record& r)
{
    in >> r.id;
    for (quint32& field : r.fields)
        in >> field;
    return in.status() == QDataStream::Ok;
}

bool readVersion(QDataStream& in, MergeBase::Version& version)
{
    quint64 count = 0;
    in >> count;
    if (!plausible(in, count, kRecordBytes))
        return false;
    version.records.resize(count);
    for (MergeBase::Record& r : version.records) {
        if (!readRecord(in, r))
            return false;
    }
    in >> count;
    if (!plausible(in, count, 8))
        return false;
    version.categories.resize(count);
    for (quint64& c : version.categories)
        in >> c;
    Preferences& p = version.preferences;
    if (!readText(in, p.masterPasswordHash))
        return false;
    in >> p.hidePassword >> p.maxLoginAttempts >> p.genAlphanum >> p.genMaxLength >> p.genMinLength >> p.genMixedCase >>
        p.genSpecialChars >> p.firstRun;
    // Looked up by halving: ascending, each id once.
    const auto ascending = [](const auto& list, auto idOf) {
        for (size_t i = 1; i < list.size(); ++i) {
            if (!(idOf(list[i - 1]) < idOf(list[i])))
                return false;
        }
        return true;
    };
    return in.status() == QDataStream::Ok && ascending(version.records, recordId) &&
           ascending(version.categories, [](quint64 c) { return c; });
}

} // namespace

// By id, each version once, the last kVersionsKept of each id (later ones come later in `list`).
static std::vector<MergeBase::Record> recentVersions(std::vector<MergeBase::Record> list)
{
    constexpr int kVersionsKept = 8;
    std::stable_sort(list.begin(), list.end(), byId);
    std::vector<MergeBase::Record> kept;
    kept.reserve(list.size());
    for (size_t i = 0; i < list.size();) {
        size_t end = i;
        while (end < list.size() && list[end].id == list[i].id)
            ++end;
        const size_t first = kept.size();
        for (size_t k = end; k-- > i;) { // newest first, each once
            bool known = false;
            for (size_t j = first; j < kept.size() && !known; ++j)
                known = sameRecordDigests(kept[j], list[k], kAllFields);
            if (!known && kept.size() - first < kVersionsKept)
                kept.push_back(list[k]);
        }
        i = end;
    }
    kept.shrink_to_fit();
    return kept;
}

void MergeBase::remember(QList<QByteArray>& list, const QByteArray& digest)
{
    if (digest.isEmpty() || list.contains(digest))
        return;
    list << digest;
    if (list.size() > kOwnWritesKept)
        list.removeFirst();
}

// The base seen from one merge: which version of each entry a side that holds its fields left
// unchanged. `written`: the store file follows this program's last write.
class DigestAncestor : public MergeAncestor
{
public:
    DigestAncestor(const MergeBase& base, bool follows, bool copy, bool deletesShared = false, bool deletesKept = false)
        : base(base), follows(follows), useWritten(follows && base.hasWritten), copy(copy),
          deletesShared(deletesShared), deletesKept(deletesKept)
    {
    }

    // Ours is a version kept once against a store file that lacked it.
    bool isKeptAgainstDeletion(const Entry& entry) const
    {
        if (!deletesKept)
            return false;
        const MergeBase::Record now = base.record(entry);
        const MergeBase::Deletion* kept = findDeletion(base.keptAgainstDeletion, now.id);
        return kept && sameRecordDigests(kept->version, now, kContentFields);
    }

    bool isEmpty() const override { return !base.known; }
    // A store file that did not follow our last write may come from a computer that never saw
    // what the base holds: what it lacks is not known to be deleted. Its maker, which deleted it,
    // holds the deletion and writes it again.
    bool mayDelete() const override { return !copy && (follows || deletesShared); }
    // A store file beside a copy that shows one of our writes since the version last shared
    // descends from it, and so from every entry that version held: what it lacks of those, it deleted.
    bool mayDeleteEntry(const Entry& entry) const override
    {
        if (copy)
            return false;
        if (follows || isKeptAgainstDeletion(entry))
            return true;
        return deletesShared && findRecord(base.shared.records, base.idDigest(entry.id)) != nullptr;
    }
    bool oursAsBeforeIsOlder() const override { return follows; }

    // The version this merge starts from, or the deleted one.
    const MergeBase::Record* before(quint64 id) const
    {
        if (!base.known)
            return nullptr;
        if (useWritten) {
            if (const MergeBase::Record* r = findRecord(base.written.records, id))
                return r;
        }
        if (const MergeBase::Record* r = findRecord(base.shared.records, id))
            return r;
        if (const MergeBase::Deletion* d = findDeletion(base.deletions, id))
            return &d->version;
        return nullptr;
    }

    // Without our last write followed, the versions seen from elsewhere and those we wrote tell
    // which values are not new.
    int fieldsAsBefore(const Entry& entry) const override
    {
        return isKeptAgainstDeletion(entry) ? kAllFields : mask(entry, false);
    }
    int theirFieldsAsBefore(const Entry& entry) const override { return mask(entry, true); }

    int mask(const Entry& entry, bool theirs) const
    {
        const MergeBase::Record now = base.record(entry);
        const MergeBase::Record* was = before(now.id);
        int mask = was ? maskOf(*was, now) : -1;
        if (!base.known)
            return mask;
        const auto add = [&](const std::vector<MergeBase::Record>& list) {
            auto it = std::lower_bound(list.begin(), list.end(), now, byId);
            for (; it != list.end() && it->id == now.id; ++it)
                mask = std::max(mask, 0) | maskOf(*it, now);
        };
        if (follows) {
            // Even a file that follows our last write may have been made from the version shared
            // before it (a sync tool that kept no copy): a value of theirs that is an older shared
            // one is nothing new, so it never undoes what was saved here since.
            if (theirs && was && useWritten) {
                if (const MergeBase::Record* shared = findRecord(base.shared.records, now.id))
                    mask = std::max(mask, 0) | maskOf(*shared, now);
                add(base.history);
            }
            return mask;
        }
        add(base.seen);
        if (theirs)
            add(base.history);
        return mask;
    }

    bool isDeletedVersion(const Entry& entry) const override
    {
        if (!base.known)
            return false;
        const MergeBase::Record now = base.record(entry);
        for (const std::vector<MergeBase::Record>* list : {&base.history, &base.seen}) {
            auto it = std::lower_bound(list->begin(), list->end(), now, byId);
            for (; it != list->end() && it->id == now.id; ++it) {
                if (sameRecordDigests(*it, now, kContentFields))
                    return true;
            }
        }
        for (const MergeBase::Record* was :
             {findRecord(base.written.records, now.id), findRecord(base.shared.records, now.id)}) {
            if (was && sameRecordDigests(*was, now, kContentFields))
                return true;
        }
        const MergeBase::Deletion* d = findDeletion(base.deletions, now.id);
        return d && sameRecordDigests(d->version, now, kContentFields);
    }

    bool hadCategory(const QString& name) const override
    {
        if (!base.known)
            return false;
        const std::vector<quint64>& list = useWritten ? base.written.categories : base.shared.categories;
        return std::binary_search(list.begin(), list.end(), base.idDigest(QLatin1String("category\n") + name));
    }

    const Preferences& preferences() const { return useWritten ? base.written.preferences : base.shared.preferences; }

private:
    const MergeBase& base;
    const bool follows; // theirs follows our last write
    const bool useWritten;
    const bool copy;
    const bool deletesShared;
    const bool deletesKept;
};

quint64 MergeBase::idDigest(const QString& id) const
{
    quint64 out = 0;
    crypto_shorthash(reinterpret_cast<unsigned char*>(&out), reinterpret_cast<const unsigned char*>(id.constData()),
                     quint64(id.size()) * 2, reinterpret_cast<const unsigned char*>(key.constData()));
    return out;
}

MergeBase::Record MergeBase::record(const Entry& entry) const
{
    Record r{};
    r.id = idDigest(entry.id);
    const auto digest = [&](int field, const void* data, size_t size, bool isNull) {
        // The field's number and whether it is null go first, so equal texts in two fields differ.
        unsigned char buffer[256];
        unsigned char out[crypto_shorthash_BYTES];
        const unsigned char head[2] = {quint8(field), quint8(isNull)};
        if (size + 2 <= sizeof buffer) {
            std::copy(head, head + 2, buffer);
            std::copy_n(static_cast<const unsigned char*>(data), size, buffer + 2);
            crypto_shorthash(out, buffer, size + 2, reinterpret_cast<const unsigned char*>(key.constData()));
        } else {
            QByteArray joined(reinterpret_cast<const char*>(head), 2);
            joined.append(static_cast<const char*>(data), qsizetype(size));
            crypto_shorthash(out, reinterpret_cast<const unsigned char*>(joined.constData()), size_t(joined.size()),
                             reinterpret_cast<const unsigned char*>(key.constData()));
        }
        quint32 value = 0;
        std::copy_n(out, 4, reinterpret_cast<unsigned char*>(&value));
        r.fields[field] = value;
    };
    for (int i = 0; i < int(std::size(kTextFields)); ++i) {
        const QString& text = entry.*kTextFields[i];
        digest(i, text.constData(), size_t(text.size()) * 2, text.isNull());
    }
    char time[9];
    entry.dateCreated.toStream(time);
    digest(CreatedField, time, sizeof time, false);
    entry.dateChanged.toStream(time);
    digest(ChangedField, time, sizeof time, false);
    return r;
}

MergeBase::Version MergeBase::version(const Payload& payload) const
{
    Version v;
    v.records.reserve(size_t(payload.entries.size()));
    for (const Entry& entry : payload.entries)
        v.records.push_back(record(entry));
    // Sorted in place: a stable sort would take a second array as large.
    std::sort(v.records.begin(), v.records.end(), byId);
    const auto sameId = [](const Record& a, const Record& b) { return a.id == b.id; };
    if (std::adjacent_find(v.records.begin(), v.records.end(), sameId) != v.records.end()) {
        // A file may hold an id twice: its first record stands for it, as the merge reads it.
        std::vector<quint64> repeated;
        for (size_t i = 1; i < v.records.size(); ++i) {
            if (v.records[i].id == v.records[i - 1].id && (repeated.empty() || repeated.back() != v.records[i].id))
                repeated.push_back(v.records[i].id);
        }
        std::vector<bool> done(repeated.size());
        for (const Entry& entry : payload.entries) {
            const quint64 id = idDigest(entry.id);
            const auto at = std::lower_bound(repeated.begin(), repeated.end(), id);
            if (at == repeated.end() || *at != id || done[size_t(at - repeated.begin())])
                continue;
            done[size_t(at - repeated.begin())] = true;
            *std::lower_bound(v.records.begin(), v.records.end(), Record{id, {}}, byId) = record(entry);
        }
        v.records.erase(std::unique(v.records.begin(), v.records.end(), sameId), v.records.end());
        v.records.shrink_to_fit();
    }
    v.categories.reserve(size_t(payload.categories.size()));
    for (const QString& name : payload.categories)
        v.categories.push_back(idDigest(QLatin1String("category\n") + name));
    std::sort(v.categories.begin(), v.categories.end());
    v.categories.erase(std::unique(v.categories.begin(), v.categories.end()), v.categories.end());
    v.preferences = payload.preferences;
    return v;
}

MergeBase MergeBase::of(const Payload& shared)
{
    MergeBase base;
    base.known = true;
    base.key.resize(crypto_shorthash_KEYBYTES);
    randombytes_buf(base.key.data(), size_t(base.key.size()));
    base.shared = base.version(shared);
    return base;
}

void MergeBase::noteOwnWrite(const QByteArray& fileDigest)
{
    remember(ownWrites, fileDigest);
    lastFile = fileDigest;
}

bool MergeBase::isOwnWrite(const QByteArray& fileDigest) const
{
    return !fileDigest.isEmpty() && ownWrites.contains(fileDigest);
}

void MergeBase::noteTakenIn(const QByteArray& fileDigest)
{
    remember(takenIn, fileDigest);
    lastFile = fileDigest;
}

bool MergeBase::isTakenIn(const QByteArray& fileDigest) const
{
    return !fileDigest.isEmpty() && takenIn.contains(fileDigest);
}

void MergeBase::forgetOldDeletions(qint64 nowMsecs)
{
    const auto old = [&](const Deletion& d) { return nowMsecs - d.atMsecs > kDeletionsKeptMsecs; };
    deletions.erase(std::remove_if(deletions.begin(), deletions.end(), old), deletions.end());
    keptAgainstDeletion.erase(std::remove_if(keptAgainstDeletion.begin(), keptAgainstDeletion.end(), old),
                              keptAgainstDeletion.end());
}

void MergeBase::noteOwnWrite(const Payload& payload, const QByteArray& fileDigest, qint64 nowMsecs)
{
    noteOwnWrite(fileDigest);
    if (!known)
        return; // without a base nothing is deleted anyway; the next file taken in starts one
    Version now = version(payload);
    // What went since the file last known: remembered as deleted, with the version last known.
    std::vector<Deletion> gone;
    const auto noteGone = [&](const std::vector<Record>& list) {
        for (const Record& r : list) {
            if (!findRecord(now.records, r.id) && !findDeletion(deletions, r.id))
                gone.push_back({r, nowMsecs});
        }
    };
    if (hasWritten)
        noteGone(written.records);
    noteGone(shared.records);
    std::sort(gone.begin(), gone.end(),
              [](const Deletion& a, const Deletion& b) { return a.version.id < b.version.id; });
    gone.erase(std::unique(gone.begin(), gone.end(),
                           [](const Deletion& a, const Deletion& b) { return a.version.id == b.version.id; }),
               gone.end());
    std::vector<Deletion> all;
    all.reserve(deletions.size() + gone.size());
    std::merge(deletions.begin(), deletions.end(), gone.begin(), gone.end(), std::back_inserter(all),
               [](const Deletion& a, const Deletion& b) { return a.version.id < b.version.id; });
    // Back in the vault: no longer deleted.
    all.erase(std::remove_if(all.begin(), all.end(),
                             [&](const Deletion& d) { return findRecord(now.records, d.version.id) != nullptr; }),
              all.end());
    deletions = std::move(all);
    forgetOldDeletions(nowMsecs);
    // Only what differs from shared is kept.
    now.records.erase(std::remove_if(now.records.begin(), now.records.end(),
                                     [&](const Record& r) {
                                         const Record* s = findRecord(shared.records, r.id);
                                         return s && sameRecordDigests(*s, r, kAllFields);
                                     }),
                      now.records.end());
    now.records.shrink_to_fit();
    std::vector<Record> versions = history;
    versions.insert(versions.end(), now.records.begin(), now.records.end());
    history = recentVersions(std::move(versions));
    written = std::move(now);
    hasWritten = true;
}

bool MergeBase::sharesNoEntry(const Payload& ours, const Payload& theirs) const
{
    if (theirs.entries.isEmpty())
        return false;
    for (const Entry& entry : theirs.entries) {
        if (ours.entries.containsId(entry.id))
            return false;
        if (known) {
            const quint64 id = idDigest(entry.id);
            if (findRecord(shared.records, id) || findRecord(written.records, id) || findDeletion(deletions, id))
                return false;
        }
    }
    return true;
}

qsizetype MergeBase::memoryBytes() const
{
    const auto bytes = [](const Version& v) {
        return qsizetype(v.records.capacity() * sizeof(Record) + v.categories.capacity() * 8);
    };
    return qsizetype(sizeof *this) + bytes(shared) + bytes(written) +
           qsizetype((history.capacity() + seen.capacity()) * sizeof(Record)) +
           qsizetype((deletions.capacity() + keptAgainstDeletion.capacity()) * sizeof(Deletion));
}

QByteArray MergeBase::encode() const
{
    QByteArray bytes;
    // Room for all of it at once (the digests, the lists of file hashes, a little more), rather
    // than growing by copies.
    const size_t records = shared.records.size() + written.records.size() + history.size() + seen.size();
    const qsizetype hashes = ownWrites.size() + takenIn.size() + mergedCopies.size() + 1;
    bytes.reserve(qsizetype(records * kRecordBytes +
                            (deletions.size() + keptAgainstDeletion.size()) * (kRecordBytes + 8) +
                            (shared.categories.size() + written.categories.size()) * 8) +
                  hashes * 64 + 4096);
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out.setVersion(QDataStream::Qt_4_6);
    out << kMagic << quint8(known) << key << ownWrites << takenIn << lastFile << mergedCopies;
    writeVersion(out, shared);
    out << quint8(hasWritten);
    writeVersion(out, written);
    writeRecords(out, history);
    writeRecords(out, seen);
    for (const std::vector<Deletion>* list : {&deletions, &keptAgainstDeletion}) {
        out << quint64(list->size());
        for (const Deletion& d : *list) {
            out << d.version.id;
            for (quint32 field : d.version.fields)
                out << field;
            out << d.atMsecs;
        }
    }
    return bytes;
}

bool MergeBase::decode(const QByteArray& bytes, MergeBase& base)
{
    QDataStream in(bytes);
    in.setVersion(QDataStream::Qt_4_6);
    quint32 magic = 0;
    quint8 known = 0;
    quint8 hasWritten = 0;
    MergeBase read;
    in >> magic >> known;
    if (magic != kMagic || in.status() != QDataStream::Ok)
        return false;
    if (!readBlob(in, read.key) || !readBlobs(in, read.ownWrites) || !readBlobs(in, read.takenIn) ||
        !readBlob(in, read.lastFile) || !readBlobs(in, read.mergedCopies))
        return false;
    if (read.key.size() != crypto_shorthash_KEYBYTES && !(known == 0 && read.key.isEmpty()))
        return false;
    if (!readVersion(in, read.shared))
        return false;
    in >> hasWritten;
    if (!readVersion(in, read.written))
        return false;
    quint64 count = 0;
    in >> count;
    if (!plausible(in, count, kRecordBytes))
        return false;
    read.history.resize(count);
    for (Record& r : read.history) {
        if (!readRecord(in, r))
            return false;
    }
    if (!std::is_sorted(read.history.begin(), read.history.end(), byId))
        return false;
    in >> count;
    if (!plausible(in, count, kRecordBytes))
        return false;
    read.seen.resize(count);
    for (Record& r : read.seen) {
        if (!readRecord(in, r))
            return false;
    }
    if (!std::is_sorted(read.seen.begin(), read.seen.end(), byId))
        return false;
    for (std::vector<Deletion>* list : {&read.deletions, &read.keptAgainstDeletion}) {
        in >> count;
        if (!plausible(in, count, kRecordBytes + 8))
            return false;
        list->resize(count);
        for (Deletion& d : *list) {
            if (!readRecord(in, d.version))
                return false;
            in >> d.atMsecs;
        }
        for (size_t i = 1; i < list->size(); ++i) {
            if (!((*list)[i - 1].version.id < (*list)[i].version.id))
                return false;
        }
    }
    if (in.status() != QDataStream::Ok || !in.atEnd())
        return false;
    read.known = known != 0;
    read.hasWritten = hasWritten != 0;
    base = std::move(read);
    return true;
}

IncomingMerge mergeIncoming(const MergeBase& base, const Payload& ours, const Payload& theirs, IncomingKind kind,
                            qint64 nowMsecs)
{
    const bool copy = kind == IncomingKind::ConflictedCopy;
    // With no copy beside it, the sync tool replaced our last write with this file: it saw it.
    const bool noCopyBeside = kind == IncomingKind::StoreFile;
    // A store file follows our last write only if it shows it: it holds one of the versions we wrote
    // since the last shared one. One that holds none was made without it (a sync tool that kept
    // no copy of the version that lost): merged against what is known, it deletes nothing.
    bool showsOurWrite = false;
    if (kind != IncomingKind::ConflictedCopy && base.hasWritten && !base.written.records.empty()) {
        bool shown = false;
        for (const Entry& entry : theirs.entries) {
            const MergeBase::Record now = base.record(entry);
            const MergeBase::Record* wrote = findRecord(base.written.records, now.id);
            if (!wrote)
                continue;
            // An entry we added, or one that keeps a field as we changed it.
            const MergeBase::Record* was = findRecord(base.shared.records, now.id);
            int ours = 0;
            for (int i = 0; was && i < MergeFieldCount; ++i)
                ours |= wrote->fields[i] != was->fields[i] ? 1 << i : 0;
            int kept = 0;
            for (int i = 0; i < MergeFieldCount; ++i)
                kept |= (ours & (1 << i)) && wrote->fields[i] == now.fields[i] ? 1 << i : 0;
            if (!was || kept)
                shown = true;
            // Deleting beside a copy takes a firmer sign, a field as we changed it since the version
            // shared: an entry we added may be in an older file of ours as well.
            showsOurWrite = showsOurWrite || kept;
        }
        if (!shown)
            kind = IncomingKind::StoreFileBesideCopy;
    }
    // Beside a copy, a store file that shows our write still deletes what the version shared then held.
    const bool deletesShared = kind == IncomingKind::StoreFileBesideCopy && showsOurWrite;
    const DigestAncestor ancestor(base, kind == IncomingKind::StoreFile, copy, deletesShared, noCopyBeside);
    // Settings of theirs as last shared are no change of theirs, whatever we wrote since (a new
    // master password here must not give way to the old one of a file made before it).
    const Preferences& preferencesBefore =
        base.known && theirs.preferences == base.shared.preferences ? base.shared.preferences : ancestor.preferences();
    const PreferencesMerge preferences =
        base.isEmpty() || copy ? mergePreferences(ours.preferences, theirs.preferences)
                               : mergePreferences(preferencesBefore, ours.preferences, theirs.preferences);
    // A copy made elsewhere may be older than what came in since from the folder, so its fields
    // would undo later changes: it only adds the entries ours lacks. Its maker, which knows what it
    // followed, merges its changes (as StoreFileBesideOwnCopy) and writes them to the store.
    EntryList onlyAdded;
    if (copy) {
        for (const Entry& entry : theirs.entries) {
            const Entry* held = ours.entries.findById(entry.id);
            onlyAdded.append(held ? *held : entry);
        }
    }
    VaultMerge vault =
        mergeVaults(ancestor, {ours.categories, ours.entries}, {theirs.categories, copy ? onlyAdded : theirs.entries});
    if (copy)
        vault.report.theirsOutdated = true; // the copy is no store file

    IncomingMerge result;
    result.merged.preferences = preferences.merged;
    result.merged.categories = std::move(vault.merged.categories);
    result.merged.entries = std::move(vault.merged.entries);
    result.vault = std::move(vault.report);
    result.preferences = preferences.report;
    result.theirsOutdated = result.vault.theirsOutdated || !sameSettings(result.merged.preferences, theirs.preferences);

    MergeBase& next = result.base;
    next = base;
    if (base.isEmpty()) {
        // The first version taken in from elsewhere starts the base; a copy is no such version.
        if (copy)
            return result;
        next = MergeBase::of(theirs);
        next.ownWrites = base.ownWrites;
        next.takenIn = base.takenIn;
        next.lastFile = base.lastFile;
        next.mergedCopies = base.mergedCopies;
        return result;
    }
    // Every id known before and absent from the result is deleted now, with its last known version;
    // those deleted earlier keep their time.
    const MergeBase::Version mergedVersion = base.version(result.merged);
    std::vector<MergeBase::Deletion> deletions = base.deletions;
    // Only a store file that followed our write deletes; beside a copy, what is missing on both
    // sides may simply not have reached them (our own deletions came with noteOwnWrite).
    // Beside a copy, only what the version shared held (what we added stays; see DigestAncestor).
    const bool deletes = kind == IncomingKind::StoreFile;
    if (deletes && base.hasWritten) {
        for (const MergeBase::Record& r : base.written.records)
            deletions.push_back({r, nowMsecs});
    }
    for (const MergeBase::Record& r : deletes || deletesShared ? base.shared.records : std::vector<MergeBase::Record>())
        deletions.push_back({r, nowMsecs});
    for (const MergeBase::Record& r : deletes ? base.history : std::vector<MergeBase::Record>())
        deletions.push_back({r, nowMsecs});
    if (deletes) {
        for (const MergeBase::Record& r : base.seen)
            deletions.push_back({r, nowMsecs});
    }
    const auto idOrder = [](const MergeBase::Deletion& a, const MergeBase::Deletion& b) {
        return a.version.id < b.version.id;
    };
    std::stable_sort(deletions.begin(), deletions.end(), idOrder);
    deletions.erase(std::unique(deletions.begin(), deletions.end(),
                                [](const MergeBase::Deletion& a, const MergeBase::Deletion& b) {
                                    return a.version.id == b.version.id;
                                }),
                    deletions.end());
    deletions.erase(std::remove_if(deletions.begin(), deletions.end(),
                                   [&](const MergeBase::Deletion& d) {
                                       return findRecord(mergedVersion.records, d.version.id) != nullptr;
                                   }),
                    deletions.end());
    deletions.shrink_to_fit();
    next.deletions = std::move(deletions);
    std::vector<MergeBase::Deletion> kept = base.keptAgainstDeletion;
    for (const QString& id : result.vault.keptEntryIds) {
        const Entry* held = ours.entries.findById(id);
        if (held && !theirs.entries.containsId(id))
            kept.push_back({base.record(*held), nowMsecs});
    }
    // One an entry, the latest; only while the entry is held.
    std::stable_sort(kept.begin(), kept.end(), [](const MergeBase::Deletion& a, const MergeBase::Deletion& b) {
        return a.version.id < b.version.id;
    });
    std::vector<MergeBase::Deletion> latest;
    for (const MergeBase::Deletion& d : kept) {
        if (!findRecord(mergedVersion.records, d.version.id))
            continue;
        if (!latest.empty() && latest.back().version.id == d.version.id)
            latest.back() = d;
        else
            latest.push_back(d);
    }
    next.keptAgainstDeletion = std::move(latest);
    next.forgetOldDeletions(nowMsecs);
    if (copy) {
        // The versions taken from it: those of the entries it added.
        std::vector<MergeBase::Record> seen = base.seen;
        for (const Entry& entry : theirs.entries) {
            if (!ours.entries.containsId(entry.id))
                seen.push_back(base.record(entry));
        }
        next.seen = recentVersions(std::move(seen));
    } else {
        next.shared = base.version(theirs);
        // The versions replaced keep telling a late file's old values from new ones.
        std::vector<MergeBase::Record> written = base.history;
        written.insert(written.end(), base.written.records.begin(), base.written.records.end());
        next.history = recentVersions(std::move(written));
        std::vector<MergeBase::Record> seen = base.seen;
        for (const MergeBase::Record& r : base.shared.records) {
            const MergeBase::Record* now = findRecord(next.shared.records, r.id);
            if (!now || !sameRecordDigests(*now, r, kAllFields))
                seen.push_back(r);
        }
        next.seen = recentVersions(std::move(seen));
        next.hasWritten = false;
        next.written = MergeBase::Version();
    }
    return result;
}
