"""Resolving an IdP's SAML settings: remote metadata merged over the local
settings, the per-process cache, the fetch time limit, and the constructor
that builds on them."""

import time

import pytest
from onelogin.saml2.errors import OneLogin_Saml2_Error

import tavrel_saml.saml as saml
from conftest import SP_ENTITY_ID, idp_config, login_request
from idp import free_port

Config = saml.SamlIDPConfig
DEFAULT_OPTIONS = {"return_to": None, "force_authn": False, "is_passive": False, "set_nameid_policy": True}


def test_second_resolution_is_served_from_cache(idp, log_lines):
    config = idp_config(idp)
    resolved = Config.get_idp_settings(config)
    assert resolved is config["settings"] and resolved["extra_request_options"] == DEFAULT_OPTIONS
    assert Config.saml_http_timeout == 5
    config["settings"] = None  # a later change of the configuration is not seen
    assert Config.get_idp_settings(idp_config=config, timeout=1) is resolved
    assert Config.saml_http_timeout == 5
    assert log_lines() == [("DEBUG", "SAML settings for test-idp restored from cache")]


@pytest.mark.parametrize("source", ["path", "file_url", "http"])
def test_remote_metadata_is_fetched_once_and_merged_under_local(idp, metadata_server, tmp_path, source, log_lines):
    path = tmp_path / "idp.xml"
    path.write_text(idp.metadata_xml())
    location = {"path": str(path), "file_url": "file://" + str(path),
                "http": metadata_server.base_url + "/metadata.xml"}[source]
    config = idp_config(idp, settings={"idp": {"metadata": location, "entityId": "https://local.example/idp"}})
    resolved = Config.get_idp_settings(config)
    assert resolved["idp"]["singleSignOnService"]["url"] == idp.sso_url
    assert resolved["idp"]["x509cert"] == idp.cert_b64
    assert resolved["idp"]["entityId"] == "https://local.example/idp"  # local wins
    assert resolved["sp"] == config["settings"]["sp"]
    assert "extra_request_options" not in config["settings"]  # the host's mapping is left alone
    dump = str({k: v for k, v in resolved.items() if k != "extra_request_options"})
    assert log_lines() == [("INFO", "SAML metadata fetched for test-idp"),
                           ("DEBUG", "Resulting SAML config for test-idp is " + dump)]
    path.unlink()
    assert Config.get_idp_settings(config) is resolved
    assert metadata_server.hit_count("/metadata.xml") == (source == "http")


@pytest.mark.parametrize("source, timeout", [
    ("missing_file", 5), ("nothing_listening", 5), ("malformed", 5), ("slow", 0.5)])
def test_failed_fetch_uses_local_settings_and_is_not_retried(idp, metadata_server, tmp_path, source, timeout,
                                                             log_lines):
    location = {"missing_file": str(tmp_path / "absent.xml"),
                "nothing_listening": f"http://127.0.0.1:{free_port()}/metadata.xml",
                "malformed": metadata_server.base_url + "/broken.xml",
                "slow": metadata_server.base_url + "/slow.xml"}[source]
    config = idp_config(idp)
    config["settings"]["idp"]["metadata"] = location
    dump = str(config["settings"])
    started = time.monotonic()
    resolved = Config.get_idp_settings(config, timeout)
    assert time.monotonic() - started < 1.5
    assert resolved is config["settings"] and resolved["extra_request_options"] == DEFAULT_OPTIONS
    (level, error), debug = log_lines()
    assert level == "ERROR" and error.startswith("Failed to load metadata for test-idp because of ")
    assert error.endswith(". Using local settings only.") and "\n" not in error
    assert debug == ("DEBUG", "Resulting SAML config for test-idp is " + dump)
    hits = dict(metadata_server.hits)
    assert Config.get_idp_settings(config) is resolved
    assert metadata_server.hits == hits


def test_fetch_arguments_location_forms_and_timeout_latch(idp, monkeypatch):
    calls = []

    class RecordingParser:
        def parse_remote(self, *args, **kwargs):
            calls.append((args, kwargs))
            return {"idp": {"entityId": idp.entity_id}}

        def merge_settings(self, *args):
            calls.append(args)
            return {"merged": True}

    monkeypatch.setattr(saml, "OneLogin_Saml2_IdPMetadataParser", RecordingParser)
    first = idp_config(idp, "first", settings={"idp": {"metadata": "/srv/idp.xml"}})
    assert Config.get_idp_settings(first, 10) == {"merged": True, "extra_request_options": DEFAULT_OPTIONS}
    for name, location in [("second", "https://idp.example.org/md"), ("third", "idp.xml")]:
        Config.get_idp_settings(idp_config(idp, name, settings={"idp": {"metadata": location}}), 3)
    remote = {"idp": {"entityId": idp.entity_id}}
    assert calls[:2] == [(("file:///srv/idp.xml",), {"timeout": 10}), (remote, first["settings"])]
    assert calls[2::2] == [(("https://idp.example.org/md",), {"timeout": 10}), (("file://idp.xml",), {"timeout": 10})]


@pytest.mark.parametrize("settings", [{"idp": {"metadata": ""}}, {"idp": {"metadata": None}}, {"idp": {}},
                                      {"idp": None}, {"idp": "https://idp.example.org/md"}, {}])
def test_no_metadata_location_means_no_fetch(settings, log_lines):
    config = {"idp_name": "local", "settings": settings}
    assert Config.get_idp_settings(config) is settings
    assert settings["extra_request_options"] == DEFAULT_OPTIONS and log_lines() == []


@pytest.mark.parametrize("configured, expected", [
    ({"force_authn": True}, {**DEFAULT_OPTIONS, "force_authn": True}),
    ([("is_passive", True), ("return_to", "/x")], {**DEFAULT_OPTIONS, "is_passive": True, "return_to": "/x"}),
    ({"set_nameid_policy": False, "note": "kept"}, {**DEFAULT_OPTIONS, "set_nameid_policy": False, "note": "kept"}),
])
def test_extra_request_options_overlay_the_defaults(idp, configured, expected):
    config = idp_config(idp, settings={"extra_request_options": configured})
    options = Config.get_idp_settings(config)["extra_request_options"]
    assert options == expected and list(options)[:4] == list(DEFAULT_OPTIONS) and options is not configured


def construct(config):
    return Config(config, login_request(), {})


@pytest.mark.parametrize("change, call, error, message", [
    (lambda c: c.update(settings=None), Config.get_idp_settings, ValueError,
     "Invalid SAML configuration: 'NoneType' object has no attribute 'get'"),
    (lambda c: c.update(settings=[]), Config.get_idp_settings, ValueError,
     "Invalid SAML configuration: 'list' object has no attribute 'get'"),
    (lambda c: c["settings"].update(extra_request_options=5), construct, TypeError, "'int' object is not iterable"),
    (lambda c: c["settings"].update(extra_request_options=["abc"]), Config.get_idp_settings, ValueError,
     "dictionary update sequence element #0 has length 3; 2 is required"),
    (lambda c: c.pop("settings"), construct, KeyError, "'settings'"),
    (lambda c: c.pop("idp_name"), Config.get_idp_settings, KeyError, "'idp_name'"),
    (lambda c: c.pop("saml_auth_attribute"), construct, KeyError, "'saml_auth_attribute'"),
    (lambda c: c.pop("user_config_attribute"), construct, KeyError, "'user_config_attribute'"),
    (lambda c: c["settings"]["sp"].pop("assertionConsumerService"), construct, OneLogin_Saml2_Error,
     "Invalid dict settings: sp_acs_not_found"),
])
def test_unusable_configurations_raise_unconverted(idp, change, call, error, message):
    config = idp_config(idp)
    change(config)
    with pytest.raises(error) as raised:
        call(config)
    assert type(raised.value) is error and str(raised.value) == message
    assert list(Config.cached_saml_settings) == (["test-idp"] if error is OneLogin_Saml2_Error else [])


def test_constructor_fields(idp):
    config, request, users = idp_config(idp, saml_auth_regex="^a"), login_request(), {}
    instance = Config(config, request, users)
    assert instance.idp_config is config and instance.users is users and instance.raw_request is request
    assert (instance.saml_auth_attribute, instance.user_config_attribute, instance.saml_auth_regex,
            instance.responses_tracker) == ("mail", "email", "^a", None)
    assert list(instance.request) == ["https", "http_host", "script_name", "request_uri", "get_data", "post_data"]
    assert instance.saml_auth.get_settings().get_sp_data()["entityId"] == SP_ENTITY_ID
    assert Config.saml_http_timeout == 5
    del config["saml_auth_regex"]
    instance = Config(idp_config=config, raw_request=request, users=users, responses_tracker=saml.responses_tracker_mem)
    assert instance.saml_auth_regex is None and instance.responses_tracker is saml.responses_tracker_mem
