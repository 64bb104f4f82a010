// The return address after sign-on, read as the browser that follows it will
// read it, and as the host's router reads the request that follows.
#pragma once

#include "calls.hpp"

namespace tavrel_saml {

// `url` as a browser sends it: every character outside ASCII percent-encoded
// as UTF-8 (a lone surrogate as U+FFFD), the rest unchanged; `url` itself
// when it is all ASCII. TypeError when it is not a str.
py::object as_sent_by_browsers(py::handle url);

// Whether a browser sent to `url` (an address on this site) would land on the
// assertion consumer service at `acs_url` or anywhere under "/sso/saml",
// whatever the port, the scheme, the user information, the percent-encoding
// or the dot segments.
bool leads_into_sso_routes(py::handle url, py::handle acs_url);

}  // namespace tavrel_saml
