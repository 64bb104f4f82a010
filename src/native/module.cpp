// The module frame: what importing `tavrel_saml.saml` binds, in order, the
// module state, and the helpers every unit shares.
#include <cstring>
#include <string>

#include "plain_class.hpp"

namespace tavrel_saml {

py::object Module::global(id::Name name) const {
  PyObject *namespace_ = PyModule_GetDict(module_.ptr());  // borrowed
  PyObject *value =
      PyDict_GetItemWithError(namespace_, state_->names[name]);  // borrowed
  if (value == nullptr) {
    if (!PyErr_Occurred()) {
      PyErr_Format(PyExc_NameError, "name '%U' is not defined",
                   state_->names[name]);
    }
    throw py::error_already_set();
  }
  return py::reinterpret_borrow<py::object>(value);
}

bool logs_nothing(const Module &m, py::handle log, id::Name level) {
  const State &state = m.state();
  if (reinterpret_cast<PyObject *>(Py_TYPE(log.ptr())) != state.logger_class) {
    return false;
  }
  PyObject *method;
  long number;  // logging.DEBUG, logging.INFO
  if (level == id::debug) {
    method = state.logger_debug;
    number = 10;
  } else if (level == id::info) {
    method = state.logger_info;
    number = 20;
  } else {
    return false;
  }
  auto *type = reinterpret_cast<PyTypeObject *>(state.logger_class);
  if (_PyType_Lookup(type, m[level].ptr()) != method ||
      _PyType_Lookup(type, m[id::isEnabledFor].ptr()) !=
          state.logger_is_enabled_for) {
    return false;
  }
  py::object attributes = owned(PyObject_GenericGetDict(log.ptr(), nullptr));
  auto lookup = [&](id::Name name) {
    PyObject *value = PyDict_GetItemWithError(attributes.ptr(), m[name].ptr());
    if (value == nullptr && PyErr_Occurred()) throw py::error_already_set();
    return value;  // borrowed
  };
  if (lookup(level) || lookup(id::isEnabledFor) ||
      lookup(id::disabled) != Py_False) {
    return false;
  }
  PyObject *cache = lookup(id::level_cache);
  if (cache == nullptr || !PyDict_CheckExact(cache)) return false;
  py::object key = owned(PyLong_FromLong(number));
  PyObject *enabled = PyDict_GetItemWithError(cache, key.ptr());
  if (enabled == nullptr && PyErr_Occurred()) throw py::error_already_set();
  return enabled == Py_False;
}

void raise_exception(py::object exc, py::handle context, py::handle cause) {
  if (context) {
    PyException_SetContext(exc.ptr(), context.inc_ref().ptr());
  }
  if (cause) {
    PyException_SetCause(exc.ptr(), cause.inc_ref().ptr());
  }
  PyErr_SetRaisedException(exc.release().ptr());
  throw py::error_already_set();
}

void raise(py::handle type, py::object arg, py::handle context) {
  raise_exception(call(type, arg), context);
}

void raise(py::handle type, const char *message, py::handle context) {
  raise(type, py::str(message), context);
}

py::str concat(std::initializer_list<py::handle> parts) {
  Py_ssize_t length = 0;
  Py_UCS4 max_char = 0;
  for (py::handle part : parts) {
    if (!PyUnicode_Check(part.ptr())) {
      PyErr_Format(PyExc_TypeError, "expected str, got %.200s",
                   Py_TYPE(part.ptr())->tp_name);
      throw py::error_already_set();
    }
    length += PyUnicode_GET_LENGTH(part.ptr());
    max_char =
        std::max<Py_UCS4>(max_char, PyUnicode_MAX_CHAR_VALUE(part.ptr()));
  }
  py::object text = owned(PyUnicode_New(length, max_char));
  if (max_char < 0x80) {  // all ASCII: the bytes are the characters
    char *to = static_cast<char *>(PyUnicode_DATA(text.ptr()));
    for (py::handle part : parts) {
      const Py_ssize_t size = PyUnicode_GET_LENGTH(part.ptr());
      std::memcpy(to, PyUnicode_DATA(part.ptr()), size);
      to += size;
    }
    return py::reinterpret_steal<py::str>(text.release());
  }
  Py_ssize_t at = 0;
  for (py::handle part : parts) {
    const Py_ssize_t size = PyUnicode_GET_LENGTH(part.ptr());
    if (PyUnicode_CopyCharacters(text.ptr(), at, part.ptr(), 0, size) < 0) {
      throw py::error_already_set();
    }
    at += size;
  }
  return py::reinterpret_steal<py::str>(text.release());
}

py::str text_form(py::handle value) {
  if (PyUnicode_Check(value.ptr())) {
    return py::reinterpret_borrow<py::str>(value);
  }
  return py::reinterpret_steal<py::str>(
      owned(PyObject_Str(value.ptr())).release());
}

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
  PyObject *result = nullptr;
  {
    Args parsed;
    if (!parse_arguments(method, args, PyVectorcall_NARGS(nargsf), kwnames,
                         parsed)) {
      return nullptr;
    }
    try {
      result = method.body(Module(module), parsed).release().ptr();
    } catch (py::error_already_set &e) {
      e.restore();
    } catch (const py::builtin_exception &e) {
      e.set_error();
    } catch (const std::bad_alloc &) {
      PyErr_NoMemory();
    } catch (const std::exception &e) {
      PyErr_SetString(PyExc_SystemError, e.what());
    }
  }
  if (result == nullptr) add_traceback_entry(method.name, method.where);
  return result;
}

std::pair<py::object, py::object> unpack_pair(py::handle item) {
  if (PyTuple_CheckExact(item.ptr()) && PyTuple_GET_SIZE(item.ptr()) == 2) {
    return {
        py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(item.ptr(), 0)),
        py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(item.ptr(), 1))};
  }
  py::iterator values = py::iter(item);
  py::object unpacked[2];
  int count = 0;
  for (; count < 2; ++count) {
    PyObject *value = PyIter_Next(values.ptr());
    if (value == nullptr) {
      if (PyErr_Occurred()) throw py::error_already_set();
      PyErr_Format(PyExc_ValueError,
                   "not enough values to unpack (expected 2, got %d)", count);
      throw py::error_already_set();
    }
    unpacked[count] = py::reinterpret_steal<py::object>(value);
  }
  PyObject *extra = PyIter_Next(values.ptr());
  if (extra != nullptr) {
    Py_DECREF(extra);
    PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
    throw py::error_already_set();
  }
  if (PyErr_Occurred()) throw py::error_already_set();
  return {std::move(unpacked[0]), std::move(unpacked[1])};
}

py::object special_method(py::handle object, py::handle name) {
  PyTypeObject *type = Py_TYPE(object.ptr());
  PyObject *attribute = _PyType_Lookup(type, name.ptr());  // borrowed
  if (attribute == nullptr) {
    PyErr_Format(PyExc_TypeError,
                 "'%.200s' object does not support the context manager "
                 "protocol",
                 type->tp_name);
    throw py::error_already_set();
  }
  descrgetfunc get = Py_TYPE(attribute)->tp_descr_get;
  if (get == nullptr) return py::reinterpret_borrow<py::object>(attribute);
  return owned(
      get(attribute, object.ptr(), reinterpret_cast<PyObject *>(type)));
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

namespace {

// `from module import name`, failing as the statement does.
py::object from_import(const char *module, const char *name) {
  py::object imported = py::module_::import(module);
  if (!py::hasattr(imported, name)) {
    PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", name,
                 module);
    throw py::error_already_set();
  }
  return imported.attr(name);
}

void bind(const Module &m, id::Name name, py::handle value) {
  set_attr(m.handle(), m[name], value);
}

py::object tuple_of_names(const Module &m,
                          std::initializer_list<id::Name> names) {
  py::tuple tuple(names.size());
  size_t i = 0;
  for (id::Name name : names) {
    PyTuple_SET_ITEM(tuple.ptr(), i++, Py_NewRef(m[name].ptr()));
  }
  return tuple;
}

void make_state(const Module &m) {
  State &state = m.state();
  for (int i = 0; i < id::count; ++i) {
    state.names[i] = PyUnicode_InternFromString(kNameTexts[i]);
    if (state.names[i] == nullptr) throw py::error_already_set();
  }
  state.login_kwnames =
      tuple_of_names(m, {id::return_to, id::force_authn, id::is_passive,
                         id::set_nameid_policy})
          .release()
          .ptr();
  state.timeout_kwnames = tuple_of_names(m, {id::timeout}).release().ptr();
  state.noreply_kwnames = tuple_of_names(m, {id::noreply}).release().ptr();
  state.refresh_records = owned(PyDict_New()).release().ptr();
}

// The module body: binds the names in the order a host may rely on.
void exec_module(const Module &m) {
  make_state(m);
  for (id::Name name :
       {id::contextlib, id::traceback, id::logging, id::time, id::re}) {
    bind(m, name, owned(PyImport_Import(m[name].ptr())));
  }
  bind(m, id::urlparse, from_import("urllib.parse", "urlparse"));
  bind(m, id::random, from_import("random", "random"));
  bind(m, id::OneLogin_Saml2_Auth,
       from_import("onelogin.saml2.auth", "OneLogin_Saml2_Auth"));
  bind(m, id::OneLogin_Saml2_Error,
       from_import("onelogin.saml2.errors", "OneLogin_Saml2_Error"));
  bind(m, id::OneLogin_Saml2_IdPMetadataParser,
       from_import("onelogin.saml2.idp_metadata_parser",
                   "OneLogin_Saml2_IdPMetadataParser"));
  bind(m, id::OneLogin_Saml2_Utils,
       from_import("onelogin.saml2.utils", "OneLogin_Saml2_Utils"));
  bind(m, id::UserConfig, from_import("tavrel.configs", "UserConfig"));
  State &state = m.state();
  py::object logger = get_attr(m.global(id::logging), m[id::Logger]);
  auto *logger_type = reinterpret_cast<PyTypeObject *>(logger.ptr());
  for (auto [slot, name] : {std::pair{&state.logger_debug, id::debug},
                            {&state.logger_info, id::info},
                            {&state.logger_is_enabled_for, id::isEnabledFor}}) {
    *slot = Py_XNewRef(_PyType_Lookup(logger_type, m[name].ptr()));
  }
  state.logger_class = logger.release().ptr();
  bind(m, id::log,
       call_method(m.global(id::logging), m[id::getLogger], m[id::tavrel]));

  register_lock_generator(m);
  bind(m, id::SamlAuthLoader, make_loader_class(m));
  bind(m, id::SamlDuplicateResponsesTrackerInMemcache,
       make_memcache_tracker_class(m));
  bind(m, id::SamlDuplicateResponsesTrackerInMemcachePerId,
       make_per_id_tracker_class(m));
  bind(m, id::SamlDuplicateResponsesTrackerInMemory,
       make_memory_tracker_class(m));
  bind(m, id::responses_tracker_mem,
       call(m.global(id::SamlDuplicateResponsesTrackerInMemory)));
  bind(m, id::SamlIDPConfig, make_idp_config_class(m));
  bind(m, id::validate_saml_settings, make_validate_saml_settings(m));
}

State *state_of(PyObject *module) {
  return static_cast<State *>(PyModule_GetState(module));
}

template <class Visit>
int for_each_reference(State *state, Visit &&visit) {
  if (state == nullptr) return 0;
  for (PyObject *&name : state->names) {
    if (int result = visit(name)) return result;
  }
  for (PyObject **slot :
       {&state->login_kwnames, &state->timeout_kwnames, &state->noreply_kwnames,
        &state->lock_generator_type, &state->memory_tracker_class,
        &state->memory_tracker_lock, &state->memcache_tracker_class,
        &state->memcache_tracker_lock, &state->refresh_records,
        &state->logger_class, &state->logger_debug, &state->logger_info,
        &state->logger_is_enabled_for}) {
    if (int result = visit(*slot)) return result;
  }
  return 0;
}

int module_traverse(PyObject *module, visitproc visit, void *arg) {
  return for_each_reference(state_of(module), [&](PyObject *&object) {
    Py_VISIT(object);
    return 0;
  });
}

int module_clear(PyObject *module) {
  return for_each_reference(state_of(module), [](PyObject *&object) {
    Py_CLEAR(object);
    return 0;
  });
}

void module_free(void *module) {
  module_clear(static_cast<PyObject *>(module));
}

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "saml",       nullptr,
                          sizeof(State),         nullptr,      nullptr,
                          module_traverse,       module_clear, module_free};

}  // namespace
}  // namespace tavrel_saml

// Written out rather than left to pybind11's module macro, which would
// replace a failed import of the toolkit or of the host package with an
// ImportError of its own: the host must see the original error.
extern "C" PYBIND11_EXPORT PyObject *PyInit_saml() {
  PyObject *module = PyModule_Create(&tavrel_saml::module_def);
  if (module == nullptr) return nullptr;
  try {
    tavrel_saml::exec_module(tavrel_saml::Module(module));
  } catch (py::error_already_set &e) {
    Py_DECREF(module);
    e.restore();
    return nullptr;
  } catch (const std::exception &e) {
    Py_DECREF(module);
    PyErr_SetString(PyExc_ImportError, e.what());
    return nullptr;
  }
  return module;
}
