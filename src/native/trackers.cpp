// Replay protection: the trackers that remember the ids of accepted SAML
// responses until they expire, and the generator behind their `lock()`.
#include "plain_class.hpp"

namespace tavrel_saml {
namespace {

// -- The generator behind `lock()` --------------------------------------------

// `lock()` is a generator function wrapped by contextlib.contextmanager. This
// is the generator: it takes the lock when first advanced (the `with` entry)
// and gives it back on every way out (normal exit, an exception thrown in
// at the yield, close, or being dropped while suspended), as
// `acquire(); try: yield finally: release()` would.
class LockGenerator {
 public:
  using Step = void (*)(const Module &module, const py::object &owner);

  LockGenerator(py::handle module, py::object owner, Step acquire, Step release)
      : module_(py::reinterpret_borrow<py::object>(module)),
        owner_(std::move(owner)),
        acquire_(acquire),
        release_(release) {}

  LockGenerator(const LockGenerator &) = delete;
  LockGenerator &operator=(const LockGenerator &) = delete;

  ~LockGenerator() {
    if (state_ != State::Suspended) return;
    state_ = State::Finished;
    try {
      release_(Module(module_), owner_);
    } catch (py::error_already_set &e) {
      e.discard_as_unraisable("releasing a SAML responses tracker lock");
    }
  }

  py::object next() {
    switch (state_) {
      case State::Created:
        state_ = State::Finished;
        acquire_(Module(module_), owner_);
        state_ = State::Suspended;
        return py::none();
      case State::Suspended:
        state_ = State::Finished;
        release_(Module(module_), owner_);
        throw py::stop_iteration();
      case State::Finished:
        break;
    }
    throw py::stop_iteration();
  }

  py::object send(py::handle value) {
    if (state_ == State::Created && !value.is_none()) {
      raise(PyExc_TypeError,
            py::str("can't send non-None value to a just-started generator"));
    }
    return next();
  }

  // throw(value) or the older throw(type[, value[, traceback]]).
  py::object throw_(const py::args &args) {
    if (args.empty() || args.size() > 3) {
      raise(PyExc_TypeError, py::str("throw expected 1 to 3 arguments"));
    }
    py::object exc = args[0];
    if (PyExceptionClass_Check(exc.ptr())) {
      exc = args.size() > 1 && !args[1].is_none() ? exc(args[1]) : exc();
    } else if (!PyExceptionInstance_Check(exc.ptr())) {
      raise(PyExc_TypeError,
            py::str("exceptions must be classes or instances deriving from "
                    "BaseException"));
    }
    if (state_ == State::Suspended) {
      state_ = State::Finished;
      try {
        release_(Module(module_), owner_);
      } catch (py::error_already_set &e) {
        raise_exception(e.value(), exc);
      }
    }
    state_ = State::Finished;
    raise_exception(exc);
  }

  void close() {
    if (state_ == State::Suspended) {
      state_ = State::Finished;
      release_(Module(module_), owner_);
    }
    state_ = State::Finished;
  }

 private:
  enum class State { Created, Suspended, Finished };

  py::object module_;
  py::object owner_;
  Step acquire_;
  Step release_;
  State state_ = State::Created;
};

// -- SamlDuplicateResponsesTrackerInMemory ----------------------------------

// Threads of one process exclude each other through a re-entrant lock of the
// instance: a nested `with tracker.lock()` in the same thread does not wait.
void acquire_thread_lock(const Module &, const py::object &lock) {
  lock.attr("acquire")();
}
void release_thread_lock(const Module &, const py::object &lock) {
  lock.attr("release")();
}

const char *const kSelfKeywords[] = {"self", nullptr};
const char *const kReqIdKeywords[] = {"self", "req_id", nullptr};
const char *const kAddKeywords[] = {"self", "req_id", "expiration", nullptr};

constexpr Signature kMemoryInit{"__init__", "O:__init__", kSelfKeywords,
                                "__init__(self)\n--\n\n", Kind::Instance};

py::object memory_init(const Module &, const Args &args) {
  py::handle self = args[0];
  self.attr("_seen_responses") = py::dict();
  self.attr("_lock") = py::module_::import("threading").attr("RLock")();
  return py::none();
}

constexpr Signature kMemoryLock{"lock", "O:lock", kSelfKeywords,
                                "lock(self)\n--\n\n", Kind::Function};

py::object memory_lock(const Module &module, const Args &args) {
  return py::cast(new LockGenerator(module.handle(), args[0].attr("_lock"),
                                    acquire_thread_lock, release_thread_lock),
                  py::return_value_policy::take_ownership);
}

constexpr Signature kMemoryAdd{"add", "OOO:add", kAddKeywords,
                               "add(self, req_id, expiration)\n--\n\n"
                               "expiration date is unix time",
                               Kind::Instance};

py::object memory_add(const Module &, const Args &args) {
  args[0].attr("_seen_responses")[args[1]] = args[2];
  return py::none();
}

constexpr Signature kMemoryIsSeen{"is_seen", "OO:is_seen", kReqIdKeywords,
                                  "is_seen(self, req_id)\n--\n\n",
                                  Kind::Instance};

py::object memory_is_seen(const Module &, const Args &args) {
  py::object seen_responses = args[0].attr("_seen_responses");
  int found = PySequence_Contains(seen_responses.ptr(), args[1].ptr());
  if (found < 0) throw py::error_already_set();
  return py::bool_(found == 1);
}

// The ids whose expiration is at or before now, the clock read afresh for
// each entry. The mapping is not changed while it is walked.
py::list expired_ids(const Module &module, py::handle seen_responses) {
  py::object clock = module.global("time").attr("time");
  py::list expired;
  for (py::handle item : seen_responses.attr("items")()) {
    py::object req_id = item[py::int_(0)];
    py::object expiration = item[py::int_(1)];
    py::object now = clock();
    int is_expired =
        PyObject_RichCompareBool(now.ptr(), expiration.ptr(), Py_GE);
    if (is_expired < 0) throw py::error_already_set();
    if (is_expired) expired.append(req_id);
  }
  return expired;
}

constexpr Signature kMemoryCleanup{
    "cleanup_expired", "O:cleanup_expired", kSelfKeywords,
    "cleanup_expired(self)\n--\n\n", Kind::Instance};

py::object memory_cleanup_expired(const Module &module, const Args &args) {
  py::object seen_responses = args[0].attr("_seen_responses");
  for (py::handle req_id : expired_ids(module, seen_responses)) {
    if (PyObject_DelItem(seen_responses.ptr(), req_id.ptr()) < 0) {
      throw py::error_already_set();
    }
  }
  return py::none();
}

constexpr Signature kMemoryReset{"reset", "O:reset", kSelfKeywords,
                                 "reset(self)\n--\n\n", Kind::Instance};

py::object memory_reset(const Module &, const Args &args) {
  args[0].attr("_seen_responses") = py::dict();
  return py::none();
}

// -- SamlDuplicateResponsesTrackerInMemcache --------------------------------

// How long `lock()` keeps trying before it gives up: a lock item left by a
// crashed holder lapses after 5 seconds, so twice that means memcache is
// not answering as it should.
constexpr double kMemcacheLockWaitLimit = 10.0;  // seconds

const char *const kMemcacheInitKeywords[] = {
    "self",        "mc",   "mc_root_key", "memcache_lock_sleep_interval",
    "my_proc_uid", nullptr};
constexpr Signature kMemcacheInit{
    "__init__", "OOO|OO:__init__", kMemcacheInitKeywords,
    "__init__(self, mc, mc_root_key, memcache_lock_sleep_interval=0.1, "
    "my_proc_uid='')\n--\n\n",
    Kind::Instance};

py::object memcache_init(const Module &, const Args &args) {
  py::handle self = args[0];
  self.attr("mc") = args[1];
  py::str key =
      concat({format(args[2]), py::str("_"), format(self.attr("KEY_SUFFIX"))});
  self.attr("key") = key;
  self.attr("lock_key") = concat({key, py::str("_lock")});
  self.attr("memcache_lock_sleep_interval") = args.get(3, py::float_(0.1));
  self.attr("my_proc_uid") = args.get(4, py::str(""));
  self.attr("_seen_responses") = py::none();
  return py::none();
}

constexpr Signature kMemcacheLazyInit{"_lazy_init", "O:_lazy_init",
                                      kSelfKeywords, "_lazy_init(self)\n--\n\n",
                                      Kind::Instance};

py::object memcache_lazy_init(const Module &, const Args &args) {
  py::handle self = args[0];
  if (self.attr("_seen_responses").is_none()) {
    self.attr("_seen_responses") =
        self.attr("mc").attr("get")(self.attr("key"));
  }
  if (self.attr("_seen_responses").is_none()) {
    py::dict seen_responses;
    self.attr("_seen_responses") = seen_responses;
    if (!truthy(
            self.attr("mc").attr("set")(self.attr("key"), seen_responses))) {
      raise(PyExc_RuntimeError, py::str("Can not init saml responses storage"));
    }
  }
  return py::none();
}

// Takes the lock item, polling with short random waits, and drops the
// instance's copy of the mapping: whatever other processes stored before
// the lock was taken is read again inside it.
void acquire_memcache_lock(const Module &module, const py::object &self) {
  py::object clock = module.global("time").attr("monotonic");
  py::object deadline = clock() + py::float_(kMemcacheLockWaitLimit);
  while (!truthy(self.attr("mc").attr("add")(self.attr("lock_key"),
                                             self.attr("my_proc_uid"), 5))) {
    if (clock() >= deadline) {
      raise(PyExc_RuntimeError, py::str("Can not lock saml responses storage"));
    }
    module.global("time").attr("sleep")(
        module.global("random")() * self.attr("memcache_lock_sleep_interval"));
  }
  self.attr("_seen_responses") = py::none();
}

void release_memcache_lock(const Module &, const py::object &self) {
  self.attr("mc").attr("delete")(self.attr("lock_key"));
}

constexpr Signature kMemcacheLock{"lock", "O:lock", kSelfKeywords,
                                  "lock(self)\n--\n\n"
                                  "Lock memcache to avoid race condition",
                                  Kind::Function};

py::object memcache_lock(const Module &module, const Args &args) {
  return py::cast(
      new LockGenerator(module.handle(),
                        py::reinterpret_borrow<py::object>(args[0]),
                        acquire_memcache_lock, release_memcache_lock),
      py::return_value_policy::take_ownership);
}

// The instance's copy of the stored mapping, loaded when not yet loaded.
py::object loaded_seen_responses(py::handle self) {
  self.attr("_lazy_init")();
  return self.attr("_seen_responses");
}

constexpr Signature kMemcacheIsSeen{"is_seen", "OO:is_seen", kReqIdKeywords,
                                    "is_seen(self, req_id)\n--\n\n",
                                    Kind::Instance};

py::object memcache_is_seen(const Module &, const Args &args) {
  py::object seen_responses = loaded_seen_responses(args[0]);
  int found = PySequence_Contains(seen_responses.ptr(), args[1].ptr());
  if (found < 0) throw py::error_already_set();
  return py::bool_(found == 1);
}

constexpr Signature kMemcacheAdd{"add", "OOO:add", kAddKeywords,
                                 "add(self, req_id, expiration)\n--\n\n"
                                 "expiration: unix time",
                                 Kind::Instance};

py::object memcache_add(const Module &, const Args &args) {
  py::handle self = args[0];
  py::object seen_responses = loaded_seen_responses(self);
  seen_responses[args[1]] = args[2];
  if (!truthy(self.attr("mc").attr("set")(self.attr("key"), seen_responses))) {
    raise(PyExc_RuntimeError, py::str("Can not store saml response"));
  }
  return py::none();
}

constexpr Signature kMemcacheCleanup{
    "cleanup_expired", "O:cleanup_expired", kSelfKeywords,
    "cleanup_expired(self)\n--\n\n", Kind::Instance};

py::object memcache_cleanup_expired(const Module &module, const Args &args) {
  py::handle self = args[0];
  py::object seen_responses = loaded_seen_responses(self);
  if (!truthy(seen_responses)) return py::none();
  py::list expired = expired_ids(module, seen_responses);
  if (expired.empty()) return py::none();
  for (py::handle req_id : expired) {
    if (PyObject_DelItem(seen_responses.ptr(), req_id.ptr()) < 0) {
      throw py::error_already_set();
    }
  }
  self.attr("mc").attr("replace")(self.attr("key"), seen_responses);
  return py::none();
}

constexpr Signature kMemcacheReset{"reset", "O:reset", kSelfKeywords,
                                   "reset(self)\n--\n\n", Kind::Instance};

py::object memcache_reset(const Module &, const Args &args) {
  py::handle self = args[0];
  py::dict seen_responses;
  self.attr("_seen_responses") = seen_responses;
  self.attr("mc").attr("set")(self.attr("key"), seen_responses);
  return py::none();
}

// `contextlib.contextmanager(function)`, with `contextlib` looked up now.
py::object context_manager(py::handle module, py::object function) {
  return Module(module).global("contextlib").attr("contextmanager")(function);
}

}  // namespace

void register_lock_generator(py::module_ &module) {
  // The type is not left in the module's namespace, but pybind11 forgets a
  // type once it is collected: a process-lifetime reference keeps it.
  PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<py::object> type;
  type.call_once_and_store_result([&] {
    py::object registered =
        py::class_<LockGenerator>(module, "_LockGenerator")
            .def("__iter__", [](py::object self) { return self; })
            .def("__next__", &LockGenerator::next)
            .def("send", &LockGenerator::send)
            .def("throw", &LockGenerator::throw_)
            .def("close", &LockGenerator::close);
    py::delattr(module, "_LockGenerator");
    return registered;
  });
}

py::object make_memcache_tracker_class(py::handle module) {
  return make_class(
      "SamlDuplicateResponsesTrackerInMemcache",
      "Store seen saml responses in memcache. Remove expired.",
      {
          {"KEY_SUFFIX", py::str("saml_responses_tracker")},
          {"__init__", method<kMemcacheInit, memcache_init>(module)},
          {"_lazy_init", method<kMemcacheLazyInit, memcache_lazy_init>(module)},
          {"lock", context_manager(
                       module, method<kMemcacheLock, memcache_lock>(module))},
          {"is_seen", method<kMemcacheIsSeen, memcache_is_seen>(module)},
          {"add", method<kMemcacheAdd, memcache_add>(module)},
          {"cleanup_expired",
           method<kMemcacheCleanup, memcache_cleanup_expired>(module)},
          {"reset", method<kMemcacheReset, memcache_reset>(module)},
      });
}

py::object make_memory_tracker_class(py::handle module) {
  return make_class(
      "SamlDuplicateResponsesTrackerInMemory",
      "Store seen saml responses in memory. Cleanup expired.",
      {
          {"__init__", method<kMemoryInit, memory_init>(module)},
          {"lock",
           context_manager(module, method<kMemoryLock, memory_lock>(module))},
          {"add", method<kMemoryAdd, memory_add>(module)},
          {"is_seen", method<kMemoryIsSeen, memory_is_seen>(module)},
          {"cleanup_expired",
           method<kMemoryCleanup, memory_cleanup_expired>(module)},
          {"reset", method<kMemoryReset, memory_reset>(module)},
      });
}

}  // namespace tavrel_saml
