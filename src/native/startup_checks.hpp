// Start-up checks of the host's SAML settings beyond what the toolkit
// validates: what every sign-in of an IdP needs, the keys the module and
// the toolkit read (typos warned about, with the nearest known key), and
// an IdP disabled for want of its metadata brought back once the metadata
// can be fetched.
#pragma once

#include "calls.hpp"
#include "state.hpp"

namespace tavrel_saml {

// Made at import: the exception type of a missing key of the SAML block
// and the IdPs waiting for their metadata.
void make_startup_checks_state(const Module &m);

// `saml_settings[key]` of the SAML block. A missing key raises a ValueError
// that is also a KeyError (what callers caught before), naming the key and
// where it belongs.
py::object required_saml_key(const Module &m, py::handle saml_settings,
                             id::Name key);

// Warnings, never failures: unknown keys of the SAML block and an
// "enabled" (as the loader read it) that is not a bool. Nothing the host
// passes makes this raise an Exception.
void warn_about_saml_block(const Module &m, py::handle saml_settings,
                           py::handle saml_enabled);

// Warnings, never failures: an "enabled" that is not a bool and, for an
// enabled IdP, unknown keys at every level of its configuration and of its
// toolkit settings.
void warn_about_idp_config(const Module &m, py::handle idp_id,
                           py::handle idp_config);

// What start-up validation runs for one enabled IdP: the keys every sign-in
// reads, then `SamlIDPConfig.validate_idp_config(idp_config, timeout)`.
// Raises on the first failure. An IdP whose metadata may yet come (a
// location and a refresh interval) and that fails the toolkit's part is
// remembered, so that `load_by_id` can bring it back.
void validate_for_sign_in(const Module &m, py::handle idp_config,
                          py::handle timeout);

// The one WARNING line, without traceback, naming the IdP and why it is
// being disabled.
void log_disabling_reason(const Module &m, py::handle idp_id, py::handle exc);

// For `load_by_id` of a disabled IdP: true when it was disabled at start-up
// waiting for its metadata, a refresh has since brought new settings, and
// validation now passes; it is then enabled again in place.
bool enabled_again(const Module &m, py::handle idp_id, py::handle idp_config);

}  // namespace tavrel_saml
