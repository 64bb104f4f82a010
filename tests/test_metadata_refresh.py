"""Remote IdP metadata refreshed while the process runs, for IdPs that set
"metadata_refresh_interval": fetched again after the interval and not before,
once per IdP however many requests arrive, the last good settings kept when a
refresh fails, and an IdP rolling its signing key with no restart."""

import math
import threading
import time

import hypothesis
import pytest
from hypothesis import strategies as st

import tavrel_saml.saml as saml
import test_hostile_inputs as hostile
from conftest import ACS_URL, SP_ENTITY_ID, acs_request, auth_settings, idp_config, users
from idp import MetadataServer, TestIdentityProvider

Config = saml.SamlIDPConfig
INTERVAL = 60
HIT = ("DEBUG", "SAML settings for test-idp restored from cache")


class Clock:
    """The module's `time`, with a monotonic clock the test moves."""

    def __init__(self):
        self.now, self.reads = 1000.0, 0

    def monotonic(self):
        self.reads += 1
        return self.now

    def __getattr__(self, name):
        return getattr(time, name)


@pytest.fixture
def clock(monkeypatch):
    clock = Clock()
    monkeypatch.setattr(saml, "time", clock)
    return clock


@pytest.fixture
def provider():
    """An IdP of its own: these tests roll its key."""
    return TestIdentityProvider()


@pytest.fixture
def server(provider):
    with MetadataServer(provider, slow_seconds=1) as server:
        yield server


def refreshed_config(server, interval=INTERVAL, name="test-idp"):
    return idp_config(server.idp, name, settings={"idp": {"metadata": server.base_url + "/metadata.xml"}},
                      metadata_refresh_interval=interval)


def fetches(server):
    return server.hit_count("/metadata.xml")


@pytest.mark.parametrize("interval", [INTERVAL, 0.5, None, "absent"])
def test_refetched_after_the_interval_and_not_before(server, clock, log_lines, caplog, interval):
    config = refreshed_config(server, interval)
    if interval == "absent":
        del config["metadata_refresh_interval"]
    first = Config.get_idp_settings(config)
    step = INTERVAL if interval in (None, "absent") else interval
    clock.now += step * 0.99
    assert Config.get_idp_settings(config) is first and fetches(server) == 1
    clock.now += step * 0.01
    caplog.clear()
    if interval in (None, "absent"):  # today's behaviour: cached for the process, the clock never read
        clock.now += 1e9
        assert Config.get_idp_settings(config) is first and fetches(server) == 1
        assert clock.reads == 0 and log_lines() == [HIT]
        return
    second = Config.get_idp_settings(config)
    assert second is not first and second == first and fetches(server) == 2
    assert Config.cached_saml_settings["test-idp"] is second
    dump = str({k: v for k, v in second.items() if k != "extra_request_options"})
    assert log_lines() == [("INFO", "SAML metadata fetched for test-idp"),
                           ("DEBUG", "Resulting SAML config for test-idp is " + dump)]
    assert second["extra_request_options"]["set_nameid_policy"] is True
    assert "extra_request_options" not in config["settings"]  # merged exactly as the first time
    clock.now += step * 0.99
    assert Config.get_idp_settings(config) is second and fetches(server) == 2


def test_clearing_or_replacing_the_cache_entry_starts_over(server, clock):
    config = refreshed_config(server)
    Config.get_idp_settings(config)
    clock.now += INTERVAL - 1
    Config.cached_saml_settings.clear()
    fresh = Config.get_idp_settings(config)  # a first resolution again: the interval starts anew
    clock.now += INTERVAL - 1
    assert Config.get_idp_settings(config) is fresh and fetches(server) == 2
    Config.cached_saml_settings["test-idp"] = placed = {"placed": "by the host"}
    clock.now += 10 * INTERVAL
    assert Config.get_idp_settings(config) is placed and fetches(server) == 2


def test_one_fetch_when_eight_threads_resolve_after_the_interval(server, clock):
    config = refreshed_config(server)
    first = Config.get_idp_settings(config, 5)
    clock.now += INTERVAL
    server.metadata_answer, server.slow_seconds = "slow", 2  # within the time limit of 5 s
    barrier, results = threading.Barrier(8), []

    def resolve():
        barrier.wait()
        started = time.monotonic()
        settings = Config.get_idp_settings(config)
        results.append((settings, time.monotonic() - started))

    threads = [threading.Thread(target=resolve) for _ in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(10)
    assert fetches(server) == 2  # the first resolution and exactly one refresh
    refreshed = [seconds for settings, seconds in results if settings is not first]
    kept = [seconds for settings, seconds in results if settings is first]
    # The seven others were served the cached settings while the fetch ran, without waiting for it.
    assert len(refreshed) == 1 and refreshed[0] >= 1.9 and len(kept) == 7 and max(kept) < 1.5
    assert Config.get_idp_settings(config) is Config.cached_saml_settings["test-idp"] is not first


@pytest.mark.parametrize("failure", ["down", "broken", "slow"])
def test_failed_refresh_keeps_the_last_good_settings_and_waits_an_interval(server, clock, log_lines, failure):
    config = refreshed_config(server)
    good = Config.get_idp_settings(config, 0.5)
    if failure == "down":
        server.__exit__()
    else:
        server.metadata_answer, server.slow_seconds = failure, 5  # "slow": well past the time limit of 0.5 s
    warnings = lambda: [message for level, message in log_lines() if level == "WARNING"]  # noqa: E731
    for step, expected_warnings in [(INTERVAL, 1), (INTERVAL - 1, 1), (1, 2)]:
        clock.now += step
        started = time.monotonic()
        assert Config.get_idp_settings(config) is good and Config.cached_saml_settings["test-idp"] is good
        assert time.monotonic() - started < 3
        assert len(warnings()) == expected_warnings
    assert good["idp"]["x509cert"] == server.idp.cert_b64  # never the local settings alone
    warning = warnings()[0]
    assert warning.startswith("Failed to refresh metadata for test-idp because of ") and "\n" not in warning
    assert warning.endswith(". Keeping the last good settings.") and log_lines()[-1] == HIT
    if failure != "down":
        server.metadata_answer = "metadata"
        clock.now += INTERVAL
        assert Config.get_idp_settings(config) is not good


def test_failed_first_fetch_uses_local_settings_then_a_refresh_brings_the_metadata(server, clock, log_lines):
    server.metadata_answer = "broken"
    config = refreshed_config(server)
    local = Config.get_idp_settings(config)
    assert local is config["settings"] and log_lines()[0][1].endswith(". Using local settings only.")
    server.metadata_answer = "metadata"
    clock.now += INTERVAL
    assert Config.get_idp_settings(config)["idp"]["x509cert"] == server.idp.cert_b64


BAD_INTERVALS = [True, False, 0, -5, -0.1, math.nan, math.inf, -math.inf, 10 ** 400, "60", b"60", [60], {}]


@pytest.mark.parametrize("interval", BAD_INTERVALS, ids=repr)
@pytest.mark.parametrize("with_metadata", [True, False])
def test_bad_interval_disables_the_idp_at_start_up(server, caplog, interval, with_metadata):
    bad = refreshed_config(server, interval, "bad") if with_metadata else idp_config(
        server.idp, "bad", metadata_refresh_interval=interval)
    good = refreshed_config(server, 0.25, "good")
    settings = auth_settings({"bad": bad, "good": good})
    saml.validate_saml_settings(settings, 5)
    assert (bad["enabled"], good["enabled"]) == (False, True)
    assert sorted(Config.cached_saml_settings) == (["good"] if with_metadata else ["bad", "good"])
    errors = [r.getMessage() for r in caplog.records if r.levelname == "ERROR"]
    assert len(errors) == 1 and errors[0].startswith("Saml IdP bad config is invalid.")
    reason = "ValueError: Invalid SAML configuration: metadata_refresh_interval must be a positive number of seconds"
    assert f"{reason}, not {interval!r}" in errors[0]


def test_key_rollover_without_restart(server, clock):
    """The IdP publishes a new certificate beside the old one, signs with the
    new key, then withdraws the old certificate."""
    config = refreshed_config(server)
    people = users(alice={"email": "alice@example.com"})
    old_key = TestIdentityProvider(key_pem=server.idp.key_pem, cert_pem=server.idp.cert_pem)

    def signs_in(signer):
        response = signer.response(acs_url=ACS_URL, sp_entity_id=SP_ENTITY_ID, attributes={"mail": "alice@example.com"})
        consumer = Config(config, acs_request(response), people, saml.responses_tracker_mem)
        try:
            consumer.process_saml_response()
        except ValueError as error:
            return str(error)
        return consumer.get_user_id()

    assert signs_in(old_key) == "alice"
    server.idp.roll_signing_key()
    refused = signs_in(server.idp)  # the worker has not refreshed yet
    assert refused != "alice" and "Signature validation failed" in refused
    clock.now += INTERVAL
    assert (signs_in(server.idp), signs_in(old_key)) == ("alice", "alice")  # overlap: both listed
    server.idp.retire_previous_keys()
    clock.now += INTERVAL
    assert signs_in(server.idp) == "alice"
    assert "Signature validation failed" in signs_in(old_key)
    assert fetches(server) == 3


class Unfloatable(int):
    def __float__(self):
        raise ZeroDivisionError("no float")


class Unprintable(str):
    def __repr__(self):
        raise ZeroDivisionError("no repr")


@pytest.mark.parametrize("interval", [Unfloatable(5), Unprintable("5")], ids=["int", "str"])
def test_host_objects_as_the_interval_fail_with_their_own_error(idp, interval):
    with pytest.raises(ZeroDivisionError):
        Config.validate_idp_config(idp_config(idp, metadata_refresh_interval=interval))


@hypothesis.settings(max_examples=150, **hostile.SETTINGS)
@hypothesis.given(data=st.data())
def test_hostile_configurations_through_a_refresh(server, clock, data):
    hostile.fresh_state()
    config = data.draw(hostile.mutated(refreshed_config(server, 10), keep=30))
    hostile.call(Config.get_idp_settings, config, 1)
    clock.now += 20
    hostile.call(Config.get_idp_settings, config, 1)
    hostile.call(Config.validate_idp_config, config)
