// SamlAuthLoader and validate_saml_settings.
#pragma once

#include "state.hpp"

namespace tavrel_saml {

py::object make_loader_class(const Module &m);
py::object make_validate_saml_settings(const Module &m);

}  // namespace tavrel_saml
