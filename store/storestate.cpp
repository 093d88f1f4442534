#include "store/storestate.h"

StoreSnapshot snapshotOf(const StoreState& state)
{
    return StoreSnapshot{state.preferences, state.vault.categoryNames(), state.vault.entries()};
}
