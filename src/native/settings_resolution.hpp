// Settings resolution of an IdP: where its metadata lives, the fetch, the
// merge of the local settings over it, the login option defaults, the
// per-process cache and the refresh of IdPs that ask for one. SamlIDPConfig's
// request flows call in here; nothing here calls back into them.
#pragma once

#include "state.hpp"

namespace tavrel_saml {

// SamlIDPConfig.get_idp_settings(idp_config, timeout): the resolved settings
// of the IdP, cached per IdP name (the cached object itself).
py::object resolve_idp_settings(const Module &m, py::handle cls,
                                py::handle idp_config, py::handle timeout);

// Start-up validation of the resolution keys, also for IdPs without remote
// metadata (whose resolution never reads them): ValueError for a
// configuration error. Also warns of what will stop the IdP later: a
// document that expires with no refresh set, certificates near their end.
void check_resolution_keys(const Module &m, py::handle idp_config,
                           py::handle saml_settings);

// SamlIDPConfig.get_idp_status(idp_config): a new dict saying where the
// IdP's settings come from, when they were fetched, when they are fetched
// next and expire, whether they were verified, the last failure and the
// certificates in use. Never fetches, never raises for an IdP not resolved.
py::object idp_status(const Module &m, py::handle cls, py::handle idp_config);

}  // namespace tavrel_saml
