// The module frame: what importing `tavrel_saml.saml` binds, in order, and
// the helpers every unit shares.
#include "plain_class.hpp"

namespace tavrel_saml {

py::object Module::global(const char *name) const {
  PyObject *namespace_ = PyModule_GetDict(module_.ptr());    // borrowed
  PyObject *value = PyDict_GetItemString(namespace_, name);  // borrowed
  if (value == nullptr) {
    PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
    throw py::error_already_set();
  }
  return py::reinterpret_borrow<py::object>(value);
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
  raise_exception(py::reinterpret_borrow<py::object>(type)(std::move(arg)),
                  context);
}

py::str format(py::handle value) {
  return py::reinterpret_steal<py::str>([&] {
    PyObject *text = PyObject_Format(value.ptr(), nullptr);
    if (text == nullptr) throw py::error_already_set();
    return text;
  }());
}

py::str concat(std::initializer_list<py::handle> parts) {
  py::list items;
  for (py::handle part : parts) items.append(part);
  return py::str("").attr("join")(items);
}

py::str text_form(py::handle value) {
  if (PyUnicode_Check(value.ptr())) {
    return py::reinterpret_borrow<py::str>(value);
  }
  return py::str(value);
}

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

py::object special_method(py::handle object, const char *name) {
  PyTypeObject *type = Py_TYPE(object.ptr());
  PyObject *attribute = _PyType_Lookup(type, py::str(name).ptr());  // borrowed
  if (attribute == nullptr) {
    PyErr_Format(PyExc_TypeError,
                 "'%.200s' object does not support the context manager "
                 "protocol",
                 type->tp_name);
    throw py::error_already_set();
  }
  descrgetfunc get = Py_TYPE(attribute)->tp_descr_get;
  if (get == nullptr) return py::reinterpret_borrow<py::object>(attribute);
  PyObject *bound =
      get(attribute, object.ptr(), reinterpret_cast<PyObject *>(type));
  if (bound == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(bound);
}

py::object bind_kind(py::object function, Kind kind) {
  PyObject *wrapped = nullptr;
  switch (kind) {
    case Kind::Instance:
      wrapped = PyInstanceMethod_New(function.ptr());
      break;
    case Kind::Class:
      wrapped = PyClassMethod_New(function.ptr());
      break;
    case Kind::Static:
      wrapped = PyStaticMethod_New(function.ptr());
      break;
    case Kind::Function:
      return function;
  }
  if (wrapped == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(wrapped);
}

py::object make_class(
    const char *name, const char *doc,
    std::initializer_list<std::pair<const char *, py::object>> members) {
  py::dict namespace_;
  namespace_["__module__"] = kModuleName;
  namespace_["__qualname__"] = name;
  namespace_["__doc__"] =
      doc ? py::object(py::str(doc)) : py::object(py::none());
  for (const auto &[member, value] : members) namespace_[member] = value;
  py::object type = py::reinterpret_borrow<py::object>(
      reinterpret_cast<PyObject *>(&PyType_Type));
  return type(name,
              py::make_tuple(py::reinterpret_borrow<py::object>(
                  reinterpret_cast<PyObject *>(&PyBaseObject_Type))),
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

// The module body: binds the names in the order a host may rely on.
void exec_module(py::module_ &m) {
  for (const char *name :
       {"contextlib", "traceback", "logging", "time", "re"}) {
    m.attr(name) = py::module_::import(name);
  }
  m.attr("urlparse") = from_import("urllib.parse", "urlparse");
  m.attr("random") = from_import("random", "random");
  m.attr("OneLogin_Saml2_Auth") =
      from_import("onelogin.saml2.auth", "OneLogin_Saml2_Auth");
  m.attr("OneLogin_Saml2_Error") =
      from_import("onelogin.saml2.errors", "OneLogin_Saml2_Error");
  m.attr("OneLogin_Saml2_IdPMetadataParser") = from_import(
      "onelogin.saml2.idp_metadata_parser", "OneLogin_Saml2_IdPMetadataParser");
  m.attr("OneLogin_Saml2_Utils") =
      from_import("onelogin.saml2.utils", "OneLogin_Saml2_Utils");
  m.attr("UserConfig") = from_import("tavrel.configs", "UserConfig");
  m.attr("log") = m.attr("logging").attr("getLogger")("tavrel");

  register_lock_generator(m);
  m.attr("SamlAuthLoader") = make_loader_class(m);
  m.attr("SamlDuplicateResponsesTrackerInMemcache") =
      make_memcache_tracker_class(m);
  m.attr("SamlDuplicateResponsesTrackerInMemory") =
      make_memory_tracker_class(m);
  m.attr("responses_tracker_mem") =
      m.attr("SamlDuplicateResponsesTrackerInMemory")();
  m.attr("SamlIDPConfig") = make_idp_config_class(m);
  m.attr("validate_saml_settings") = make_validate_saml_settings(m);
}

PyModuleDef module_def = {PyModuleDef_HEAD_INIT,
                          "saml",
                          nullptr,
                          -1,
                          nullptr,
                          nullptr,
                          nullptr,
                          nullptr,
                          nullptr};

}  // namespace
}  // namespace tavrel_saml

// Written out rather than left to pybind11's module macro, which would
// replace a failed import of the toolkit or of the host package with an
// ImportError of its own: the host must see the original error.
extern "C" PYBIND11_EXPORT PyObject *PyInit_saml() {
  PyObject *module = PyModule_Create(&tavrel_saml::module_def);
  if (module == nullptr) return nullptr;
  try {
    auto m = py::reinterpret_borrow<py::module_>(module);
    tavrel_saml::exec_module(m);
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
