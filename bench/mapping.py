"""Mapping the subject onto a configured user: the module's
`_get_mapped_user_id` against the same function written plainly in Python."""

from __future__ import annotations

import logging

from harness import ACS_PATH, blank, interleaved
from signon import idp_config

import tavrel_saml.saml as saml
from idp import TestIdentityProvider
from tavrel.configs import UserConfig

log = logging.getLogger("tavrel")


def plain_mapped_user_id(sso, attributes):
    """What a host would otherwise write: same checks, same log calls, same
    results. The SAML values are stripped once, outside the loop, so the
    baseline is the faster of the plain ways to write it."""
    log.debug(attributes)
    attribute = sso.saml_auth_attribute
    if attribute not in attributes:
        log.warning("Missing expected attribute in SAML response.")
        raise ValueError("Missing expected attribute in SAML response.")
    key = sso.user_config_attribute
    if key not in UserConfig.allowed_sso_keys:
        raise ValueError("Invalid user config attribute.")
    log.debug("Comparing SAML attribute %s with User Config attribute %s", attribute, key)
    saml_values = attributes[attribute]
    if not isinstance(saml_values, list):
        saml_values = [saml_values]
    if not saml_values:
        raise ValueError(f"Missing values in SAML attribute {attribute}.")
    saml_values = sso.match_saml_regex(saml_values)
    stripped = [value.strip() for value in saml_values]
    matches = []
    for user_id, user_config in sso.users.items():
        user_value = getattr(user_config, key).strip()
        for value in stripped:
            if user_value == value:
                matches.append((user_id, value))
    log.debug("User Config to SAML matches %s", matches)
    matched_users = {user_id for user_id, _ in matches}
    if not matched_users:
        raise ValueError("User not found for the SAML response.")
    if len(matched_users) > 1:
        raise ValueError("More than one user found for the SAML response.")
    log.debug("Authenticated user %s using SAML value %s.", *matches[0])
    return matches[0][0]


def bench_mapping(user_counts, value_counts, samples) -> list[dict]:
    idp = TestIdentityProvider()
    saml.SamlIDPConfig.cached_saml_settings.clear()
    sso = saml.SamlIDPConfig(idp_config(idp), blank(ACS_PATH), {})
    rows = []
    for n_users in user_counts:
        # Values as configured by hand: some with stray blanks.
        sso.users = {f"user{i}": UserConfig(email=f"user{i}@example.com" + (" " if i % 7 == 0 else ""))
                     for i in range(n_users)}
        target = f"user{n_users // 2}@example.com"
        for n_values in value_counts:
            values = [f"alias{j}@other.example" for j in range(n_values - 1)] + [" " + target]
            attributes = {"mail": values}
            expected = f"user{n_users // 2}"
            assert sso._get_mapped_user_id(attributes) == expected
            assert plain_mapped_user_id(sso, attributes) == expected
            result = interleaved({"module": lambda: sso._get_mapped_user_id(attributes),
                                  "plain": lambda: plain_mapped_user_id(sso, attributes)}, samples)
            rows.append({
                "users": n_users, "values": n_values,
                "module_s": result["module"], "plain_s": result["plain"],
                "module_per_user_ns": result["module"] / n_users * 1e9,
                "plain_per_user_ns": result["plain"] / n_users * 1e9,
                "speedup": result["plain"] / result["module"],
            })
    sso.users = {}
    return rows
