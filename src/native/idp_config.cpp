// SamlIDPConfig: everything done for one identity provider. Settings
// resolution with its per-process cache, the mapping of a host request into
// the toolkit's request form, login, validation and SP metadata.
#include "plain_class.hpp"

using namespace pybind11::literals;

namespace tavrel_saml {
namespace {

// `item in container`, with the full semantics of the operator.
bool contains(py::handle container, py::handle item) {
  int found = PySequence_Contains(container.ptr(), item.ptr());
  if (found < 0) throw py::error_already_set();
  return found == 1;
}

// `hasattr(object, name)`: only AttributeError means "absent".
bool has_attribute(py::handle object, const char *name) {
  PyObject *value = PyObject_GetAttrString(object.ptr(), name);
  if (value != nullptr) {
    Py_DECREF(value);
    return true;
  }
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
    throw py::error_already_set();
  }
  PyErr_Clear();
  return false;
}

bool matches_any(const py::error_already_set &e,
                 std::initializer_list<py::handle> types) {
  for (py::handle type : types) {
    if (e.matches(type)) return true;
  }
  return false;
}

[[noreturn]] void raise_invalid_configuration(const py::error_already_set &e) {
  raise(PyExc_ValueError,
        concat({py::str("Invalid SAML configuration: "), format(e.value())}),
        e.value());
}

// The four login options, read in the order the toolkit's `login` takes
// them, so a configuration mapping sees its keys read in that order.
struct LoginOptions {
  py::object force_authn, is_passive, set_nameid_policy;

  explicit LoginOptions(py::handle extra_request_options)
      : force_authn(extra_request_options["force_authn"]),
        is_passive(extra_request_options["is_passive"]),
        set_nameid_policy(extra_request_options["set_nameid_policy"]) {}

  py::object login(py::handle saml_auth, py::handle return_to) const {
    return saml_auth.attr("login")(
        "return_to"_a = return_to, "force_authn"_a = force_authn,
        "is_passive"_a = is_passive, "set_nameid_policy"_a = set_nameid_policy);
  }
};

// The SP metadata of a toolkit object, refused when the toolkit finds
// errors in it (the list of errors is the exception's argument).
py::object validated_sp_metadata(py::handle saml_auth) {
  py::object settings = saml_auth.attr("get_settings")();
  py::object metadata = settings.attr("get_sp_metadata")();
  py::object errors = settings.attr("validate_metadata")(metadata);
  if (truthy(errors)) raise(PyExc_ValueError, errors);
  return metadata;
}

const char *const kSelfKeywords[] = {"self", nullptr};

// -- map_pyramid_to_saml_request ---------------------------------------------

const char *const kMapKeywords[] = {"request", nullptr};
constexpr Signature kMap{
    "map_pyramid_to_saml_request", "O:map_pyramid_to_saml_request",
    kMapKeywords, "map_pyramid_to_saml_request(request)\n--\n\n", Kind::Static};

py::object map_pyramid_to_saml_request(const Module &, const Args &args) {
  py::handle request = args[0];
  py::object headers;
  try {
    headers = request.attr("headers");
  } catch (py::error_already_set &e) {
    if (!e.matches(PyExc_AttributeError)) throw;
    headers = py::dict();
  }
  // A proxy that terminates TLS tells the scheme the browser used; the host
  // keeps seeing it for the rest of the request.
  py::str forwarded_proto("X-Forwarded-Proto");
  if (contains(headers, forwarded_proto)) {
    request.attr("scheme") = request.attr("headers")[forwarded_proto];
  }
  py::dict saml_request;
  py::object scheme = request.attr("scheme");
  saml_request["https"] = scheme.equal(py::str("https")) ? "on" : "off";
  saml_request["http_host"] = request.attr("host");
  saml_request["script_name"] = request.attr("path");
  saml_request["request_uri"] = request.attr("path");
  saml_request["get_data"] = request.attr("GET").attr("copy")();
  saml_request["post_data"] = request.attr("POST").attr("copy")();
  return saml_request;
}

// -- __init__ -----------------------------------------------------------------

const char *const kInitKeywords[] = {
    "self", "idp_config", "raw_request", "users", "responses_tracker", nullptr};
constexpr Signature kInit{
    "__init__", "OOOO|O:__init__", kInitKeywords,
    "__init__(self, idp_config, raw_request, users, responses_tracker=None)"
    "\n--\n\n",
    Kind::Instance};

py::object init(const Module &module, const Args &args) {
  py::handle self = args[0];
  py::handle idp_config = args[1];
  py::handle raw_request = args[2];
  self.attr("users") = args[3];
  self.attr("idp_config") = idp_config;
  self.attr("saml_auth_attribute") = idp_config["saml_auth_attribute"];
  self.attr("user_config_attribute") = idp_config["user_config_attribute"];
  self.attr("saml_auth_regex") =
      idp_config.attr("get")("saml_auth_regex", py::none());
  self.attr("raw_request") = raw_request;
  self.attr("request") = self.attr("map_pyramid_to_saml_request")(raw_request);
  py::object saml_settings = self.attr("get_idp_settings")(idp_config);
  self.attr("saml_auth") =
      module.global("OneLogin_Saml2_Auth")(self.attr("request"), saml_settings);
  self.attr("responses_tracker") = args.get(4, py::none());
  return py::none();
}

// -- get_idp_settings ---------------------------------------------------------

const char *const kGetIdpSettingsKeywords[] = {"cls", "idp_config", "timeout",
                                               nullptr};
constexpr Signature kGetIdpSettings{
    "get_idp_settings", "OO|O:get_idp_settings", kGetIdpSettingsKeywords,
    "get_idp_settings(cls, idp_config, timeout=5)\n--\n\n"
    "\n        Fetch and merge remote metadata with local settings"
    "\n        metadata may be a url, local file and local url file://"
    "\n        ",
    Kind::Class};

// The metadata location of the SAML settings, or None when there is none
// (a missing key or a level that cannot be subscripted).
py::object metadata_location(py::handle idp_config) {
  try {
    return idp_config["settings"]["idp"]["metadata"];
  } catch (py::error_already_set &e) {
    if (!matches_any(e, {PyExc_KeyError, PyExc_TypeError})) throw;
    return py::none();
  }
}

// Fetches the IdP's metadata and merges the local settings over it. A failed
// fetch is logged and leaves the local settings in use.
py::object merge_remote_metadata(const Module &module, py::handle cls,
                                 py::handle idp_name, py::object location,
                                 py::object local_saml_settings) {
  py::object metadata_parser =
      module.global("OneLogin_Saml2_IdPMetadataParser")();
  py::object remote_saml_settings;
  try {
    py::object scheme = module.global("urlparse")(location).attr("scheme");
    if (scheme.equal(py::str(""))) location = py::str("file://") + location;
    remote_saml_settings = metadata_parser.attr("parse_remote")(
        location, "timeout"_a = cls.attr("saml_http_timeout"));
    module.global("log").attr("info")(
        concat({py::str("SAML metadata fetched for "), format(idp_name)}));
  } catch (py::error_already_set &e) {
    if (!e.matches(PyExc_Exception)) throw;
    module.global("log").attr("error")(
        concat({py::str("Failed to load metadata for "), format(idp_name),
                py::str(" because of "), format(e.value()),
                py::str(". Using local settings only.")}));
  }
  if (remote_saml_settings) {
    local_saml_settings = metadata_parser.attr("merge_settings")(
        remote_saml_settings, local_saml_settings);
  }
  module.global("log").attr("debug")(
      concat({py::str("Resulting SAML config for "), format(idp_name),
              py::str(" is "), format(local_saml_settings)}));
  return local_saml_settings;
}

py::object get_idp_settings(const Module &module, const Args &args) {
  py::handle cls = args[0];
  py::handle idp_config = args[1];
  // Only the first resolution in the process sets the metadata fetch time
  // limit; it holds for every later fetch.
  if (!has_attribute(cls, "saml_http_timeout")) {
    cls.attr("saml_http_timeout") = args.get(2, py::int_(5));
  }
  py::object idp_name = idp_config["idp_name"];
  py::object cached_saml_settings = cls.attr("cached_saml_settings");
  if (contains(cached_saml_settings, idp_name)) {
    module.global("log").attr("debug")(
        concat({py::str("SAML settings for "), format(idp_name),
                py::str(" restored from cache")}));
    return cached_saml_settings[idp_name];
  }
  py::object local_saml_settings = idp_config["settings"];
  py::object location = metadata_location(idp_config);
  if (truthy(location)) {
    local_saml_settings = merge_remote_metadata(
        module, cls, idp_name, std::move(location), local_saml_settings);
  }
  py::dict extra_request_options;
  extra_request_options["return_to"] = py::none();
  extra_request_options["force_authn"] = false;
  extra_request_options["is_passive"] = false;
  extra_request_options["set_nameid_policy"] = true;
  try {
    extra_request_options.attr("update")(
        local_saml_settings.attr("get")("extra_request_options", py::dict()));
    local_saml_settings["extra_request_options"] = extra_request_options;
  } catch (py::error_already_set &e) {
    if (!matches_any(e, {PyExc_KeyError, PyExc_AttributeError})) throw;
    raise_invalid_configuration(e);
  }
  cached_saml_settings[idp_name] = local_saml_settings;
  return local_saml_settings;
}

// -- generate_login_url -------------------------------------------------------

const char *const kLoginKeywords[] = {"cls", "idp_config", "raw_request",
                                      "return_to_url", nullptr};
constexpr Signature kLogin{
    "generate_login_url", "OOOO:generate_login_url", kLoginKeywords,
    "generate_login_url(cls, idp_config, raw_request, return_to_url)\n--\n\n"
    "Generate redirect to IdP site",
    Kind::Class};

py::object generate_login_url(const Module &module, const Args &args) {
  py::handle cls = args[0];
  py::object saml_request = cls.attr("map_pyramid_to_saml_request")(args[2]);
  py::object return_to_url = py::reinterpret_borrow<py::object>(args[3]);
  try {
    py::object saml_settings = cls.attr("get_idp_settings")(args[1]);
    py::object extra_request_options = saml_settings["extra_request_options"];
    py::object configured_return_to = extra_request_options["return_to"];
    if (truthy(configured_return_to)) return_to_url = configured_return_to;
    py::object saml_auth =
        module.global("OneLogin_Saml2_Auth")(saml_request, saml_settings);
    return LoginOptions(extra_request_options).login(saml_auth, return_to_url);
  } catch (py::error_already_set &e) {
    if (!matches_any(e, {PyExc_KeyError, PyExc_AttributeError,
                         module.global("OneLogin_Saml2_Error")})) {
      throw;
    }
    raise_invalid_configuration(e);
  }
}

// -- validate_idp_config ------------------------------------------------------

const char *const kValidateKeywords[] = {"cls", "idp_config", "timeout",
                                         nullptr};
constexpr Signature kValidate{
    "validate_idp_config", "OO|O:validate_idp_config", kValidateKeywords,
    "validate_idp_config(cls, idp_config, timeout=5)\n--\n\n"
    "\n        Try to validate config by generating login url and metadata"
    "\n        Will raise on failure. Does not cover validation of processing "
    "saml"
    "\n        response part"
    "\n        ",
    Kind::Class};

py::object validate_idp_config(const Module &module, const Args &args) {
  py::handle cls = args[0];
  // No real request exists at start-up: a fixed one lets the toolkit build
  // a login request all the same.
  py::dict validation_request;
  validation_request["https"] = "on";
  for (const char *key :
       {"http_host", "script_name", "request_uri", "get_data", "post_data"}) {
    validation_request[key] = "";
  }
  py::object saml_settings =
      cls.attr("get_idp_settings")(args[1], args.get(2, py::int_(5)));
  py::object extra_request_options = saml_settings["extra_request_options"];
  py::object saml_auth =
      module.global("OneLogin_Saml2_Auth")(validation_request, saml_settings);
  py::object return_to = extra_request_options["return_to"];
  LoginOptions(extra_request_options).login(saml_auth, return_to);
  validated_sp_metadata(saml_auth);
  return py::none();
}

// -- get_sp_metadata ----------------------------------------------------------

constexpr Signature kSpMetadata{"get_sp_metadata", "O:get_sp_metadata",
                                kSelfKeywords, "get_sp_metadata(self)\n--\n\n",
                                Kind::Instance};

py::object get_sp_metadata(const Module &, const Args &args) {
  return validated_sp_metadata(args[0].attr("saml_auth"));
}

// -- process_saml_response
// ------------------------------------------------------

// A response that carries no expiry is still recorded, for this long, so
// that a replay of it within that time is refused.
constexpr double kFallbackResponseLifetime = 3600.0;  // seconds

constexpr Signature kProcess{"process_saml_response", "O:process_saml_response",
                             kSelfKeywords,
                             "process_saml_response(self)\n--\n\n"
                             "\n        Process and validate the SAML Response "
                             "sent by the IdP.\n        ",
                             Kind::Instance};

py::object process_saml_response(const Module &module, const Args &args) {
  py::handle self = args[0];
  py::object saml_auth = self.attr("saml_auth");
  try {
    saml_auth.attr("process_response")();
  } catch (py::error_already_set &e) {
    if (!e.matches(module.global("OneLogin_Saml2_Error"))) throw;
    py::object error =
        py::reinterpret_borrow<py::object>(PyExc_ValueError)(e.value());
    raise_exception(error, e.value(), e.value());
  }
  py::object errors = saml_auth.attr("get_errors")();
  if (truthy(errors)) {
    py::object reason = saml_auth.attr("get_last_error_reason")();
    raise(PyExc_ValueError, concat({py::str(reason), py::str(" "),
                                    py::str("").attr("join")(errors)}));
  }
  self.attr("reject_duplicated_response")();
  if (!truthy(saml_auth.attr("is_authenticated")())) {
    raise(PyExc_ValueError, py::str("Not authenticated"));
  }
  return py::none();
}

// -- reject_duplicated_response
// ---------------------------------------------------

constexpr Signature kReject{
    "reject_duplicated_response", "O:reject_duplicated_response", kSelfKeywords,
    "reject_duplicated_response(self)\n--\n\n"
    "Prevent reply attack by checking is response ID already seen",
    Kind::Instance};

py::object reject_duplicated_response(const Module &module, const Args &args) {
  py::handle self = args[0];
  py::object responses_tracker = self.attr("responses_tracker");
  if (!truthy(responses_tracker)) {
    raise(PyExc_RuntimeError, py::str("SAML response tracker is not set"));
  }
  py::object saml_auth = self.attr("saml_auth");
  py::object req_id = saml_auth.attr("get_last_message_id")();
  // The Response ID is not covered by a signature on the assertion alone:
  // a captured response posted again under a new Response ID must still be
  // recognised, by the id of the assertion its signature covers.
  py::object assertion_id = saml_auth.attr("get_last_assertion_id")();
  if (!truthy(assertion_id) || assertion_id.equal(req_id)) {
    assertion_id = py::none();
  }
  with(responses_tracker.attr("lock")(), [&] {
    py::object is_seen = responses_tracker.attr("is_seen");
    if (truthy(is_seen(req_id)) ||
        (!assertion_id.is_none() && truthy(is_seen(assertion_id)))) {
      module.global("logging").attr("warning")(concat(
          {py::str("Detected duplicate SAML response "), format(req_id)}));
      raise(PyExc_ValueError, py::str("Duplicated SAML response"));
    }
    py::object expiration =
        saml_auth.attr("get_last_assertion_not_on_or_after")();
    if (expiration.is_none()) {
      module.global("logging").attr("warning")(
          "SAMl response without expiration date");
      expiration = module.global("time").attr("time")() +
                   py::float_(kFallbackResponseLifetime);
    }
    responses_tracker.attr("add")(req_id, expiration);
    if (!assertion_id.is_none()) {
      responses_tracker.attr("add")(assertion_id, expiration);
    }
    responses_tracker.attr("cleanup_expired")();
  });
  return py::none();
}

// -- get_sso_user_id
// ------------------------------------------------------------

constexpr Signature kSsoUserId{
    "get_sso_user_id", "O:get_sso_user_id", kSelfKeywords,
    "get_sso_user_id(self)\n--\n\n"
    "Returns saml user id from saml NameID attribute.",
    Kind::Instance};

py::object get_sso_user_id(const Module &module, const Args &args) {
  try {
    return args[0].attr("saml_auth").attr("get_nameid")();
  } catch (py::error_already_set &e) {
    if (!e.matches(PyExc_Exception)) throw;
    module.global("log").attr("warning")(concat(
        {py::str("The sso_user_id was not acquired from 'NameID' attribute in "
                 "SAML response due to "),
         format(e.value()), py::str(". Empty string is used instead.")}));
    return py::str("");
  }
}

// -- get_user_id
// ------------------------------------------------------------------

constexpr Signature kUserId{"get_user_id", "O:get_user_id", kSelfKeywords,
                            "get_user_id(self)\n--\n\n", Kind::Instance};

py::object get_user_id(const Module &, const Args &args) {
  py::handle self = args[0];
  py::object saml_auth = self.attr("saml_auth");
  py::object saml_attributes = saml_auth.attr("get_attributes")();
  py::dict name_id;
  name_id["NameID"] = saml_auth.attr("get_nameid")();
  saml_attributes.attr("update")(name_id);
  return self.attr("_get_mapped_user_id")(saml_attributes);
}

// -- _get_mapped_user_id
// --------------------------------------------------------

const char *const kMappedKeywords[] = {"self", "attributes", nullptr};
constexpr Signature kMapped{
    "_get_mapped_user_id", "OO:_get_mapped_user_id", kMappedKeywords,
    "_get_mapped_user_id(self, attributes)\n--\n\n"
    "Returns user_id whose saml attribute matches mapped value\n\n"
    "        For SAML attribute which has multiple values the first matching "
    "is\n        returned.\n\n        ",
    Kind::Instance};

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
    Py_ssize_t found = PyUnicode_Tailmatch(text, other.ptr(), start, end, -1);
    if (found < 0) throw py::error_already_set();
    return found == 1;
  }
};

// The user's value compared with every SAML value, as
// `user_value.strip() == saml_value.strip()`, appending each match.
void match_user(py::handle user_id, py::handle user_value,
                const py::list &saml_values, py::list &matches) {
  StrippedText fast = StrippedText::of(user_value);
  py::object stripped_user_value;
  if (!fast.text) stripped_user_value = user_value.attr("strip")();
  for_each_in_list(saml_values, [&](py::handle saml_value) {
    bool equal;
    if (fast.text && PyUnicode_CheckExact(saml_value.ptr())) {
      equal = fast.equals(saml_value);
    } else {
      if (!stripped_user_value)
        stripped_user_value = user_value.attr("strip")();
      equal = stripped_user_value.equal(saml_value);
    }
    if (equal) matches.append(py::make_tuple(user_id, saml_value));
  });
}

py::object get_mapped_user_id(const Module &module, const Args &args) {
  py::handle self = args[0];
  py::handle attributes = args[1];
  py::object log = module.global("log");
  log.attr("debug")(attributes);
  py::object saml_auth_attribute = self.attr("saml_auth_attribute");
  if (!contains(attributes, saml_auth_attribute)) {
    py::str message("Missing expected attribute in SAML response.");
    log.attr("warning")(message);
    log.attr("debug")(
        "Missing expected attribute %s in SAML response. Available: %s",
        saml_auth_attribute,
        py::str(" ").attr("join")(attributes.attr("keys")()));
    raise(PyExc_ValueError, message);
  }
  py::object user_config_attribute = self.attr("user_config_attribute");
  if (!contains(module.global("UserConfig").attr("allowed_sso_keys"),
                user_config_attribute)) {
    log.attr("warning")(
        "Invalid user config attribute is used in the identity provider "
        "configuration.");
    log.attr("debug")(
        "Invalid user config attribute %s is used for identity provider %s",
        user_config_attribute, self.attr("idp_config")["idp_name"]);
    raise(PyExc_ValueError, py::str("Invalid user config attribute."));
  }
  log.attr("debug")("Comparing SAML attribute %s with User Config attribute %s",
                    saml_auth_attribute, user_config_attribute);
  py::object saml_values = attributes[saml_auth_attribute];
  if (!PyList_Check(saml_values.ptr())) {
    py::list wrapped;
    wrapped.append(saml_values);
    saml_values = wrapped;
  }
  if (py::len(saml_values) == 0) {
    raise(PyExc_ValueError,
          concat({py::str("Missing values in SAML attribute "),
                  format(saml_auth_attribute), py::str(".")}));
  }
  saml_values = self.attr("match_saml_regex")(saml_values);

  // SAML values are stripped once, when the first user is compared.
  py::list stripped_saml_values;
  bool stripped = false;
  py::list matches;
  for_each_item(
      self.attr("users"), [&](py::handle user_id, py::handle user_config) {
        py::object user_value = py::getattr(user_config, user_config_attribute);
        if (!stripped) {
          for (py::handle saml_value : saml_values) {
            stripped_saml_values.append(saml_value.attr("strip")());
          }
          stripped = true;
        }
        match_user(user_id, user_value, stripped_saml_values, matches);
      });
  log.attr("debug")("User Config to SAML matches %s", matches);

  py::set matched_users;
  for_each_in_list(matches, [&](py::handle match) {
    matched_users.add(match[py::int_(0)]);
  });
  const size_t matched_users_cnt = py::len(matched_users);
  if (matched_users_cnt == 0) {
    py::str message("User not found for the SAML response.");
    log.attr("warning")(message);
    raise(PyExc_ValueError, message);
  }
  if (matched_users_cnt > 1) {
    raise(PyExc_ValueError,
          py::str("More than one user found for the SAML response."));
  }
  py::object first_match = matches[0];
  py::object matched_user_id = first_match[py::int_(0)];
  log.attr("debug")("Authenticated user %s using SAML value %s.",
                    matched_user_id, first_match[py::int_(1)]);
  return matched_user_id;
}

// -- match_saml_regex
// -----------------------------------------------------------

const char *const kRegexKeywords[] = {"self", "saml_values", nullptr};
constexpr Signature kRegex{
    "match_saml_regex", "OO:match_saml_regex", kRegexKeywords,
    "match_saml_regex(self, saml_values)\n--\n\n"
    "Return the saml values that matches the `saml_auth_regex`.\n"
    "        If no regex available will return the original values\n        ",
    Kind::Instance};

py::object match_saml_regex(const Module &module, const Args &args) {
  py::object saml_auth_regex = args[0].attr("saml_auth_regex");
  py::object saml_values = py::reinterpret_borrow<py::object>(args[1]);
  if (!truthy(saml_auth_regex)) return saml_values;
  py::object match =
      module.global("re").attr("compile")(saml_auth_regex).attr("match");
  py::list kept;
  for (py::handle value : saml_values) {
    if (truthy(match(value))) kept.append(value);
  }
  return kept;
}

// -- get_return_to_url
// ----------------------------------------------------------

constexpr Signature kReturnTo{
    "get_return_to_url", "O:get_return_to_url", kSelfKeywords,
    "get_return_to_url(self)\n--\n\n"
    "return url of the referrer/relay state/return_to if possible\n\n"
    "        on errors, just go to /\n        ",
    Kind::Instance};

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

// Whether a browser sent to `redirect_to` stays on `current_host` (which may
// end in ":port"). Host names compare without regard to case.
bool stays_on_host(const Module &module, py::handle redirect_to,
                   py::handle current_host) {
  if (read_differently_by_browsers(redirect_to)) return false;
  py::object hostname;
  try {
    hostname = module.global("urlparse")(redirect_to).attr("hostname");
  } catch (py::error_already_set &e) {
    if (!e.matches(PyExc_ValueError)) throw;
    return false;
  }
  if (hostname.is_none()) return false;
  py::object host = current_host.attr("split")(":")[py::int_(0)];
  return hostname.attr("lower")().equal(host.attr("lower")());
}

py::object get_return_to_url(const Module &module, const Args &args) {
  py::handle self = args[0];
  py::object relay_state =
      self.attr("raw_request").attr("POST").attr("get")("RelayState", "");
  py::object saml_auth = self.attr("saml_auth");
  py::object redirect = saml_auth.attr("redirect_to");
  if (!truthy(relay_state)) return redirect("/");
  py::object utils = module.global("OneLogin_Saml2_Utils");
  py::object request = self.attr("request");
  py::object current_host = utils.attr("get_self_host")(request);
  py::object saml_error = module.global("OneLogin_Saml2_Error");
  py::object redirect_to;
  try {
    redirect_to = redirect(relay_state);
    if (!stays_on_host(module, redirect_to, current_host)) {
      raise(saml_error, py::str("Wrong host in redirect url"));
    }
  } catch (py::error_already_set &e) {
    if (!e.matches(saml_error)) throw;
    module.global("log").attr("error")(py::str(e.value()));
    return redirect("/");
  }
  // The host matched without regard to case, so these two refusals must
  // not depend on it either: compared in lower case, a host in capitals
  // cannot lead the browser back into the SSO routes.
  py::object folded_redirect_to = redirect_to.attr("lower")();
  py::object acs_url = utils.attr("get_self_url")(request);
  if (!truthy(acs_url) || folded_redirect_to.equal(acs_url.attr("lower")())) {
    return redirect("/");
  }
  py::object sso_url =
      utils.attr("get_self_url_host")(request) + py::str("/sso/saml");
  if (truthy(folded_redirect_to.attr("startswith")(sso_url.attr("lower")()))) {
    return redirect("/");
  }
  return redirect_to;
}

}  // namespace

py::object make_idp_config_class(py::handle module) {
  return make_class(
      "SamlIDPConfig", "Handle saml workflow",
      {
          {"cached_saml_settings", py::dict()},
          {"__init__", method<kInit, init>(module)},
          {"get_idp_settings",
           method<kGetIdpSettings, get_idp_settings>(module)},
          {"generate_login_url", method<kLogin, generate_login_url>(module)},
          {"validate_idp_config",
           method<kValidate, validate_idp_config>(module)},
          {"map_pyramid_to_saml_request",
           method<kMap, map_pyramid_to_saml_request>(module)},
          {"process_saml_response",
           method<kProcess, process_saml_response>(module)},
          {"reject_duplicated_response",
           method<kReject, reject_duplicated_response>(module)},
          {"get_sso_user_id", method<kSsoUserId, get_sso_user_id>(module)},
          {"get_user_id", method<kUserId, get_user_id>(module)},
          {"_get_mapped_user_id", method<kMapped, get_mapped_user_id>(module)},
          {"match_saml_regex", method<kRegex, match_saml_regex>(module)},
          {"get_return_to_url", method<kReturnTo, get_return_to_url>(module)},
          {"get_sp_metadata", method<kSpMetadata, get_sp_metadata>(module)},
      });
}

}  // namespace tavrel_saml
