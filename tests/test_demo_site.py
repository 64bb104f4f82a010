"""The demo site without a browser: start-up validation, refusals shown on a
plain page, and the replay record kept in memcached when the .ini names one."""

from __future__ import annotations

import logging

import pytest
from webob import Request

import tavrel_saml.saml as saml
from demo import start_demo
from idp import TestIdentityProvider


@pytest.fixture(scope="module")
def demo():
    demo = start_demo()
    yield demo
    demo.stop()


def get(demo, path, **kwargs):
    return Request.blank(path, base_url=demo.url, **kwargs).get_response(demo.app)


def post_to_acs(demo, name_id="alice@example.com", signer=None, issued=None):
    """Posts a response of the built-in IdP (or `issued`) to the demo IdP's ACS."""
    if issued is None:
        issued = demo.idp.provider.response(
            acs_url=demo.url + "/sso/saml/acs/demo", sp_entity_id=demo.url + "/sso/saml/metadata/demo",
            name_id=name_id, attributes={"mail": name_id}, signer=signer)
    post = {"SAMLResponse": issued.b64, "RelayState": "/account"}
    return issued, get(demo, "/sso/saml/acs/demo", POST=post)


def test_start_up_disables_the_broken_idp_and_fetches_the_valid_ones_metadata(caplog):
    caplog.set_level(logging.INFO, logger="tavrel")
    demo = start_demo()
    try:
        logged = [r.getMessage() for r in caplog.records if r.name == "tavrel"]
        assert "SAML metadata fetched for demo" in logged
        assert any(m.startswith("Saml IdP broken config is invalid") and
                   "idp_cert_or_fingerprint_not_found_and_required" in m for m in logged)
        home = get(demo, "/").text
        assert home.count("Sign in with") == 1 and "Sign in with Demo IdP" in home
        assert demo.app.registry["tavrel.sso"].tracker is saml.responses_tracker_mem
        refused = get(demo, "/sso/saml/login/broken")
        assert refused.status_int == 400 and 'Identity provider "broken" is disabled' in refused.text
        metadata = get(demo, "/sso/saml/metadata/demo")
        assert metadata.content_type == "application/samlmetadata+xml"
        assert f'Location="{demo.url}/sso/saml/acs/demo"' in metadata.text
    finally:
        demo.stop()


@pytest.mark.parametrize("case, message", [
    ("not a user", "User not found for the SAML response."),
    ("another key", "Signature validation failed. SAML Response rejected"),
    ("nothing posted", "SAML Response not found"),
    ("not XML", "The SAML response could not be read."),
])
def test_refused_sign_in_shows_the_reason_on_a_plain_page(demo, case, message):
    if case == "nothing posted":
        response = get(demo, "/sso/saml/acs/demo", POST={"RelayState": "/"})
    elif case == "not XML":
        response = get(demo, "/sso/saml/acs/demo", POST={"SAMLResponse": "aGVsbG8=", "RelayState": "/"})
    else:
        signer = TestIdentityProvider() if case == "another key" else None
        response = post_to_acs(demo, "carol@example.org" if case == "not a user" else "alice@example.com", signer)[1]
    assert response.status_int == 403 and response.content_type == "text/html"
    assert message in response.text and "Traceback" not in response.text
    assert "Set-Cookie" not in response.headers  # nobody signed in


def test_sign_in_then_sign_out_needs_the_sessions_csrf_token(demo):
    _, signed_in = post_to_acs(demo)
    assert signed_in.status_int == 302 and signed_in.location == demo.url + "/account"
    cookie = signed_in.headers["Set-Cookie"].split(";", 1)[0]
    assert "Signed in as" in get(demo, "/", headers={"Cookie": cookie}).text
    assert get(demo, "/sign-out", POST={}, headers={"Cookie": cookie}).status_int == 400


def test_memcached_named_in_the_ini_keeps_the_replay_record(memcached):
    demo = start_demo(**{"tavrel.memcached": f"127.0.0.1:{memcached.port}"})
    try:
        issued, accepted = post_to_acs(demo)
        assert accepted.status_int == 302
        # Another worker of the site, with its own client, sees the response.
        assert saml.SamlDuplicateResponsesTrackerInMemcache(memcached.client(), "tavrel-demo").is_seen(issued.response_id)
        saml.responses_tracker_mem.reset()  # not the record in use
        _, replayed = post_to_acs(demo, issued=issued)
        assert replayed.status_int == 403 and "Duplicated SAML response" in replayed.text
    finally:
        demo.stop()


def test_status_page_shows_the_pinned_idp_verified_and_the_broken_one_local(demo):
    home = get(demo, "/").text
    assert '<a href="/status">Metadata status</a>' in home
    assert get(demo, "/sso/saml/login/demo").status_int == 302  # resolved again: the suite clears the cache
    page = get(demo, "/status").text
    pinned, broken = page.split('id="idp-demo"')[1].split('id="idp-broken"')
    assert "<th>source</th><td>remote</td>" in pinned and "<th>signature</th><td>verified</td>" in pinned
    assert "<th>last error</th><td>none</td>" in pinned and "signing: CN=test-idp" in pinned
    assert "<th>signature</th><td>not required</td>" in broken
