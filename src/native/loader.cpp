// SamlAuthLoader and validate_saml_settings: picking the SAML block and the
// IdP configurations out of the host's auth settings, handing out enabled
// IdPs and validating them all at start-up.
#include "loader.hpp"

#include "log.hpp"
#include "methods.hpp"
#include "startup_checks.hpp"

namespace tavrel_saml {
namespace {

// -- SamlAuthLoader ---------------------------------------------------------

py::object loader_init(const Module &, const Args &);

constexpr Method kLoaderInit{"__init__",
                             Kind::Instance,
                             {{{"self"}, {"auth_settings"}}},
                             "Load SAML auth settings",
                             loader_init};

py::object loader_init(const Module &m, const Args &args) {
  py::handle self = args[kLoaderInit["self"]];
  py::handle auth_settings = args[kLoaderInit["auth_settings"]];
  set_attr(self, m[id::idps], py::dict());
  py::object saml_settings;
  try {
    saml_settings = get_item(
        get_item(auth_settings, m[id::authentication_policies]), m[id::saml]);
  } catch (py::error_already_set &e) {
    if (!e.matches(PyExc_KeyError)) throw;
    raise(PyExc_ValueError, "SAML is not configured", e.value());
  }
  set_attr(self, m[id::saml_settings], saml_settings);
  set_attr(self, m[id::idp_configs],
           required_saml_key(m, saml_settings, id::identity_providers));
  set_attr(self, m[id::saml_enabled],
           required_saml_key(m, saml_settings, id::enabled));
  return py::none();
}

py::object load_by_id(const Module &, const Args &);

constexpr Method kLoadById{"load_by_id",
                           Kind::Instance,
                           {{{"self"}, {"idp_id"}}},
                           nullptr,
                           load_by_id};

py::object load_by_id(const Module &m, const Args &args) {
  py::handle self = args[kLoadById["self"]];
  py::handle idp_id = args[kLoadById["idp_id"]];
  if (!truthy(get_attr(self, m[id::saml_enabled]))) {
    raise(PyExc_ValueError, "SAML is disabled");
  }
  py::object idp_config;
  try {
    idp_config = get_item(get_attr(self, m[id::idp_configs]), idp_id);
  } catch (py::error_already_set &e) {
    if (!e.matches(PyExc_KeyError)) throw;
    raise(PyExc_ValueError, "IdP is not found", e.value());
  }
  if (truthy(get_item(idp_config, m[id::enabled]))) return idp_config;
  if (enabled_again(m, idp_id, idp_config)) return idp_config;
  raise(PyExc_ValueError,
        concat({py::str("Identity provider \""), text_form(idp_id),
                py::str("\" is disabled")}));
}

py::object validate_all(const Module &, const Args &);

constexpr Method kValidateAll{"validate_all",
                              Kind::Instance,
                              {{{"self"}, {"timeout"}}},
                              "Validate saml settings, disable invalid",
                              validate_all};

py::object validate_all(const Module &m, const Args &args) {
  py::handle self = args[kValidateAll["self"]];
  py::handle timeout = args[kValidateAll["timeout"]];
  warn_about_saml_block(m, get_attr(self, m[id::saml_settings]),
                        get_attr(self, m[id::saml_enabled]));
  if (!truthy(get_attr(self, m[id::saml_enabled]))) {
    log_call(m, m.global(id::log), id::debug, py::str("SAML disabled"));
    return py::none();
  }
  py::object idp_configs = get_attr(self, m[id::idp_configs]);
  if (idp_configs.is_none()) {
    set_item(get_attr(self, m[id::saml_settings]), m[id::identity_providers],
             py::dict());
    return py::none();
  }
  for_each_item(m, idp_configs, [&](py::handle idp_id, py::handle idp_config) {
    warn_about_idp_config(m, idp_id, idp_config);
    if (!truthy(get_item(idp_config, m[id::enabled]))) {
      log_call(m, m.global(id::log), id::debug,
               concat({py::str("SAML IdP "), text_form(idp_id),
                       py::str(" is disabled")}));
      return;
    }
    try {
      validate_for_sign_in(m, idp_config, timeout);
    } catch (py::error_already_set &e) {
      if (!e.matches(PyExc_Exception)) throw;
      log_disabling_reason(m, idp_id, e.value());
      set_item(get_item(get_attr(self, m[id::idp_configs]), idp_id),
               m[id::enabled], py::bool_(false));
      py::object trace = while_handling(e.value(), [&] {
        return call_method(m.global(id::traceback), m[id::format_exc],
                           py::int_(-1));
      });
      call_method(m.global(id::log), m[id::error],
                  concat({py::str("Saml IdP "), text_form(idp_id),
                          py::str(" config is invalid. See the documentation "
                                  "regarding SAML Configuration\n"),
                          trace}));
      return;
    }
    set_item(get_attr(self, m[id::idps]), idp_id, idp_config);
  });
  return py::none();
}

// -- validate_saml_settings -------------------------------------------------

py::object validate_saml_settings(const Module &, const Args &);

constexpr Method kValidateSettings{"validate_saml_settings",
                                   Kind::Function,
                                   {{{"auth_settings"}, {"timeout"}}},
                                   nullptr,
                                   validate_saml_settings};

py::object validate_saml_settings(const Module &m, const Args &args) {
  py::object auth_loader;
  try {
    auth_loader = call(m.global(id::SamlAuthLoader),
                       args[kValidateSettings["auth_settings"]]);
    call_method(auth_loader, m[id::validate_all],
                args[kValidateSettings["timeout"]]);
  } catch (py::error_already_set &e) {
    if (!e.matches(PyExc_ValueError)) throw;
    call_method(m.global(id::log), m[id::error], e.value());
    return py::none();
  }
  // Ids are joined in their text form: a non-string id must not fail here,
  // after validate_all has already changed the caller's settings.
  py::list ids;
  for (py::handle idp_id :
       call_method(get_attr(auth_loader, m[id::idps]), m[id::keys])) {
    ids.append(text_form(idp_id));
  }
  log_call(m, m.global(id::log), id::debug,
           concat({py::str("Loaded SAML idps: "),
                   call_method(m[id::comma_space], m[id::join], ids)}));
  return py::none();
}

}  // namespace

py::object make_loader_class(const Module &m) {
  return make_class(
      m, "SamlAuthLoader", "Class for loading and validating saml auth configs",
      {method<kLoaderInit>(m), method<kLoadById>(m), method<kValidateAll>(m)});
}

py::object make_validate_saml_settings(const Module &m) {
  return method<kValidateSettings>(m).second;
}

}  // namespace tavrel_saml
