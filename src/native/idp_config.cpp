// SamlIDPConfig: everything done for one identity provider on a request or
// at start-up: the mapping of a host request into the toolkit's request
// form, login, validation and SP metadata, response processing, the user
// mapping and the return address. Settings come from settings_resolution.
#include "idp_config.hpp"

#include <cstring>

#include "log.hpp"
#include "return_to.hpp"
#include "settings_resolution.hpp"
#include "tracker_lock.hpp"

namespace tavrel_saml {
namespace {

[[noreturn]] void raise_invalid_configuration(const py::error_already_set &e) {
  raise(PyExc_ValueError,
        concat({py::str("Invalid SAML configuration: "), format(e.value())}),
        e.value());
}

// The four login options, read in the order the toolkit's `login` takes
// them, so a configuration mapping sees its keys read in that order.
struct LoginOptions {
  py::object force_authn, is_passive, set_nameid_policy;

  LoginOptions(const Module &m, py::handle extra_request_options)
      : force_authn(get_item(extra_request_options, m[id::force_authn])),
        is_passive(get_item(extra_request_options, m[id::is_passive])),
        set_nameid_policy(
            get_item(extra_request_options, m[id::set_nameid_policy])) {}

  py::object login(const Module &m, py::handle saml_auth,
                   py::handle return_to) const {
    return call_method_kw(
        m, saml_auth, m[id::login], kw<id::return_to>(return_to),
        kw<id::force_authn>(force_authn), kw<id::is_passive>(is_passive),
        kw<id::set_nameid_policy>(set_nameid_policy));
  }
};

// The SP metadata of a toolkit object, refused when the toolkit finds
// errors in it (the list of errors is the exception's argument).
py::object validated_sp_metadata(const Module &m, py::handle saml_auth) {
  py::object settings = call_method(saml_auth, m[id::get_settings]);
  py::object metadata = call_method(settings, m[id::get_sp_metadata]);
  py::object errors = call_method(settings, m[id::validate_metadata], metadata);
  if (truthy(errors)) raise(PyExc_ValueError, errors);
  return metadata;
}

// -- map_pyramid_to_saml_request ---------------------------------------------

py::object map_pyramid_to_saml_request(const Module &, const Args &);

constexpr Method kMap{"map_pyramid_to_saml_request",
                      Kind::Static,
                      {{{"request"}}},
                      nullptr,
                      map_pyramid_to_saml_request};

py::object map_pyramid_to_saml_request(const Module &m, const Args &args) {
  py::handle request = args[kMap["request"]];
  py::object headers;
  try {
    headers = get_attr(request, m[id::headers]);
  } catch (py::error_already_set &e) {
    if (!e.matches(PyExc_AttributeError)) throw;
    headers = py::dict();
  }
  // A proxy that terminates TLS tells the scheme the browser used; the host
  // keeps seeing it for the rest of the request.
  py::handle forwarded_proto = m[id::x_forwarded_proto];
  if (contains(headers, forwarded_proto)) {
    set_attr(request, m[id::scheme],
             get_item(get_attr(request, m[id::headers]), forwarded_proto));
  }
  py::dict saml_request;
  py::object scheme = get_attr(request, m[id::scheme]);
  set_item(saml_request, m[id::https],
           m[equal(scheme, m[id::https]) ? id::on : id::off]);
  set_item(saml_request, m[id::http_host], get_attr(request, m[id::host]));
  set_item(saml_request, m[id::script_name], get_attr(request, m[id::path]));
  set_item(saml_request, m[id::request_uri], get_attr(request, m[id::path]));
  set_item(saml_request, m[id::get_data],
           call_method(get_attr(request, m[id::GET]), m[id::copy]));
  set_item(saml_request, m[id::post_data],
           call_method(get_attr(request, m[id::POST]), m[id::copy]));
  return saml_request;
}

// -- __init__ -----------------------------------------------------------------

py::object config_init(const Module &, const Args &);

constexpr Method kConfigInit{"__init__",
                             Kind::Instance,
                             {{{"self"},
                               {"idp_config"},
                               {"raw_request"},
                               {"users"},
                               {"responses_tracker", kDefaultNone}}},
                             nullptr,
                             config_init};

py::object config_init(const Module &m, const Args &args) {
  py::handle self = args[kConfigInit["self"]];
  py::handle idp_config = args[kConfigInit["idp_config"]];
  py::handle raw_request = args[kConfigInit["raw_request"]];
  set_attr(self, m[id::users], args[kConfigInit["users"]]);
  set_attr(self, m[id::idp_config], idp_config);
  set_attr(self, m[id::saml_auth_attribute],
           get_item(idp_config, m[id::saml_auth_attribute]));
  set_attr(self, m[id::user_config_attribute],
           get_item(idp_config, m[id::user_config_attribute]));
  set_attr(
      self, m[id::saml_auth_regex],
      call_method(idp_config, m[id::get], m[id::saml_auth_regex], py::none()));
  set_attr(self, m[id::raw_request], raw_request);
  set_attr(self, m[id::request],
           call_method(self, m[id::map_pyramid_to_saml_request], raw_request));
  py::object saml_settings =
      call_method(self, m[id::get_idp_settings], idp_config);
  set_attr(self, m[id::saml_auth],
           call(m.global(id::OneLogin_Saml2_Auth),
                get_attr(self, m[id::request]), saml_settings));
  set_attr(self, m[id::responses_tracker],
           args[kConfigInit["responses_tracker"]]);
  return py::none();
}

// -- get_idp_settings ---------------------------------------------------------

py::object get_idp_settings(const Module &, const Args &);

constexpr Method kGetIdpSettings{
    "get_idp_settings",
    Kind::Class,
    {{{"cls"}, {"idp_config"}, {"timeout", default_int(5)}}},
    "\n        Fetch and merge remote metadata with local settings"
    "\n        metadata may be a url, local file and local url file://"
    "\n        ",
    get_idp_settings};

py::object get_idp_settings(const Module &m, const Args &args) {
  return resolve_idp_settings(m, args[kGetIdpSettings["cls"]],
                              args[kGetIdpSettings["idp_config"]],
                              args[kGetIdpSettings["timeout"]]);
}

// -- get_idp_status -----------------------------------------------------------

py::object get_idp_status(const Module &, const Args &);

constexpr Method kGetIdpStatus{
    "get_idp_status",
    Kind::Class,
    {{{"cls"}, {"idp_config"}}},
    "Report where the IdP's settings come from, how fresh and how trusted "
    "they are, and the certificates in use.",
    get_idp_status};

py::object get_idp_status(const Module &m, const Args &args) {
  return idp_status(m, args[kGetIdpStatus["cls"]],
                    args[kGetIdpStatus["idp_config"]]);
}

// -- generate_login_url -------------------------------------------------------

py::object generate_login_url(const Module &, const Args &);

constexpr Method kLogin{
    "generate_login_url",
    Kind::Class,
    {{{"cls"}, {"idp_config"}, {"raw_request"}, {"return_to_url"}}},
    "Generate redirect to IdP site",
    generate_login_url};

py::object generate_login_url(const Module &m, const Args &args) {
  py::handle cls = args[kLogin["cls"]];
  py::object saml_request = call_method(cls, m[id::map_pyramid_to_saml_request],
                                        args[kLogin["raw_request"]]);
  py::object return_to_url =
      py::reinterpret_borrow<py::object>(args[kLogin["return_to_url"]]);
  try {
    py::object saml_settings =
        call_method(cls, m[id::get_idp_settings], args[kLogin["idp_config"]]);
    py::object extra_request_options =
        get_item(saml_settings, m[id::extra_request_options]);
    py::object configured_return_to =
        get_item(extra_request_options, m[id::return_to]);
    if (truthy(configured_return_to)) return_to_url = configured_return_to;
    py::object saml_auth =
        call(m.global(id::OneLogin_Saml2_Auth), saml_request, saml_settings);
    return LoginOptions(m, extra_request_options)
        .login(m, saml_auth, return_to_url);
  } catch (py::error_already_set &e) {
    if (!matches_any(e, {PyExc_KeyError, PyExc_AttributeError,
                         m.global(id::OneLogin_Saml2_Error)})) {
      throw;
    }
    raise_invalid_configuration(e);
  }
}

// -- validate_idp_config ------------------------------------------------------

py::object validate_idp_config(const Module &, const Args &);

constexpr Method kValidate{
    "validate_idp_config",
    Kind::Class,
    {{{"cls"}, {"idp_config"}, {"timeout", default_int(5)}}},
    "\n        Try to validate config by generating login url and metadata"
    "\n        Will raise on failure. Does not cover validation of processing "
    "saml"
    "\n        response part"
    "\n        ",
    validate_idp_config};

py::object validate_idp_config(const Module &m, const Args &args) {
  py::handle cls = args[kValidate["cls"]];
  // No real request exists at start-up: a fixed one lets the toolkit build
  // a login request all the same.
  py::dict validation_request;
  set_item(validation_request, m[id::https], m[id::on]);
  for (id::Name key : {id::http_host, id::script_name, id::request_uri,
                       id::get_data, id::post_data}) {
    set_item(validation_request, m[key], m[id::empty]);
  }
  py::object saml_settings =
      call_method(cls, m[id::get_idp_settings], args[kValidate["idp_config"]],
                  args[kValidate["timeout"]]);
  // Also for IdPs without remote metadata, whose resolution never reads them.
  check_resolution_keys(m, args[kValidate["idp_config"]], saml_settings);
  py::object extra_request_options =
      get_item(saml_settings, m[id::extra_request_options]);
  py::object saml_auth = call(m.global(id::OneLogin_Saml2_Auth),
                              validation_request, saml_settings);
  py::object return_to = get_item(extra_request_options, m[id::return_to]);
  LoginOptions(m, extra_request_options).login(m, saml_auth, return_to);
  validated_sp_metadata(m, saml_auth);
  return py::none();
}

// -- get_sp_metadata ----------------------------------------------------------

py::object get_sp_metadata(const Module &, const Args &);

constexpr Method kSpMetadata{
    "get_sp_metadata", Kind::Instance, {{{"self"}}}, nullptr, get_sp_metadata};

py::object get_sp_metadata(const Module &m, const Args &args) {
  return validated_sp_metadata(
      m, get_attr(args[kSpMetadata["self"]], m[id::saml_auth]));
}

// -- process_saml_response ----------------------------------------------------

// A response that carries no expiry is still recorded, for this long, so
// that a replay of it within that time is refused.
constexpr double kFallbackResponseLifetime = 3600.0;  // seconds

py::object process_saml_response(const Module &, const Args &);

constexpr Method kProcess{"process_saml_response",
                          Kind::Instance,
                          {{{"self"}}},
                          "\n        Process and validate the SAML Response "
                          "sent by the IdP.\n        ",
                          process_saml_response};

py::object process_saml_response(const Module &m, const Args &args) {
  py::handle self = args[kProcess["self"]];
  py::object saml_auth = get_attr(self, m[id::saml_auth]);
  try {
    call_method(saml_auth, m[id::process_response]);
  } catch (py::error_already_set &e) {
    if (!e.matches(m.global(id::OneLogin_Saml2_Error))) throw;
    raise_exception(call(PyExc_ValueError, e.value()), e.value(), e.value());
  }
  py::object errors = call_method(saml_auth, m[id::get_errors]);
  if (truthy(errors)) {
    py::object reason = call_method(saml_auth, m[id::get_last_error_reason]);
    raise(PyExc_ValueError,
          concat({text_form(reason), m[id::space],
                  call_method(m[id::empty], m[id::join], errors)}));
  }
  call_method(self, m[id::reject_duplicated_response]);
  if (!truthy(call_method(saml_auth, m[id::is_authenticated]))) {
    raise(PyExc_ValueError, "Not authenticated");
  }
  return py::none();
}

// -- reject_duplicated_response -----------------------------------------------

py::object reject_duplicated_response(const Module &, const Args &);

constexpr Method kReject{
    "reject_duplicated_response",
    Kind::Instance,
    {{{"self"}}},
    "Prevent reply attack by checking is response ID already seen",
    reject_duplicated_response};

py::object reject_duplicated_response(const Module &m, const Args &args) {
  py::handle self = args[kReject["self"]];
  py::object responses_tracker = get_attr(self, m[id::responses_tracker]);
  if (!truthy(responses_tracker)) {
    raise(PyExc_RuntimeError, "SAML response tracker is not set");
  }
  py::object saml_auth = get_attr(self, m[id::saml_auth]);
  py::object req_id = call_method(saml_auth, m[id::get_last_message_id]);
  // The Response ID is not covered by a signature on the assertion alone:
  // a captured response posted again under a new Response ID must still be
  // recognised, by the id of the assertion its signature covers.
  py::object assertion_id =
      call_method(saml_auth, m[id::get_last_assertion_id]);
  if (!truthy(assertion_id) || equal(assertion_id, req_id)) {
    assertion_id = py::none();
  }
  with_tracker_lock(m, responses_tracker, [&] {
    py::object is_seen = get_attr(responses_tracker, m[id::is_seen]);
    if (truthy(call(is_seen, req_id)) ||
        (!assertion_id.is_none() && truthy(call(is_seen, assertion_id)))) {
      call_method(m.global(id::logging), m[id::warning],
                  concat({m[id::detected_duplicate], format(req_id)}));
      raise(PyExc_ValueError, "Duplicated SAML response");
    }
    py::object expiration =
        call_method(saml_auth, m[id::get_last_assertion_not_on_or_after]);
    if (expiration.is_none()) {
      call_method(m.global(id::logging), m[id::warning],
                  py::str("SAMl response without expiration date"));
      expiration =
          owned(PyNumber_Add(call_method(m.global(id::time), m[id::time]).ptr(),
                             py::float_(kFallbackResponseLifetime).ptr()));
    }
    call_method(responses_tracker, m[id::add], req_id, expiration);
    if (!assertion_id.is_none()) {
      call_method(responses_tracker, m[id::add], assertion_id, expiration);
    }
    call_method(responses_tracker, m[id::cleanup_expired]);
  });
  return py::none();
}

// -- get_sso_user_id ----------------------------------------------------------

py::object get_sso_user_id(const Module &, const Args &);

constexpr Method kSsoUserId{"get_sso_user_id",
                            Kind::Instance,
                            {{{"self"}}},
                            "Returns saml user id from saml NameID attribute.",
                            get_sso_user_id};

py::object get_sso_user_id(const Module &m, const Args &args) {
  try {
    return call_method(get_attr(args[kSsoUserId["self"]], m[id::saml_auth]),
                       m[id::get_nameid]);
  } catch (py::error_already_set &e) {
    if (!e.matches(PyExc_Exception)) throw;
    log_text(m, id::warning,
             {py::str("The sso_user_id was not acquired from 'NameID' "
                      "attribute in SAML response due to "),
              format(e.value()), py::str(". Empty string is used instead.")});
    return py::str("");
  }
}

// -- get_user_id --------------------------------------------------------------

py::object get_user_id(const Module &, const Args &);

constexpr Method kUserId{
    "get_user_id", Kind::Instance, {{{"self"}}}, nullptr, get_user_id};

py::object get_user_id(const Module &m, const Args &args) {
  py::handle self = args[kUserId["self"]];
  py::object saml_auth = get_attr(self, m[id::saml_auth]);
  py::object saml_attributes = call_method(saml_auth, m[id::get_attributes]);
  py::dict name_id;
  set_item(name_id, m[id::NameID], call_method(saml_auth, m[id::get_nameid]));
  call_method(saml_attributes, m[id::update], name_id);
  return call_method(self, m[id::get_mapped_user_id], saml_attributes);
}

// -- _get_mapped_user_id ------------------------------------------------------

// One text to compare: an exact str with the bounds its strip() would keep.
// Users are many and SAML values few, so the users' values are compared in
// place instead of building a stripped copy of each.
struct StrippedText {
  PyObject *text = nullptr;  // borrowed; null when not an exact str
  Py_ssize_t start = 0, end = 0;

  static StrippedText of(py::handle value) {
    StrippedText stripped;
    if (!PyUnicode_CheckExact(value.ptr())) return stripped;
    const int kind = PyUnicode_KIND(value.ptr());
    const void *data = PyUnicode_DATA(value.ptr());
    Py_ssize_t start = 0, end = PyUnicode_GET_LENGTH(value.ptr());
    while (start < end &&
           Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, start))) {
      ++start;
    }
    while (end > start &&
           Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, end - 1))) {
      --end;
    }
    stripped.text = value.ptr();
    stripped.start = start;
    stripped.end = end;
    return stripped;
  }

  // Equal to `other`, an exact str already stripped.
  bool equals(py::handle other) const {
    if (PyUnicode_GET_LENGTH(other.ptr()) != end - start) return false;
    // Exact strs of one kind hold their characters in the same layout.
    const int kind = PyUnicode_KIND(text);
    if (kind == PyUnicode_KIND(other.ptr())) {
      return std::memcmp(
                 static_cast<const char *>(PyUnicode_DATA(text)) + start * kind,
                 PyUnicode_DATA(other.ptr()), (end - start) * kind) == 0;
    }
    Py_ssize_t found = PyUnicode_Tailmatch(text, other.ptr(), start, end, -1);
    if (found < 0) throw py::error_already_set();
    return found == 1;
  }
};

// The user's value compared with every SAML value, as
// `user_value.strip() == saml_value.strip()`, appending each match.
void match_user(const Module &m, py::handle user_id, py::handle user_value,
                const py::list &saml_values, py::list &matches) {
  StrippedText fast = StrippedText::of(user_value);
  py::object stripped_user_value;
  if (!fast.text) stripped_user_value = call_method(user_value, m[id::strip]);
  for_each_in_list(saml_values, [&](py::handle saml_value) {
    bool same;
    if (fast.text && PyUnicode_CheckExact(saml_value.ptr())) {
      same = fast.equals(saml_value);
    } else {
      if (!stripped_user_value) {
        stripped_user_value = call_method(user_value, m[id::strip]);
      }
      same = equal(stripped_user_value, saml_value);
    }
    if (same) matches.append(py::make_tuple(user_id, saml_value));
  });
}

py::object get_mapped_user_id(const Module &, const Args &);

constexpr Method kMapped{
    "_get_mapped_user_id",
    Kind::Instance,
    {{{"self"}, {"attributes"}}},
    "Returns user_id whose saml attribute matches mapped value\n\n"
    "        For SAML attribute which has multiple values the first matching "
    "is\n        returned.\n\n        ",
    get_mapped_user_id};

py::object get_mapped_user_id(const Module &m, const Args &args) {
  py::handle self = args[kMapped["self"]];
  py::handle attributes = args[kMapped["attributes"]];
  py::object log = m.global(id::log);
  log_call(m, log, id::debug, attributes);
  py::object saml_auth_attribute = get_attr(self, m[id::saml_auth_attribute]);
  if (!contains(attributes, saml_auth_attribute)) {
    py::str message("Missing expected attribute in SAML response.");
    call_method(log, m[id::warning], message);
    call_method(
        log, m[id::debug],
        py::str(
            "Missing expected attribute %s in SAML response. Available: %s"),
        saml_auth_attribute,
        call_method(m[id::space], m[id::join],
                    call_method(attributes, m[id::keys])));
    raise(PyExc_ValueError, message);
  }
  py::object user_config_attribute =
      get_attr(self, m[id::user_config_attribute]);
  if (!contains(get_attr(m.global(id::UserConfig), m[id::allowed_sso_keys]),
                user_config_attribute)) {
    call_method(log, m[id::warning],
                py::str("Invalid user config attribute is used in the "
                        "identity provider configuration."));
    log_call(m, log, id::debug,
             py::str("Invalid user config attribute %s is used for "
                     "identity provider %s"),
             user_config_attribute,
             get_item(get_attr(self, m[id::idp_config]), m[id::idp_name]));
    raise(PyExc_ValueError, "Invalid user config attribute.");
  }
  log_call(m, log, id::debug, m[id::comparing_format], saml_auth_attribute,
           user_config_attribute);
  py::object saml_values = get_item(attributes, saml_auth_attribute);
  if (!PyList_Check(saml_values.ptr())) {
    py::list wrapped;
    wrapped.append(saml_values);
    saml_values = wrapped;
  }
  if (PyObject_Length(saml_values.ptr()) == 0) {
    raise(PyExc_ValueError,
          concat({py::str("Missing values in SAML attribute "),
                  format(saml_auth_attribute), py::str(".")}));
  }
  if (PyErr_Occurred()) throw py::error_already_set();
  saml_values = call_method(self, m[id::match_saml_regex], saml_values);

  // SAML values are stripped once, when the first user is compared.
  py::list stripped_saml_values;
  bool stripped = false;
  py::list matches;
  for_each_item(
      m, get_attr(self, m[id::users]),
      [&](py::handle user_id, py::handle user_config) {
        py::object user_value = get_attr(user_config, user_config_attribute);
        if (!stripped) {
          for (py::handle saml_value : saml_values) {
            stripped_saml_values.append(call_method(saml_value, m[id::strip]));
          }
          stripped = true;
        }
        match_user(m, user_id, user_value, stripped_saml_values, matches);
      });
  log_call(m, log, id::debug, m[id::matches_format], matches);

  py::set matched_users;
  for_each_in_list(matches, [&](py::handle match) {
    matched_users.add(get_item(match, py::int_(0)));
  });
  const Py_ssize_t matched_users_cnt = PySet_GET_SIZE(matched_users.ptr());
  if (matched_users_cnt == 0) {
    py::str message("User not found for the SAML response.");
    call_method(log, m[id::warning], message);
    raise(PyExc_ValueError, message);
  }
  if (matched_users_cnt > 1) {
    raise(PyExc_ValueError, "More than one user found for the SAML response.");
  }
  // Host code run above (a user id's hash) may have changed the list.
  py::object first_match = get_item(matches, py::int_(0));
  py::object matched_user_id = get_item(first_match, py::int_(0));
  log_call(m, log, id::debug, m[id::authenticated_format], matched_user_id,
           get_item(first_match, py::int_(1)));
  return matched_user_id;
}

// -- match_saml_regex ---------------------------------------------------------

py::object match_saml_regex(const Module &, const Args &);

constexpr Method kRegex{
    "match_saml_regex",
    Kind::Instance,
    {{{"self"}, {"saml_values"}}},
    "Return the saml values that matches the `saml_auth_regex`.\n"
    "        If no regex available will return the original values\n        ",
    match_saml_regex};

py::object match_saml_regex(const Module &m, const Args &args) {
  py::object saml_auth_regex =
      get_attr(args[kRegex["self"]], m[id::saml_auth_regex]);
  py::object saml_values =
      py::reinterpret_borrow<py::object>(args[kRegex["saml_values"]]);
  if (!truthy(saml_auth_regex)) return saml_values;
  py::object match =
      get_attr(call_method(m.global(id::re), m[id::compile], saml_auth_regex),
               m[id::match]);
  py::list kept;
  for (py::handle value : saml_values) {
    if (truthy(call(match, value))) kept.append(value);
  }
  return kept;
}

// -- get_return_to_url --------------------------------------------------------

// Browsers forgive a backslash for a slash, and drop or fold control
// characters and blanks, where urlparse does not: in such a URL the two may
// see different hosts.
bool read_differently_by_browsers(py::handle url) {
  if (!PyUnicode_Check(url.ptr())) return false;
  const int kind = PyUnicode_KIND(url.ptr());
  const void *data = PyUnicode_DATA(url.ptr());
  const Py_ssize_t length = PyUnicode_GET_LENGTH(url.ptr());
  for (Py_ssize_t i = 0; i < length; ++i) {
    const Py_UCS4 ch = PyUnicode_READ(kind, data, i);
    if (ch == '\\' || ch <= ' ' || ch == 0x7f) return true;
  }
  return false;
}

// The host name of the site's own host (a name or a bracketed IPv6 literal,
// then maybe ":port") as the URL parser reads it, in lower case; None when
// it is not a plain host, which then matches no address.
py::object current_host_name(const Module &m, py::handle current_host) {
  py::object authority = concat({m[id::double_slash], current_host});
  try {
    py::object parsed = call(m.global(id::urlparse), authority);
    if (!equal(get_attr(parsed, m[id::netloc]), current_host) ||
        contains(current_host, m[id::at_sign])) {
      return py::none();
    }
    return get_attr(parsed, m[id::hostname]);
  } catch (py::error_already_set &e) {
    if (!e.matches(PyExc_ValueError)) throw;
    return py::none();
  }
}

// Whether a browser sent to `redirect_to` stays on `current_host` (which may
// end in ":port"). Host names compare without regard to case. A name outside
// ASCII is refused: the browser visits its IDNA form, not the name compared.
bool stays_on_host(const Module &m, py::handle redirect_to,
                   py::handle current_host) {
  if (read_differently_by_browsers(redirect_to)) return false;
  py::object hostname;
  try {
    hostname =
        get_attr(call(m.global(id::urlparse), redirect_to), m[id::hostname]);
  } catch (py::error_already_set &e) {
    if (!e.matches(PyExc_ValueError)) throw;
    return false;
  }
  if (hostname.is_none() || !truthy(call_method(hostname, m[id::isascii]))) {
    return false;
  }
  py::object host = current_host_name(m, current_host);
  if (host.is_none()) return false;
  return equal(call_method(hostname, m[id::lower]),
               call_method(host, m[id::lower]));
}

py::object get_return_to_url(const Module &, const Args &);

constexpr Method kReturnTo{
    "get_return_to_url",
    Kind::Instance,
    {{{"self"}}},
    "return url of the referrer/relay state/return_to if possible\n\n"
    "        on errors, just go to /\n        ",
    get_return_to_url};

py::object get_return_to_url(const Module &m, const Args &args) {
  py::handle self = args[kReturnTo["self"]];
  py::object relay_state =
      call_method(get_attr(get_attr(self, m[id::raw_request]), m[id::POST]),
                  m[id::get], m[id::RelayState], m[id::empty]);
  py::object saml_auth = get_attr(self, m[id::saml_auth]);
  py::object redirect = get_attr(saml_auth, m[id::redirect_to]);
  if (!truthy(relay_state)) return call(redirect, m[id::slash]);
  py::object utils = m.global(id::OneLogin_Saml2_Utils);
  py::object request = get_attr(self, m[id::request]);
  py::object current_host = call_method(utils, m[id::get_self_host], request);
  py::object saml_error = m.global(id::OneLogin_Saml2_Error);
  py::object redirect_to;
  try {
    redirect_to = call(redirect, relay_state);
    if (!stays_on_host(m, redirect_to, current_host)) {
      raise(saml_error, "Wrong host in redirect url");
    }
  } catch (py::error_already_set &e) {
    if (!e.matches(saml_error)) throw;
    log_text(m, id::error, {text_form(e.value())});
    return call(redirect, m[id::slash]);
  }
  // A header holds ASCII only: what the browser would send goes back.
  redirect_to = as_sent_by_browsers(redirect_to);
  // The host matched without regard to case, so these two refusals must
  // not depend on it either: compared in lower case, a host in capitals
  // cannot lead the browser back into the SSO routes.
  py::object folded_redirect_to = call_method(redirect_to, m[id::lower]);
  py::object acs_url = call_method(utils, m[id::get_self_url], request);
  if (!truthy(acs_url) ||
      equal(folded_redirect_to, call_method(acs_url, m[id::lower]))) {
    return call(redirect, m[id::slash]);
  }
  py::object sso_url = owned(
      PyNumber_Add(call_method(utils, m[id::get_self_url_host], request).ptr(),
                   m[id::sso_path].ptr()));
  if (truthy(call_method(folded_redirect_to, m[id::startswith],
                         call_method(sso_url, m[id::lower]))) ||
      leads_into_sso_routes(redirect_to, acs_url)) {
    return call(redirect, m[id::slash]);
  }
  return redirect_to;
}

}  // namespace

py::object make_idp_config_class(const Module &m) {
  return make_class(m, "SamlIDPConfig", "Handle saml workflow",
                    {
                        {"cached_saml_settings", py::dict()},
                        method<kConfigInit>(m),
                        method<kGetIdpSettings>(m),
                        method<kGetIdpStatus>(m),
                        method<kLogin>(m),
                        method<kValidate>(m),
                        method<kMap>(m),
                        method<kProcess>(m),
                        method<kReject>(m),
                        method<kSsoUserId>(m),
                        method<kUserId>(m),
                        method<kMapped>(m),
                        method<kRegex>(m),
                        method<kReturnTo>(m),
                        method<kSpMetadata>(m),
                    });
}

}  // namespace tavrel_saml
