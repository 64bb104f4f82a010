// Refreshing remote IdP metadata while the process runs, so that an IdP can
// roll its signing key without every worker being restarted. Only IdPs with
// a "metadata_refresh_interval" take part: the others keep the one
// resolution per process of the settings cache.
#include "metadata_refresh.hpp"

#include <cmath>

namespace tavrel_saml {
namespace {

// The bookkeeping of one refreshed IdP, a list held in a dict private to
// this unit (the class's cache stays the plain mapping hosts read and
// clear). The record names the cached object it belongs to, so clearing or
// replacing the cache entry retires the record with it.
enum Field : Py_ssize_t {
  kSettings,   // the cached settings object this record describes
  kInterval,   // float seconds
  kFetchedAt,  // float, time.monotonic() when the last fetch ended
  kInFlight,   // True while one request refreshes
  kFields
};

py::handle refresh_records(const Module &m) {
  return m.state().refresh_records;
}

// The interval clock, read through the module's `time` at each call so a
// test can drive it.
double monotonic_now(const Module &module) {
  py::object now = call_method(module.global(id::time), module[id::monotonic]);
  double seconds = PyFloat_AsDouble(now.ptr());
  if (seconds == -1.0 && PyErr_Occurred()) throw py::error_already_set();
  return seconds;
}

double field_seconds(py::handle record, Field field) {
  return PyFloat_AS_DOUBLE(PyList_GET_ITEM(record.ptr(), field));
}

void set_field(py::handle record, Field field, py::object value) {
  // PyList_SetItem steals the reference and drops the previous item.
  if (PyList_SetItem(record.ptr(), field, value.release().ptr()) < 0) {
    throw py::error_already_set();
  }
}

bool in_flight(py::handle record) {
  return PyList_GET_ITEM(record.ptr(), kInFlight) == Py_True;
}

void forget_record(const Module &m, py::handle idp_name) {
  if (PyDict_DelItem(refresh_records(m).ptr(), idp_name.ptr()) == 0) return;
  if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw py::error_already_set();
  PyErr_Clear();
}

[[noreturn]] void raise_invalid_interval(py::handle interval) {
  raise(PyExc_ValueError,
        concat({py::str("Invalid SAML configuration: metadata_refresh_interval "
                        "must be a positive number of seconds, not "),
                py::repr(interval)}));
}

}  // namespace

py::object refresh_interval(const Module &m, py::handle idp_config) {
  py::object interval = call_method(
      idp_config, m[id::get], m[id::metadata_refresh_interval], py::none());
  if (interval.is_none()) return interval;
  PyObject *value = interval.ptr();
  // A bool is an int to Python, but `true` in a configuration is a slip,
  // not a number of seconds.
  if (PyBool_Check(value) || !(PyLong_Check(value) || PyFloat_Check(value))) {
    raise_invalid_interval(interval);
  }
  double seconds = PyFloat_AsDouble(value);
  if (seconds == -1.0 && PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) {
      throw py::error_already_set();
    }
    PyErr_Clear();
    raise_invalid_interval(interval);
  }
  if (!std::isfinite(seconds) || seconds <= 0) raise_invalid_interval(interval);
  return py::float_(seconds);
}

void remember_resolution(const Module &module, py::handle idp_name,
                         py::handle interval, py::handle saml_settings) {
  if (interval.is_none()) {
    forget_record(module, idp_name);
    return;
  }
  py::list record(static_cast<size_t>(kFields));
  set_field(record, kSettings,
            py::reinterpret_borrow<py::object>(saml_settings));
  set_field(record, kInterval, py::reinterpret_borrow<py::object>(interval));
  set_field(record, kFetchedAt, py::float_(monotonic_now(module)));
  set_field(record, kInFlight, py::bool_(false));
  set_item(refresh_records(module), idp_name, record);
}

py::object refresh_if_due(const Module &module, py::handle cls,
                          py::handle idp_config, py::handle idp_name,
                          py::handle cached_saml_settings) {
  PyObject *found =
      PyDict_GetItemWithError(refresh_records(module).ptr(), idp_name.ptr());
  if (found == nullptr) {
    if (PyErr_Occurred()) throw py::error_already_set();
    return {};
  }
  py::object record = py::reinterpret_borrow<py::object>(found);
  py::object cached = get_item(cached_saml_settings, idp_name);
  if (!cached.is(py::handle(PyList_GET_ITEM(record.ptr(), kSettings)))) {
    forget_record(module, idp_name);
    return {};
  }
  const double now = monotonic_now(module);
  // From here to the flag being set nothing calls back into Python, so no
  // other thread can run between the test and the claim: one fetch per IdP.
  if (in_flight(record) || now - field_seconds(record, kFetchedAt) <
                               field_seconds(record, kInterval)) {
    return {};
  }
  set_field(record, kInFlight, py::bool_(true));
  struct Release {
    py::handle record;
    ~Release() {
      Py_INCREF(Py_False);
      PyObject *previous = PyList_GET_ITEM(record.ptr(), kInFlight);
      PyList_SET_ITEM(record.ptr(), kInFlight, Py_False);
      Py_DECREF(previous);
    }
  } release{record};

  py::object refreshed;
  try {
    refreshed = fetch_and_merge_metadata(module, cls, idp_config, idp_name);
  } catch (py::error_already_set &e) {
    if (!e.matches(PyExc_Exception)) throw;
    // Local settings alone would lose the certificate the IdP still signs
    // with: the last good resolution stays until a refresh succeeds.
    call_method(
        module.global(id::log), module[id::warning],
        concat({py::str("Failed to refresh metadata for "), format(idp_name),
                py::str(" because of "), format(e.value()),
                py::str(". Keeping the last good settings.")}));
  }
  // A failure waits out a whole interval too: an IdP that is down is not
  // asked again by every request.
  set_field(record, kFetchedAt, py::float_(monotonic_now(module)));
  if (!refreshed) return {};
  // A host that cleared or replaced the entry meanwhile starts over with a
  // first resolution; this caller still gets what it fetched.
  py::object current = py::reinterpret_steal<py::object>(
      PyObject_GetItem(cached_saml_settings.ptr(), idp_name.ptr()));
  if (!current) {
    if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw py::error_already_set();
    PyErr_Clear();
  }
  if (current.is(cached)) {
    set_item(cached_saml_settings, idp_name, refreshed);
    set_field(record, kSettings, refreshed);
  }
  return refreshed;
}

}  // namespace tavrel_saml
