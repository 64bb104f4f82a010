// SamlAuthLoader and validate_saml_settings: picking the SAML block and the
// IdP configurations out of the host's auth settings, handing out enabled
// IdPs and validating them all at start-up.
#include "plain_class.hpp"

namespace tavrel_saml {
namespace {

// -- SamlAuthLoader ---------------------------------------------------------

const char *const kInitKeywords[] = {"self", "auth_settings", nullptr};
constexpr Signature kInit{"__init__", "OO:__init__", kInitKeywords,
                          "__init__(self, auth_settings)\n--\n\n"
                          "Load SAML auth settings",
                          Kind::Instance};

py::object loader_init(const Module &, const Args &args) {
  py::handle self = args[0];
  py::handle auth_settings = args[1];
  self.attr("idps") = py::dict();
  py::object saml_settings;
  try {
    saml_settings = auth_settings["authentication_policies"]["saml"];
  } catch (py::error_already_set &e) {
    if (!e.matches(PyExc_KeyError)) throw;
    raise(PyExc_ValueError, py::str("SAML is not configured"), e.value());
  }
  self.attr("saml_settings") = saml_settings;
  self.attr("idp_configs") = saml_settings["identity_providers"];
  self.attr("saml_enabled") = saml_settings["enabled"];
  return py::none();
}

const char *const kLoadByIdKeywords[] = {"self", "idp_id", nullptr};
constexpr Signature kLoadById{"load_by_id", "OO:load_by_id", kLoadByIdKeywords,
                              "load_by_id(self, idp_id)\n--\n\n",
                              Kind::Instance};

py::object load_by_id(const Module &, const Args &args) {
  py::handle self = args[0];
  py::handle idp_id = args[1];
  if (!truthy(self.attr("saml_enabled"))) {
    raise(PyExc_ValueError, py::str("SAML is disabled"));
  }
  py::object idp_config;
  try {
    idp_config = self.attr("idp_configs")[idp_id];
  } catch (py::error_already_set &e) {
    if (!e.matches(PyExc_KeyError)) throw;
    raise(PyExc_ValueError, py::str("IdP is not found"), e.value());
  }
  if (truthy(idp_config["enabled"])) return idp_config;
  raise(PyExc_ValueError,
        concat({py::str("Identity provider \""), text_form(idp_id),
                py::str("\" is disabled")}));
}

const char *const kValidateAllKeywords[] = {"self", "timeout", nullptr};
constexpr Signature kValidateAll{"validate_all", "OO:validate_all",
                                 kValidateAllKeywords,
                                 "validate_all(self, timeout)\n--\n\n"
                                 "Validate saml settings, disable invalid",
                                 Kind::Instance};

py::object validate_all(const Module &module, const Args &args) {
  py::handle self = args[0];
  py::handle timeout = args[1];
  py::object log = module.global("log");
  if (!truthy(self.attr("saml_enabled"))) {
    log.attr("debug")("SAML disabled");
    return py::none();
  }
  py::object idp_configs = self.attr("idp_configs");
  if (idp_configs.is_none()) {
    self.attr("saml_settings")["identity_providers"] = py::dict();
    return py::none();
  }
  for_each_item(idp_configs, [&](py::handle idp_id, py::handle idp_config) {
    if (!truthy(idp_config["enabled"])) {
      module.global("log").attr("debug")(concat(
          {py::str("SAML IdP "), text_form(idp_id), py::str(" is disabled")}));
      return;
    }
    try {
      module.global("SamlIDPConfig")
          .attr("validate_idp_config")(idp_config, timeout);
    } catch (py::error_already_set &e) {
      if (!e.matches(PyExc_Exception)) throw;
      self.attr("idp_configs")[idp_id]["enabled"] = false;
      py::object trace = while_handling(e.value(), [&] {
        return module.global("traceback").attr("format_exc")(-1);
      });
      module.global("log").attr("error")(
          concat({py::str("Saml IdP "), text_form(idp_id),
                  py::str(" config is invalid. See the documentation "
                          "regarding SAML Configuration\n"),
                  trace}));
      return;
    }
    self.attr("idps")[idp_id] = idp_config;
  });
  return py::none();
}

// -- validate_saml_settings -------------------------------------------------

const char *const kValidateSettingsKeywords[] = {"auth_settings", "timeout",
                                                 nullptr};
constexpr Signature kValidateSettings{
    "validate_saml_settings", "OO:validate_saml_settings",
    kValidateSettingsKeywords,
    "validate_saml_settings(auth_settings, timeout)\n--\n\n", Kind::Function};

py::object validate_saml_settings(const Module &module, const Args &args) {
  py::object auth_loader;
  try {
    auth_loader = module.global("SamlAuthLoader")(args[0]);
    auth_loader.attr("validate_all")(args[1]);
  } catch (py::error_already_set &e) {
    if (!e.matches(PyExc_ValueError)) throw;
    module.global("log").attr("error")(e.value());
    return py::none();
  }
  // Ids are joined in their text form: a non-string id must not fail here,
  // after validate_all has already changed the caller's settings.
  py::list ids;
  for (py::handle idp_id : auth_loader.attr("idps").attr("keys")()) {
    ids.append(text_form(idp_id));
  }
  module.global("log").attr("debug")(
      concat({py::str("Loaded SAML idps: "), py::str(", ").attr("join")(ids)}));
  return py::none();
}

}  // namespace

py::object make_loader_class(py::handle module) {
  return make_class(
      "SamlAuthLoader", "Class for loading and validating saml auth configs",
      {{"__init__", method<kInit, loader_init>(module)},
       {"load_by_id", method<kLoadById, load_by_id>(module)},
       {"validate_all", method<kValidateAll, validate_all>(module)}});
}

py::object make_validate_saml_settings(py::handle module) {
  return method<kValidateSettings, validate_saml_settings>(module);
}

}  // namespace tavrel_saml
