// Settings resolution of an IdP: the local settings, with the IdP's published
// metadata fetched and merged under them when a location is configured, the
// login options filled in, cached per IdP name for the life of the process.
// IdPs with a "metadata_refresh_interval" have their metadata fetched again
// while the process runs, so that an IdP can roll its signing key without
// every worker being restarted; the others keep their one resolution.
#include "settings_resolution.hpp"

#include <cmath>

#include "calls.hpp"
#include "log.hpp"

namespace tavrel_saml {
namespace {

// `hasattr(object, name)`: only AttributeError means "absent".
bool has_attribute(py::handle object, py::handle name) {
  PyObject *value;
#if PY_VERSION_HEX >= 0x030D0000
  int found = PyObject_GetOptionalAttr(object.ptr(), name.ptr(), &value);
#else
  int found = _PyObject_LookupAttr(object.ptr(), name.ptr(), &value);
#endif
  if (found < 0) throw py::error_already_set();
  Py_XDECREF(value);
  return found == 1;
}

bool matches_any(const py::error_already_set &e,
                 std::initializer_list<py::handle> types) {
  for (py::handle type : types) {
    if (e.matches(type)) return true;
  }
  return false;
}

// -- Location, fetch, merge ---------------------------------------------------

// The metadata location of the SAML settings, or None when there is none
// (a missing key or a level that cannot be subscripted).
py::object metadata_location(const Module &m, py::handle idp_config) {
  try {
    return get_item(get_item(get_item(idp_config, m[id::settings]), m[id::idp]),
                    m[id::metadata]);
  } catch (py::error_already_set &e) {
    if (!matches_any(e, {PyExc_KeyError, PyExc_TypeError})) throw;
    return py::none();
  }
}

// The IdP's metadata from `location` (a path without a scheme is read as a
// file:// URL), within the time limit of the first resolution.
py::object fetch_remote_metadata(const Module &m, py::handle cls,
                                 py::handle metadata_parser,
                                 py::handle idp_name, py::object location) {
  py::object scheme =
      get_attr(call(m.global(id::urlparse), location), m[id::scheme]);
  if (equal(scheme, m[id::empty])) {
    location = concat({m[id::file_scheme], location});
  }
  py::object remote_saml_settings =
      call_method_kw(m, metadata_parser, m[id::parse_remote], location,
                     kw<id::timeout>(get_attr(cls, m[id::saml_http_timeout])));
  log_text(m, id::info, {m[id::metadata_fetched_for], format(idp_name)});
  return remote_saml_settings;
}

// The one merge: the local settings laid over the remote ones when there
// are any (null `remote_saml_settings`: the local settings stay).
py::object merge_over_remote(const Module &m, py::handle metadata_parser,
                             py::handle idp_name,
                             py::handle remote_saml_settings,
                             py::object local_saml_settings) {
  if (remote_saml_settings) {
    local_saml_settings =
        call_method(metadata_parser, m[id::merge_settings],
                    remote_saml_settings, local_saml_settings);
  }
  log_text(m, id::debug,
           {m[id::resulting_config_for], format(idp_name), m[id::is_],
            format(local_saml_settings)});
  return local_saml_settings;
}

// The login options laid over their defaults, stored into the settings.
void fill_request_options(const Module &m, py::handle local_saml_settings) {
  py::dict extra_request_options;
  set_item(extra_request_options, m[id::return_to], py::none());
  set_item(extra_request_options, m[id::force_authn], py::bool_(false));
  set_item(extra_request_options, m[id::is_passive], py::bool_(false));
  set_item(extra_request_options, m[id::set_nameid_policy], py::bool_(true));
  try {
    call_method(extra_request_options, m[id::update],
                call_method(local_saml_settings, m[id::get],
                            m[id::extra_request_options], py::dict()));
    set_item(local_saml_settings, m[id::extra_request_options],
             extra_request_options);
  } catch (py::error_already_set &e) {
    if (!matches_any(e, {PyExc_KeyError, PyExc_AttributeError})) throw;
    raise(PyExc_ValueError,
          concat({py::str("Invalid SAML configuration: "), format(e.value())}),
          e.value());
  }
}

// -- Refresh bookkeeping ------------------------------------------------------

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

// The IdP configuration's "metadata_refresh_interval" as a float of
// seconds, or None when it is absent or None. Anything but a finite
// positive int or float is a configuration error (ValueError).
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

// Records a first resolution. With an interval, the settings become due for
// a refresh once it has passed; without one, nothing is kept.
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

// The IdP's metadata fetched again and merged with the local settings as a
// first resolution does, login options included; null when the
// configuration no longer names a metadata location. Raises whatever the
// fetch, the merge or the options raise: nothing is logged for a failure.
py::object fetch_again(const Module &m, py::handle cls, py::handle idp_config,
                       py::handle idp_name) {
  py::object local_saml_settings = get_item(idp_config, m[id::settings]);
  py::object location = metadata_location(m, idp_config);
  if (!truthy(location)) return {};
  py::object metadata_parser =
      call(m.global(id::OneLogin_Saml2_IdPMetadataParser));
  py::object remote_saml_settings = fetch_remote_metadata(
      m, cls, metadata_parser, idp_name, std::move(location));
  py::object saml_settings =
      merge_over_remote(m, metadata_parser, idp_name, remote_saml_settings,
                        std::move(local_saml_settings));
  fill_request_options(m, saml_settings);
  return saml_settings;
}

// On a cache hit: the refreshed settings when the cached entry was due and
// this call fetched them, now cached in its place; null when the cached
// entry stands (not due, a refresh already running, or a refresh failed).
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
    refreshed = fetch_again(module, cls, idp_config, idp_name);
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

}  // namespace

void check_resolution_keys(const Module &m, py::handle idp_config) {
  refresh_interval(m, idp_config);
}

py::object resolve_idp_settings(const Module &m, py::handle cls,
                                py::handle idp_config, py::handle timeout) {
  // Only the first resolution in the process sets the metadata fetch time
  // limit; it holds for every later fetch.
  if (!has_attribute(cls, m[id::saml_http_timeout])) {
    set_attr(cls, m[id::saml_http_timeout], timeout);
  }
  py::object idp_name = get_item(idp_config, m[id::idp_name]);
  py::object cached_saml_settings = get_attr(cls, m[id::cached_saml_settings]);
  if (contains(cached_saml_settings, idp_name)) {
    py::object refreshed =
        refresh_if_due(m, cls, idp_config, idp_name, cached_saml_settings);
    if (refreshed) return refreshed;
    log_text(m, id::debug,
             {m[id::saml_settings_for], format(idp_name),
              m[id::restored_from_cache]});
    return get_item(cached_saml_settings, idp_name);
  }
  py::object local_saml_settings = get_item(idp_config, m[id::settings]);
  py::object location = metadata_location(m, idp_config);
  // Only remote metadata can change under a running process.
  py::object interval = py::none();
  if (truthy(location)) {
    interval = refresh_interval(m, idp_config);
    py::object metadata_parser =
        call(m.global(id::OneLogin_Saml2_IdPMetadataParser));
    py::object remote_saml_settings;
    try {
      remote_saml_settings = fetch_remote_metadata(
          m, cls, metadata_parser, idp_name, std::move(location));
    } catch (py::error_already_set &e) {
      if (!e.matches(PyExc_Exception)) throw;
      call_method(
          m.global(id::log), m[id::error],
          concat({py::str("Failed to load metadata for "), format(idp_name),
                  py::str(" because of "), format(e.value()),
                  py::str(". Using local settings only.")}));
    }
    local_saml_settings =
        merge_over_remote(m, metadata_parser, idp_name, remote_saml_settings,
                          std::move(local_saml_settings));
  }
  fill_request_options(m, local_saml_settings);
  set_item(cached_saml_settings, idp_name, local_saml_settings);
  remember_resolution(m, idp_name, interval, local_saml_settings);
  return local_saml_settings;
}

}  // namespace tavrel_saml
