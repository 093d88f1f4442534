#include "vaultchanges.h"

#include "vault/merge.h"
#include "vault/vault.h"

#include <QSet>

#include <cstring>

namespace {

bool sameText(const QString& a, const QString& b)
{
    return a.isNull() == b.isNull() && a == b;
}

bool sameTime(const EntryTime& a, const EntryTime& b)
{
    char x[9];
    char y[9];
    a.toStream(x);
    b.toStream(y);
    return std::memcmp(x, y, sizeof x) == 0;
}

} // namespace

VaultChangePlan planVaultChanges(const QStringList& fromCategories, const EntryList& fromEntries,
                                 const QStringList& toCategories, const EntryList& toEntries)
{
    VaultChangePlan plan;
    const QSet<QString> fromNames(fromCategories.begin(), fromCategories.end());
    const QSet<QString> toNames(toCategories.begin(), toCategories.end());
    for (const QString& name : toCategories) {
        if (!fromNames.contains(name) && !plan.addedCategories.contains(name))
            plan.addedCategories << name;
    }
    QSet<QString> named; // categories the result's entries still use
    for (const Entry& entry : toEntries) {
        named.insert(entry.category);
        const Entry* before = fromEntries.findById(entry.id);
        if (!before)
            plan.added << entry;
        else if (!sameRecord(*before, entry))
            plan.changed << entry;
    }
    for (const Entry& entry : fromEntries) {
        if (!toEntries.containsId(entry.id))
            plan.removedIds << entry.id;
    }
    // Removing a category takes its entries with it: only those no entry of the result names.
    for (const QString& name : fromCategories) {
        if (!toNames.contains(name) && !named.contains(name) && !plan.removedCategories.contains(name))
            plan.removedCategories << name;
    }
    return plan;
}

void applyVaultChanges(Vault& vault, const VaultChangePlan& plan)
{
    for (const QString& name : plan.addedCategories)
        vault.addCategory(name);
    for (const Entry& entry : plan.added)
        vault.addEntry(entry);
    for (const Entry& entry : plan.changed)
        vault.saveEntry(entry, entry.category);
    for (const QString& id : plan.removedIds)
        vault.removeEntry(id);
    for (const QString& name : plan.removedCategories)
        vault.removeCategory(name);
}

Entry carryFieldChanges(Entry target, const Entry& from, const Entry& to)
{
    for (QString Entry::*field :
         {&Entry::title, &Entry::category, &Entry::url, &Entry::account, &Entry::password, &Entry::notes}) {
        if (!sameText(from.*field, to.*field))
            target.*field = to.*field;
    }
    for (EntryTime Entry::*field : {&Entry::dateCreated, &Entry::dateChanged}) {
        if (!sameTime(from.*field, to.*field))
            target.*field = to.*field;
    }
    return target;
}
