"""The demo site in a real browser: headless chromium signs in through the
built-in IdP and back, with screenshots of each step in test-output/."""

from __future__ import annotations

import time
from pathlib import Path
from urllib.parse import parse_qs

import pytest

import chromium
from conftest import require_service
from demo import serve, start_demo

CHROMIUM = "/usr/bin/chromium"
OUT = Path(__file__).resolve().parent.parent / "test-output" / "demo-browser"
STEP_TIMEOUT_MS = 15_000

try:
    from playwright.sync_api import Page, sync_playwright
except ImportError:  # reported by the fixture, as a skip or (under CI) a failure
    sync_playwright = None


@pytest.fixture(scope="module")
def site():
    demo = start_demo()
    server = serve(demo)
    yield demo
    server.stop()
    demo.stop()


@pytest.fixture(scope="module")
def browser():
    require_service(sync_playwright is not None, "playwright is not installed")
    require_service(chromium.ready(), chromium.missing_reason())
    OUT.mkdir(parents=True, exist_ok=True)
    with sync_playwright() as playwright:
        browser = playwright.chromium.launch(executable_path=CHROMIUM, headless=True)
        yield browser
        browser.close()


@pytest.fixture
def new_page(browser):
    contexts = []

    def make(javascript=True) -> "Page":
        context = browser.new_context(java_script_enabled=javascript, viewport={"width": 900, "height": 640})
        context.set_default_timeout(STEP_TIMEOUT_MS)
        contexts.append(context)
        return context.new_page()

    yield make
    for context in contexts:
        context.close()


def shot(page, name):
    page.screenshot(path=OUT / f"{name}.png", full_page=True)


def acs_posts(page, site):
    """The SAMLResponse of every post the page makes to the ACS."""
    posts = []
    page.on("request", lambda r: r.url.startswith(site.url + "/sso/saml/acs/") and posts.append(
        parse_qs(r.post_data)["SAMLResponse"][0]))
    return posts


def test_round_trip_comes_back_to_the_page_asked_for(site, new_page):
    page = new_page()
    page.goto(site.url + "/account?tab=profile")
    assert "Sign in to see your account" in page.inner_text("body")
    shot(page, "01-account-signed-out")

    started = time.monotonic()
    page.get_by_role("button", name="Sign in with Demo IdP").click()
    page.wait_for_url(site.idp.base_url + "/idp/sso?**")
    to_idp = time.monotonic() - started
    shot(page, "02-idp-sign-in")

    started = time.monotonic()
    page.get_by_role("button", name="Alice Liddell").click()  # the IdP's page posts the response itself
    page.wait_for_url(site.url + "/account?tab=profile")
    back = time.monotonic() - started
    assert "Signed in as Alice Liddell" in page.inner_text("#who")
    assert "alice@example.com" in page.inner_text("body")
    shot(page, "03-account-signed-in")
    (OUT / "round-trip.txt").write_text(
        f"site to IdP sign-in page: {to_idp:.3f} s\nperson picked to back at the page asked for: {back:.3f} s\n"
        f"round trip: {to_idp + back:.3f} s\n")

    page.get_by_role("button", name="Sign out").click()
    page.wait_for_url(site.url + "/")
    assert "Not signed in" in page.inner_text("body")


def test_off_site_relay_state_lands_on_the_home_page(site, new_page):
    page = new_page()
    page.goto(site.url + "/sso/saml/login/demo?next=https://elsewhere.example/phish")
    assert parse_qs(page.url.split("?", 1)[1])["RelayState"] == ["https://elsewhere.example/phish"]
    page.get_by_role("button", name="Bob Marley").click()
    page.wait_for_url(site.url + "/")
    assert "Signed in as Bob Marley" in page.inner_text("#who")
    shot(page, "04-off-site-relay-state-home")


def test_going_back_and_resubmitting_is_refused(site, new_page):
    # Without JavaScript the person presses Continue, so the page posting the
    # response stays in the history (an auto-submitted one is skipped by Back).
    page = new_page(javascript=False)
    posts = acs_posts(page, site)
    page.goto(site.url + "/")
    shot(page, "05-home-signed-out")
    page.get_by_role("button", name="Sign in with Demo IdP").click()
    page.get_by_role("button", name="Alice Liddell").click()
    shot(page, "06-idp-posting-page")
    page.get_by_role("button", name="Continue").click()
    page.wait_for_url(site.url + "/")
    assert "Signed in as Alice Liddell" in page.inner_text("#who")

    page.go_back()
    assert "Signing in as Alice Liddell" in page.inner_text("body")
    with page.expect_response(lambda r: "/sso/saml/acs/" in r.url) as acs:
        page.get_by_role("button", name="Continue").click()
    assert acs.value.status == 403
    body = page.inner_text("body")
    assert "Sign-in refused" in body and "Duplicated SAML response" in body and "Traceback" not in body
    shot(page, "07-resubmitted-response-refused")
    assert len(posts) == 2 and posts[0] == posts[1]  # the very same response, not a new one


def sign_in_as_alice(page, site, lands_on="/"):
    page.goto(site.url + "/")
    page.get_by_role("button", name="Sign in with Demo IdP").click()
    page.get_by_role("button", name="Alice Liddell").click()
    page.wait_for_url(site.url + lands_on)


def test_signing_key_rolled_at_the_idp_is_picked_up_without_restart(site, new_page):
    interval = site.app.registry["tavrel.sso"].loader.idp_configs["demo"]["metadata_refresh_interval"]
    page = new_page()
    # The suite starts each test with an empty settings cache: this sign-in fetches the metadata.
    before_fetch = time.monotonic()
    sign_in_as_alice(page, site)
    after_fetch = time.monotonic()
    assert "Signed in as Alice Liddell" in page.inner_text("#who")
    shot(page, "08-signed-in-before-the-key-roll")
    page.get_by_role("button", name="Sign out").click()

    page.goto(site.idp.base_url + "/idp/")
    before = page.locator(".fingerprint").all_inner_texts()
    page.get_by_role("button", name="Roll signing key").click()
    page.wait_for_url(site.idp.base_url + "/idp/?rolled=1")
    after = page.locator(".fingerprint").all_inner_texts()
    assert len(before) == 1 and len(after) == 2 and after[1] == before[0] and after[0] != before[0]
    shot(page, "09-idp-key-rolled")

    sign_in_as_alice(page, site, "/sso/saml/acs/demo")  # the site still trusts only the old certificate
    body = page.inner_text("body")
    assert time.monotonic() - before_fetch < interval, "too slow to see the site before its refresh"
    assert "Sign-in refused" in body and "Signature validation failed" in body
    shot(page, "10-refused-before-the-refresh")

    time.sleep(max(0.0, after_fetch + interval - time.monotonic()) + 0.2)
    sign_in_as_alice(page, site)  # this sign-in's login fetches the metadata again
    assert "Signed in as Alice Liddell" in page.inner_text("#who")
    shot(page, "11-signed-in-after-the-refresh")


def test_status_page_linked_from_home_shows_the_verified_metadata(site, new_page):
    page = new_page()
    page.goto(site.url + "/sso/saml/login/demo")  # resolved afresh: the suite clears the cache between tests
    page.goto(site.url + "/")
    page.get_by_role("link", name="Metadata status").click()
    page.wait_for_url(site.url + "/status")
    demo = page.inner_text("#idp-demo")
    assert "remote" in demo and "verified" in demo and "CN=test-idp" in demo
    assert "not required" in page.inner_text("#idp-broken")
    shot(page, "12-metadata-status")
