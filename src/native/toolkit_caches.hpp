// Caches of what the toolkit rebuilds on every request although it never
// changes within a process: compiled XML schemas and XPath expressions,
// formatted certificates, and a direct road for its timestamp parsing.
#pragma once

#include "state.hpp"

namespace tavrel_saml {

// Installs the caches into the toolkit, when it is the toolkit they were
// checked against and its functions are still its own (otherwise an info
// line on `log` says which were left alone), and returns the module's
// `set_toolkit_caches(enabled)`, which installs or removes them later.
py::object make_toolkit_caches(const Module &m);

}  // namespace tavrel_saml
