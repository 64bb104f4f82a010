#include "tracker_lock.hpp"

#include "trackers.hpp"

namespace tavrel_saml {
namespace {

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
  } catch (...) {
    set_error_from_current_exception();
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

// The exception `throw(type, value)` throws into a generator, made as the
// interpreter makes it. When making it fails (the class raises, or returns
// something that is no exception), that failure is what is thrown: the
// generator ends with it, its lock given back.
PyObject *made_exception(PyObject *type, PyObject *value) {
  PyObject *exc;
  if (value != nullptr &&
      PyObject_TypeCheck(value, reinterpret_cast<PyTypeObject *>(type))) {
    exc = Py_NewRef(value);
  } else if (value != nullptr && PyTuple_Check(value)) {
    exc = PyObject_Call(type, value, nullptr);
  } else if (value != nullptr && value != Py_None) {
    exc = PyObject_CallOneArg(type, value);
  } else {
    exc = PyObject_CallNoArgs(type);
  }
  if (exc != nullptr && !PyExceptionInstance_Check(exc)) {
    PyErr_Format(PyExc_TypeError,
                 "calling %R should have returned an instance of "
                 "BaseException, not %s",
                 type, Py_TYPE(exc)->tp_name);
    Py_CLEAR(exc);
  }
  return exc != nullptr ? exc : PyErr_GetRaisedException();
}

// throw(value) or the older throw(type[, value[, traceback]]).
PyObject *lock_generator_throw(PyObject *object, PyObject *args) {
  auto *self = reinterpret_cast<LockGenerator *>(object);
  PyObject *type_or_value, *value = nullptr, *traceback = nullptr;
  if (!PyArg_UnpackTuple(args, "throw", 1, 3, &type_or_value, &value,
                         &traceback)) {
    return nullptr;
  }
  if (traceback == Py_None) {
    traceback = nullptr;
  } else if (traceback != nullptr && !PyTraceBack_Check(traceback)) {
    PyErr_SetString(PyExc_TypeError,
                    "throw() third argument must be a traceback object");
    return nullptr;
  }
  PyObject *exc;
  if (PyExceptionClass_Check(type_or_value)) {
    exc = made_exception(type_or_value, value);
  } else if (PyExceptionInstance_Check(type_or_value)) {
    if (value != nullptr && value != Py_None) {
      PyErr_SetString(PyExc_TypeError,
                      "instance exception may not have a separate value");
      return nullptr;
    }
    exc = Py_NewRef(type_or_value);
  } else {
    PyErr_Format(PyExc_TypeError,
                 "exceptions must be classes or instances deriving from "
                 "BaseException, not %s",
                 Py_TYPE(type_or_value)->tp_name);
    return nullptr;
  }
  if (traceback != nullptr && PyException_SetTraceback(exc, traceback) < 0) {
    Py_DECREF(exc);
    return nullptr;
  }
  py::object thrown = py::reinterpret_steal<py::object>(exc);
  if (!finish(self)) {
    // A failed release replaces the exception, which becomes its context;
    // a release that fails with the thrown exception itself raises it once.
    py::object release_error =
        py::reinterpret_steal<py::object>(PyErr_GetRaisedException());
    set_context(release_error, thrown);
    PyErr_SetRaisedException(release_error.release().ptr());
    return nullptr;
  }
  PyErr_SetRaisedException(thrown.release().ptr());
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

}  // namespace

py::object tracker_lock(const Module &m, const TrackerRow &row,
                        py::handle tracker) {
  return new_lock_generator(m, row.lock_owner(m, tracker), row.acquire,
                            row.release);
}

void register_lock_generator(const Module &m) {
  m.state().lock_generator_type =
      owned(PyType_FromSpec(&lock_generator_spec)).release().ptr();
}

void register_tracker(const Module &m, const TrackerRow &row) {
  State &state = m.state();
  const int index = static_cast<int>(row.tracker);
  py::object cls = row.make_class(m);
  state.tracker_locks[index] = get_attr(cls, m[id::lock]).release().ptr();
  state.tracker_classes[index] = Py_NewRef(cls.ptr());
  set_attr(m.handle(), m[row.name], cls);
}

namespace {

// The row of `tracker` when `tracker.lock` is known to be one of the module's
// own, with the owner its generator would hold; null for any other lock,
// `lock` then holding what `tracker.lock` gave when it was read.
const TrackerRow *own_lock(const Module &m, py::handle tracker,
                           py::object &owner, py::object &lock) {
  State &state = m.state();
  PyObject *type = reinterpret_cast<PyObject *>(Py_TYPE(tracker.ptr()));
  const TrackerRow *row = nullptr;
  for (const TrackerRow *candidate : kTrackers) {
    if (state.tracker_classes[static_cast<int>(candidate->tracker)] == type) {
      row = candidate;
    }
  }
  if (row == nullptr) return nullptr;
  // `tracker.lock` is read once on either road, as `tracker.lock()` reads it.
  lock = get_attr(tracker, m[id::lock]);
  if (!PyMethod_Check(lock.ptr()) ||
      PyMethod_GET_FUNCTION(lock.ptr()) !=
          state.tracker_locks[static_cast<int>(row->tracker)] ||
      PyMethod_GET_SELF(lock.ptr()) != tracker.ptr()) {
    return nullptr;
  }
  owner = row->lock_owner(m, tracker);
  return row;
}

}  // namespace

void with_tracker_lock(const Module &m, py::handle tracker, BodyRef body) {
  py::object owner, lock;
  const TrackerRow *row = own_lock(m, tracker, owner, lock);
  if (row == nullptr) {
    if (!lock) lock = get_attr(tracker, m[id::lock]);
    with(m, call(lock), [&] { body.run(body.context); });
    return;
  }
  // What contextmanager's __enter__ and __exit__ do around the generator:
  // an error of the acquire propagates as it is; an error of the body is
  // re-raised once the lock is given back, and a failed release replaces
  // it, chained to it as its context (a release that fails with the body's
  // own exception raises that exception once, unchanged).
  row->acquire(m, owner);
  try {
    body.run(body.context);
  } catch (py::error_already_set &e) {
    try {
      row->release(m, owner);
    } catch (py::error_already_set &release_error) {
      set_context(release_error.value(), e.value());
      throw;
    }
    throw;
  }
  row->release(m, owner);
}

}  // namespace tavrel_saml
