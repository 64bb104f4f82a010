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

// The resolution keys of an IdP configuration checked as start-up
// validation needs, also for IdPs without remote metadata (whose resolution
// never reads them): ValueError for a configuration error.
void check_resolution_keys(const Module &m, py::handle idp_config);

}  // namespace tavrel_saml
