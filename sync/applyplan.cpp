#include "sync/applyplan.h"

#include "vault/merge.h"

#include <QSet>

ApplyPlan planChanges(const StoreSnapshot& from, const StoreSnapshot& to)
{
    ApplyPlan plan;
    plan.preferencesChanged = from.preferences != to.preferences;
    plan.preferences = to.preferences;
    const QSet<QString> fromCategories(from.categories.begin(), from.categories.end());
    const QSet<QString> toCategories(to.categories.begin(), to.categories.end());
    for (const QString& name : to.categories) {
        if (!fromCategories.contains(name) && !plan.addedCategories.contains(name))
            plan.addedCategories << name;
    }
    QSet<QString> named; // categories the result's entries still use
    for (const Entry& entry : to.entries) {
        named.insert(entry.category);
        const Entry* before = from.entries.findById(entry.id);
        if (!before)
            plan.added << entry;
        else if (!sameRecord(*before, entry))
            plan.changed << entry;
    }
    for (const Entry& entry : from.entries) {
        if (!to.entries.containsId(entry.id))
            plan.removedIds << entry.id;
    }
    // Removing a category takes its entries with it: only those no entry of the result names.
    for (const QString& name : from.categories) {
        if (!toCategories.contains(name) && !named.contains(name) && !plan.removedCategories.contains(name))
            plan.removedCategories << name;
    }
    return plan;
}

void applyPlan(const ApplyPlan& plan, StoreState& state)
{
    if (plan.preferencesChanged)
        state.preferences = plan.preferences;
    Vault& vault = state.vault;
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
