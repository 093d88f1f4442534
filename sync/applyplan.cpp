#include "sync/applyplan.h"

ApplyPlan planChanges(const StoreSnapshot& from, const StoreSnapshot& to)
{
    ApplyPlan plan;
    plan.preferencesChanged = !(from.preferences == to.preferences);
    plan.preferences = to.preferences;
    plan.vault = planVaultChanges(from.categories, from.entries, to.categories, to.entries);
    return plan;
}

void applyPlan(const ApplyPlan& plan, StoreState& state)
{
    if (plan.preferencesChanged)
        state.preferences = plan.preferences;
    applyVaultChanges(state.vault, plan.vault);
}
