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
//
// It is a plain C type rather than a pybind11 class: every sign-on ends it,
// and ending it through tp_iternext needs no C++ exception.
using LockStep = void (*)(const Module &module, const py::object &owner);

enum class LockState { Created, Suspended, Finished };

struct LockGenerator {
  PyObject_HEAD PyObject *module;
  PyObject *owner;
  LockStep acquire;
  LockStep release;
  LockState state;
};

// Runs one step; false with the Python error set when it failed.
bool run_step(LockGenerator *self, LockStep step) {
  try {
    step(Module(self->module), py::reinterpret_borrow<py::object>(self->owner));
    return true;
  } catch (py::error_already_set &e) {
    e.restore();
  } catch (const std::exception &e) {
    PyErr_SetString(PyExc_SystemError, e.what());
  }
  return false;
}

// Gives the lock back when it is held; false with the error set on failure.
bool finish(LockGenerator *self) {
  const bool held = self->state == LockState::Suspended;
  self->state = LockState::Finished;
  return !held || run_step(self, self->release);
}

PyObject *lock_generator_next(PyObject *object) {
  auto *self = reinterpret_cast<LockGenerator *>(object);
  if (self->state == LockState::Created) {
    self->state = LockState::Finished;
    if (!run_step(self, self->acquire)) return nullptr;
    self->state = LockState::Suspended;
    Py_RETURN_NONE;
  }
  finish(self);
  return nullptr;  // without an error set: StopIteration
}

PyObject *lock_generator_send(PyObject *object, PyObject *value) {
  auto *self = reinterpret_cast<LockGenerator *>(object);
  if (self->state == LockState::Created && value != Py_None) {
    PyErr_SetString(PyExc_TypeError,
                    "can't send non-None value to a just-started generator");
    return nullptr;
  }
  PyObject *result = lock_generator_next(object);
  if (result == nullptr && !PyErr_Occurred()) {
    PyErr_SetNone(PyExc_StopIteration);
  }
  return result;
}

// throw(value) or the older throw(type[, value[, traceback]]).
PyObject *lock_generator_throw(PyObject *object, PyObject *args) {
  auto *self = reinterpret_cast<LockGenerator *>(object);
  PyObject *type_or_value, *value = nullptr, *traceback = nullptr;
  if (!PyArg_UnpackTuple(args, "throw", 1, 3, &type_or_value, &value,
                         &traceback)) {
    return nullptr;
  }
  PyObject *exc;
  if (PyExceptionClass_Check(type_or_value)) {
    exc = value != nullptr && value != Py_None
              ? PyObject_CallOneArg(type_or_value, value)
              : PyObject_CallNoArgs(type_or_value);
    if (exc == nullptr) return nullptr;
  } else if (PyExceptionInstance_Check(type_or_value)) {
    exc = Py_NewRef(type_or_value);
  } else {
    PyErr_SetString(PyExc_TypeError,
                    "exceptions must be classes or instances deriving from "
                    "BaseException");
    return nullptr;
  }
  if (!finish(self)) {
    // A failed release replaces the exception, which becomes its context.
    PyObject *release_error = PyErr_GetRaisedException();
    PyException_SetContext(release_error, exc);
    PyErr_SetRaisedException(release_error);
    return nullptr;
  }
  PyErr_SetRaisedException(exc);
  return nullptr;
}

PyObject *lock_generator_close(PyObject *object, PyObject *) {
  if (!finish(reinterpret_cast<LockGenerator *>(object))) return nullptr;
  Py_RETURN_NONE;
}

int lock_generator_traverse(PyObject *object, visitproc visit, void *arg) {
  auto *self = reinterpret_cast<LockGenerator *>(object);
  Py_VISIT(Py_TYPE(object));
  Py_VISIT(self->module);
  Py_VISIT(self->owner);
  return 0;
}

void lock_generator_dealloc(PyObject *object) {
  auto *self = reinterpret_cast<LockGenerator *>(object);
  PyTypeObject *type = Py_TYPE(object);
  PyObject_GC_UnTrack(object);
  if (self->state == LockState::Suspended) {
    PyObject *pending = PyErr_GetRaisedException();
    if (!finish(self)) PyErr_WriteUnraisable(object);
    PyErr_SetRaisedException(pending);
  }
  Py_CLEAR(self->module);
  Py_CLEAR(self->owner);
  type->tp_free(object);
  Py_DECREF(type);
}

PyMethodDef lock_generator_methods[] = {
    {"send", lock_generator_send, METH_O, nullptr},
    {"throw", lock_generator_throw, METH_VARARGS, nullptr},
    {"close", lock_generator_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot lock_generator_slots[] = {
    {Py_tp_iter, reinterpret_cast<void *>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void *>(lock_generator_next)},
    {Py_tp_methods, lock_generator_methods},
    {Py_tp_traverse, reinterpret_cast<void *>(lock_generator_traverse)},
    {Py_tp_dealloc, reinterpret_cast<void *>(lock_generator_dealloc)},
    {0, nullptr}};

PyType_Spec lock_generator_spec = {
    "tavrel_saml.saml._lock_generator", sizeof(LockGenerator), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    lock_generator_slots};

// The type lives for the process; it is not bound in the module namespace.
PyTypeObject *lock_generator_type() {
  PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<py::object> type;
  return reinterpret_cast<PyTypeObject *>(
      type.call_once_and_store_result([] {
            PyObject *created = PyType_FromSpec(&lock_generator_spec);
            if (created == nullptr) throw py::error_already_set();
            return py::reinterpret_steal<py::object>(created);
          })
          .get_stored()
          .ptr());
}

py::object new_lock_generator(py::handle module, py::handle owner,
                              LockStep acquire, LockStep release) {
  PyTypeObject *type = lock_generator_type();
  auto *self = PyObject_GC_New(LockGenerator, type);
  if (self == nullptr) throw py::error_already_set();
  self->module = Py_NewRef(module.ptr());
  self->owner = Py_NewRef(owner.ptr());
  self->acquire = acquire;
  self->release = release;
  self->state = LockState::Created;
  PyObject_GC_Track(self);
  return py::reinterpret_steal<py::object>(reinterpret_cast<PyObject *>(self));
}

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
  return new_lock_generator(module.handle(), args[0].attr("_lock"),
                            acquire_thread_lock, release_thread_lock);
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
  for_each_item(seen_responses, [&](py::handle req_id, py::handle expiration) {
    PyObject *now = PyObject_CallNoArgs(clock.ptr());
    if (now == nullptr) throw py::error_already_set();
    int is_expired = PyObject_RichCompareBool(now, expiration.ptr(), Py_GE);
    Py_DECREF(now);
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

constexpr Signature kMemoryCleanup{
    "cleanup_expired", "O:cleanup_expired", kSelfKeywords,
    "cleanup_expired(self)\n--\n\n", Kind::Instance};

py::object memory_cleanup_expired(const Module &module, const Args &args) {
  py::object seen_responses = args[0].attr("_seen_responses");
  remove_ids(seen_responses, expired_ids(module, seen_responses));
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
  return new_lock_generator(module.handle(), args[0], acquire_memcache_lock,
                            release_memcache_lock);
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
  remove_ids(seen_responses, expired);
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

void register_lock_generator(py::module_ &) { lock_generator_type(); }

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
