"""Fixtures shared by the suite: the test identity provider, host settings
and requests built the way the host builds them, and a clean module state."""

from __future__ import annotations

import logging
import os

import pytest
from hypothesis import settings
from pyramid.request import Request

import chromium
import tavrel_saml.saml as saml
from idp import MetadataServer, TestIdentityProvider
from memcached import MEMCACHED, Memcached
from tavrel.configs import UserConfig

# Under CI the hostile-input examples are drawn the same way every run, so
# that a run passes or fails on the code, not on the draw.
settings.register_profile("ci", derandomize=True, database=None)
if os.environ.get("CI"):
    settings.load_profile("ci")

SP_HOST = "sp.example.com"
SP_BASE = "https://" + SP_HOST
ACS_PATH = "/sso/saml/acs"
ACS_URL = SP_BASE + ACS_PATH
SP_ENTITY_ID = SP_BASE + "/sso/saml/metadata"


def pytest_addoption(parser):
    parser.addoption("--release", action="store_true",
                     help="run the tests marked release, on what make dist made (make test-release)")


@pytest.hookimpl(tryfirst=True)
def pytest_collection_modifyitems(config, items):
    # The release tests install what `make dist` made: not part of a plain run.
    if not config.getoption("--release"):
        release = [item for item in items if item.get_closest_marker("release")]
        if release:
            config.hook.pytest_deselected(items=release)
            items[:] = [item for item in items if not item.get_closest_marker("release")]
    # The browser tests share one worker and one chromium, and are scheduled
    # mid-run: chromium may still be installing when the run starts.
    browser = [item for item in items if chromium.BROWSER_FIXTURES & set(item.fixturenames)]
    for item in browser:
        item.add_marker(pytest.mark.browser)
        item.add_marker(pytest.mark.xdist_group("browser"))
    # Tests marked long start first, so that the run ends on short ones and
    # no worker is left with a long test while the others stand idle.
    long = [item for item in items if item not in browser and item.get_closest_marker("long")]
    rest = [item for item in items if item not in browser and item not in long]
    items[:] = long + rest[:len(rest) // 2] + browser + rest[len(rest) // 2:]


def pytest_collection_finish(session):
    # pytest-xdist marks a grouped test by the group name it appends to the
    # test's id; a pytest it does not know can keep that from taking effect.
    config = session.config
    if os.environ.get("PYTEST_XDIST_WORKER") and config.getvalue("loadgroup"):
        ungrouped = [item.nodeid for item in session.items if item.get_closest_marker("xdist_group")
                     and "@" not in item.nodeid]
        if ungrouped:
            raise pytest.UsageError(f"pytest-xdist did not group {ungrouped[0]}: check the pytest pin")
    if not session.config.option.collectonly and any(item.get_closest_marker("browser") for item in session.items):
        chromium.start_install()


def require_service(available: bool, reason: str) -> None:
    """Skip a test whose outside service is missing, except under CI, where
    skipping would let a run pass without testing anything."""
    if available:
        return
    if os.environ.get("CI"):
        pytest.fail(reason + " (required under CI)")
    pytest.skip(reason)


@pytest.fixture(autouse=True)
def clean_module_state():
    """The module keeps process-wide state; every test starts from import."""
    saml.SamlIDPConfig.cached_saml_settings.clear()
    if "saml_http_timeout" in vars(saml.SamlIDPConfig):
        del saml.SamlIDPConfig.saml_http_timeout
    saml.responses_tracker_mem.reset()
    yield
    saml.SamlIDPConfig.cached_saml_settings.clear()
    if "saml_http_timeout" in vars(saml.SamlIDPConfig):
        del saml.SamlIDPConfig.saml_http_timeout
    saml.responses_tracker_mem.reset()


@pytest.fixture
def log_lines(caplog):
    """(level, message) of the lines logged on the host's logger."""
    caplog.set_level(logging.DEBUG, logger="tavrel")
    return lambda: [(r.levelname, r.getMessage()) for r in caplog.records if r.name == "tavrel"]


@pytest.fixture(scope="session")
def idp() -> TestIdentityProvider:
    return TestIdentityProvider()


@pytest.fixture(scope="session")
def other_idp() -> TestIdentityProvider:
    """Same names, another key: what an attacker without the IdP's key has."""
    return TestIdentityProvider()


@pytest.fixture
def metadata_server(idp):
    with MetadataServer(idp, slow_seconds=2) as server:
        yield server


def idp_config(idp: TestIdentityProvider, name: str = "test-idp", **overrides):
    """One IdP configuration as the host's auth settings hold it."""
    settings_overrides = overrides.pop("settings", {})
    config = {
        "enabled": True,
        "idp_name": name,
        "saml_auth_attribute": "mail",
        "user_config_attribute": "email",
        "settings": {**idp.sp_settings(sp_base=SP_BASE, acs_path=ACS_PATH),
                     **settings_overrides},
    }
    config.update(overrides)
    return config


def auth_settings(identity_providers, enabled=True):
    return {
        "authentication_policies": {
            "saml": {"enabled": enabled, "identity_providers": identity_providers}
        }
    }


def blank(path, **kwargs) -> Request:
    """A request to the SP as a browser sends it (Host without the default
    port, as browsers write it)."""
    request = Request.blank(path, base_url=SP_BASE, **kwargs)
    request.host = SP_HOST
    return request


def login_request(path="/sso/saml/login/test-idp", **kwargs) -> Request:
    return blank(path, **kwargs)


def acs_request(response, relay_state=None, **kwargs) -> Request:
    """The IdP's post of a SAML response to the assertion consumer service."""
    post = {"SAMLResponse": response.b64 if hasattr(response, "b64") else response}
    if relay_state is not None:
        post["RelayState"] = relay_state
    return blank(ACS_PATH, POST=post, **kwargs)


def users(**by_id):
    """Users mapping from id to attributes: users(alice={"email": ...})."""
    return {user_id: UserConfig(**attrs) for user_id, attrs in by_id.items()}


@pytest.fixture
def issue(idp):
    """Issue a signed response for the test SP; keywords go to the IdP."""

    def issue_response(**kwargs):
        kwargs.setdefault("acs_url", ACS_URL)
        kwargs.setdefault("sp_entity_id", SP_ENTITY_ID)
        return idp.response(**kwargs)

    return issue_response


@pytest.fixture
def memcached():
    require_service(os.access(MEMCACHED, os.X_OK), "memcached is not installed")
    server = Memcached()
    server.start()
    yield server
    server.stop()
