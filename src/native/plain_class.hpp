// Helpers shared by the units of the module: plain Python classes whose
// methods are C++ functions, module-global lookups, raising with explicit
// exception chaining, and a `with` statement for C++ code.
#pragma once

#include <pybind11/pybind11.h>

#include <initializer_list>
#include <source_location>
#include <utility>

namespace py = pybind11;

namespace tavrel_saml {

inline constexpr const char *kModuleName = "tavrel_saml.saml";

// ---------------------------------------------------------------------------
// Module globals

// The module object is handed to every method as its `self` of the C level,
// so globals are read from the module's own namespace at each call: a host
// or a test that rebinds `tavrel_saml.saml.log` sees the change at once.
class Module {
 public:
  explicit Module(py::handle module) : module_(module) {}

  // The current binding of a module global; NameError when it was deleted.
  py::object global(const char *name) const;

  py::handle handle() const { return module_; }

 private:
  py::handle module_;
};

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

// ---------------------------------------------------------------------------
// Values

// The truth of a value, as `if value:` decides it.
inline bool truthy(py::handle value) {
  int result = PyObject_IsTrue(value.ptr());
  if (result < 0) throw py::error_already_set();
  return result == 1;
}

// `key, value = item`: exactly two values, failing as unpacking does.
std::pair<py::object, py::object> unpack_pair(py::handle item);

// `for key, value in mapping.items(): fn(key, value)`. An exact dict is
// walked in place (no item tuples), failing as its iteration does when `fn`
// changes its size.
template <class Fn>
void for_each_item(py::handle mapping, Fn &&fn) {
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
  for (py::handle item : mapping.attr("items")()) {
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
py::str format(py::handle value);

// Concatenation of texts with nothing between them.
py::str concat(std::initializer_list<py::handle> parts);

// The text form of a value as messages put it: a string unchanged, anything
// else through `str`.
py::str text_form(py::handle value);

// ---------------------------------------------------------------------------
// Calls

// A special method looked up on the type and bound to `object`, the way the
// interpreter finds `__enter__` and `__exit__`.
py::object special_method(py::handle object, const char *name);

// `with context_manager: body()`. The exit method receives the exception of
// the body, which stays the handled exception while the exit runs; a true
// result of the exit suppresses it, as in Python.
template <class Body>
void with(py::handle context_manager, Body &&body);

// Run `fn` with `exc` as the handled exception (what `sys.exc_info()` and
// `traceback.format_exc()` see inside an `except` block).
template <class Fn>
auto while_handling(py::handle exc, Fn &&fn) -> decltype(fn());

// ---------------------------------------------------------------------------
// Plain classes

// How a function sits in its namespace: a method of each of the three kinds,
// or a plain module-level function.
enum class Kind { Instance, Class, Static, Function };

// The positional arguments a method received after parsing, in the order of
// its parameters; a slot is null when an optional argument was not given.
class Args {
 public:
  explicit Args(PyObject *const *values) : values_(values) {}
  py::handle operator[](int i) const { return values_[i]; }
  bool given(int i) const { return values_[i] != nullptr; }
  // The argument, or `fallback` when it was not given.
  py::object get(int i, py::object fallback) const {
    return given(i) ? py::reinterpret_borrow<py::object>(values_[i])
                    : std::move(fallback);
  }

 private:
  PyObject *const *values_;
};

using Body = py::object (*)(const Module &, const Args &);

// Everything Python needs to know of one method. `keywords` names every
// parameter, `self` or `cls` included, and ends with nullptr; `format` is
// the format of PyArg_ParseTupleAndKeywords ("O" per parameter, "|" before
// the optional ones); `doc` begins with the text signature
// ("name(self, a, b=5)\n--\n\n") so that `inspect.signature` works, and the
// docstring follows it (nothing when the method has none).
struct Signature {
  const char *name;
  const char *format;
  const char *const *keywords;
  const char *doc;
  Kind kind;
  // Where the method is declared, for the traceback entry of its errors.
  std::source_location where = std::source_location::current();
};

// Adds an entry naming a native function and its source to the traceback
// of the exception being raised, so that a host's error log points into the
// module rather than ending at the caller.
void add_traceback_entry(const char *function,
                         const std::source_location &where);

inline constexpr int kMaxParameters = 6;

// Converts C++ exceptions at the boundary to the interpreter: the Python
// exception carried by error_already_set is restored as it was.
template <class Fn>
PyObject *guarded(Fn &&fn) noexcept {
  try {
    return fn().release().ptr();
  } catch (py::error_already_set &e) {
    e.restore();
  } catch (const py::builtin_exception &e) {
    e.set_error();
  } catch (const std::bad_alloc &) {
    PyErr_NoMemory();
  } catch (const std::exception &e) {
    PyErr_SetString(PyExc_SystemError, e.what());
  }
  return nullptr;
}

template <const Signature &S, Body B>
PyObject *entry(PyObject *module, PyObject *args, PyObject *kwargs) {
  static_assert(kMaxParameters == 6);
  PyObject *values[kMaxParameters] = {};
  if (!PyArg_ParseTupleAndKeywords(
          args, kwargs, S.format, const_cast<char **>(S.keywords), &values[0],
          &values[1], &values[2], &values[3], &values[4], &values[5])) {
    return nullptr;
  }
  PyObject *result = guarded([&] { return B(Module(module), Args(values)); });
  if (result == nullptr) add_traceback_entry(S.name, S.where);
  return result;
}

// Wraps a builtin function as the descriptor its kind asks for.
py::object bind_kind(py::object function, Kind kind);

// The method object of one C++ function, ready for a class namespace.
template <const Signature &S, Body B>
py::object method(py::handle module) {
  static PyMethodDef def{
      S.name,
      reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&entry<S, B>)),
      METH_VARARGS | METH_KEYWORDS, S.doc};
  py::object module_name = py::str(kModuleName);
  py::object function = py::reinterpret_steal<py::object>(
      PyCFunction_NewEx(&def, module.ptr(), module_name.ptr()));
  if (!function) throw py::error_already_set();
  return bind_kind(std::move(function), S.kind);
}

// `type(name, (object,), namespace)`: an ordinary class of the module. The
// namespace is filled in order: `__module__`, `__qualname__`, `__doc__`,
// then `members`.
py::object make_class(
    const char *name, const char *doc,
    std::initializer_list<std::pair<const char *, py::object>> members);

// ---------------------------------------------------------------------------
// The units of the module: each builds its part of the namespace.

py::object make_loader_class(py::handle module);
py::object make_validate_saml_settings(py::handle module);
py::object make_idp_config_class(py::handle module);
py::object make_memcache_tracker_class(py::handle module);
py::object make_memory_tracker_class(py::handle module);
void register_lock_generator(py::module_ &module);

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
void with(py::handle context_manager, Body &&body) {
  py::object exit = special_method(context_manager, "__exit__");
  special_method(context_manager, "__enter__")();
  try {
    body();
  } catch (py::error_already_set &e) {
    py::object exc = e.value();
    py::object suppress = while_handling(exc, [&] {
      return exit(py::type::handle_of(exc), exc,
                  e.trace() ? e.trace() : py::none());
    });
    if (truthy(suppress)) return;
    throw;
  }
  exit(py::none(), py::none(), py::none());
}

}  // namespace tavrel_saml
