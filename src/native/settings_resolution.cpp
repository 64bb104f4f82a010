// Settings resolution of an IdP: the local settings, with the IdP's published
// metadata fetched and merged under them when a location is configured, the
// login options filled in, cached per IdP name for the life of the process.
// IdPs with a "metadata_refresh_interval" have their metadata fetched again
// while the process runs, so that an IdP can roll its signing key without
// every worker being restarted; the others keep their one resolution.
#include "settings_resolution.hpp"

#include <algorithm>
#include <cmath>

#include "calls.hpp"
#include "log.hpp"
#include "metadata_trust.hpp"

namespace tavrel_saml {
namespace {

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

// The keys that make the module check, keep and date an IdP's metadata;
// with neither set, the fetch is the toolkit's parse_remote as it always was.
struct TrustKeys {
  py::object certificates = py::none();  // pinned PEM texts, or None
  py::object backing_file = py::none();  // a path, or None

  TrustKeys(const Module &m, py::handle idp_config)
      : certificates(pinned_certificates(m, idp_config)),
        backing_file(backing_file_path(m, idp_config)) {}

  bool any() const {
    return !certificates.is_none() || !backing_file.is_none();
  }
  bool pinned() const { return !certificates.is_none(); }
};

// A metadata document taken into use: the toolkit's reading of it, and what
// the record of the IdP keeps about it.
struct Accepted {
  py::object remote_saml_settings;  // null: none accepted
  py::object source;                // "remote" or "backing file"
  Validity validity;
  double at = NAN;  // unix time of acceptance
  bool verified = false;
};

// The SAML settings ask the toolkit to refuse SHA-1 in responses: the
// metadata that brings the keys for them is held to the same.
bool rejects_deprecated(const Module &m, py::handle local_saml_settings) {
  try {
    py::object security = call_method(local_saml_settings, m[id::get],
                                      m[id::security], py::none());
    if (security.is_none()) return false;
    return truthy(call_method(security, m[id::get],
                              m[id::rejectDeprecatedAlgorithm], py::none()));
  } catch (py::error_already_set &e) {
    if (!e.matches(PyExc_Exception)) throw;
    return true;  // unreadable: the stricter reading
  }
}

// A document's bytes, verified when keys are pinned, parsed by the toolkit.
Accepted accept_document(const Module &m, py::handle metadata_parser,
                         py::handle xml, const TrustKeys &keys,
                         py::handle local_saml_settings, py::handle source) {
  Accepted accepted;
  accepted.at = wall_now(m);
  py::object document = py::reinterpret_borrow<py::object>(xml);
  if (keys.pinned()) {
    document = verified_document(m, xml, keys.certificates,
                                 rejects_deprecated(m, local_saml_settings),
                                 accepted.at, accepted.validity);
    accepted.verified = true;
  }
  accepted.remote_saml_settings =
      call_method(metadata_parser, m[id::parse], document);
  accepted.source = py::reinterpret_borrow<py::object>(source);
  return accepted;
}

// The IdP's metadata from `location` (a path without a scheme is read as a
// file:// URL), within the time limit of the first resolution. Raises for a
// failed fetch, throws MetadataRefused for a refused document.
Accepted fetch_remote_metadata(const Module &m, py::handle cls,
                               py::handle metadata_parser, py::handle idp_name,
                               py::object location, const TrustKeys &keys,
                               py::handle local_saml_settings) {
  py::object scheme =
      get_attr(call(m.global(id::urlparse), location), m[id::scheme]);
  if (equal(scheme, m[id::empty])) {
    location = concat({m[id::file_scheme], location});
  }
  py::object timeout = get_attr(cls, m[id::saml_http_timeout]);
  Accepted accepted;
  if (!keys.any()) {
    accepted.remote_saml_settings =
        call_method_kw(m, metadata_parser, m[id::parse_remote], location,
                       kw<id::timeout>(timeout));
    accepted.source = py::reinterpret_borrow<py::object>(m[id::remote]);
    accepted.at = wall_now(m);
  } else {
    // The document's own bytes are needed: to check them, and to keep them.
    py::object xml = call_method_kw(m, metadata_parser, m[id::get_metadata],
                                    location, kw<id::timeout>(timeout));
    accepted = accept_document(m, metadata_parser, xml, keys,
                               local_saml_settings, m[id::remote]);
    if (!keys.backing_file.is_none()) {
      write_backing_file(m, idp_name, keys.backing_file, xml);
    }
  }
  log_text(m, id::info, {m[id::metadata_fetched_for], format(idp_name)});
  return accepted;
}

// What a failed fetch or a refused document is called in the log and the
// status report.
py::str refusal_text(const MetadataRefused &refused) {
  return concat({py::str("metadata refused: "), refused.reason});
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

// -- The record of each resolved IdP ------------------------------------------

// What the module knows of one resolved IdP, a list held in a dict private
// to this unit (the class's cache stays the plain mapping hosts read and
// clear). The record names the cached object it belongs to, so clearing or
// replacing the cache entry retires the record with it.
enum Field : Py_ssize_t {
  kSettings,      // the cached settings object this record describes
  kInterval,      // float seconds, or None: never refreshed
  kFetchedAt,     // float, time.monotonic() when the last fetch ended
  kInFlight,      // True while one request refreshes
  kDelay,         // float seconds from one fetch to the next, or None
  kValidUntil,    // unix time the settings in use stop at, or None
  kExpiryLogged,  // True once their expiry was logged
  kSource,        // "remote", "backing file" or "local settings"
  kAcceptedAt,    // unix time of the last accepted document, or None
  kVerified,      // True: the settings in use come from a verified document
  kLastError,     // the last failed fetch or refusal, or None
  kFields
};

py::handle records(const Module &m) { return m.state().refresh_records; }

// The interval clock, read through the module's `time` at each call so a
// test can drive it.
double monotonic_now(const Module &module) {
  py::object now = call_method(module.global(id::time), module[id::monotonic]);
  double seconds = PyFloat_AsDouble(now.ptr());
  if (seconds == -1.0 && PyErr_Occurred()) throw py::error_already_set();
  return seconds;
}

py::handle field(py::handle record, Field field) {
  return PyList_GET_ITEM(record.ptr(), field);
}

double field_seconds(py::handle record, Field which) {
  return PyFloat_AS_DOUBLE(field(record, which).ptr());
}

void set_field(py::handle record, Field field, py::object value) {
  // PyList_SetItem steals the reference and drops the previous item.
  if (PyList_SetItem(record.ptr(), field, value.release().ptr()) < 0) {
    throw py::error_already_set();
  }
}

py::object seconds_or_none(double seconds) {
  if (std::isnan(seconds)) return py::none();
  return py::float_(seconds);
}

bool in_flight(py::handle record) {
  return field(record, kInFlight).ptr() == Py_True;
}

void forget_record(const Module &m, py::handle idp_name) {
  if (PyDict_DelItem(records(m).ptr(), idp_name.ptr()) == 0) return;
  if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw py::error_already_set();
  PyErr_Clear();
}

// The record of `idp_name`, or null.
py::object record_of(const Module &m, py::handle idp_name) {
  PyObject *found = PyDict_GetItemWithError(records(m).ptr(), idp_name.ptr());
  if (found == nullptr) {
    if (PyErr_Occurred()) throw py::error_already_set();
    return {};
  }
  return py::reinterpret_borrow<py::object>(found);
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

// Seconds from this fetch to the next: the interval, brought forward to
// three quarters of the way to the document's validUntil and to its
// cacheDuration, but never below a minute on their account.
py::object refresh_delay(py::handle interval, const Accepted &accepted) {
  if (interval.is_none()) return py::none();
  double delay = PyFloat_AS_DOUBLE(interval.ptr());
  double bound = INFINITY;
  if (!std::isnan(accepted.validity.valid_until)) {
    bound = 0.75 * (accepted.validity.valid_until - accepted.at);
  }
  if (!std::isnan(accepted.validity.cache_until)) {
    bound = std::min(bound, accepted.validity.cache_until - accepted.at);
  }
  if (std::isfinite(bound)) delay = std::min(delay, std::max(60.0, bound));
  return py::float_(delay);
}

// Takes an accepted document into the record (the settings it resolved to
// are `saml_settings`), logs the certificates that need attention.
void record_accepted(const Module &m, py::handle record, py::handle idp_name,
                     const Accepted &accepted, py::handle saml_settings) {
  set_field(record, kDelay, refresh_delay(field(record, kInterval), accepted));
  set_field(record, kValidUntil,
            seconds_or_none(accepted.validity.valid_until));
  set_field(record, kExpiryLogged, py::bool_(false));
  set_field(record, kSource, accepted.source);
  set_field(record, kAcceptedAt, py::float_(accepted.at));
  set_field(record, kVerified, py::bool_(accepted.verified));
  set_field(record, kLastError, py::none());
  log_certificate_warnings(m, idp_name, certificate_report(m, saml_settings),
                           accepted.at);
}

// The document of the backing file, taken in when the first fetch failed.
Accepted from_backing_file(const Module &m, py::handle metadata_parser,
                           const TrustKeys &keys,
                           py::handle local_saml_settings) {
  py::object xml = read_backing_file(m, keys.backing_file);
  return accept_document(m, metadata_parser, xml, keys, local_saml_settings,
                         m[id::backing_file_source]);
}

// The IdP's metadata fetched again and merged with the local settings as a
// first resolution does, login options included; null when the
// configuration no longer names a metadata location. Raises whatever the
// fetch, the merge or the options raise, throws MetadataRefused: nothing is
// logged for a failure.
py::object fetch_again(const Module &m, py::handle cls, py::handle idp_config,
                       py::handle idp_name, Accepted &accepted) {
  py::object local_saml_settings = get_item(idp_config, m[id::settings]);
  py::object location = metadata_location(m, idp_config);
  if (!truthy(location)) return {};
  TrustKeys keys(m, idp_config);
  py::object metadata_parser =
      call(m.global(id::OneLogin_Saml2_IdPMetadataParser));
  accepted =
      fetch_remote_metadata(m, cls, metadata_parser, idp_name,
                            std::move(location), keys, local_saml_settings);
  py::object saml_settings = merge_over_remote(m, metadata_parser, idp_name,
                                               accepted.remote_saml_settings,
                                               std::move(local_saml_settings));
  fill_request_options(m, saml_settings);
  return saml_settings;
}

// The refresh of a due entry: the new settings, cached in place of the old
// ones, or null when the refresh failed (logged; the old ones stay).
py::object refresh(const Module &module, py::handle cls, py::handle idp_config,
                   py::handle idp_name, py::handle cached_saml_settings,
                   py::handle record, py::handle cached) {
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
  Accepted accepted;
  py::object failure;
  try {
    refreshed = fetch_again(module, cls, idp_config, idp_name, accepted);
  } catch (const MetadataRefused &refused) {
    failure = refusal_text(refused);
    log_text(module, id::error,
             {py::str("Refused SAML metadata for "), format(idp_name),
              py::str(": "), refused.reason});
  } catch (py::error_already_set &e) {
    if (!e.matches(PyExc_Exception)) throw;
    failure = format(e.value());
  }
  if (failure) {
    set_field(record, kLastError, failure);
    // Local settings alone would lose the certificate the IdP still signs
    // with: the last good resolution stays until a refresh succeeds.
    log_text(module, id::warning,
             {py::str("Failed to refresh metadata for "), format(idp_name),
              py::str(" because of "), failure,
              py::str(". Keeping the last good settings.")});
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
    record_accepted(module, record, idp_name, accepted, refreshed);
  }
  return refreshed;
}

// Settings whose document has passed its validUntil are not used: every
// resolution fails (logged once) until a valid document is fetched.
[[noreturn]] void refuse_expired(const Module &m, py::handle idp_name,
                                 py::handle record) {
  py::str message = concat(
      {py::str("SAML metadata of IdP "), format(idp_name),
       py::str(" expired at "), iso_time(m, field_seconds(record, kValidUntil)),
       py::str(": sign-in through it is refused until a valid document "
               "is fetched")});
  if (field(record, kExpiryLogged).ptr() != Py_True) {
    set_field(record, kExpiryLogged, py::bool_(true));
    log_call(m, m.global(id::log), id::error, message);
  }
  raise(PyExc_ValueError, message);
}

// On a cache hit: the refreshed settings when the cached entry was due and
// this call fetched them, now cached in its place; null when the cached
// entry stands (not due, a refresh already running, or a refresh failed).
// Raises ValueError when the settings in use have expired.
py::object refresh_if_due(const Module &module, py::handle cls,
                          py::handle idp_config, py::handle idp_name,
                          py::handle cached_saml_settings) {
  py::object record = record_of(module, idp_name);
  if (!record) return {};
  const bool refreshes = !field(record, kInterval).is_none();
  const bool expires = !field(record, kValidUntil).is_none();
  if (!refreshes && !expires) return {};
  py::object cached = get_item(cached_saml_settings, idp_name);
  if (!cached.is(field(record, kSettings))) {
    forget_record(module, idp_name);
    return {};
  }
  const bool expired =
      expires && wall_now(module) >= field_seconds(record, kValidUntil);
  if (refreshes) {
    // Settings that have expired are asked for again each minute.
    const double delay = expired ? std::min(60.0, field_seconds(record, kDelay))
                                 : field_seconds(record, kDelay);
    const double now = monotonic_now(module);
    // From here to the flag being set nothing calls back into Python, so no
    // other thread can run between the test and the claim: one fetch per
    // IdP.
    if (!in_flight(record) &&
        now - field_seconds(record, kFetchedAt) >= delay) {
      py::object refreshed = refresh(module, cls, idp_config, idp_name,
                                     cached_saml_settings, record, cached);
      if (refreshed) return refreshed;
    }
  }
  if (expired) refuse_expired(module, idp_name, record);
  return {};
}

// A new record for a first resolution.
py::list new_record(const Module &m, py::handle saml_settings,
                    py::handle interval) {
  py::list record(static_cast<size_t>(kFields));
  set_field(record, kSettings,
            py::reinterpret_borrow<py::object>(saml_settings));
  set_field(record, kInterval, py::reinterpret_borrow<py::object>(interval));
  set_field(record, kFetchedAt, py::none());
  set_field(record, kInFlight, py::bool_(false));
  set_field(record, kDelay, py::reinterpret_borrow<py::object>(interval));
  set_field(record, kValidUntil, py::none());
  set_field(record, kExpiryLogged, py::bool_(false));
  set_field(record, kSource,
            py::reinterpret_borrow<py::object>(m[id::local_settings]));
  set_field(record, kAcceptedAt, py::none());
  set_field(record, kVerified, py::bool_(false));
  set_field(record, kLastError, py::none());
  return record;
}

// The first resolution's fetch: the remote document, else the backing
// file's, else nothing (the local settings alone), each failure logged.
Accepted first_fetch(const Module &m, py::handle cls, py::handle parser,
                     py::handle idp_name, py::object location,
                     const TrustKeys &keys, py::handle local_saml_settings,
                     py::object &last_error) {
  try {
    return fetch_remote_metadata(m, cls, parser, idp_name, std::move(location),
                                 keys, local_saml_settings);
  } catch (const MetadataRefused &refused) {
    last_error = refusal_text(refused);
  } catch (py::error_already_set &e) {
    if (!e.matches(PyExc_Exception)) throw;
    last_error = format(e.value());
  }
  if (!keys.backing_file.is_none()) {
    py::object backing_error;
    try {
      Accepted accepted =
          from_backing_file(m, parser, keys, local_saml_settings);
      log_text(m, id::warning,
               {py::str("Failed to load metadata for "), format(idp_name),
                py::str(" because of "), last_error,
                py::str(". Using the copy kept in "),
                text_form(keys.backing_file), py::str(".")});
      return accepted;
    } catch (const MetadataRefused &refused) {
      backing_error = refusal_text(refused);
    } catch (py::error_already_set &e) {
      if (!e.matches(PyExc_Exception)) throw;
      backing_error = format(e.value());
    }
    log_text(m, id::error,
             {py::str("Cannot use the metadata backing file "),
              text_form(keys.backing_file), py::str(" for "), format(idp_name),
              py::str(": "), backing_error});
  }
  log_text(m, id::error,
           {py::str("Failed to load metadata for "), format(idp_name),
            py::str(" because of "), last_error,
            py::str(". Using local settings only.")});
  return {};
}

}  // namespace

void check_resolution_keys(const Module &m, py::handle idp_config,
                           py::handle saml_settings) {
  py::object interval = refresh_interval(m, idp_config);
  TrustKeys keys(m, idp_config);
  py::object idp_name = get_item(idp_config, m[id::idp_name]);
  py::object record = record_of(m, idp_name);
  if (keys.pinned() && interval.is_none() && record &&
      !field(record, kValidUntil).is_none()) {
    log_text(m, id::warning,
             {py::str("The SAML metadata of IdP "), format(idp_name),
              py::str(" is valid until "),
              iso_time(m, field_seconds(record, kValidUntil)),
              py::str(" and metadata_refresh_interval is not set: the IdP "
                      "stops working then.")});
  }
  // Settings from an accepted document had theirs looked at already.
  if (!record || field(record, kAcceptedAt).is_none()) {
    log_certificate_warnings(m, idp_name, certificate_report(m, saml_settings),
                             wall_now(m));
  }
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
  Accepted accepted;
  py::object last_error = py::none();
  if (truthy(location)) {
    interval = refresh_interval(m, idp_config);
    TrustKeys keys(m, idp_config);
    py::object metadata_parser =
        call(m.global(id::OneLogin_Saml2_IdPMetadataParser));
    accepted =
        first_fetch(m, cls, metadata_parser, idp_name, std::move(location),
                    keys, local_saml_settings, last_error);
    local_saml_settings = merge_over_remote(m, metadata_parser, idp_name,
                                            accepted.remote_saml_settings,
                                            std::move(local_saml_settings));
  }
  fill_request_options(m, local_saml_settings);
  set_item(cached_saml_settings, idp_name, local_saml_settings);
  py::list record = new_record(m, local_saml_settings, interval);
  if (!interval.is_none()) {
    set_field(record, kFetchedAt, py::float_(monotonic_now(m)));
  }
  set_item(records(m), idp_name, record);
  if (accepted.remote_saml_settings) {
    record_accepted(m, record, idp_name, accepted, local_saml_settings);
  }
  // A copy from the backing file stands in for a fetch that failed.
  set_field(record, kLastError, last_error);
  return local_saml_settings;
}

py::object idp_status(const Module &m, py::handle cls, py::handle idp_config) {
  py::object idp_name = get_item(idp_config, m[id::idp_name]);
  py::object location = metadata_location(m, idp_config);
  if (!truthy(location)) location = py::none();
  const bool pinned = !call_method(idp_config, m[id::get],
                                   m[id::metadata_signing_certs], py::none())
                           .is_none();
  py::object settings = py::reinterpret_steal<py::object>(PyObject_GetItem(
      get_attr(cls, m[id::cached_saml_settings]).ptr(), idp_name.ptr()));
  if (!settings) {
    if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw py::error_already_set();
    PyErr_Clear();
  }
  py::object record = settings ? record_of(m, idp_name) : py::object();
  if (record && !field(record, kSettings).is(settings)) record = {};

  py::object none = py::none();
  py::object source, fetched_at = none, next_refresh_at = none,
                     valid_until = none, last_error = none;
  bool verified = false;
  if (!settings) {
    source = py::reinterpret_borrow<py::object>(m[id::not_resolved]);
  } else if (!record) {
    source = py::reinterpret_borrow<py::object>(m[id::local_settings]);
  } else {
    source = py::reinterpret_borrow<py::object>(field(record, kSource));
    fetched_at = py::reinterpret_borrow<py::object>(field(record, kAcceptedAt));
    valid_until =
        py::reinterpret_borrow<py::object>(field(record, kValidUntil));
    last_error = py::reinterpret_borrow<py::object>(field(record, kLastError));
    verified = field(record, kVerified).ptr() == Py_True;
    if (!field(record, kDelay).is_none() &&
        !field(record, kFetchedAt).is_none()) {
      const double due = field_seconds(record, kFetchedAt) +
                         field_seconds(record, kDelay) - monotonic_now(m);
      next_refresh_at = py::float_(wall_now(m) + due);
    }
  }
  py::dict status;
  set_item(status, m[id::idp_name], idp_name);
  set_item(status, m[id::metadata_location], location);
  set_item(status, m[id::source], source);
  set_item(status, m[id::fetched_at], fetched_at);
  set_item(status, m[id::next_refresh_at], next_refresh_at);
  set_item(status, m[id::valid_until], valid_until);
  set_item(
      status, m[id::signature],
      m[!pinned ? id::not_required : (verified ? id::verified : id::missing)]);
  set_item(status, m[id::last_error], last_error);
  set_item(status, m[id::certificates],
           settings ? py::object(certificate_report(m, settings))
                    : py::object(py::list()));
  return status;
}

}  // namespace tavrel_saml
