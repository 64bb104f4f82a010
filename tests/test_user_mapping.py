"""Mapping the subject of an accepted response onto one configured user."""

import logging

import pytest

import tavrel_saml.saml as saml
from conftest import acs_request, idp_config, users

ALICE = {"email": "alice@example.com", "username": "alice"}
NOT_FOUND = "User not found for the SAML response."
MISSING = "Missing expected attribute in SAML response."


def messages(caplog, level):
    return [r.getMessage() for r in caplog.records if r.name == "tavrel" and r.levelno == level]


def authenticated(caplog):
    return [r.args for r in caplog.records if r.msg == "Authenticated user %s using SAML value %s."]


def accepted(idp, issue, user_configs, attributes, name_id="alice@example.com", **config):
    """The consumer of a real, accepted response."""
    consumer = saml.SamlIDPConfig(idp_config(idp, **config), acs_request(issue(name_id=name_id, attributes=attributes)),
                                  users(**user_configs), saml.SamlDuplicateResponsesTrackerInMemory())
    consumer.process_saml_response()
    return consumer


@pytest.mark.parametrize("attributes, user_configs, config, chosen, value", [
    ({"mail": "alice@example.com"}, {"alice": ALICE, "bob": {"email": "bob@example.com"}}, {}, "alice",
     "alice@example.com"),
    ({"mail": "alice@example.com"}, {"alice": {"email": "  alice@example.com\n"}}, {}, "alice", "alice@example.com"),
    ({"mail": ["x@other.example", "alice@example.com", "alice@example.com"]}, {"alice": ALICE}, {}, "alice",
     "alice@example.com"),
    (None, {"alice": ALICE}, {"saml_auth_attribute": "NameID"}, "alice", "alice@example.com"),
    ({"mail": ["bob.alice@example.com", "alice@example.com.evil"]},
     {"alice": {"email": "alice@example.com.evil"}, "bob": {"email": "bob.alice@example.com"}},
     {"saml_auth_regex": "alice"}, "alice", "alice@example.com.evil"),
], ids=["one of two users", "user value stripped", "first matching value", "NameID", "regex anchored at start"])
def test_subject_maps_to_one_user(idp, issue, caplog, attributes, user_configs, config, chosen, value):
    caplog.set_level(logging.DEBUG)
    assert accepted(idp, issue, user_configs, attributes, **config).get_user_id() == chosen
    assert authenticated(caplog) == [(chosen, value)]
    assert messages(caplog, logging.WARNING) == []


@pytest.mark.parametrize("attributes, user_configs, config, message, warning, detail", [
    ({"mail": "Alice@Example.com"}, {"alice": ALICE}, {}, NOT_FOUND, NOT_FOUND, None),
    ({"mail": "alice@example.com"}, {}, {}, NOT_FOUND, NOT_FOUND, None),
    ({"mail": "malice@example.com"}, {"m": {"email": "malice@example.com"}}, {"saml_auth_regex": "alice"},
     NOT_FOUND, NOT_FOUND, None),
    ({"mail": "alice@example.com"}, {"alice": ALICE, "twin": ALICE}, {},
     "More than one user found for the SAML response.", None, None),
    # An invalid regex shows that an empty list is refused before the regex is compiled.
    ({"mail": []}, {"alice": ALICE}, {"saml_auth_regex": "("}, "Missing values in SAML attribute mail.", None, None),
    ({"mail": "alice@example.com"}, {"alice": {"password": "alice@example.com"}},
     {"user_config_attribute": "password"}, "Invalid user config attribute.",
     "Invalid user config attribute is used in the identity provider configuration.",
     "Invalid user config attribute password is used for identity provider test-idp"),
    ({"uid": "alice", "cn": "Alice"}, {"alice": ALICE}, {}, MISSING, MISSING,
     "Missing expected attribute mail in SAML response. Available: uid cn NameID"),
    ({"uid": "alice"}, {"alice": ALICE}, {"user_config_attribute": "password"}, MISSING, MISSING,
     "Missing expected attribute mail in SAML response. Available: uid NameID"),
], ids=["case differs", "no users", "regex drops all", "two users", "empty values", "disallowed user attribute",
        "missing attribute", "missing attribute and disallowed user attribute"])
def test_mapping_refusals(idp, issue, caplog, attributes, user_configs, config, message, warning, detail):
    caplog.set_level(logging.DEBUG)
    consumer = accepted(idp, issue, user_configs, attributes, **config)
    with pytest.raises(ValueError) as raised:
        consumer.get_user_id()
    assert str(raised.value) == message
    assert messages(caplog, logging.WARNING) == ([warning] if warning else [])
    assert detail is None or detail in messages(caplog, logging.DEBUG)


@pytest.mark.parametrize("regex", [None, "", "  alice"])
def test_regex_sees_values_before_stripping(idp, issue, caplog, regex):
    caplog.set_level(logging.DEBUG)
    consumer = accepted(idp, issue, {"alice": ALICE}, {"mail": "alice@example.com"}, saml_auth_regex=regex)
    values = ["  alice@example.com \t", "alice@example.com"]
    if regex:
        assert consumer.match_saml_regex(values) == values[:1]
    else:
        assert consumer.match_saml_regex(values) is values
    assert consumer._get_mapped_user_id({"mail": values}) == "alice"
    assert authenticated(caplog) == [("alice", "alice@example.com")]
