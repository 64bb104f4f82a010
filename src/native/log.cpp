#include "log.hpp"

#include <utility>

namespace tavrel_saml {

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

void log_text(const Module &m, id::Name level,
              std::initializer_list<py::handle> parts) {
  py::object log = m.global(id::log);
  if (logs_nothing(m, log, level)) return;
  if (parts.size() == 1) {
    call_method(log, m[level], *parts.begin());
  } else {
    call_method(log, m[level], concat(parts));
  }
}

void remember_logger_class(const Module &m) {
  State &state = m.state();
  py::object logger = get_attr(m.global(id::logging), m[id::Logger]);
  if (!PyType_Check(logger.ptr())) return;  // then every logger is called
  auto *logger_type = reinterpret_cast<PyTypeObject *>(logger.ptr());
  for (auto [slot, name] : {std::pair{&state.logger_debug, id::debug},
                            {&state.logger_info, id::info},
                            {&state.logger_is_enabled_for, id::isEnabledFor}}) {
    *slot = Py_XNewRef(_PyType_Lookup(logger_type, m[name].ptr()));
  }
  state.logger_class = logger.release().ptr();
}

}  // namespace tavrel_saml
