#include "methods.hpp"

#include <pthread.h>

#include <algorithm>
#include <cstdint>
#include <string>

namespace tavrel_saml {

namespace {

// Adds an entry naming a native function and its source to the traceback
// of the exception being raised, so that a host's error log points into the
// module rather than ending at the caller.
void add_traceback_entry(const char *function,
                         const std::source_location &where) {
  PyObject *exc = PyErr_GetRaisedException();
  PyCodeObject *code = PyCode_NewEmpty(where.file_name(), function,
                                       static_cast<int>(where.line()));
  PyObject *globals = code ? PyDict_New() : nullptr;
  PyFrameObject *frame =
      globals ? PyFrame_New(PyThreadState_Get(), code, globals, nullptr)
              : nullptr;
  PyErr_SetRaisedException(exc);
  if (frame) PyTraceBack_Here(frame);
  Py_XDECREF(frame);
  Py_XDECREF(globals);
  Py_XDECREF(code);
}

// The C stack of the running thread, as its threads library knows it; both
// null when unknown (then nothing is checked).
struct ThreadStack {
  std::uintptr_t low = 0, high = 0, reserve = 0;
  bool read = false;
};

thread_local ThreadStack thread_stack;

const ThreadStack &current_stack() {
  ThreadStack &stack = thread_stack;
  if (stack.read) return stack;
  stack.read = true;
  pthread_attr_t attributes;
  if (pthread_getattr_np(pthread_self(), &attributes) != 0) return stack;
  void *base;
  size_t size;
  if (pthread_attr_getstack(&attributes, &base, &size) == 0) {
    stack.low = reinterpret_cast<std::uintptr_t>(base);
    stack.high = stack.low + size;
    // Room kept for the interpreter and host code between two calls of a
    // method: a quarter of a small stack, 256 KiB of a large one.
    stack.reserve = std::min<std::uintptr_t>(size / 4, 256 * 1024);
  }
  pthread_attr_destroy(&attributes);
  return stack;
}

// Host code that calls back into the module (a users entry whose attribute
// lookup maps users again) recurses through C frames the interpreter's
// recursion limit does not see whole: each level takes more C stack than
// the same code in plain Python. The call is refused with the error the
// interpreter gives for runaway recursion while the stack still has room.
bool stack_nearly_exhausted() {
  const ThreadStack &stack = current_stack();
  const auto here =
      reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
  // A stack the threads library does not know (a coroutine's own) is not
  // checked.
  if (here <= stack.low || here >= stack.high) return false;
  return here - stack.low < stack.reserve;
}

int parameter_count(const Method &method) {
  int count = 0;
  while (count < kMaxParameters && method.parameters[count].name) ++count;
  return count;
}

// Index of the parameter called `name`, or -1.
int parameter_index(const Method &method, int count, PyObject *name) {
  for (int i = 0; i < count; ++i) {
    if (PyUnicode_CompareWithASCIIString(name, method.parameters[i].name) ==
        0) {
      return i;
    }
  }
  return -1;
}

PyObject *default_value(const Default &fallback) {
  switch (fallback.type) {
    case Default::None:
      return Py_NewRef(Py_None);
    case Default::Int:
      return PyLong_FromLong(static_cast<long>(fallback.number));
    case Default::Float:
      return PyFloat_FromDouble(fallback.number);
    case Default::EmptyText:
      return PyUnicode_New(0, 0);
    case Default::Required:
      break;
  }
  return nullptr;
}

std::string default_text(const Default &fallback) {
  switch (fallback.type) {
    case Default::None:
      return "None";
    case Default::Int:
      return std::to_string(static_cast<long>(fallback.number));
    case Default::Float: {
      char *text = PyOS_double_to_string(fallback.number, 'r', 0, 0, nullptr);
      std::string result = text ? text : "";
      PyMem_Free(text);
      return result;
    }
    case Default::EmptyText:
      return "''";
    case Default::Required:
      break;
  }
  return "";
}

// "name(self, a, b=5)\n--\n\n" and the docstring: what the interpreter
// reads as `__text_signature__` and `__doc__`.
const char *method_doc(const Method &method) {
  std::string doc = method.name;
  doc += '(';
  const int count = parameter_count(method);
  for (int i = 0; i < count; ++i) {
    if (i) doc += ", ";
    doc += method.parameters[i].name;
    if (method.parameters[i].fallback.type != Default::Required) {
      doc += '=';
      doc += default_text(method.parameters[i].fallback);
    }
  }
  doc += ")\n--\n\n";
  if (method.doc) doc += method.doc;
  // Kept for the life of the process, as the method table that points to it.
  return (new std::string(std::move(doc)))->c_str();
}

}  // namespace

bool parse_arguments(const Method &method, PyObject *const *args,
                     Py_ssize_t nargs, PyObject *kwnames, Args &parsed) {
  const int count = parameter_count(method);
  const Py_ssize_t nkwargs = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  if (nargs + nkwargs > count) {
    PyErr_Format(PyExc_TypeError,
                 "%.200s() takes at most %d %sargument%s (%zd given)",
                 method.name, count, nargs == 0 ? "keyword " : "",
                 count == 1 ? "" : "s", nargs + nkwargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) parsed.values_[i] = args[i];
  for (Py_ssize_t k = 0; k < nkwargs; ++k) {
    PyObject *name = PyTuple_GET_ITEM(kwnames, k);
    const int i = parameter_index(method, count, name);
    if (i < 0) {
      PyErr_Format(PyExc_TypeError,
                   "'%S' is an invalid keyword argument for %.200s()", name,
                   method.name);
      return false;
    }
    if (i < nargs) {
      PyErr_Format(PyExc_TypeError,
                   "argument for %.200s() given by name ('%s') and position "
                   "(%d)",
                   method.name, method.parameters[i].name, i + 1);
      return false;
    }
    parsed.values_[i] = args[nargs + k];
  }
  for (int i = static_cast<int>(nargs); i < count; ++i) {
    if (parsed.values_[i]) continue;
    const Default &fallback = method.parameters[i].fallback;
    if (fallback.type == Default::Required) {
      PyErr_Format(PyExc_TypeError,
                   "%.200s() missing required argument '%s' (pos %d)",
                   method.name, method.parameters[i].name, i + 1);
      return false;
    }
    PyObject *value = default_value(fallback);
    if (value == nullptr) return false;
    parsed.defaults_[i] = py::reinterpret_steal<py::object>(value);
    parsed.values_[i] = value;
  }
  return true;
}

PyObject *invoke(const Method &method, PyObject *module, PyObject *const *args,
                 size_t nargsf, PyObject *kwnames) noexcept {
  if (stack_nearly_exhausted()) {
    PyErr_SetString(PyExc_RecursionError,
                    "maximum recursion depth exceeded while calling a "
                    "Python object");
    return nullptr;
  }
  PyObject *result = nullptr;
  {
    Args parsed;
    if (!parse_arguments(method, args, PyVectorcall_NARGS(nargsf), kwnames,
                         parsed)) {
      return nullptr;
    }
    try {
      result = method.body(Module(module), parsed).release().ptr();
    } catch (...) {
      set_error_from_current_exception();
    }
  }
  if (result == nullptr) add_traceback_entry(method.name, method.where);
  return result;
}

py::object make_method(const Module &m, const Method &method,
                       PyMethodDef &def) {
  if (def.ml_doc == nullptr) def.ml_doc = method_doc(method);
  py::object module_name = py::str(kModuleName);
  py::object function =
      owned(PyCFunction_NewEx(&def, m.handle().ptr(), module_name.ptr()));
  switch (method.kind) {
    case Kind::Instance:
      return owned(PyInstanceMethod_New(function.ptr()));
    case Kind::Class:
      return owned(PyClassMethod_New(function.ptr()));
    case Kind::Static:
      return owned(PyStaticMethod_New(function.ptr()));
    case Kind::ContextManager:
      return call(get_attr(m.global(id::contextlib), m[id::contextmanager]),
                  function);
    case Kind::Function:
      break;
  }
  return function;
}

py::object make_class(const Module &m, const char *name, const char *doc,
                      std::initializer_list<Member> members) {
  py::dict namespace_;
  set_item(namespace_, m[id::dunder_module], py::str(kModuleName));
  set_item(namespace_, m[id::dunder_qualname], py::str(name));
  set_item(namespace_, m[id::dunder_doc],
           doc ? py::object(py::str(doc)) : py::object(py::none()));
  for (const auto &[member, value] : members) namespace_[member] = value;
  py::tuple bases = py::make_tuple(py::reinterpret_borrow<py::object>(
      reinterpret_cast<PyObject *>(&PyBaseObject_Type)));
  return call(reinterpret_cast<PyObject *>(&PyType_Type), py::str(name), bases,
              namespace_);
}

}  // namespace tavrel_saml
