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
using LockStep = TrackerLockStep;

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

// Dropped while holding the lock: give it back, as a Python generator's
// `finally` would. The interpreter runs this with the object alive, before a
// collected cycle is cleared (so the tracker still has its attributes) and
// with a reference of its own around the unraisable report.
void lock_generator_finalize(PyObject *object) {
  auto *self = reinterpret_cast<LockGenerator *>(object);
  if (self->state != LockState::Suspended) return;
  PyObject *pending = PyErr_GetRaisedException();
  if (!finish(self)) PyErr_WriteUnraisable(object);
  PyErr_SetRaisedException(pending);
}

void lock_generator_dealloc(PyObject *object) {
  auto *self = reinterpret_cast<LockGenerator *>(object);
  PyTypeObject *type = Py_TYPE(object);
  if (PyObject_CallFinalizerFromDealloc(object) < 0) return;  // resurrected
  PyObject_GC_UnTrack(object);
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
    {Py_tp_finalize, reinterpret_cast<void *>(lock_generator_finalize)},
    {Py_tp_dealloc, reinterpret_cast<void *>(lock_generator_dealloc)},
    {0, nullptr}};

PyType_Spec lock_generator_spec = {
    "tavrel_saml.saml._lock_generator", sizeof(LockGenerator), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    lock_generator_slots};

py::object new_lock_generator(const Module &m, py::handle owner,
                              LockStep acquire, LockStep release) {
  // Kept in the module state; it is not bound in the module namespace.
  auto *type = reinterpret_cast<PyTypeObject *>(m.state().lock_generator_type);
  auto *self = PyObject_GC_New(LockGenerator, type);
  if (self == nullptr) throw py::error_already_set();
  self->module = Py_NewRef(m.handle().ptr());
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
void acquire_thread_lock(const Module &m, const py::object &lock) {
  call_method(lock, m[id::acquire]);
}
void release_thread_lock(const Module &m, const py::object &lock) {
  call_method(lock, m[id::release]);
}

py::object memory_init(const Module &m, const Args &args) {
  py::handle self = args[0];
  set_attr(self, m[id::seen_responses], py::dict());
  set_attr(self, m[id::thread_lock],
           call_method(owned(PyImport_Import(m[id::threading].ptr())),
                       m[id::RLock]));
  return py::none();
}

constexpr Method kMemoryInit{
    "__init__", Kind::Instance, {{{"self"}}}, nullptr, memory_init};

py::object memory_lock(const Module &m, const Args &args) {
  return new_lock_generator(m, get_attr(args[0], m[id::thread_lock]),
                            acquire_thread_lock, release_thread_lock);
}

constexpr Method kMemoryLock{
    "lock", Kind::ContextManager, {{{"self"}}}, nullptr, memory_lock};

py::object memory_add(const Module &m, const Args &args) {
  set_item(get_attr(args[0], m[id::seen_responses]), args[1], args[2]);
  return py::none();
}

constexpr Method kMemoryAdd{"add",
                            Kind::Instance,
                            {{{"self"}, {"req_id"}, {"expiration"}}},
                            "expiration date is unix time",
                            memory_add};

py::object memory_is_seen(const Module &m, const Args &args) {
  return py::bool_(contains(get_attr(args[0], m[id::seen_responses]), args[1]));
}

constexpr Method kMemoryIsSeen{"is_seen",
                               Kind::Instance,
                               {{{"self"}, {"req_id"}}},
                               nullptr,
                               memory_is_seen};

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

py::object memory_cleanup_expired(const Module &m, const Args &args) {
  py::object seen_responses = get_attr(args[0], m[id::seen_responses]);
  remove_ids(seen_responses, expired_ids(m, seen_responses));
  return py::none();
}

constexpr Method kMemoryCleanup{"cleanup_expired",
                                Kind::Instance,
                                {{{"self"}}},
                                nullptr,
                                memory_cleanup_expired};

py::object memory_reset(const Module &m, const Args &args) {
  set_attr(args[0], m[id::seen_responses], py::dict());
  return py::none();
}

constexpr Method kMemoryReset{
    "reset", Kind::Instance, {{{"self"}}}, nullptr, memory_reset};

// -- SamlDuplicateResponsesTrackerInMemcache --------------------------------

void log_error(const Module &m, const char *text) {
  call_method(m.global(id::log), m[id::error], py::str(text));
}

// How long `lock()` keeps trying before it gives up: a lock item left by a
// crashed holder lapses after 5 seconds, so twice that means memcache is
// not answering as it should.
constexpr double kMemcacheLockWaitLimit = 10.0;  // seconds

py::object memcache_init(const Module &m, const Args &args) {
  py::handle self = args[0];
  set_attr(self, m[id::mc], args[1]);
  py::str key = concat({format(args[2]), m[id::underscore],
                        format(get_attr(self, m[id::KEY_SUFFIX]))});
  set_attr(self, m[id::key], key);
  set_attr(self, m[id::lock_key], concat({key, m[id::lock_suffix]}));
  set_attr(self, m[id::memcache_lock_sleep_interval], args[3]);
  set_attr(self, m[id::my_proc_uid], args[4]);
  set_attr(self, m[id::seen_responses], py::none());
  return py::none();
}

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

py::object memcache_lazy_init(const Module &m, const Args &args) {
  py::handle self = args[0];
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

constexpr Method kMemcacheLazyInit{
    "_lazy_init", Kind::Instance, {{{"self"}}}, nullptr, memcache_lazy_init};

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

py::object memcache_lock(const Module &m, const Args &args) {
  return new_lock_generator(m, args[0], acquire_memcache_lock,
                            release_memcache_lock);
}

constexpr Method kMemcacheLock{"lock",
                               Kind::ContextManager,
                               {{{"self"}}},
                               "Lock memcache to avoid race condition",
                               memcache_lock};

// The instance's copy of the stored mapping, loaded when not yet loaded.
py::object loaded_seen_responses(const Module &m, py::handle self) {
  call_method(self, m[id::lazy_init]);
  return get_attr(self, m[id::seen_responses]);
}

py::object memcache_is_seen(const Module &m, const Args &args) {
  return py::bool_(contains(loaded_seen_responses(m, args[0]), args[1]));
}

constexpr Method kMemcacheIsSeen{"is_seen",
                                 Kind::Instance,
                                 {{{"self"}, {"req_id"}}},
                                 nullptr,
                                 memcache_is_seen};

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
  log_error(m,
            "The SAML responses record outgrew the memcache item size; "
            "sign-ins are refused until enough responses expire. Start "
            "memcached with a larger -I, or use "
            "SamlDuplicateResponsesTrackerInMemcachePerId");
  raise(PyExc_RuntimeError, "Can not store saml response", overflow);
}

py::object memcache_add(const Module &m, const Args &args) {
  py::handle self = args[0];
  py::object seen_responses = loaded_seen_responses(m, self);
  py::object previous;
  if (contains(seen_responses, args[1])) {
    previous = get_item(seen_responses, args[1]);
  }
  set_item(seen_responses, args[1], args[2]);
  py::object overflow;
  py::object stored = set_unless_too_large(m, self, seen_responses, overflow);
  if (!stored) {
    stored = store_after_overflow(m, self, seen_responses, args[1], previous,
                                  overflow);
  }
  if (!truthy(stored)) raise(PyExc_RuntimeError, "Can not store saml response");
  return py::none();
}

constexpr Method kMemcacheAdd{"add",
                              Kind::Instance,
                              {{{"self"}, {"req_id"}, {"expiration"}}},
                              "expiration: unix time",
                              memcache_add};

py::object memcache_cleanup_expired(const Module &m, const Args &args) {
  py::handle self = args[0];
  py::object seen_responses = loaded_seen_responses(m, self);
  if (!truthy(seen_responses)) return py::none();
  py::list expired = expired_ids(m, seen_responses);
  if (expired.empty()) return py::none();
  remove_ids(seen_responses, expired);
  call_method(get_attr(self, m[id::mc]), m[id::replace],
              get_attr(self, m[id::key]), seen_responses);
  return py::none();
}

constexpr Method kMemcacheCleanup{"cleanup_expired",
                                  Kind::Instance,
                                  {{{"self"}}},
                                  nullptr,
                                  memcache_cleanup_expired};

py::object memcache_reset(const Module &m, const Args &args) {
  py::handle self = args[0];
  py::dict seen_responses;
  set_attr(self, m[id::seen_responses], seen_responses);
  call_method(get_attr(self, m[id::mc]), m[id::set], get_attr(self, m[id::key]),
              seen_responses);
  return py::none();
}

constexpr Method kMemcacheReset{
    "reset", Kind::Instance, {{{"self"}}}, nullptr, memcache_reset};

// The class and its `lock` as created, kept for the fast road of
// with_tracker_lock.
py::object remember(py::object cls, PyObject *&class_slot, PyObject *&lock_slot,
                    const Module &m) {
  class_slot = Py_NewRef(cls.ptr());
  lock_slot = get_attr(cls, m[id::lock]).release().ptr();
  return cls;
}

}  // namespace

py::object new_tracker_lock(const Module &m, py::handle owner,
                            TrackerLockStep acquire, TrackerLockStep release) {
  return new_lock_generator(m, owner, acquire, release);
}

void register_lock_generator(const Module &m) {
  m.state().lock_generator_type =
      owned(PyType_FromSpec(&lock_generator_spec)).release().ptr();
}

py::object make_memcache_tracker_class(const Module &m) {
  State &state = m.state();
  return remember(
      make_class(m, "SamlDuplicateResponsesTrackerInMemcache",
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
                 }),
      state.memcache_tracker_class, state.memcache_tracker_lock, m);
}

py::object make_memory_tracker_class(const Module &m) {
  State &state = m.state();
  return remember(
      make_class(m, "SamlDuplicateResponsesTrackerInMemory",
                 "Store seen saml responses in memory. Cleanup expired.",
                 {
                     method<kMemoryInit>(m),
                     method<kMemoryLock>(m),
                     method<kMemoryAdd>(m),
                     method<kMemoryIsSeen>(m),
                     method<kMemoryCleanup>(m),
                     method<kMemoryReset>(m),
                 }),
      state.memory_tracker_class, state.memory_tracker_lock, m);
}

// -- with tracker.lock() ------------------------------------------------------

// The steps of `tracker.lock()` when it is known to be one of the module's
// own, with the owner the generator would hold; false for any other lock.
bool own_lock_steps(const Module &m, py::handle tracker, py::object &owner,
                    LockStep &acquire, LockStep &release) {
  State &state = m.state();
  PyObject *type = reinterpret_cast<PyObject *>(Py_TYPE(tracker.ptr()));
  PyObject *expected_lock;
  if (type == state.memory_tracker_class) {
    expected_lock = state.memory_tracker_lock;
  } else if (type == state.memcache_tracker_class) {
    expected_lock = state.memcache_tracker_lock;
  } else {
    return false;
  }
  // `tracker.lock` is read once on either road, as `tracker.lock()` reads it.
  py::object bound = get_attr(tracker, m[id::lock]);
  if (!PyMethod_Check(bound.ptr()) ||
      PyMethod_GET_FUNCTION(bound.ptr()) != expected_lock ||
      PyMethod_GET_SELF(bound.ptr()) != tracker.ptr()) {
    owner = std::move(bound);  // the caller takes the contextlib road
    return false;
  }
  if (type == state.memory_tracker_class) {
    owner = get_attr(tracker, m[id::thread_lock]);
    acquire = acquire_thread_lock;
    release = release_thread_lock;
  } else {
    owner = py::reinterpret_borrow<py::object>(tracker);
    acquire = acquire_memcache_lock;
    release = release_memcache_lock;
  }
  return true;
}

void with_tracker_lock(const Module &m, py::handle tracker, BodyRef body) {
  py::object owner;
  LockStep acquire, release;
  if (!own_lock_steps(m, tracker, owner, acquire, release)) {
    py::object lock = owner ? owner : get_attr(tracker, m[id::lock]);
    with(m, call(lock), [&] { body.run(body.context); });
    return;
  }
  // What contextmanager's __enter__ and __exit__ do around the generator:
  // an error of the acquire propagates as it is; an error of the body is
  // re-raised once the lock is given back, and a failed release replaces
  // it, chained to it as its context.
  acquire(m, owner);
  try {
    body.run(body.context);
  } catch (py::error_already_set &e) {
    try {
      release(m, owner);
    } catch (py::error_already_set &release_error) {
      PyException_SetContext(release_error.value().ptr(),
                             e.value().inc_ref().ptr());
      throw;
    }
    throw;
  }
  release(m, owner);
}

}  // namespace tavrel_saml
