"""Start-up validation of what a sign-in needs, warnings for keys nobody
reads and for "enabled" values that are not bools, the reason of a disabled
IdP in one line, a missing key of the SAML block named, and an IdP disabled
for want of its metadata brought back once the metadata can be fetched."""

import time

import pytest

import tavrel_saml.saml as saml
from conftest import auth_settings, idp_config, login_request
from idp import MetadataServer, TestIdentityProvider

INVALID = "Saml IdP x config is invalid. See the documentation regarding SAML Configuration\n"


def validated(config, log_lines):
    settings = auth_settings({"x": config})
    saml.validate_saml_settings(settings, 5)
    return config["enabled"], [line for line in log_lines() if line[0] in ("WARNING", "ERROR", "INFO")]


def without(key, **changes):
    def change(config):
        config.pop(key)
        config.update(changes)
    return change


@pytest.mark.parametrize("change, reason", [
    (without("saml_auth_attribute", saml_auth_atribute="mail"),
     "saml_auth_attribute is missing: the SAML attribute, or NameID, whose value names the user"),
    (lambda c: c.update(saml_auth_attribute=["mail"]),
     "saml_auth_attribute must be a non-empty text (the SAML attribute, or NameID, whose value names the user), "
     "not ['mail']"),
    (without("user_config_attribute"),
     "user_config_attribute is missing: the user attribute compared with the SAML value"),
    (lambda c: c.update(user_config_attribute="emial"),
     "user_config_attribute 'emial' is not one of UserConfig.allowed_sso_keys (email, sso_id, username); "
     "did you mean email?"),
    (lambda c: c.update(user_config_attribute="name"),
     "user_config_attribute 'name' is not one of UserConfig.allowed_sso_keys (email, sso_id, username)"),
    (lambda c: c.update(saml_auth_regex="([a-z"),
     "saml_auth_regex '([a-z' does not compile: unterminated character set at position 1"),
    (lambda c: c.update(saml_auth_regex=b"^a"), "saml_auth_regex must be a text pattern, not b'^a'"),
])
def test_what_every_sign_in_needs_disables_the_idp(idp, log_lines, change, reason):
    config = idp_config(idp, "x")
    change(config)
    enabled, lines = validated(config, log_lines)
    assert enabled is False
    warning, error = lines[-2:]
    assert warning == ("WARNING", "SAML IdP x disabled: Invalid SAML configuration: " + reason)
    assert error[0] == "ERROR" and error[1].startswith(INVALID) and error[1].endswith(reason + "\n")
    with pytest.raises(ValueError, match='^Identity provider "x" is disabled$'):
        saml.SamlAuthLoader(auth_settings({"x": config})).load_by_id("x")


@pytest.mark.parametrize("regex", [None, "", r"^[a-z.]+@example\.com$"])
def test_a_usable_configuration_passes(idp, log_lines, regex):
    enabled, lines = validated(idp_config(idp, "x", saml_auth_regex=regex), log_lines)
    assert (enabled, lines) == (True, [])


def test_unknown_keys_are_warned_about_at_every_level(idp, log_lines):
    config = idp_config(idp, "x", label="Corporate", idp_nmae="corp")
    settings = config["settings"]
    settings["securty"] = {"wantAssertionsSigned": True}
    settings["security"] = {"wantAssertionSigned": True, "signMetadata": False}
    settings["sp"]["entityID"] = settings["sp"]["entityId"]
    settings["sp"]["attributeConsumingService"] = {
        "serviceName": "s", "requestedAttributes": [{"name": "mail"}, {"name": "cn", "nmae": "cn", 7: 1}]}
    settings["contactPerson"] = {"technical": {"givenName": "A", "givenname": "A", "emailAddress": "a@x"}}
    settings["organization"] = {"en-US": {"name": "n", "displayname": "d", "url": "u", "URL": "u"}}
    settings["extra_request_options"] = {"force_authn": True, "forceAuthn": True}
    settings["idp"]["x509certMulti"] = {"signing": [], "encrypt": []}
    enabled, lines = validated(config, log_lines)
    assert enabled is True
    assert sorted(text for level, text in lines if level == "WARNING") == sorted("SAML IdP x: " + text for text in [
        "label: unknown key, read by neither the module nor the toolkit",
        "idp_nmae: unknown key, did you mean idp_name?",
        "settings.securty: unknown key, did you mean security?",
        "settings.security.wantAssertionSigned: unknown key, did you mean wantAssertionsSigned?",
        "settings.sp.entityID: unknown key, did you mean entityId?",
        "settings.sp.attributeConsumingService.requestedAttributes[1].nmae: unknown key, did you mean name?",
        "settings.sp.attributeConsumingService.requestedAttributes[1].7: unknown key, "
        "read by neither the module nor the toolkit",
        "settings.contactPerson.technical.givenname: unknown key, did you mean givenName?",
        "settings.organization.en-US.URL: unknown key, did you mean url?",
        "settings.extra_request_options.forceAuthn: unknown key, did you mean force_authn?",
        "settings.idp.x509certMulti.encrypt: unknown key, did you mean encryption?",
    ])


@pytest.mark.parametrize("saml_enabled, idp_enabled, warnings, idp_on", [
    ("yes", "false", ["SAML settings: enabled is 'yes' (str), not true or false: read as enabled",
                      "SAML IdP x: enabled is 'false' (str), not true or false: read as enabled"], True),
    (1, 0, ["SAML settings: enabled is 1 (int), not true or false: read as enabled",
            "SAML IdP x: enabled is 0 (int), not true or false: read as disabled"], False),
    (True, None, ["SAML IdP x: enabled is None (NoneType), not true or false: read as disabled"], False),
])
def test_enabled_that_is_not_a_bool(idp, log_lines, saml_enabled, idp_enabled, warnings, idp_on):
    config = idp_config(idp, "x", enabled=idp_enabled)
    saml.validate_saml_settings(auth_settings({"x": config}, enabled=saml_enabled), 5)
    assert [text for level, text in log_lines() if level == "WARNING"] == warnings
    assert bool(config["enabled"]) is idp_on


@pytest.mark.parametrize("block, message", [
    ({"enabled": True, "identity_provider": {}},
     'Invalid SAML configuration: "identity_providers" is missing: the mapping of IdP id to IdP configuration '
     'belongs in authentication_policies.saml, beside "enabled" (found "identity_provider": a typo?)'),
    ({"enabled": True}, 'Invalid SAML configuration: "identity_providers" is missing: the mapping of IdP id to '
     'IdP configuration belongs in authentication_policies.saml, beside "enabled"'),
    ({"enable": True, "identity_providers": {}},
     'Invalid SAML configuration: "enabled" is missing: true or false belongs in authentication_policies.saml, '
     'beside "identity_providers" (found "enable": a typo?)'),
])
def test_missing_key_of_the_saml_block_is_named(log_lines, block, message):
    settings = {"authentication_policies": {"saml": block}}
    with pytest.raises(KeyError) as raised:
        saml.SamlAuthLoader(settings)
    assert isinstance(raised.value, ValueError) and str(raised.value) == message
    assert isinstance(raised.value.__context__, KeyError) and type(raised.value.__context__) is KeyError
    assert saml.validate_saml_settings(settings, 5) is None
    assert log_lines() == [("ERROR", message)]


class Clock:
    """The module's `time`, with a monotonic clock the test moves."""

    def __init__(self):
        self.now = 1000.0

    def monotonic(self):
        return self.now

    def __getattr__(self, name):
        return getattr(time, name)


@pytest.mark.parametrize("interval, local_mistake, comes_back", [
    (60, False, True), (None, False, False), (60, True, False)])
def test_idp_waiting_for_its_metadata_comes_back(monkeypatch, log_lines, interval, local_mistake, comes_back):
    clock = Clock()
    monkeypatch.setattr(saml, "time", clock)
    provider = TestIdentityProvider()
    with MetadataServer(provider) as server:
        server.metadata_answer = "broken"
        config = idp_config(provider, "x", settings={"idp": {"metadata": server.base_url + "/metadata.xml"}},
                            metadata_refresh_interval=interval)
        if local_mistake:
            config["user_config_attribute"] = "nickname"
        settings = auth_settings({"x": config})
        saml.validate_saml_settings(settings, 5)
        assert config["enabled"] is False
        loader = saml.SamlAuthLoader(settings)
        server.metadata_answer = "metadata"
        with pytest.raises(ValueError, match="is disabled"):  # the interval has not passed yet
            loader.load_by_id("x")
        clock.now += 61
        if comes_back:
            assert loader.load_by_id("x") is config and config["enabled"] is True
            assert ("INFO", "SAML IdP x enabled again: its metadata was fetched and its configuration is now "
                    "valid") in log_lines()
            assert saml.SamlIDPConfig.generate_login_url(config, login_request(), "/").startswith(provider.sso_url)
        else:
            with pytest.raises(ValueError, match="is disabled"):
                loader.load_by_id("x")
            assert config["enabled"] is False
