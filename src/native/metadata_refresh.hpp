// The periodic refresh of an IdP's remote metadata, for IdPs that ask for it
// with "metadata_refresh_interval": what settings resolution
// (idp_config.cpp) and the refresh (metadata_refresh.cpp) call of each other.
#pragma once

#include "methods.hpp"

namespace tavrel_saml {

// -- idp_config.cpp

// The IdP's metadata fetched again and merged with the local settings as a
// first resolution does, login options included; null when the
// configuration no longer names a metadata location. Raises whatever the
// fetch, the merge or the options raise: nothing is logged for a failure.
py::object fetch_and_merge_metadata(const Module &module, py::handle cls,
                                    py::handle idp_config, py::handle idp_name);

// -- metadata_refresh.cpp

// The IdP configuration's "metadata_refresh_interval" as a float of
// seconds, or None when it is absent or None. Anything but a finite
// positive int or float is a configuration error (ValueError).
py::object refresh_interval(const Module &m, py::handle idp_config);

// Records a first resolution. With an interval, the settings become due for
// a refresh once it has passed; without one, nothing is kept.
void remember_resolution(const Module &module, py::handle idp_name,
                         py::handle interval, py::handle saml_settings);

// On a cache hit: the refreshed settings when the cached entry was due and
// this call fetched them, now cached in its place; null when the cached
// entry stands (not due, a refresh already running, or a refresh failed).
py::object refresh_if_due(const Module &module, py::handle cls,
                          py::handle idp_config, py::handle idp_name,
                          py::handle cached_saml_settings);

}  // namespace tavrel_saml
