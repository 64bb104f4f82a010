// The trackers' `lock()`: the generator behind it, the table of the
// module's own tracker classes, and `with tracker.lock():` for C++ code,
// which takes the lock of a known tracker directly.
#pragma once

#include "methods.hpp"

namespace tavrel_saml {

// One step of a tracker's lock, on the object the lock is held through.
using TrackerLockStep = void (*)(const Module &m, const py::object &owner);

// What the module needs to know of one of its tracker classes: how to make
// it, and what its `lock()` does. A tracker whose row is in kTrackers
// (trackers.hpp) is bound in the module and gets the direct lock road.
struct TrackerRow {
  Tracker tracker;
  id::Name name;  // its name in the module namespace
  py::object (*make_class)(const Module &m);
  // What the lock is held through, from the tracker instance.
  py::object (*lock_owner)(const Module &m, py::handle tracker);
  TrackerLockStep acquire;  // when the `with` statement enters
  TrackerLockStep release;  // on every way out
};

// The body of a tracker class's `lock` method: the generator that
// contextlib.contextmanager wraps, for `row` and the instance `tracker`.
py::object tracker_lock(const Module &m, const TrackerRow &row,
                        py::handle tracker);

// Makes the row's class, binds it in the module and remembers it (with its
// `lock`) for the direct road.
void register_tracker(const Module &m, const TrackerRow &row);

// Makes the type of the lock generator, kept in the module state.
void register_lock_generator(const Module &m);

// `with tracker.lock(): body()`, as the trackers' contract asks. For the
// module's own tracker classes, whose `lock` is known, the lock is taken and
// given back directly, with every observable effect of the contextlib road
// (the same calls on the tracker, the same exceptions and chaining); any
// other tracker, a subclass or a replaced `lock` takes that road itself.
struct BodyRef {
  void (*run)(void *context);
  void *context;
};
void with_tracker_lock(const Module &m, py::handle tracker, BodyRef body);

template <class Body>
void with_tracker_lock(const Module &m, py::handle tracker, Body &&body) {
  with_tracker_lock(
      m, tracker,
      BodyRef{[](void *context) { (*static_cast<Body *>(context))(); }, &body});
}

}  // namespace tavrel_saml
