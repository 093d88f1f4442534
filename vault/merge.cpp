#include "merge.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDataStream>
#include <QIODevice>
#include <QSet>
#include <QVarLengthArray>

#include <cstring>
#include <iterator>

namespace {

using TextField = QString Entry::*;

// The fields a user types; a clash in one of them keeps the losing version as a copy.
constexpr TextField kTextFields[] = {&Entry::title,   &Entry::category, &Entry::url,
                                     &Entry::account, &Entry::password, &Entry::notes};

QString tr(const char* text)
{
    return QCoreApplication::translate("VaultMerge", text);
}

QString counted(qsizetype n, const char* one, const char* many)
{
    return n == 1 ? tr(one) : tr(many).arg(n);
}

bool sameText(const QString& a, const QString& b)
{
    return a.isNull() == b.isNull() && a == b;
}

// A strict order over texts as stored: a null text before every other.
int compareText(const QString& a, const QString& b)
{
    if (a.isNull() != b.isNull())
        return a.isNull() ? -1 : 1;
    return QString::compare(a, b, Qt::CaseSensitive);
}

bool sameTime(const EntryTime& a, const EntryTime& b)
{
    char x[9];
    char y[9];
    a.toStream(x);
    b.toStream(y);
    return std::memcmp(x, y, sizeof x) == 0;
}

// Earlier first; the same moment in two stored forms by their bytes, so that the order is strict.
int compareTime(const EntryTime& a, const EntryTime& b)
{
    const qint64 x = a.toMSecsSinceEpoch();
    const qint64 y = b.toMSecsSinceEpoch();
    if (x != y)
        return x < y ? -1 : 1;
    char p[9];
    char q[9];
    a.toStream(p);
    b.toStream(q);
    return std::memcmp(p, q, sizeof p);
}

// Every field but the id and the change time: what makes an entry changed rather than only saved.
bool sameContent(const Entry& a, const Entry& b)
{
    for (TextField field : kTextFields) {
        if (!sameText(a.*field, b.*field))
            return false;
    }
    return sameTime(a.dateCreated, b.dateCreated);
}

// Which side a field takes: the one that changed it, or the same value on both.
enum class Take
{
    Ours,
    Theirs,
    Clash,
};

// `oursAsBefore`/`theirsAsBefore`: whether that side holds the ancestor's value.
Take take(bool same, bool oursAsBefore, bool theirsAsBefore)
{
    if (same)
        return Take::Ours;
    if (oursAsBefore)
        return Take::Theirs;
    if (theirsAsBefore)
        return Take::Ours;
    return Take::Clash;
}

bool has(int mask, int field)
{
    return mask >= 0 && (mask & (1 << field)) != 0;
}

struct EntryMerge
{
    // Made from a record rather than default-constructed, which would draw an id and read the clock.
    explicit EntryMerge(const Entry& entry) : merged(entry) {}

    Entry merged;
    bool clash = false;
    bool oursWon = false;
};

// `oursMask`/`theirsMask`: the fields each side holds as the ancestor had them (-1: unknown).
EntryMerge mergeEntry(int oursMask, int theirsMask, const Entry& ours, const Entry& theirs)
{
    if (sameRecord(ours, theirs) || theirsMask == kAllFields)
        return EntryMerge(ours);
    if (oursMask == kAllFields)
        return EntryMerge(theirs);

    EntryMerge result(ours);
    Entry& merged = result.merged;
    QVarLengthArray<TextField, 6> clashes;
    for (int i = 0; i < int(std::size(kTextFields)); ++i) {
        const TextField field = kTextFields[i];
        switch (take(sameText(ours.*field, theirs.*field), has(oursMask, i), has(theirsMask, i))) {
        case Take::Ours:
            break;
        case Take::Theirs:
            merged.*field = theirs.*field;
            break;
        case Take::Clash:
            clashes.append(field);
            break;
        }
    }
    // Two creation times: the entry has existed since the earlier.
    const Take created = take(sameTime(ours.dateCreated, theirs.dateCreated), has(oursMask, CreatedField),
                              has(theirsMask, CreatedField));
    if (created == Take::Theirs || (created == Take::Clash && compareTime(theirs.dateCreated, ours.dateCreated) < 0))
        merged.dateCreated = theirs.dateCreated;

    if (clashes.isEmpty()) {
        const Take changed = take(sameTime(ours.dateChanged, theirs.dateChanged), has(oursMask, ChangedField),
                                  has(theirsMask, ChangedField));
        if (changed == Take::Theirs ||
            (changed == Take::Clash && compareTime(theirs.dateChanged, ours.dateChanged) > 0))
            merged.dateChanged = theirs.dateChanged;
        return result;
    }

    // The later change wins the clashing fields; at the same time the greater values do, which
    // both sides see alike. The winner's time goes with them, so that merging again picks the
    // same winner.
    int order = compareTime(ours.dateChanged, theirs.dateChanged);
    for (qsizetype i = 0; order == 0 && i < clashes.size(); ++i)
        order = compareText(ours.*clashes[i], theirs.*clashes[i]);
    result.clash = true;
    result.oursWon = order > 0;
    const Entry& winner = result.oursWon ? ours : theirs;
    for (TextField field : clashes)
        merged.*field = winner.*field;
    merged.dateChanged = winner.dateChanged;
    return result;
}

Entry conflictCopy(const Entry& loser)
{
    Entry copy = loser;
    copy.id = conflictCopyId(loser);
    copy.title = loser.title + conflictCopySuffix();
    return copy;
}

// Finds records by id, trying first the element after the one found last: versions of one vault
// keep their records mostly in the same order, and reading them in step stays in the cache where
// a million lookups in the id index would not.
class Cursor
{
public:
    explicit Cursor(const EntryList& list) : list(list), inStep(!list.hasDuplicateIds()) {}

    const Entry* find(const QString& id)
    {
        qsizetype i = -1;
        if (inStep && next < list.size() && list.at(next).id == id)
            i = next;
        else if (inStep && next > 0 && list.at(next - 1).id == id)
            i = next - 1; // asked again, as a merge asks for both sides' versions
        else
            i = list.indexOfId(id);
        if (i < 0)
            return nullptr;
        next = i + 1;
        return &list.at(i);
    }

private:
    const EntryList& list;
    const bool inStep; // with an id held twice, the first holder must be found
    qsizetype next = 0;
};

// The whole base vault as the ancestor.
class VaultAncestor : public MergeAncestor
{
public:
    explicit VaultAncestor(const VaultContents& base)
        : base(base), inBase(base.entries), categories(base.categories.begin(), base.categories.end())
    {
    }

    bool isEmpty() const override { return base.entries.isEmpty() && base.categories.isEmpty(); }
    int fieldsAsBefore(const Entry& entry) const override
    {
        const Entry* before = inBase.find(entry.id);
        if (!before)
            return -1;
        int mask = 0;
        for (int i = 0; i < int(std::size(kTextFields)); ++i)
            mask |= sameText(before->*kTextFields[i], entry.*kTextFields[i]) ? 1 << i : 0;
        mask |= sameTime(before->dateCreated, entry.dateCreated) ? 1 << CreatedField : 0;
        mask |= sameTime(before->dateChanged, entry.dateChanged) ? 1 << ChangedField : 0;
        return mask;
    }
    bool isDeletedVersion(const Entry& entry) const override
    {
        const Entry* before = inBase.find(entry.id);
        return before && sameContent(*before, entry);
    }
    bool hadCategory(const QString& name) const override { return categories.contains(name); }

private:
    const VaultContents& base;
    mutable Cursor inBase;
    const QSet<QString> categories;
};

// Whether `list` has an element with the id and the fields of `entry`.
bool holdsRecord(const EntryList& list, const Entry& entry)
{
    const Entry* first = list.findById(entry.id);
    if (!first)
        return false;
    if (sameRecord(*first, entry))
        return true;
    if (!list.hasDuplicateIds())
        return false;
    for (const Entry& element : list) {
        if (sameRecord(element, entry))
            return true;
    }
    return false;
}

bool sameContents(const VaultContents& a, const VaultContents& b)
{
    if (a.entries.size() != b.entries.size())
        return false;
    if (QSet<QString>(a.categories.begin(), a.categories.end()) !=
        QSet<QString>(b.categories.begin(), b.categories.end()))
        return false;
    if (a.entries.hasDuplicateIds() || b.entries.hasDuplicateIds()) {
        for (const Entry& entry : a.entries) {
            if (!holdsRecord(b.entries, entry))
                return false;
        }
        return true;
    }
    Cursor other(b.entries);
    for (const Entry& entry : a.entries) {
        const Entry* held = other.find(entry.id);
        if (!held || !sameRecord(*held, entry))
            return false;
    }
    return true;
}

void mergeCategories(const MergeAncestor& base, const VaultContents& ours, const VaultContents& theirs,
                     VaultMerge& result)
{
    const auto inBase = [&](const QString& name) { return base.hadCategory(name); };
    const QSet<QString> inOurs(ours.categories.begin(), ours.categories.end());
    const QSet<QString> inTheirs(theirs.categories.begin(), theirs.categories.end());
    // Made only when a category was deleted on one side.
    QSet<QString> named;
    bool namedKnown = false;
    const auto stays = [&](const QString& name) {
        if (!namedKnown) {
            for (const Entry& entry : result.merged.entries)
                named.insert(entry.category);
            namedKnown = true;
        }
        if (!named.contains(name))
            return false;
        result.report.keptCategories.append(name);
        return true;
    };

    QStringList& categories = result.merged.categories;
    for (const QString& name : ours.categories) {
        if (inTheirs.contains(name) || !inBase(name) || !base.mayDelete() || stays(name))
            categories.append(name);
        else
            result.report.deletedCategories.append(name);
    }
    QSet<QString> placed = inOurs;
    for (const QString& name : theirs.categories) {
        if (placed.contains(name))
            continue;
        placed.insert(name);
        if (!inBase(name) || stays(name)) {
            categories.append(name);
            result.report.addedCategories.append(name);
        }
    }
    result.report.deletedCategories.removeDuplicates();
    result.report.keptCategories.removeDuplicates();
}

} // namespace

bool sameRecord(const Entry& a, const Entry& b)
{
    return sameText(a.id, b.id) && sameContent(a, b) && sameTime(a.dateChanged, b.dateChanged);
}

QString conflictCopySuffix()
{
    return tr(" (changed on another computer)");
}

QString conflictCopyId(const Entry& loser)
{
    QByteArray bytes("vaultry conflict copy\n");
    {
        QDataStream stream(&bytes, QIODevice::Append);
        stream.setVersion(QDataStream::Qt_4_6);
        stream << loser;
    }
    const QByteArray digest = QCryptographicHash::hash(bytes, QCryptographicHash::Sha256);
    constexpr int kLength = 30; // as long as a drawn id
    const quint32 alphabetSize = sizeof(kIdAlphabet) - 1;
    QString id;
    id.reserve(kLength);
    for (int i = 0; i < kLength; ++i)
        id.append(QLatin1Char(kIdAlphabet[quint8(digest.at(i)) % alphabetSize]));
    return id;
}

bool VaultMergeReport::leavesOursAsIs() const
{
    return addedIds.isEmpty() && changedIds.isEmpty() && deletedIds.isEmpty() && conflicts.isEmpty() &&
           addedCategories.isEmpty() && deletedCategories.isEmpty();
}

QString VaultMergeReport::summary() const
{
    QStringList parts;
    if (!addedIds.isEmpty() || !changedIds.isEmpty() || !deletedIds.isEmpty())
        parts << tr("%1 added, %2 changed, %3 deleted")
                     .arg(addedIds.size())
                     .arg(changedIds.size())
                     .arg(deletedIds.size());
    if (!conflicts.isEmpty())
        parts << counted(conflicts.size(),
                         "1 entry was changed on both computers; the other version was kept as a copy",
                         "%1 entries were changed on both computers; the other versions were kept as copies");
    if (!addedCategories.isEmpty())
        parts << counted(addedCategories.size(), "1 category added", "%1 categories added");
    if (!deletedCategories.isEmpty())
        parts << counted(deletedCategories.size(), "1 category deleted", "%1 categories deleted");
    if (!keptEntryIds.isEmpty())
        parts << counted(keptEntryIds.size(),
                         "1 entry deleted on one computer was kept with the changes made on the other",
                         "%1 entries deleted on one computer were kept with the changes made on the other");
    if (!keptCategories.isEmpty())
        parts << tr("deleted on one computer, kept for the entries the other put in it: %1")
                     .arg(keptCategories.join(QLatin1String(", ")));
    return parts.join(QLatin1String("; "));
}

VaultMerge mergeVaults(const VaultContents& base, const VaultContents& ours, const VaultContents& theirs)
{
    return mergeVaults(VaultAncestor(base), ours, theirs);
}

VaultMerge mergeVaults(const MergeAncestor& base, const VaultContents& ours, const VaultContents& theirs)
{
    VaultMerge result;
    VaultMergeReport& report = result.report;
    EntryList& merged = result.merged.entries;
    const EntryList& ourEntries = ours.entries;
    const EntryList& theirEntries = theirs.entries;
    merged.reserve(ourEntries.size() + 16);

    Cursor inTheirs(theirEntries);
    const bool oursHoldTwins = ourEntries.hasDuplicateIds();
    for (qsizetype i = 0; i < ourEntries.size(); ++i) {
        const Entry& entry = ourEntries.at(i);
        if (oursHoldTwins && ourEntries.indexOfId(entry.id) != i) {
            merged.append(entry); // a second record with a known id, from a file: kept as it is
            continue;
        }
        int oursMask = base.fieldsAsBefore(entry);
        const Entry* other = inTheirs.find(entry.id);
        if (!other) {
            if (base.mayDeleteEntry(entry) && oursMask >= 0 && (oursMask & kContentFields) == kContentFields) {
                report.deletedIds.append(entry.id);
                continue;
            }
            if (oursMask >= 0)
                report.keptEntryIds.append(entry.id);
            merged.append(entry);
            continue;
        }
        // A field theirs holds as known brings nothing new, whatever ours holds.
        const int theirsMask = base.theirFieldsAsBefore(*other);
        // Ours unchanged since the ancestor: its change time is the ancestor's, to tell an older
        // version of theirs from a newer one.
        if (!base.oursAsBeforeIsOlder() && oursMask == kAllFields &&
            compareTime(other->dateChanged, entry.dateChanged) < 0)
            oursMask = -1;
        const EntryMerge outcome =
            mergeEntry(theirsMask >= 0 && oursMask >= 0 ? oursMask & ~theirsMask : oursMask, theirsMask, entry, *other);
        if (!sameRecord(outcome.merged, entry))
            report.changedIds.append(entry.id);
        merged.append(outcome.merged);
        if (!outcome.clash)
            continue;
        const Entry copy = conflictCopy(outcome.oursWon ? *other : entry);
        if (ourEntries.containsId(copy.id) || theirEntries.containsId(copy.id) || merged.containsId(copy.id))
            continue; // made by an earlier merge, here or on the other computer
        merged.append(copy);
        report.conflicts.append({entry.id, copy.id, outcome.oursWon});
    }

    Cursor inOurs(ourEntries);
    const bool theirsHoldTwins = theirEntries.hasDuplicateIds();
    for (qsizetype i = 0; i < theirEntries.size(); ++i) {
        const Entry& entry = theirEntries.at(i);
        if (theirsHoldTwins && theirEntries.indexOfId(entry.id) != i) {
            if (!holdsRecord(ourEntries, entry)) {
                merged.append(entry);
                report.addedIds.append(entry.id);
            }
            continue;
        }
        if (inOurs.find(entry.id))
            continue; // merged above
        if (base.isDeletedVersion(entry))
            continue; // deleted here, unchanged there
        if (base.fieldsAsBefore(entry) >= 0)
            report.keptEntryIds.append(entry.id);
        if (merged.containsId(entry.id))
            continue;
        merged.append(entry);
        report.addedIds.append(entry.id);
    }

    mergeCategories(base, ours, theirs, result);
    report.theirsOutdated = !sameContents(result.merged, theirs);
    return result;
}

VaultMerge mergeVaults(const VaultContents& ours, const VaultContents& theirs)
{
    return mergeVaults(VaultContents(), ours, theirs);
}
