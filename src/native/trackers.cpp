// Replay protection: the trackers that remember the ids of accepted SAML
// responses until they expire, and the generator behind their `lock()`.
#include "trackers.hpp"

#include <vector>

#include "log.hpp"

namespace tavrel_saml {
namespace {

// -- SamlDuplicateResponsesTrackerInMemory ----------------------------------

// Threads of one process exclude each other through a re-entrant lock of the
// instance: a nested `with tracker.lock()` in the same thread does not wait.
void acquire_thread_lock(const Module &m, const py::object &lock) {
  call_method(lock, m[id::acquire]);
}
void release_thread_lock(const Module &m, const py::object &lock) {
  call_method(lock, m[id::release]);
}

py::object memory_init(const Module &, const Args &);

constexpr Method kMemoryInit{
    "__init__", Kind::Instance, {{{"self"}}}, nullptr, memory_init};

py::object memory_init(const Module &m, const Args &args) {
  py::handle self = args[kMemoryInit["self"]];
  set_attr(self, m[id::seen_responses], py::dict());
  set_attr(self, m[id::underscore_lock],
           call_method(owned(PyImport_Import(m[id::threading].ptr())),
                       m[id::RLock]));
  return py::none();
}

py::object memory_lock(const Module &, const Args &);

constexpr Method kMemoryLock{
    "lock", Kind::ContextManager, {{{"self"}}}, nullptr, memory_lock};

py::object memory_lock(const Module &m, const Args &args) {
  return tracker_lock(m, kMemoryTracker, args[kMemoryLock["self"]]);
}

py::object memory_add(const Module &, const Args &);

constexpr Method kMemoryAdd{"add",
                            Kind::Instance,
                            {{{"self"}, {"req_id"}, {"expiration"}}},
                            "expiration date is unix time",
                            memory_add};

py::object memory_add(const Module &m, const Args &args) {
  set_item(get_attr(args[kMemoryAdd["self"]], m[id::seen_responses]),
           args[kMemoryAdd["req_id"]], args[kMemoryAdd["expiration"]]);
  return py::none();
}

py::object memory_is_seen(const Module &, const Args &);

constexpr Method kMemoryIsSeen{"is_seen",
                               Kind::Instance,
                               {{{"self"}, {"req_id"}}},
                               nullptr,
                               memory_is_seen};

py::object memory_is_seen(const Module &m, const Args &args) {
  return py::bool_(
      contains(get_attr(args[kMemoryIsSeen["self"]], m[id::seen_responses]),
               args[kMemoryIsSeen["req_id"]]));
}

// The ids whose expiration is at or before now, the clock read afresh for
// each entry. The mapping is not changed while it is walked.
py::list expired_ids(const Module &m, py::handle seen_responses) {
  py::object clock = get_attr(m.global(id::time), m[id::time]);
  py::list expired;
  for_each_item(
      m, seen_responses, [&](py::handle req_id, py::handle expiration) {
        py::object now = call(clock);
        int is_expired =
            PyObject_RichCompareBool(now.ptr(), expiration.ptr(), Py_GE);
        if (is_expired < 0) throw py::error_already_set();
        if (is_expired) expired.append(req_id);
      });
  return expired;
}

// Removes the expired ids from the mapping.
void remove_ids(py::handle seen_responses, const py::list &expired) {
  for_each_in_list(expired, [&](py::handle req_id) {
    if (PyObject_DelItem(seen_responses.ptr(), req_id.ptr()) < 0) {
      throw py::error_already_set();
    }
  });
}

py::object memory_cleanup_expired(const Module &, const Args &);

constexpr Method kMemoryCleanup{"cleanup_expired",
                                Kind::Instance,
                                {{{"self"}}},
                                nullptr,
                                memory_cleanup_expired};

py::object memory_cleanup_expired(const Module &m, const Args &args) {
  py::object seen_responses =
      get_attr(args[kMemoryCleanup["self"]], m[id::seen_responses]);
  remove_ids(seen_responses, expired_ids(m, seen_responses));
  return py::none();
}

py::object memory_reset(const Module &, const Args &);

constexpr Method kMemoryReset{
    "reset", Kind::Instance, {{{"self"}}}, nullptr, memory_reset};

py::object memory_reset(const Module &m, const Args &args) {
  set_attr(args[kMemoryReset["self"]], m[id::seen_responses], py::dict());
  return py::none();
}

// -- SamlDuplicateResponsesTrackerInMemcache --------------------------------

// How long `lock()` keeps trying before it gives up: a lock item left by a
// crashed holder lapses after 5 seconds, so twice that means memcache is
// not answering as it should.
constexpr double kMemcacheLockWaitLimit = 10.0;  // seconds

// Whether a client's serde gives back the record (a mapping of response id
// to expiry) as the mapping it was given. pymemcache's default stores the
// text form of what is not bytes and gives back bytes.
bool keeps_mappings(const Module &m, py::handle serde, py::handle key) {
  py::dict record;
  set_item(record, key, py::float_(1.5));
  auto [data, flags] =
      unpack_pair(call_method(serde, m[id::serialize], key, record));
  if (!PyBytes_Check(data.ptr())) return false;
  return equal(call_method(serde, m[id::deserialize], key, data, flags),
               record);
}

// Refuses, at construction, a client under which the tracker cannot work:
// looked for where pymemcache keeps its settings, on the client or, for a
// HashClient, on each server's client. Other clients are taken as they come.
void refuse_untrustworthy_client(const Module &m, py::handle mc,
                                 py::handle key) {
  std::vector<py::object> clients{py::reinterpret_borrow<py::object>(mc)};
  py::object per_server = get_attr_or_none(mc, m[id::clients]);
  if (PyDict_Check(per_server.ptr())) {
    for (py::handle client : call_method(per_server, m[id::values])) {
      clients.push_back(py::reinterpret_borrow<py::object>(client));
    }
  }
  for (const py::object &client : clients) {
    py::object noreply = get_attr_or_none(client, m[id::default_noreply]);
    if (PyLong_Check(noreply.ptr()) && truthy(noreply)) {
      raise(PyExc_ValueError,
            "mc: default_noreply=True makes add answer true without waiting "
            "for memcached, so the lock would exclude nothing; build the "
            "client with default_noreply=False");
    }
    py::object serde = get_attr_or_none(client, m[id::serde]);
    if (serde.is_none() ||
        get_attr_or_none(serde, m[id::serialize]).is_none() ||
        get_attr_or_none(serde, m[id::deserialize]).is_none()) {
      continue;
    }
    const char *refusal =
        "mc: the client's serde does not give back a stored mapping as a "
        "mapping (pymemcache's default stores its text and gives back "
        "bytes); build the client with serde=pymemcache.serde.pickle_serde";
    bool kept;
    try {
      kept = keeps_mappings(m, serde, key);
    } catch (py::error_already_set &e) {
      if (!e.matches(PyExc_Exception)) throw;
      raise(PyExc_ValueError, refusal, e.value());
    }
    if (!kept) raise(PyExc_ValueError, refusal);
  }
}

py::object memcache_init(const Module &, const Args &);

constexpr Method kMemcacheInit{
    "__init__",
    Kind::Instance,
    {{{"self"},
      {"mc"},
      {"mc_root_key"},
      {"memcache_lock_sleep_interval", default_float(0.1)},
      {"my_proc_uid", kDefaultEmptyText}}},
    nullptr,
    memcache_init};

py::object memcache_init(const Module &m, const Args &args) {
  py::handle self = args[kMemcacheInit["self"]];
  set_attr(self, m[id::mc], args[kMemcacheInit["mc"]]);
  py::str key =
      concat({format(args[kMemcacheInit["mc_root_key"]]), m[id::underscore],
              format(get_attr(self, m[id::KEY_SUFFIX]))});
  refuse_untrustworthy_client(m, args[kMemcacheInit["mc"]], key);
  set_attr(self, m[id::key], key);
  set_attr(self, m[id::lock_key], concat({key, m[id::underscore_lock]}));
  set_attr(self, m[id::memcache_lock_sleep_interval],
           args[kMemcacheInit["memcache_lock_sleep_interval"]]);
  set_attr(self, m[id::my_proc_uid], args[kMemcacheInit["my_proc_uid"]]);
  set_attr(self, m[id::seen_responses], py::none());
  return py::none();
}

py::object memcache_lazy_init(const Module &, const Args &);

constexpr Method kMemcacheLazyInit{
    "_lazy_init", Kind::Instance, {{{"self"}}}, nullptr, memcache_lazy_init};

py::object memcache_lazy_init(const Module &m, const Args &args) {
  py::handle self = args[kMemcacheLazyInit["self"]];
  if (get_attr(self, m[id::seen_responses]).is_none()) {
    set_attr(self, m[id::seen_responses],
             call_method(get_attr(self, m[id::mc]), m[id::get],
                         get_attr(self, m[id::key])));
  }
  if (get_attr(self, m[id::seen_responses]).is_none()) {
    py::dict seen_responses;
    set_attr(self, m[id::seen_responses], seen_responses);
    if (!truthy(call_method(get_attr(self, m[id::mc]), m[id::set],
                            get_attr(self, m[id::key]), seen_responses))) {
      raise(PyExc_RuntimeError, "Can not init saml responses storage");
    }
  }
  return py::none();
}

// Takes the lock item, polling with short random waits, and drops the
// instance's copy of the mapping: whatever other processes stored before
// the lock was taken is read again inside it.
void acquire_memcache_lock(const Module &m, const py::object &self) {
  py::object clock = get_attr(m.global(id::time), m[id::monotonic]);
  py::object deadline = owned(PyNumber_Add(
      call(clock).ptr(), py::float_(kMemcacheLockWaitLimit).ptr()));
  while (!truthy(call_method(
      get_attr(self, m[id::mc]), m[id::add], get_attr(self, m[id::lock_key]),
      get_attr(self, m[id::my_proc_uid]), py::int_(5)))) {
    int late =
        PyObject_RichCompareBool(call(clock).ptr(), deadline.ptr(), Py_GE);
    if (late < 0) throw py::error_already_set();
    if (late) raise(PyExc_RuntimeError, "Can not lock saml responses storage");
    call_method(
        m.global(id::time), m[id::sleep],
        owned(PyNumber_Multiply(
            call(m.global(id::random)).ptr(),
            get_attr(self, m[id::memcache_lock_sleep_interval]).ptr())));
  }
  set_attr(self, m[id::seen_responses], py::none());
}

void release_memcache_lock(const Module &m, const py::object &self) {
  call_method(get_attr(self, m[id::mc]), m[id::delete_],
              get_attr(self, m[id::lock_key]));
}

py::object memcache_lock(const Module &, const Args &);

constexpr Method kMemcacheLock{"lock",
                               Kind::ContextManager,
                               {{{"self"}}},
                               "Lock memcache to avoid race condition",
                               memcache_lock};

py::object memcache_lock(const Module &m, const Args &args) {
  return tracker_lock(m, kMemcacheTracker, args[kMemcacheLock["self"]]);
}

// The instance's copy of the stored mapping, loaded when not yet loaded.
py::object loaded_seen_responses(const Module &m, py::handle self) {
  call_method(self, m[id::lazy_init]);
  return get_attr(self, m[id::seen_responses]);
}

py::object memcache_is_seen(const Module &, const Args &);

constexpr Method kMemcacheIsSeen{"is_seen",
                                 Kind::Instance,
                                 {{{"self"}, {"req_id"}}},
                                 nullptr,
                                 memcache_is_seen};

py::object memcache_is_seen(const Module &m, const Args &args) {
  return py::bool_(
      contains(loaded_seen_responses(m, args[kMemcacheIsSeen["self"]]),
               args[kMemcacheIsSeen["req_id"]]));
}

// The result of writing the whole mapping, or null with `overflow` set
// when memcached refused it for its size (more than its -I): it has then
// dropped the stored record as well.
py::object set_unless_too_large(const Module &m, py::handle self,
                                py::handle seen_responses,
                                py::object &overflow) {
  try {
    return call_method(get_attr(self, m[id::mc]), m[id::set],
                       get_attr(self, m[id::key]), seen_responses);
  } catch (py::error_already_set &e) {
    if (!e.matches(PyExc_Exception)) throw;
    py::str text = text_form(e.value());
    if (PyUnicode_Find(text.ptr(), py::str("too large").ptr(), 0,
                       PyUnicode_GET_LENGTH(text.ptr()), 1) < 0) {
      throw;
    }
    overflow = e.value();
    return py::object();
  }
}

// After an overflow: without the expired entries the record may fit again.
// Otherwise the record as it was before this id (it fitted) is put back,
// so that nothing accepted earlier is forgotten, and this sign-in refused.
py::object store_after_overflow(const Module &m, py::handle self,
                                py::handle seen_responses, py::handle req_id,
                                py::handle previous, py::object overflow) {
  py::list expired = expired_ids(m, seen_responses);
  if (!expired.empty()) {
    remove_ids(seen_responses, expired);
    py::object stored = set_unless_too_large(m, self, seen_responses, overflow);
    if (stored) return stored;
  }
  if (previous) {
    set_item(seen_responses, req_id, previous);
  } else if (contains(seen_responses, req_id)) {
    if (PyObject_DelItem(seen_responses.ptr(), req_id.ptr()) < 0) {
      throw py::error_already_set();
    }
  }
  call_method(get_attr(self, m[id::mc]), m[id::set], get_attr(self, m[id::key]),
              seen_responses);
  log_text(m, id::error,
           {py::str("The SAML responses record outgrew the memcache item size; "
                    "sign-ins are refused until enough responses expire. Start "
                    "memcached with a larger -I, or use "
                    "SamlDuplicateResponsesTrackerInMemcachePerId")});
  raise(PyExc_RuntimeError, "Can not store saml response", overflow);
}

py::object memcache_add(const Module &, const Args &);

constexpr Method kMemcacheAdd{"add",
                              Kind::Instance,
                              {{{"self"}, {"req_id"}, {"expiration"}}},
                              "expiration: unix time",
                              memcache_add};

py::object memcache_add(const Module &m, const Args &args) {
  py::handle self = args[kMemcacheAdd["self"]];
  py::object seen_responses = loaded_seen_responses(m, self);
  py::object previous;
  if (contains(seen_responses, args[kMemcacheAdd["req_id"]])) {
    previous = get_item(seen_responses, args[kMemcacheAdd["req_id"]]);
  }
  set_item(seen_responses, args[kMemcacheAdd["req_id"]],
           args[kMemcacheAdd["expiration"]]);
  py::object overflow;
  py::object stored = set_unless_too_large(m, self, seen_responses, overflow);
  if (!stored) {
    stored =
        store_after_overflow(m, self, seen_responses,
                             args[kMemcacheAdd["req_id"]], previous, overflow);
  }
  if (!truthy(stored)) raise(PyExc_RuntimeError, "Can not store saml response");
  return py::none();
}

py::object memcache_cleanup_expired(const Module &, const Args &);

constexpr Method kMemcacheCleanup{"cleanup_expired",
                                  Kind::Instance,
                                  {{{"self"}}},
                                  nullptr,
                                  memcache_cleanup_expired};

py::object memcache_cleanup_expired(const Module &m, const Args &args) {
  py::handle self = args[kMemcacheCleanup["self"]];
  py::object seen_responses = loaded_seen_responses(m, self);
  if (!truthy(seen_responses)) return py::none();
  py::list expired = expired_ids(m, seen_responses);
  if (expired.empty()) return py::none();
  remove_ids(seen_responses, expired);
  call_method(get_attr(self, m[id::mc]), m[id::replace],
              get_attr(self, m[id::key]), seen_responses);
  return py::none();
}

py::object memcache_reset(const Module &, const Args &);

constexpr Method kMemcacheReset{
    "reset", Kind::Instance, {{{"self"}}}, nullptr, memcache_reset};

py::object memcache_reset(const Module &m, const Args &args) {
  py::handle self = args[kMemcacheReset["self"]];
  py::dict seen_responses;
  set_attr(self, m[id::seen_responses], seen_responses);
  call_method(get_attr(self, m[id::mc]), m[id::set], get_attr(self, m[id::key]),
              seen_responses);
  return py::none();
}

py::object make_memcache_tracker_class(const Module &m) {
  return make_class(m, "SamlDuplicateResponsesTrackerInMemcache",
                    "Store seen saml responses in memcache. Remove expired.",
                    {
                        {"KEY_SUFFIX", py::str("saml_responses_tracker")},
                        method<kMemcacheInit>(m),
                        method<kMemcacheLazyInit>(m),
                        method<kMemcacheLock>(m),
                        method<kMemcacheIsSeen>(m),
                        method<kMemcacheAdd>(m),
                        method<kMemcacheCleanup>(m),
                        method<kMemcacheReset>(m),
                    });
}

py::object make_memory_tracker_class(const Module &m) {
  return make_class(m, "SamlDuplicateResponsesTrackerInMemory",
                    "Store seen saml responses in memory. Cleanup expired.",
                    {
                        method<kMemoryInit>(m),
                        method<kMemoryLock>(m),
                        method<kMemoryAdd>(m),
                        method<kMemoryIsSeen>(m),
                        method<kMemoryCleanup>(m),
                        method<kMemoryReset>(m),
                    });
}

// The in-memory lock is held through the instance's re-entrant lock.
py::object thread_lock_of(const Module &m, py::handle tracker) {
  return get_attr(tracker, m[id::underscore_lock]);
}

}  // namespace

py::object tracker_itself(const Module &, py::handle tracker) {
  return py::reinterpret_borrow<py::object>(tracker);
}

extern const TrackerRow kMemcacheTracker{
    Tracker::Memcache,           id::SamlDuplicateResponsesTrackerInMemcache,
    make_memcache_tracker_class, tracker_itself,
    acquire_memcache_lock,       release_memcache_lock};

extern const TrackerRow kMemoryTracker{
    Tracker::Memory,           id::SamlDuplicateResponsesTrackerInMemory,
    make_memory_tracker_class, thread_lock_of,
    acquire_thread_lock,       release_thread_lock};

}  // namespace tavrel_saml
