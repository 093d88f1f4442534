#pragma once

#include "vault/entrylist.h"

#include <QList>
#include <QString>
#include <QStringList>

// Merging two versions of a vault that went their own ways: the open vault ("ours") and the
// store as another computer left it ("theirs"), with the state both started from ("base").
// Pure functions over values; nothing here reads a file or changes a Vault.

// The category names and entries of one version of the vault.
struct VaultContents
{
    QStringList categories;
    EntryList entries;
};

// The fields a merge compares, in this order: bit i of a field mask stands for field i.
enum MergeField
{
    TitleField,
    CategoryField,
    UrlField,
    AccountField,
    PasswordField,
    NotesField,
    CreatedField,
    ChangedField,
    MergeFieldCount
};
inline constexpr int kAllFields = (1 << MergeFieldCount) - 1;
// Every field but the change time: what makes an entry changed rather than only saved.
inline constexpr int kContentFields = kAllFields & ~(1 << ChangedField);

// What a merge knows of the versions both sides started from. The whole base vault is one
// (mergeVaults below); the digests a computer keeps of what it shares are another.
class MergeAncestor
{
public:
    virtual ~MergeAncestor() = default;
    // Nothing known: a two-way merge, which never deletes.
    virtual bool isEmpty() const = 0;
    // The fields of `entry` that hold the ancestor's values (a mask of MergeField bits), or -1
    // when the ancestor holds no version of `entry.id`.
    virtual int fieldsAsBefore(const Entry& entry) const = 0;
    // Whether `entry`, held by one side and gone from the other, is a version the side that lacks
    // it is known to have had (and so deleted): its content, change time aside, is the
    // ancestor's, or that of a version deleted there.
    virtual bool isDeletedVersion(const Entry& entry) const = 0;
    // The same for `theirs`' version: fields holding a value the ancestor knows bring nothing new,
    // even where ours holds the ancestor's value too. By default as fieldsAsBefore.
    virtual int theirFieldsAsBefore(const Entry& entry) const { return fieldsAsBefore(entry); }
    virtual bool hadCategory(const QString& name) const = 0;
    // False when ours holding the ancestor's value need not mean ours is older: theirs may come
    // from a computer that never saw it. Then a version of theirs changed earlier than ours
    // clashes where it differs rather than replacing ours.
    virtual bool oursAsBeforeIsOlder() const { return true; }
    // False for a version that may lack what it never saw (a sync tool's copy): nothing is deleted.
    virtual bool mayDelete() const { return true; }
    // The same for one entry ours holds and theirs lacks; by default as mayDelete.
    virtual bool mayDeleteEntry(const Entry&) const { return mayDelete(); }
};

// Whether two records hold the same value in every stored field, the id included (Entry's ==
// compares ids only). Texts compare as stored (a null text differs from an empty one) and
// times by their stored bytes.
bool sameRecord(const Entry& a, const Entry& b);

// Appended to the title of the version that was kept as a copy.
QString conflictCopySuffix();

// The id of the copy made of `loser`: drawn from every field of that version, so that the
// same conflict merged on two computers, or twice, makes one copy.
QString conflictCopyId(const Entry& loser);

// One entry changed on both sides in the same field.
struct MergeConflict
{
    QString id;     // the entry kept in place
    QString copyId; // the copy holding the version that lost
    bool oursKept;  // our version's values stayed in place; the copy holds theirs
};

// What the merge did, seen from ours: what coming from theirs changes in the open vault.
struct VaultMergeReport
{
    QStringList addedIds;   // entries ours lacked, copies not included
    QStringList changedIds; // entries of ours whose record is different now
    QStringList deletedIds; // entries of ours that are gone
    QList<MergeConflict> conflicts;
    // Deleted on one side and changed on the other, so kept with the changes.
    QStringList keptEntryIds;
    QStringList addedCategories;   // in the result, not in ours
    QStringList deletedCategories; // in ours, not in the result
    // Deleted on one side, kept because the merged entries still name them.
    QStringList keptCategories;
    // The result differs from theirs, so the file needs writing.
    bool theirsOutdated = false;

    // Nothing changes in the open vault.
    bool leavesOursAsIs() const;
    // "1 added, 1 changed, 1 deleted", then the copies and what was kept; empty when nothing
    // changed in ours.
    QString summary() const;
};

struct VaultMerge
{
    VaultContents merged;
    VaultMergeReport report;
};

// Three-way merge, entries matched by id:
// - added on either side: kept; deleted on one side and unchanged on the other: deleted;
//   deleted on one side and changed on the other: kept as changed;
// - changed on one side only: that side's record; changed on both: field by field, each field
//   taking the side that changed it. When both changed the same text field (title, category,
//   address, account, password, notes) to different values, the version with the later change
//   time wins those fields (equal times: the greater of the clashing values, so both computers
//   choose alike), and the version that lost is kept whole as a copy beside it: the copy has
//   the losing record's fields, category included, the title followed by conflictCopySuffix()
//   and conflictCopyId() as id. The copy is titled alike whichever side lost, so that both
//   computers make the very same copy. A copy whose id the result already holds is not made
//   again. The change time is the later of the two, or the winner's after a clash; the
//   creation time the earlier of the two when both differ.
// - categories: kept unless deleted on one side (or both); a category deleted on one side
//   stays while a merged entry names it.
// Order: ours' order, each copy right after its entry, then what came from theirs in theirs'
// order. Apart from that order the result does not depend on which side is ours; merging the
// result again with the same theirs gives the result back.
// Reads the lists' id indexes, which each EntryList builds on first use: pass lists no other
// thread uses meanwhile.
VaultMerge mergeVaults(const VaultContents& base, const VaultContents& ours, const VaultContents& theirs);
// The same against what `ancestor` knows: an empty one merges two-way.
VaultMerge mergeVaults(const MergeAncestor& ancestor, const VaultContents& ours, const VaultContents& theirs);

// Two-way merge, for versions with no known common state (a sync tool's conflicted copy):
// the three-way merge over an empty base, that is the union by id, where a record held by both
// sides with different values in the same text field is a clash as above.
VaultMerge mergeVaults(const VaultContents& ours, const VaultContents& theirs);
