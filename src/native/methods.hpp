// Plain Python classes whose methods are C++ functions, each declared once:
// its name, kind, parameters with their defaults and docstring. The
// argument parser, the text signature that `inspect.signature` reads and
// `__doc__` all come from that declaration, and a body reads its arguments
// by the names declared, checked when it is compiled.
#pragma once

#include <array>
#include <initializer_list>
#include <source_location>
#include <string_view>
#include <utility>

#include "calls.hpp"

namespace tavrel_saml {

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

// The position of a declared parameter; only a method's declaration makes
// one (see Method::operator[]).
class ParameterIndex {
 public:
  consteval explicit ParameterIndex(int index) : index_(index) {}
  int index() const { return index_; }

 private:
  int index_;
};

class Args;
using Body = py::object (*)(const Module &, const Args &);

// The one declaration of a method: its name, kind, parameters (`self` or
// `cls` included) with their defaults, and docstring (nullptr: none). A
// method is declared before its body, which reads its arguments as
// `args[kDeclaration["name"]]`.
struct Method {
  const char *name;
  Kind kind;
  std::array<Parameter, kMaxParameters> parameters;
  const char *doc;
  Body body;
  // Where the method is declared, for the traceback entry of its errors.
  std::source_location where = std::source_location::current();

  // The parameter called `parameter`. Evaluated by the compiler: a body that
  // reads a parameter its declaration does not have is not compiled.
  consteval ParameterIndex operator[](std::string_view parameter) const {
    for (int i = 0; i < kMaxParameters && parameters[i].name; ++i) {
      if (std::string_view(parameters[i].name) == parameter) {
        return ParameterIndex(i);
      }
    }
    throw "no parameter of that name in the method's declaration";
  }
};

// The arguments a method received, in the order of its parameters, the
// defaults filled in.
class Args {
 public:
  py::handle operator[](ParameterIndex parameter) const {
    return values_[parameter.index()];
  }

 private:
  friend bool parse_arguments(const Method &, PyObject *const *, Py_ssize_t,
                              PyObject *, Args &);
  PyObject *values_[kMaxParameters] = {};
  py::object defaults_[kMaxParameters];
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

using Member = std::pair<const char *, py::object>;

// A class member made from one declared method: its name and object.
template <const Method &M>
Member method(const Module &m) {
  static PyMethodDef def{
      M.name,
      reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&entry<M>)),
      METH_FASTCALL | METH_KEYWORDS, nullptr};
  return {M.name, make_method(m, M, def)};
}

// `type(name, (object,), namespace)`: an ordinary class of the module. The
// namespace is filled in order: `__module__`, `__qualname__`, `__doc__`,
// then `members`.
py::object make_class(const Module &m, const char *name, const char *doc,
                      std::initializer_list<Member> members);

}  // namespace tavrel_saml
