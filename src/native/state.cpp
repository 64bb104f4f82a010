#include "state.hpp"

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

void make_state(const Module &m) {
  State &state = m.state();
  for (int i = 0; i < id::count; ++i) {
    state.names[i] = PyUnicode_InternFromString(kNameTexts[i]);
    if (state.names[i] == nullptr) throw py::error_already_set();
  }
  state.refresh_records = PyDict_New();
  if (state.refresh_records == nullptr) throw py::error_already_set();
}

}  // namespace tavrel_saml
