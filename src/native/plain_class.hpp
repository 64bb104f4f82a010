// Helpers shared by the units of the module: its state (names made once),
// cheap calls into the interpreter, plain Python classes whose methods are
// C++ functions declared once each, raising with explicit exception
// chaining, and a `with` statement for C++ code.
#pragma once

#include <pybind11/pybind11.h>

#include <array>
#include <initializer_list>
#include <source_location>
#include <utility>

#include "names.hpp"

namespace py = pybind11;

namespace tavrel_saml {

inline constexpr const char *kModuleName = "tavrel_saml.saml";

// ---------------------------------------------------------------------------
// Module state

// What the module keeps for the life of the module object (all references
// owned, released when the module is cleared): the interned names, the
// keyword-name tuples of the calls it makes with keywords, and what the
// trackers' fast road needs to recognise the classes it may take.
struct State {
  PyObject *names[id::count];
  PyObject *login_kwnames;    // the four options of the toolkit's login()
  PyObject *timeout_kwnames;  // ("timeout",)
  PyObject *noreply_kwnames;  // ("noreply",)
  PyObject *lock_generator_type;
  PyObject *memory_tracker_class, *memory_tracker_lock;
  PyObject *memcache_tracker_class, *memcache_tracker_lock;
  // logging.Logger and its own methods, to recognise a logger whose debug
  // or info lines would go nowhere.
  PyObject *logger_class, *logger_debug, *logger_info, *logger_is_enabled_for;
  // IdP name -> refresh bookkeeping of the IdPs whose metadata is refreshed.
  PyObject *refresh_records;
};

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

// ---------------------------------------------------------------------------
// Calls into the interpreter. Names are the interned ones of the state;
// calls go through vectorcall, with no argument tuple built.

// Owns a new reference, or throws the error that its null result set.
inline py::object owned(PyObject *result) {
  if (result == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(result);
}

inline py::object get_attr(py::handle object, py::handle name) {
  return owned(PyObject_GetAttr(object.ptr(), name.ptr()));
}

inline void set_attr(py::handle object, py::handle name, py::handle value) {
  if (PyObject_SetAttr(object.ptr(), name.ptr(), value.ptr()) < 0) {
    throw py::error_already_set();
  }
}

inline py::object get_item(py::handle object, py::handle key) {
  return owned(PyObject_GetItem(object.ptr(), key.ptr()));
}

inline void set_item(py::handle object, py::handle key, py::handle value) {
  if (PyObject_SetItem(object.ptr(), key.ptr(), value.ptr()) < 0) {
    throw py::error_already_set();
  }
}

// `callable(*args)`.
template <class... Args>
py::object call(py::handle callable, const Args &...args) {
  PyObject *stack[] = {nullptr, py::handle(args).ptr()...};
  return owned(PyObject_Vectorcall(
      callable.ptr(), stack + 1,
      sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// `object.name(*args)`, without a bound method made where the attribute is
// a plain function.
template <class... Args>
py::object call_method(py::handle object, py::handle name,
                       const Args &...args) {
  PyObject *stack[] = {object.ptr(), py::handle(args).ptr()...};
  return owned(PyObject_VectorcallMethod(name.ptr(), stack, 1 + sizeof...(Args),
                                         nullptr));
}

// `object.name(*positional, **dict(zip(kwnames, keyword_values)))`: the
// last len(kwnames) of `args` are passed by the names of `kwnames`.
template <class... Args>
py::object call_method_kw(py::handle object, py::handle name,
                          py::handle kwnames, const Args &...args) {
  PyObject *stack[] = {object.ptr(), py::handle(args).ptr()...};
  const size_t positional =
      1 + sizeof...(Args) - PyTuple_GET_SIZE(kwnames.ptr());
  return owned(
      PyObject_VectorcallMethod(name.ptr(), stack, positional, kwnames.ptr()));
}

// ---------------------------------------------------------------------------
// Logging

// Whether `log.<level>(...)` (debug or info) would do nothing: `log` is a
// plain logging.Logger, with the standard library's methods (neither its
// class nor the instance replaces them), enabled, and its own level cache
// already says the level is off. Then the call is skipped: nothing it could
// have done is lost. Any other logger is always called.
bool logs_nothing(const Module &m, py::handle log, id::Name level);

// `log.<level>(*args)`.
template <class... Args>
void log_call(const Module &m, py::handle log, id::Name level,
              const Args &...args) {
  if (logs_nothing(m, log, level)) return;
  call_method(log, m[level], args...);
}

// ---------------------------------------------------------------------------
// Raising

// Raise `exc` (an exception instance) with the given context and, when
// `cause` is set, as `raise exc from cause`. C code gets no implicit
// chaining, so the caller says what Python would have chained.
[[noreturn]] void raise_exception(py::object exc, py::handle context = {},
                                  py::handle cause = {});

// Raise `type(arg)`; `context` as above.
[[noreturn]] void raise(py::handle type, py::object arg,
                        py::handle context = {});

// Raise `type(message)`: for error paths, where a text made afresh costs
// nothing that matters.
[[noreturn]] void raise(py::handle type, const char *message,
                        py::handle context = {});

// ---------------------------------------------------------------------------
// Values

// The truth of a value, as `if value:` decides it.
inline bool truthy(py::handle value) {
  if (value.ptr() == Py_True) return true;
  if (value.ptr() == Py_False || value.ptr() == Py_None) return false;
  int result = PyObject_IsTrue(value.ptr());
  if (result < 0) throw py::error_already_set();
  return result == 1;
}

// `item in container`, with the full semantics of the operator.
inline bool contains(py::handle container, py::handle item) {
  int found = PySequence_Contains(container.ptr(), item.ptr());
  if (found < 0) throw py::error_already_set();
  return found == 1;
}

// `a == b`, as the operator decides it.
inline bool equal(py::handle a, py::handle b) {
  int result = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
  if (result < 0) throw py::error_already_set();
  return result == 1;
}

// `key, value = item`: exactly two values, failing as unpacking does.
std::pair<py::object, py::object> unpack_pair(py::handle item);

// `for key, value in mapping.items(): fn(key, value)`. An exact dict is
// walked in place (no item tuples), failing as its iteration does when `fn`
// changes its size.
template <class Fn>
void for_each_item(const Module &m, py::handle mapping, Fn &&fn) {
  if (PyDict_CheckExact(mapping.ptr())) {
    const Py_ssize_t size = PyDict_GET_SIZE(mapping.ptr());
    Py_ssize_t position = 0;
    PyObject *key, *value;  // borrowed until held below
    while (PyDict_Next(mapping.ptr(), &position, &key, &value)) {
      py::object held_key = py::reinterpret_borrow<py::object>(key);
      py::object held_value = py::reinterpret_borrow<py::object>(value);
      fn(held_key, held_value);
      if (PyDict_GET_SIZE(mapping.ptr()) != size) {
        PyErr_SetString(PyExc_RuntimeError,
                        "dictionary changed size during iteration");
        throw py::error_already_set();
      }
    }
    return;
  }
  for (py::handle item : call_method(mapping, m[id::items])) {
    auto [key, value] = unpack_pair(item);
    fn(key, value);
  }
}

// `for item in list_: fn(item)`, each item held while `fn` runs: host code
// called from `fn` may change the list under the walk.
template <class Fn>
void for_each_in_list(const py::list &list, Fn &&fn) {
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.ptr()); ++i) {
    py::object item =
        py::reinterpret_borrow<py::object>(PyList_GET_ITEM(list.ptr(), i));
    fn(item);
  }
}

// ---------------------------------------------------------------------------
// Text

// `format(value, "")`, as an f-string renders a value.
inline py::str format(py::handle value) {
  return py::reinterpret_steal<py::str>(
      owned(PyObject_Format(value.ptr(), nullptr)).release());
}

// Concatenation of texts (each a str) with nothing between them, made in
// one allocation.
py::str concat(std::initializer_list<py::handle> parts);

// The text form of a value as messages put it: a string unchanged, anything
// else through `str`.
py::str text_form(py::handle value);

// ---------------------------------------------------------------------------
// Calls

// A special method looked up on the type and bound to `object`, the way the
// interpreter finds `__enter__` and `__exit__`.
py::object special_method(py::handle object, py::handle name);

// `with context_manager: body()`. The exit method receives the exception of
// the body, which stays the handled exception while the exit runs; a true
// result of the exit suppresses it, as in Python.
template <class Body>
void with(const Module &m, py::handle context_manager, Body &&body);

// Run `fn` with `exc` as the handled exception (what `sys.exc_info()` and
// `traceback.format_exc()` see inside an `except` block).
template <class Fn>
auto while_handling(py::handle exc, Fn &&fn) -> decltype(fn());

// ---------------------------------------------------------------------------
// Plain classes

// How a function sits in its namespace: a method of each of the three kinds,
// a plain function wrapped by contextlib.contextmanager, or a plain
// module-level function.
enum class Kind { Instance, Class, Static, ContextManager, Function };

inline constexpr int kMaxParameters = 6;

// The value a parameter takes when it is not given, and how its signature
// shows it.
struct Default {
  enum Type { Required, None, Int, Float, EmptyText } type = Required;
  double number = 0;
};
inline constexpr Default kNoDefault{};
inline constexpr Default kDefaultNone{Default::None};
inline constexpr Default kDefaultEmptyText{Default::EmptyText};
constexpr Default default_int(int value) {
  return {Default::Int, static_cast<double>(value)};
}
constexpr Default default_float(double value) {
  return {Default::Float, value};
}

struct Parameter {
  const char *name = nullptr;
  Default fallback = kNoDefault;
};

// The arguments a method received, in the order of its parameters, the
// defaults filled in.
class Args {
 public:
  py::handle operator[](int i) const { return values_[i]; }

 private:
  friend bool parse_arguments(const struct Method &, PyObject *const *,
                              Py_ssize_t, PyObject *, Args &);
  PyObject *values_[kMaxParameters] = {};
  py::object defaults_[kMaxParameters];
};

using Body = py::object (*)(const Module &, const Args &);

// The one declaration of a method: its name, kind, parameters (`self` or
// `cls` included) with their defaults, and docstring (nullptr: none). The
// argument parser, the text signature that `inspect.signature` reads and
// `__doc__` all come from it.
struct Method {
  const char *name;
  Kind kind;
  std::array<Parameter, kMaxParameters> parameters;
  const char *doc;
  Body body;
  // Where the method is declared, for the traceback entry of its errors.
  std::source_location where = std::source_location::current();
};

// Fills `args` from a vectorcall; false with TypeError set, worded as the
// interpreter words its own argument errors.
bool parse_arguments(const Method &method, PyObject *const *args,
                     Py_ssize_t nargs, PyObject *kwnames, Args &parsed);

// Parses, runs the body and converts C++ exceptions at the boundary to the
// interpreter: the Python exception carried by error_already_set is
// restored as it was, with a traceback entry naming the method's source.
PyObject *invoke(const Method &method, PyObject *module, PyObject *const *args,
                 size_t nargsf, PyObject *kwnames) noexcept;

template <const Method &M>
PyObject *entry(PyObject *module, PyObject *const *args, Py_ssize_t nargsf,
                PyObject *kwnames) {
  return invoke(M, module, args, static_cast<size_t>(nargsf), kwnames);
}

// The function object of `method`, wrapped as its kind asks, for a class
// namespace or the module.
py::object make_method(const Module &m, const Method &method, PyMethodDef &def);

// A class member made from one declared method: its name and object.
template <const Method &M>
std::pair<const char *, py::object> method(const Module &m) {
  static PyMethodDef def{
      M.name,
      reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&entry<M>)),
      METH_FASTCALL | METH_KEYWORDS, nullptr};
  return {M.name, make_method(m, M, def)};
}

using Member = std::pair<const char *, py::object>;

// `type(name, (object,), namespace)`: an ordinary class of the module. The
// namespace is filled in order: `__module__`, `__qualname__`, `__doc__`,
// then `members`.
py::object make_class(const Module &m, const char *name, const char *doc,
                      std::initializer_list<Member> members);

// ---------------------------------------------------------------------------
// The units of the module: each builds its part of the namespace.

py::object make_loader_class(const Module &m);
py::object make_validate_saml_settings(const Module &m);
py::object make_idp_config_class(const Module &m);
py::object make_memcache_tracker_class(const Module &m);
py::object make_per_id_tracker_class(const Module &m);
py::object make_memory_tracker_class(const Module &m);
void register_lock_generator(const Module &m);

// The generator behind a tracker's `lock()`: `acquire(owner)` when the
// `with` statement enters, `release(owner)` on every way out.
using TrackerLockStep = void (*)(const Module &m, const py::object &owner);
py::object new_tracker_lock(const Module &m, py::handle owner,
                            TrackerLockStep acquire, TrackerLockStep release);

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

// ---------------------------------------------------------------------------
// Template definitions

template <class Fn>
auto while_handling(py::handle exc, Fn &&fn) -> decltype(fn()) {
  PyObject *previous = PyErr_GetHandledException();  // new reference
  PyErr_SetHandledException(exc.ptr());
  struct Restore {
    PyObject *previous;
    ~Restore() {
      PyErr_SetHandledException(previous);
      Py_XDECREF(previous);
    }
  } restore{previous};
  return fn();
}

template <class Body>
void with(const Module &m, py::handle context_manager, Body &&body) {
  py::object exit = special_method(context_manager, m[id::dunder_exit]);
  call(special_method(context_manager, m[id::dunder_enter]));
  try {
    body();
  } catch (py::error_already_set &e) {
    py::object exc = e.value();
    py::object suppress = while_handling(exc, [&] {
      return call(exit, py::type::handle_of(exc), exc,
                  e.trace() ? e.trace() : py::none());
    });
    if (truthy(suppress)) return;
    throw;
  }
  call(exit, py::none(), py::none(), py::none());
}

}  // namespace tavrel_saml
