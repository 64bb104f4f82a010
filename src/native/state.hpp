// What the module keeps for the life of the module object: the interned
// names, the keyword-name tuples of its keyword calls, the classes the
// trackers' direct lock road recognises, and the handle every method
// receives to reach them and the module's globals.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>

#include "names.hpp"

namespace py = pybind11;

namespace tavrel_saml {

inline constexpr const char *kModuleName = "tavrel_saml.saml";

// The module's own tracker classes, in the order the module binds them. A
// row of the tracker table (tracker_lock.hpp) exists for each.
enum class Tracker : int { Memcache, MemcachePerId, Memory, count };
inline constexpr int kTrackerCount = static_cast<int>(Tracker::count);

// Keyword-name tuples are made on their first use and kept here; each
// distinct set of names used by a keyword call takes one slot.
inline constexpr int kMaxKeywordSets = 16;

// Every reference owned: released when the module is cleared.
struct State {
  PyObject *names[id::count];
  PyObject *keyword_sets[kMaxKeywordSets];
  PyObject *lock_generator_type;
  // Each tracker class as created and its `lock` function, so that the
  // direct lock road takes only what it knows.
  PyObject *tracker_classes[kTrackerCount];
  PyObject *tracker_locks[kTrackerCount];
  // logging.Logger and its own methods, to recognise a logger whose debug
  // or info lines would go nowhere.
  PyObject *logger_class, *logger_debug, *logger_info, *logger_is_enabled_for;
  // IdP name -> what settings resolution knows of that IdP (its refresh,
  // validity and status), in settings_resolution.cpp.
  PyObject *refresh_records;
  // Start-up checks: IdP name -> the configuration disabled while waiting
  // for its metadata, and the error of a missing key of the SAML block.
  PyObject *awaiting_metadata, *config_key_error;
};

// Calls `visit(slot)` for every reference slot of the state, stopping at
// the first non-zero result: traverse, clear and free walk the same list.
template <class Visit>
int for_each_reference(State &state, Visit &&visit) {
  auto slots = [&](PyObject **first, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
      if (int result = visit(first[i])) return result;
    }
    return 0;
  };
  PyObject **singles[] = {
      &state.lock_generator_type,   &state.logger_class,
      &state.logger_debug,          &state.logger_info,
      &state.logger_is_enabled_for, &state.refresh_records,
      &state.awaiting_metadata,     &state.config_key_error};
  for (PyObject **slot : singles) {
    if (int result = visit(*slot)) return result;
  }
  if (int r = slots(state.names, id::count)) return r;
  if (int r = slots(state.keyword_sets, kMaxKeywordSets)) return r;
  if (int r = slots(state.tracker_classes, kTrackerCount)) return r;
  return slots(state.tracker_locks, kTrackerCount);
}

// The module object is handed to every method as its `self` of the C level,
// so globals are read from the module's own namespace at each call: a host
// or a test that rebinds `tavrel_saml.saml.log` sees the change at once.
class Module {
 public:
  explicit Module(py::handle module)
      : module_(module),
        state_(static_cast<State *>(PyModule_GetState(module.ptr()))) {}

  // An interned name or constant text.
  py::handle operator[](id::Name name) const { return state_->names[name]; }

  // The current binding of a module global; NameError when it was deleted.
  py::object global(id::Name name) const;

  State &state() const { return *state_; }
  py::handle handle() const { return module_; }

 private:
  py::handle module_;
  State *state_;
};

// Interns the names; the rest of the state is filled by the units that own
// it as the module is executed.
void make_state(const Module &m);

}  // namespace tavrel_saml
