"""What a host sees of the module: its names, plain classes, signatures and
docstrings, and module globals that can be patched."""

import inspect
import logging
import os
import random
import subprocess
import sys
from urllib.parse import urlparse

import pytest
from onelogin.saml2 import auth, errors, idp_metadata_parser, utils

import tavrel_saml.saml as saml
from conftest import idp_config, login_request
from tavrel import configs

MODULE_NAMES = (
    "contextlib traceback logging time re urlparse random OneLogin_Saml2_Auth OneLogin_Saml2_Error "
    "OneLogin_Saml2_IdPMetadataParser OneLogin_Saml2_Utils UserConfig xmlsec etree OneLogin_Saml2_XML x509 hashes "
    "log SamlAuthLoader "
    "SamlDuplicateResponsesTrackerInMemcache SamlDuplicateResponsesTrackerInMemcachePerId "
    "SamlDuplicateResponsesTrackerInMemory responses_tracker_mem "
    "SamlIDPConfig validate_saml_settings set_toolkit_caches").split()

CLASS_DOCS = {
    "SamlAuthLoader": "Class for loading and validating saml auth configs",
    "SamlDuplicateResponsesTrackerInMemcache": "Store seen saml responses in memcache. Remove expired.",
    "SamlDuplicateResponsesTrackerInMemcachePerId":
        "Store each seen saml response in its own memcache item, until it expires.",
    "SamlDuplicateResponsesTrackerInMemory": "Store seen saml responses in memory. Cleanup expired.",
    "SamlIDPConfig": "Handle saml workflow",
}

# owner.name kind signature | docstring lines (blank lines left out)
METHODS = [line.split(" | ") for line in """\
SamlAuthLoader.__init__ method (self, auth_settings) | Load SAML auth settings
SamlAuthLoader.load_by_id method (self, idp_id)
SamlAuthLoader.validate_all method (self, timeout) | Validate saml settings, disable invalid
SamlDuplicateResponsesTrackerInMemcache.__init__ method (self, mc, mc_root_key, memcache_lock_sleep_interval=0.1, my_proc_uid='')
SamlDuplicateResponsesTrackerInMemcache._lazy_init method (self)
SamlDuplicateResponsesTrackerInMemcache.lock method (self) | Lock memcache to avoid race condition
SamlDuplicateResponsesTrackerInMemcache.is_seen method (self, req_id)
SamlDuplicateResponsesTrackerInMemcache.add method (self, req_id, expiration) | expiration: unix time
SamlDuplicateResponsesTrackerInMemcache.cleanup_expired method (self)
SamlDuplicateResponsesTrackerInMemcache.reset method (self)
SamlDuplicateResponsesTrackerInMemcachePerId.__init__ method (self, memcache_client, memcache_root_key, replicas=1)
SamlDuplicateResponsesTrackerInMemcachePerId.lock method (self)
SamlDuplicateResponsesTrackerInMemcachePerId.is_seen method (self, req_id)
SamlDuplicateResponsesTrackerInMemcachePerId.add method (self, req_id, expiration) | expiration: unix time
SamlDuplicateResponsesTrackerInMemcachePerId.cleanup_expired method (self) | memcached drops each id when it expires
SamlDuplicateResponsesTrackerInMemcachePerId.reset method (self) | Forget every id, for every process
SamlDuplicateResponsesTrackerInMemory.__init__ method (self)
SamlDuplicateResponsesTrackerInMemory.lock method (self)
SamlDuplicateResponsesTrackerInMemory.add method (self, req_id, expiration) | expiration date is unix time
SamlDuplicateResponsesTrackerInMemory.is_seen method (self, req_id)
SamlDuplicateResponsesTrackerInMemory.cleanup_expired method (self)
SamlDuplicateResponsesTrackerInMemory.reset method (self)
SamlIDPConfig.__init__ method (self, idp_config, raw_request, users, responses_tracker=None)
SamlIDPConfig.get_idp_settings classmethod (cls, idp_config, timeout=5) | Fetch and merge remote metadata with local \
settings | metadata may be a url, local file and local url file://
SamlIDPConfig.get_idp_status classmethod (cls, idp_config) | Report where the IdP's settings come from, how fresh and \
how trusted they are, and the certificates in use.
SamlIDPConfig.generate_login_url classmethod (cls, idp_config, raw_request, return_to_url) | Generate redirect to IdP site
SamlIDPConfig.validate_idp_config classmethod (cls, idp_config, timeout=5) | Try to validate config by generating login \
url and metadata | Will raise on failure. Does not cover validation of processing saml | response part
SamlIDPConfig.map_pyramid_to_saml_request staticmethod (request)
SamlIDPConfig.process_saml_response method (self) | Process and validate the SAML Response sent by the IdP.
SamlIDPConfig.reject_duplicated_response method (self) | Prevent reply attack by checking is response ID already seen
SamlIDPConfig.get_sso_user_id method (self) | Returns saml user id from saml NameID attribute.
SamlIDPConfig.get_user_id method (self)
SamlIDPConfig._get_mapped_user_id method (self, attributes) | Returns user_id whose saml attribute matches mapped \
value | For SAML attribute which has multiple values the first matching is | returned.
SamlIDPConfig.match_saml_regex method (self, saml_values) | Return the saml values that matches the \
`saml_auth_regex`. | If no regex available will return the original values
SamlIDPConfig.get_return_to_url method (self) | return url of the referrer/relay state/return_to if possible | on \
errors, just go to /
SamlIDPConfig.get_sp_metadata method (self)
validate_saml_settings function (auth_settings, timeout)
set_toolkit_caches function (enabled) | Install (True) or remove (False) the caches of the toolkit's work per request; \
they are the whole process's.""".splitlines()]


def test_module_binds_its_names_in_import_order():
    assert [name for name in vars(saml) if not name.startswith("__")] == MODULE_NAMES
    assert saml.__doc__ is None
    imported = {"urlparse": urlparse, "random": random.random, "OneLogin_Saml2_Auth": auth.OneLogin_Saml2_Auth,
                "OneLogin_Saml2_Error": errors.OneLogin_Saml2_Error, "OneLogin_Saml2_Utils": utils.OneLogin_Saml2_Utils,
                "OneLogin_Saml2_IdPMetadataParser": idp_metadata_parser.OneLogin_Saml2_IdPMetadataParser,
                "UserConfig": configs.UserConfig, "log": logging.getLogger("tavrel")}
    assert {name: getattr(saml, name) for name in imported} == imported  # all compare by identity
    assert saml.SamlDuplicateResponsesTrackerInMemcache.KEY_SUFFIX == "saml_responses_tracker"


@pytest.mark.parametrize("name", CLASS_DOCS)
def test_classes_are_plain_python_classes(name):
    cls = getattr(saml, name)
    assert type(cls) is type and cls.__bases__ == (object,) and "__slots__" not in vars(cls)
    assert (cls.__module__, cls.__qualname__, cls.__doc__) == ("tavrel_saml.saml", name, CLASS_DOCS[name])
    methods = [key for key, value in vars(cls).items() if key == "__init__" or callable(value) and key[:2] != "__"
               or isinstance(value, (classmethod, staticmethod))]
    assert methods == [row[0].split()[0].split(".")[1] for row in METHODS if row[0].startswith(name + ".")]


@pytest.mark.parametrize("row", METHODS, ids=[row[0].split()[0] for row in METHODS])
def test_method_kind_signature_and_docstring(row):
    qualified, kind, signature = row[0].split(" ", 2)
    owner, _, name = qualified.rpartition(".")
    raw = vars(getattr(saml, owner))[name] if owner else getattr(saml, name)
    assert type(raw).__name__ in {"method": ("instancemethod", "function"), "function": ("builtin_function_or_method",)
                                  }.get(kind, (kind,))
    function = raw.__func__ if kind == "classmethod" else getattr(getattr(saml, owner) if owner else saml, name)
    assert str(inspect.signature(function)) == signature
    doc = function.__doc__
    assert (doc and [line for line in inspect.cleandoc(doc).splitlines() if line]) == (row[1:] or None)


def test_fresh_import_state_and_failed_host_import():
    def run(code, pythonpath):
        env = {**os.environ, "PYTHONPATH": pythonpath, "PYTHONWARNINGS": "ignore"}
        done = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=60)
        return done.stdout.split() or done.stderr

    host = os.path.join(os.path.dirname(__file__), os.pardir, "host")
    assert run("import tavrel_saml.saml as s; c = s.SamlIDPConfig; print(c.cached_saml_settings == {}, "
               "hasattr(c, 'saml_http_timeout'), type(s.responses_tracker_mem).__name__)", host) == [
        "True", "False", "SamlDuplicateResponsesTrackerInMemory"]
    # A host missing its own package must see that ImportError, not one made up around it.
    assert run("try:\n import tavrel_saml.saml\nexcept ImportError as e:\n print(type(e).__name__, e.name)", "") == [
        "ModuleNotFoundError", "tavrel"]


def test_patched_module_globals_take_effect_at_next_call(idp, monkeypatch, caplog):
    calls = []

    class RecordingAuth:
        def __init__(self, request, settings):
            calls.append((request["http_host"], settings))

        def login(self, **options):
            calls.append(list(options.items()))
            return "https://idp.invalid/login"

    monkeypatch.setattr(saml, "OneLogin_Saml2_Auth", RecordingAuth)
    monkeypatch.setattr(saml, "log", logging.getLogger("tavrel.patched"))
    caplog.set_level(logging.DEBUG, logger="tavrel.patched")
    config = idp_config(idp)
    assert saml.SamlIDPConfig.generate_login_url(config, login_request(), "/back") == "https://idp.invalid/login"
    assert calls == [("sp.example.com", config["settings"]), [
        ("return_to", "/back"), ("force_authn", False), ("is_passive", False), ("set_nameid_policy", True)]]
    saml.SamlIDPConfig.get_idp_settings(config)
    assert [(r.name, r.getMessage()) for r in caplog.records] == [
        ("tavrel.patched", "SAML settings for test-idp restored from cache")]


def test_subclass_methods_receive_the_subclass(idp):
    class Site(saml.SamlIDPConfig):
        pass

    config = idp_config(idp)
    Site.validate_idp_config(config, 9)
    # The latch lands on the class that was called; the cache is the one dict.
    assert vars(Site).get("saml_http_timeout") == 9 and not hasattr(saml.SamlIDPConfig, "saml_http_timeout")
    assert saml.SamlIDPConfig.cached_saml_settings["test-idp"] is config["settings"]
    instance = Site(config, login_request(), {})
    assert type(instance) is Site and instance.get_idp_settings(config) is config["settings"]


@pytest.mark.parametrize("where", ["class", "instance"])
def test_debug_lines_reach_a_replaced_logger_method(idp, monkeypatch, where):
    """Lines of a level that is off are skipped only for a logger whose
    methods are logging's own: a replaced `debug` still gets every line."""
    logger, lines = logging.getLogger("tavrel"), []
    monkeypatch.setattr(logger, "level", logging.WARNING)
    logger.manager._clear_cache()
    config = idp_config(idp)
    for _ in range(2):  # the second, a cache hit, logs on the debug level
        saml.SamlIDPConfig.get_idp_settings(config)
    assert logger._cache.get(logging.DEBUG) is False  # the level cache says off
    monkeypatch.setattr(logging.Logger if where == "class" else logger, "debug",
                        (lambda self, msg, *a: lines.append(msg)) if where == "class" else lines.append)
    saml.SamlIDPConfig.get_idp_settings(config)
    assert lines == ["SAML settings for test-idp restored from cache"]
