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
  try {
    object.attr(name);
    return true;
  } catch (py::error_already_set &e) {
    if (!e.matches(PyExc_AttributeError)) throw;
    return false;
  }
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
    return saml_auth.attr("login")("return_to"_a = return_to,
                                   "force_authn"_a = force_authn,
                                   "is_passive"_a = is_passive,
                                   "set_nameid_policy"_a = set_nameid_policy);
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

// -- map_pyramid_to_saml_request ---------------------------------------------

const char *const kMapKeywords[] = {"request", nullptr};
constexpr Signature kMap{"map_pyramid_to_saml_request",
                         "O:map_pyramid_to_saml_request", kMapKeywords,
                         "map_pyramid_to_saml_request(request)\n--\n\n",
                         Kind::Static};

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

const char *const kInitKeywords[] = {"self",  "idp_config", "raw_request",
                                     "users", "responses_tracker", nullptr};
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
  self.attr("saml_auth") = module.global("OneLogin_Saml2_Auth")(
      self.attr("request"), saml_settings);
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
  py::object metadata_parser = module.global("OneLogin_Saml2_IdPMetadataParser")();
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
    module.global("log").attr("error")(concat(
        {py::str("Failed to load metadata for "), format(idp_name),
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
    extra_request_options.attr("update")(local_saml_settings.attr("get")(
        "extra_request_options", py::dict()));
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
  for (const char *key : {"http_host", "script_name", "request_uri",
                          "get_data", "post_data"}) {
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

const char *const kSelfKeywords[] = {"self", nullptr};
constexpr Signature kSpMetadata{"get_sp_metadata", "O:get_sp_metadata",
                                kSelfKeywords, "get_sp_metadata(self)\n--\n\n",
                                Kind::Instance};

py::object get_sp_metadata(const Module &, const Args &args) {
  return validated_sp_metadata(args[0].attr("saml_auth"));
}

}  // namespace

py::object make_idp_config_class(py::handle module) {
  return make_class(
      "SamlIDPConfig", "Handle saml workflow",
      {
          {"cached_saml_settings", py::dict()},
          {"__init__", method<kInit, init>(module)},
          {"get_idp_settings", method<kGetIdpSettings, get_idp_settings>(module)},
          {"generate_login_url", method<kLogin, generate_login_url>(module)},
          {"validate_idp_config",
           method<kValidate, validate_idp_config>(module)},
          {"map_pyramid_to_saml_request",
           method<kMap, map_pyramid_to_saml_request>(module)},
          {"get_sp_metadata", method<kSpMetadata, get_sp_metadata>(module)},
      });
}

}  // namespace tavrel_saml
