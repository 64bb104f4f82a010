// SamlIDPConfig: everything done for one identity provider.
#pragma once

#include "state.hpp"

namespace tavrel_saml {

py::object make_idp_config_class(const Module &m);

}  // namespace tavrel_saml
