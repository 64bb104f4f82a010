// Reaching the interpreter from C++: calls (through vectorcall, with no
// argument tuple built, keyword names made once), attribute and item
// access, the truth and comparison of values, text, raising with explicit
// chaining, and a `with` statement. Names are the interned ones of the
// module state.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <type_traits>
#include <utility>

#include "state.hpp"

namespace tavrel_saml {

// Owns a new reference, or throws the error that its null result set.
inline py::object owned(PyObject *result) {
  if (result == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(result);
}

inline py::object get_attr(py::handle object, py::handle name) {
  return owned(PyObject_GetAttr(object.ptr(), name.ptr()));
}

// `getattr(object, name, None)`: only AttributeError means "absent".
py::object get_attr_or_none(py::handle object, py::handle name);

// `hasattr(object, name)`: only AttributeError means "absent".
bool has_attribute(py::handle object, py::handle name);

// Whether a caught error is an instance of any of the given classes, as
// `except (A, B):` would take it.
inline bool matches_any(const py::error_already_set &e,
                        std::initializer_list<py::handle> types) {
  for (py::handle type : types) {
    if (e.matches(type)) return true;
  }
  return false;
}

// At the boundary to the interpreter, inside a `catch (...)`: the C++
// exception in flight becomes the interpreter's error (the Python
// exception carried by error_already_set restored as it was; anything else
// of C++ as `other`, MemoryError for an allocation that failed).
void set_error_from_current_exception(
    PyObject *other = PyExc_SystemError) noexcept;

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

// -- Calls ------------------------------------------------------------------

// A value passed by the keyword `N`: `call_method(m, obj, name, a,
// kw<id::timeout>(t))`. The keyword's name sits beside its value, so the two
// cannot drift apart.
template <id::Name N>
struct Kw {
  py::handle value;
};
template <id::Name N>
Kw<N> kw(py::handle value) {
  return {value};
}

namespace detail {

template <class T>
struct is_keyword : std::false_type {};
template <id::Name N>
struct is_keyword<Kw<N>> : std::true_type {};

inline PyObject *pointer_of(py::handle value) { return value.ptr(); }
template <id::Name N>
PyObject *pointer_of(const Kw<N> &keyword) {
  return keyword.value.ptr();
}

// Whether every keyword argument comes after every positional one.
template <class... Args>
constexpr bool keywords_trail() {
  bool seen_keyword = false, trailing = true;
  ((is_keyword<Args>::value ? (seen_keyword = true)
                            : (trailing = trailing && !seen_keyword)),
   ...);
  return trailing;
}

// A slot of the state's keyword sets, numbered for the process.
int next_keyword_set();

template <id::Name... Names>
struct KeywordSet {
  // The tuple of these names, made once per module.
  static PyObject *tuple(const Module &m) {
    static const int slot = next_keyword_set();
    PyObject *&cached = m.state().keyword_sets[slot];
    if (cached == nullptr) {
      cached = owned(PyTuple_Pack(sizeof...(Names), m[Names].ptr()...))
                   .release()
                   .ptr();
    }
    return cached;
  }
};

template <class Set, class... Args>
struct collect_keywords {
  using type = Set;
};
template <id::Name... Names, class First, class... Rest>
struct collect_keywords<KeywordSet<Names...>, First, Rest...>
    : collect_keywords<KeywordSet<Names...>, Rest...> {};
template <id::Name... Names, id::Name N, class... Rest>
struct collect_keywords<KeywordSet<Names...>, Kw<N>, Rest...>
    : collect_keywords<KeywordSet<Names..., N>, Rest...> {};

template <class... Args>
constexpr std::size_t keyword_count() {
  return (std::size_t{0} + ... + is_keyword<Args>::value);
}

}  // namespace detail

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

// `object.name(*positional, **keywords)`, the keywords given as `kw<...>`
// after the positional arguments.
template <class... Args>
py::object call_method_kw(const Module &m, py::handle object, py::handle name,
                          const Args &...args) {
  static_assert(detail::keywords_trail<Args...>(),
                "keyword arguments come after the positional ones");
  constexpr std::size_t keywords = detail::keyword_count<Args...>();
  static_assert(keywords > 0, "a keyword call without keywords");
  using Set =
      typename detail::collect_keywords<detail::KeywordSet<>, Args...>::type;
  PyObject *stack[] = {object.ptr(), detail::pointer_of(args)...};
  return owned(PyObject_VectorcallMethod(
      name.ptr(), stack, 1 + sizeof...(Args) - keywords, Set::tuple(m)));
}

// -- Values -----------------------------------------------------------------

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

// A float of a number, as `float(value)` reads it.
double as_double(py::handle value);

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

// -- Text -------------------------------------------------------------------

// `format(value, "")`, as an f-string renders a value.
inline py::str format(py::handle value) {
  return py::reinterpret_steal<py::str>(
      owned(PyObject_Format(value.ptr(), nullptr)).release());
}

// `repr(value)`.
inline py::str repr(py::handle value) {
  return py::reinterpret_steal<py::str>(
      owned(PyObject_Repr(value.ptr())).release());
}

// Concatenation of texts (each a str) with nothing between them, made in
// one allocation.
py::str concat(std::initializer_list<py::handle> parts);

// The text form of a value as messages put it: a string unchanged, anything
// else through `str`.
py::str text_form(py::handle value);

// -- Raising ----------------------------------------------------------------

// `exc.__context__ = context`, as the interpreter sets it when it raises
// inside an `except` block: an exception is never its own context, and a
// cycle through the older contexts is cut where it would close.
void set_context(py::handle exc, py::handle context);

// Raise `exc` with the given context and, when `cause` is set, as
// `raise exc from cause`. C code gets no implicit chaining, so the caller
// says what Python would have chained. TypeError, as `raise` gives, when
// `exc` is not an exception instance.
[[noreturn]] void raise_exception(py::object exc, py::handle context = {},
                                  py::handle cause = {});

// Raise `type(arg)`; `context` as above.
[[noreturn]] void raise(py::handle type, py::handle arg,
                        py::handle context = {});

// Raise `type(message)`: for error paths, where a text made afresh costs
// nothing that matters.
[[noreturn]] void raise(py::handle type, const char *message,
                        py::handle context = {});

// -- with -------------------------------------------------------------------

// A special method looked up on the type and bound to `object`, the way the
// interpreter finds `__enter__` and `__exit__`.
py::object special_method(py::handle object, py::handle name);

// Run `fn` with `exc` as the handled exception (what `sys.exc_info()` and
// `traceback.format_exc()` see inside an `except` block).
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

// `with context_manager: body()`. The exit method receives the exception of
// the body, which stays the handled exception while the exit runs; a true
// result of the exit suppresses it, as in Python.
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
