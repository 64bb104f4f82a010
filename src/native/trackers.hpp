// The module's replay trackers, one table row each. A new tracker class is
// added here (its row, and its entry in `Tracker` of state.hpp): the module
// binds it and the direct lock road knows it from that row alone.
#pragma once

#include "tracker_lock.hpp"

namespace tavrel_saml {

extern const TrackerRow kMemcacheTracker;       // trackers.cpp
extern const TrackerRow kMemcachePerIdTracker;  // per_id_tracker.cpp
extern const TrackerRow kMemoryTracker;         // trackers.cpp

// A row's `lock_owner` for a tracker that is its own lock's owner.
py::object tracker_itself(const Module &, py::handle tracker);

// In the order the module binds them, which is the order of `Tracker`.
inline constexpr const TrackerRow *kTrackers[] = {
    &kMemcacheTracker, &kMemcachePerIdTracker, &kMemoryTracker};
static_assert(std::size(kTrackers) == kTrackerCount);

}  // namespace tavrel_saml
