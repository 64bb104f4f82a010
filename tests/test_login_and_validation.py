"""The host request as the toolkit sees it, the login redirect, checking IdP
configurations at start-up, SP metadata, and the loader over the host's
auth settings."""

import base64
import time
import zlib
from types import SimpleNamespace
from urllib.parse import parse_qs, urlsplit

import onelogin.saml2.metadata
import pytest
from lxml import etree
from onelogin.saml2.errors import OneLogin_Saml2_Error
from onelogin.saml2.settings import OneLogin_Saml2_Settings
from pyramid.request import Request

import tavrel_saml.saml as saml
from conftest import ACS_URL, SP_ENTITY_ID, auth_settings, idp_config, login_request

Config = saml.SamlIDPConfig
NS = {"samlp": "urn:oasis:names:tc:SAML:2.0:protocol"}
INVALID_PREFIX = "config is invalid. See the documentation regarding SAML Configuration\n"
LONG_ENTITY_ID = "https://sp.example.com/" + "x" * 1100  # accepted by the settings check, not by the schema


def refuse_settings(config):
    config["settings"]["sp"].pop("assertionConsumerService")
    return config


@pytest.mark.parametrize("base, headers, https, scheme_after", [
    ("http", {"X-Forwarded-Proto": "https"}, "on", "https"),
    ("http", {"x-forwarded-proto": "HTTPS"}, "off", "HTTPS"),
    ("https", {"X-Forwarded-Proto": "http"}, "off", "http"),
    ("https", {}, "on", "https"),
    ("http", {}, "off", "http"),
])
def test_request_mapping_follows_forwarded_proto(base, headers, https, scheme_after):
    request = Request.blank("/sso/saml/login/x?next=1", base_url=f"{base}://sp.example.com:8443", headers=headers)
    mapped = Config.map_pyramid_to_saml_request(request)
    assert list(mapped) == ["https", "http_host", "script_name", "request_uri", "get_data", "post_data"]
    assert [mapped[k] for k in ("https", "http_host", "script_name", "request_uri")] == [
        https, "sp.example.com:8443", "/sso/saml/login/x", "/sso/saml/login/x"]
    assert dict(mapped["get_data"]) == {"next": "1"} and request.scheme == scheme_after


def test_request_mapping_copies_parameters_and_needs_no_headers():
    request = Request.blank("/acs?a=1", POST={"RelayState": "/back"})
    mapped = Config.map_pyramid_to_saml_request(request=request)
    request.GET["a"] = "2"
    request.POST["RelayState"] = "/elsewhere"
    assert (dict(mapped["get_data"]), dict(mapped["post_data"])) == ({"a": "1"}, {"RelayState": "/back"})
    bare = SimpleNamespace(scheme="https", host="h", path="/p", GET={"g": 1}, POST={})
    assert Config.map_pyramid_to_saml_request(bare) == {
        "https": "on", "http_host": "h", "script_name": "/p", "request_uri": "/p", "get_data": {"g": 1}, "post_data": {}}


@pytest.mark.parametrize("options, force_authn, is_passive, nameid_policy, relay_state", [
    (None, None, None, True, "https://sp.example.com/asked"),
    ({"force_authn": True}, "true", None, True, "https://sp.example.com/asked"),
    ({"is_passive": True}, None, "true", True, "https://sp.example.com/asked"),
    ({"set_nameid_policy": False}, None, None, False, "https://sp.example.com/asked"),
    ({"return_to": "https://sp.example.com/fixed"}, None, None, True, "https://sp.example.com/fixed"),
    ({"return_to": ""}, None, None, True, "https://sp.example.com/asked"),
])
def test_login_url_carries_the_configured_request(idp, options, force_authn, is_passive, nameid_policy, relay_state):
    config = idp_config(idp, settings={"extra_request_options": options} if options else {})
    url = Config.generate_login_url(config, login_request(), return_to_url="https://sp.example.com/asked")
    assert url.startswith(idp.sso_url + "?") and Config.saml_http_timeout == 5
    query = parse_qs(urlsplit(url).query)
    authn_request = etree.fromstring(zlib.decompress(base64.b64decode(query["SAMLRequest"][0]), -15))
    assert query["RelayState"] == [relay_state]
    assert (authn_request.get("Destination"), authn_request.get("AssertionConsumerServiceURL")) == (idp.sso_url, ACS_URL)
    assert (authn_request.get("ForceAuthn"), authn_request.get("IsPassive")) == (force_authn, is_passive)
    assert (authn_request.find("samlp:NameIDPolicy", NS) is not None) == nameid_policy


@pytest.mark.parametrize("change, error, message", [
    (lambda c: c.pop("idp_name"), ValueError, "Invalid SAML configuration: 'idp_name'"),
    (lambda c: c.pop("settings"), ValueError, "Invalid SAML configuration: 'settings'"),
    (refuse_settings, ValueError, "Invalid SAML configuration: Invalid dict settings: sp_acs_not_found"),
    (lambda c: Config.get_idp_settings(c)["extra_request_options"].pop("is_passive"), ValueError,
     "Invalid SAML configuration: 'is_passive'"),
    # Already a configuration error of the settings resolution: not wrapped twice.
    (lambda c: c.update(settings=None), ValueError,
     "Invalid SAML configuration: 'NoneType' object has no attribute 'get'"),
    (lambda c: c["settings"].update(extra_request_options=5), TypeError, "'int' object is not iterable"),
])
def test_login_errors(idp, change, error, message):
    config = idp_config(idp)
    change(config)
    with pytest.raises(error) as raised:
        Config.generate_login_url(config, login_request(), "/")
    assert type(raised.value) is error and str(raised.value) == message


def test_login_with_an_unusable_request_fails_before_resolution(idp):
    with pytest.raises(AttributeError) as raised:
        Config.generate_login_url(idp_config(idp), SimpleNamespace(scheme="https", path="/", GET={}, POST={}), "/")
    assert type(raised.value) is AttributeError and Config.cached_saml_settings == {}


def test_valid_config_passes_and_is_cached_without_refetch(idp, metadata_server):
    config = idp_config(idp, settings={"idp": {"metadata": metadata_server.base_url + "/metadata.xml"}})
    assert Config.validate_idp_config(config, timeout=7) is None
    resolved = Config.cached_saml_settings["test-idp"]
    assert resolved["extra_request_options"]["return_to"] is None and Config.saml_http_timeout == 7
    assert Config.validate_idp_config(config, 1) is None and Config.cached_saml_settings["test-idp"] is resolved
    assert metadata_server.hit_count("/metadata.xml") == 1


def test_validation_errors_are_not_converted(idp):
    with pytest.raises(OneLogin_Saml2_Error) as raised:
        Config.validate_idp_config(refuse_settings(idp_config(idp)))
    assert type(raised.value) is OneLogin_Saml2_Error
    config = idp_config(idp, "long")
    config["settings"]["sp"]["entityId"] = LONG_ENTITY_ID
    toolkit = OneLogin_Saml2_Settings(config["settings"])
    expected = toolkit.validate_metadata(toolkit.get_sp_metadata())
    with pytest.raises(ValueError) as raised:
        Config.validate_idp_config(config)
    assert expected and raised.value.args == (expected,)


@pytest.mark.parametrize("entity_id", [SP_ENTITY_ID, LONG_ENTITY_ID])
def test_sp_metadata_is_validated_by_the_toolkit(idp, entity_id, monkeypatch):
    # The document carries validUntil, to the second: both made at one clock.
    stopped = time.time()
    monkeypatch.setattr(onelogin.saml2.metadata, "time", lambda: stopped)
    config = idp_config(idp)
    config["settings"]["sp"]["entityId"] = entity_id
    instance = Config(config, login_request(), {})
    toolkit = instance.saml_auth.get_settings()
    metadata = toolkit.get_sp_metadata()
    if errors := toolkit.validate_metadata(metadata):
        with pytest.raises(ValueError) as raised:
            instance.get_sp_metadata()
        assert raised.value.args == (errors,)
    else:
        assert instance.get_sp_metadata() == metadata and etree.fromstring(metadata).get("entityID") == entity_id


@pytest.mark.parametrize("settings, error", [
    ({}, ValueError("SAML is not configured")),
    ({"authentication_policies": {}}, ValueError("SAML is not configured")),
    ({"authentication_policies": {"saml": {"enabled": True}}}, KeyError("identity_providers")),
    ({"authentication_policies": {"saml": {"identity_providers": {}}}}, KeyError("enabled")),
])
def test_settings_without_a_usable_saml_block(settings, error, log_lines, caplog):
    with pytest.raises(type(error)) as raised:
        saml.SamlAuthLoader(settings)
    assert isinstance(raised.value, KeyError) or isinstance(raised.value.__context__, KeyError)
    if isinstance(error, KeyError):
        # Named, and a ValueError too: reported in the log like the others.
        message = f'Invalid SAML configuration: "{error.args[0]}" is missing'
        assert isinstance(raised.value, ValueError) and str(raised.value).startswith(message)
        assert saml.validate_saml_settings(settings, 5) is None
        assert [(level, text[:len(message)]) for level, text in log_lines()] == [("ERROR", message)]
    else:  # reported in the log, with the exception itself as the message
        assert raised.value.args == error.args
        assert saml.validate_saml_settings(auth_settings=settings, timeout=5) is None
        assert log_lines() == [("ERROR", "SAML is not configured")] and isinstance(caplog.records[0].msg, ValueError)


@pytest.mark.parametrize("saml_enabled, idp_enabled, idp_id, message", [
    (True, True, "x", None), (True, "false", "x", None),
    (False, True, "x", "SAML is disabled"), ("", True, "x", "SAML is disabled"),
    (True, True, "y", "IdP is not found"),
    (True, False, "x", 'Identity provider "x" is disabled'), (True, 0, "x", 'Identity provider "x" is disabled'),
    (True, None, "x", 'Identity provider "x" is disabled'),
])
def test_load_by_id(saml_enabled, idp_enabled, idp_id, message):
    idp_configuration = {"enabled": idp_enabled}
    loader = saml.SamlAuthLoader(auth_settings({"x": idp_configuration}, enabled=saml_enabled))
    if message is None:
        assert loader.load_by_id(idp_id) is idp_configuration
    else:
        with pytest.raises(ValueError, match=f"^{message}$"):
            loader.load_by_id(idp_id=idp_id)


def test_validate_all_disables_invalid_idps_in_the_callers_settings(idp, log_lines):
    good, refused = idp_config(idp, "a"), refuse_settings(idp_config(idp, "b"))
    off, broken = idp_config(idp, "c", enabled=False), idp_config(idp, "d")
    broken["settings"] = None
    settings = auth_settings({"a": good, "b": refused, "c": off, "d": broken})
    loader = saml.SamlAuthLoader(settings)
    assert loader.validate_all(5) is None
    assert loader.idps == {"a": good} and loader.idps["a"] is good
    assert [c["enabled"] for c in (good, refused, off, broken)] == [True, False, False, False]
    reason_b, (level_b, line_b), disabled, reason_d, (level_d, line_d) = log_lines()
    assert (level_b, level_d, disabled) == ("ERROR", "ERROR", ("DEBUG", "SAML IdP c is disabled"))
    # The reason in one line before each error line and its traceback.
    assert reason_b == ("WARNING", "SAML IdP b disabled: Invalid dict settings: sp_acs_not_found")
    assert reason_d == ("WARNING", "SAML IdP d disabled: Invalid SAML configuration: "
                                   "'NoneType' object has no attribute 'get'")
    trace_b = line_b.removeprefix("Saml IdP b " + INVALID_PREFIX)
    # Only the innermost stack entry: the toolkit line that refused the settings.
    assert trace_b.startswith("Traceback (most recent call last):\n") and trace_b.count('\n  File "') == 1
    assert trace_b.endswith("OneLogin_Saml2_Error: Invalid dict settings: sp_acs_not_found\n")
    assert line_d.startswith("Saml IdP d " + INVALID_PREFIX)
    assert line_d.endswith("ValueError: Invalid SAML configuration: 'NoneType' object has no attribute 'get'\n")
    with pytest.raises(ValueError, match='^Identity provider "b" is disabled$'):
        saml.SamlAuthLoader(settings).load_by_id("b")


def test_validate_all_replaces_missing_idps_in_place():
    settings = auth_settings(None)
    loader = saml.SamlAuthLoader(settings)
    loader.validate_all(5)
    assert settings["authentication_policies"]["saml"]["identity_providers"] == {}
    assert loader.idp_configs is None and loader.idps == {}
    with pytest.raises(ValueError, match="^IdP is not found$"):
        saml.SamlAuthLoader(settings).load_by_id("x")


def test_validate_all_lets_interrupts_through(idp, monkeypatch):
    calls = []

    def validate_idp_config(*args):
        calls.append(args)
        if len(calls) == 2:
            raise KeyboardInterrupt

    monkeypatch.setattr(saml, "SamlIDPConfig", type("Interrupted", (), {"validate_idp_config": validate_idp_config}))
    first, second = idp_config(idp, "a"), idp_config(idp, "b")
    loader = saml.SamlAuthLoader(auth_settings({"a": first, "b": second}))
    with pytest.raises(KeyboardInterrupt):
        loader.validate_all(timeout=7)
    assert calls == [(first, 7), (second, 7)] and second["enabled"] is True and list(loader.idps) == ["a"]


@pytest.mark.parametrize("providers, enabled, expected", [
    (lambda p: {"a": idp_config(p, "a"), "b": idp_config(p, "b")}, True, [("DEBUG", "Loaded SAML idps: a, b")]),
    (lambda p: {1: idp_config(p, "one"), 2: idp_config(p, "two")}, True, [("DEBUG", "Loaded SAML idps: 1, 2")]),
    (lambda p: {"x": idp_config(p, "x"), "y": refuse_settings(idp_config(p, "y"))}, True,
     [("WARNING", "SAML IdP y disabled: Invalid dict settings: sp_acs_not_found"),
      ("ERROR", "Saml IdP y " + INVALID_PREFIX), ("DEBUG", "Loaded SAML idps: x")]),
    (lambda p: {}, True, [("DEBUG", "Loaded SAML idps: ")]),
    (lambda p: None, True, [("DEBUG", "Loaded SAML idps: ")]),
    (lambda p: {"a": idp_config(p, "a")}, False, [("DEBUG", "SAML disabled"), ("DEBUG", "Loaded SAML idps: ")]),
])
def test_validate_saml_settings_reports_accepted_idps(idp, log_lines, providers, enabled, expected):
    settings = auth_settings(providers(idp), enabled=enabled)
    assert saml.validate_saml_settings(settings, 5) is None
    assert [(level, text.partition("\n")[0] + text.partition("\n")[1]) for level, text in log_lines()] == expected
    assert settings["authentication_policies"]["saml"]["identity_providers"] is not None
