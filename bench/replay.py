"""Replay bookkeeping: what `reject_duplicated_response` does with the
tracker, per response, as the number of live entries grows.

The toolkit object is replaced by a stub that hands out fresh ids, so only
the module's and the tracker's work is timed. The stub's responses expire at
once: each call adds two entries and the clean-up at its end removes them,
the steady state of a site where as many entries lapse as are added, with
the tracker holding exactly the live entries it was given.
"""

from __future__ import annotations

import logging
import pickle
import queue
import time
import uuid
from statistics import median

from harness import ACS_PATH, blank, loops_for
from signon import idp_config

import tavrel_saml.saml as saml
from idp import TestIdentityProvider


class StubAuth:
    """The three toolkit calls the bookkeeping makes, answering from a list
    of ids made beforehand."""

    def __init__(self, count, expiration=1.0):
        self.ids = [("_" + uuid.uuid4().hex, "_" + uuid.uuid4().hex) for _ in range(count)]
        self.expiration = expiration
        self.next = 0
        self.current = None

    def get_last_message_id(self):
        self.current = self.ids[self.next]
        self.next += 1
        return self.current[0]

    def get_last_assertion_id(self):
        return self.current[1]

    def get_last_assertion_not_on_or_after(self):
        return self.expiration


def live_entries(count, lifetime=3600.0):
    until = time.time() + lifetime
    return {"_" + uuid.uuid4().hex: until for _ in range(count)}


def consumer():
    saml.SamlIDPConfig.cached_saml_settings.clear()
    return saml.SamlIDPConfig(idp_config(TestIdentityProvider()), blank(ACS_PATH), {})


def _time_calls(sso, samples, min_sample_seconds=0.01, max_calls=20_000):
    """Median seconds per `reject_duplicated_response` call."""
    sso.saml_auth = StubAuth(max_calls)
    loops = min(loops_for(sso.reject_duplicated_response, min_sample_seconds), max_calls // (samples + 1))
    loops = max(loops, 1)
    times = []
    for _ in range(samples):
        if sso.saml_auth.next + loops > len(sso.saml_auth.ids):
            sso.saml_auth = StubAuth(max_calls)
        t0 = time.perf_counter()
        for _ in range(loops):
            sso.reject_duplicated_response()
        times.append((time.perf_counter() - t0) / loops)
    return median(times), loops


def bench_memory_tracker(entry_counts, samples) -> list[dict]:
    sso = consumer()
    rows = []
    for count in entry_counts:
        tracker = saml.SamlDuplicateResponsesTrackerInMemory()
        tracker._seen_responses.update(live_entries(count))
        sso.responses_tracker = tracker
        seconds, loops = _time_calls(sso, samples)
        assert len(tracker._seen_responses) == count
        rows.append({"tracker": "memory", "entries": count, "per_response_s": seconds, "calls_per_sample": loops})
    return rows


def bench_memcache_tracker(port, entry_counts, samples) -> list[dict]:
    from pymemcache import serde
    from pymemcache.client.base import Client

    sso = consumer()
    rows = []
    client = Client(("127.0.0.1", port), serde=serde.pickle_serde, default_noreply=False,
                    connect_timeout=2, timeout=5)
    try:
        for count in entry_counts:
            tracker = saml.SamlDuplicateResponsesTrackerInMemcache(client, "bench", my_proc_uid="bench")
            entries = live_entries(count)
            if not client.set(tracker.key, entries):
                raise RuntimeError("memcached refused the mapping")
            sso.responses_tracker = tracker
            seconds, loops = _time_calls(sso, samples, max_calls=2_000)
            stored = client.get(tracker.key)
            assert len(stored) == count, len(stored)
            item_bytes = len(pickle.dumps(stored, pickle.HIGHEST_PROTOCOL))
            rows.append({"tracker": "memcache", "entries": count, "per_response_s": seconds,
                         "calls_per_sample": loops, "item_bytes": item_bytes,
                         # one get, two sets and the replace of the clean-up
                         "bytes_moved_per_response": 4 * item_bytes})
            client.delete(tracker.key)
    finally:
        client.close()
    return rows


def memcache_capacity(port) -> int:
    """How many entries the server takes in its one item, found by storing
    ever larger mappings: ids of 33 characters as the test identity provider
    makes them, expirations as the toolkit gives them (int seconds)."""
    from pymemcache import serde
    from pymemcache.client.base import Client
    from pymemcache.exceptions import MemcacheError

    client = Client(("127.0.0.1", port), serde=serde.pickle_serde, default_noreply=False,
                    connect_timeout=2, timeout=5)
    until = int(time.time()) + 3600
    low, high = 1, 200_000
    try:
        while low < high:  # bounded: about 18 rounds
            mid = (low + high + 1) // 2
            try:
                stored = client.set("bench_capacity", {f"_{i:032x}": until for i in range(mid)})
            except MemcacheError:
                stored = False
            if stored:
                low = mid
            else:
                high = mid - 1
        client.delete("bench_capacity")
        return low
    finally:
        client.close()


# -- Both memcache trackers: per sign-on cost, bytes and round trips, and the
# sign-in rate of several worker processes.

TRACKERS = ("memcache", "memcache per id")
# The server counters that one request to memcached moves on.
_COMMANDS = (b"cmd_get", b"cmd_set", b"delete_hits", b"delete_misses", b"incr_hits", b"incr_misses")


def _client(port):
    from pymemcache import serde
    from pymemcache.client.base import Client

    return Client(("127.0.0.1", port), serde=serde.pickle_serde, default_noreply=False, connect_timeout=2, timeout=10)


def _tracker(kind, client):
    if kind == "memcache":
        return saml.SamlDuplicateResponsesTrackerInMemcache(client, "bench", my_proc_uid="bench")
    return saml.SamlDuplicateResponsesTrackerInMemcachePerId(client, "bench")


def _fill(kind, client, count):
    """`count` live ids, stored as the tracker stores them."""
    tracker = _tracker(kind, client)
    if kind == "memcache":
        if not client.set(tracker.key, live_entries(count)):
            raise RuntimeError("memcached refused the mapping")
        return
    keys = [f"{tracker.key}_0_{uuid.uuid4().hex}" for _ in range(count)]
    for start in range(0, count, 5000):
        client.set_many(dict.fromkeys(keys[start:start + 5000], b"1"), expire=3600, noreply=True)
    client.stats()  # waits for the pipelined writes


def _counters(client):
    stats = client.stats()
    return stats[b"bytes_read"] + stats[b"bytes_written"], sum(stats[name] for name in _COMMANDS)


def bench_memcache_trackers(port, entry_counts, samples) -> list[dict]:
    """Per sign-on: seconds, bytes on the wire and requests to memcached,
    read from the server's own counters over a run of calls."""
    client, sso, rows = _client(port), consumer(), []
    try:
        for kind in TRACKERS:
            for count in entry_counts:
                client.flush_all()
                _fill(kind, client, count)
                sso.responses_tracker = _tracker(kind, client)
                big = kind == "memcache" and count >= 50_000
                seconds, loops = _time_calls(sso, 5 if big else samples, max_calls=300 if big else 2_000)
                sso.saml_auth = StubAuth(20)
                (bytes0, calls0), (bytes1, calls1) = _counters(client), _counters(client)
                for _ in range(20):
                    sso.reject_duplicated_response()
                bytes2, calls2 = _counters(client)
                overhead = bytes1 - bytes0, calls1 - calls0  # of one stats request
                row = {"tracker": kind, "entries": count, "per_response_s": seconds, "calls_per_sample": loops,
                       "bytes_moved_per_response": (bytes2 - bytes1 - overhead[0]) // 20,
                       "round_trips_per_response": (calls2 - calls1 - overhead[1]) / 20}
                if kind == "memcache":
                    row["item_bytes"] = len(pickle.dumps(client.get(sso.responses_tracker.key),
                                                         pickle.HIGHEST_PROTOCOL))
                rows.append(row)
        client.flush_all()
    finally:
        client.close()
    return rows


def _rate_worker(port, kind, seconds, barrier, results):
    client = _client(port)
    sso = consumer()
    sso.responses_tracker, sso.saml_auth = _tracker(kind, client), StubAuth(40_000)
    barrier.wait(timeout=120)
    done, failed, end = 0, 0, time.monotonic() + seconds
    while time.monotonic() < end:
        try:
            sso.reject_duplicated_response()
            done += 1
        except Exception:
            failed += 1
    results.put((done, failed))


def bench_worker_rates(port, live, seconds, worker_counts=(1, 8)) -> list[dict]:
    """Sign-ins per second through each tracker, `n` worker processes at
    once against one memcached holding `live` live ids."""
    import multiprocessing

    ctx, client, rows = multiprocessing.get_context("spawn"), _client(port), []
    try:
        for kind in TRACKERS:
            for count in worker_counts:
                client.flush_all()
                _fill(kind, client, live)
                barrier, results = ctx.Barrier(count), ctx.Queue()
                procs = [ctx.Process(target=_rate_worker, args=(port, kind, seconds, barrier, results))
                         for _ in range(count)]
                for proc in procs:
                    proc.start()
                outcomes = []
                while len(outcomes) < count:
                    try:
                        outcomes.append(results.get(timeout=1))
                    except queue.Empty:
                        if not any(proc.is_alive() for proc in procs):
                            raise RuntimeError("a worker process died") from None
                for proc in procs:
                    proc.join(30)
                rows.append({"tracker": kind, "workers": count, "live": live, "seconds": seconds,
                             "sign_ins_per_s": sum(d for d, _ in outcomes) / seconds,
                             "refused": sum(f for _, f in outcomes)})
        client.flush_all()
    finally:
        client.close()
    return rows


# -- Records kept on several servers (`replicas`): the cost per sign-on on
# three memcached servers, the sign-in rate of worker processes, and what one
# server's fault lets through.

REPLICAS = (1, 2)


def _cluster(ports, timeout=10):
    from pymemcache.client.hash import HashClient

    return HashClient([("127.0.0.1", port) for port in ports], default_noreply=False, connect_timeout=2,
                      timeout=timeout, retry_attempts=1, retry_timeout=0)


def _fill_cluster(ports, count):
    """`count` live ids, two copies each spread over the servers, in items
    shaped as the tracker writes them."""
    for port in ports:
        client = _client(port)
        client.flush_all()
        keys = [f"bench_saml_responses_per_id_0_{uuid.uuid4().hex}" for _ in range(count * 2 // len(ports))]
        for start in range(0, len(keys), 5000):
            client.set_many(dict.fromkeys(keys[start:start + 5000], b"1"), expire=3600, noreply=True)
        client.stats()  # waits for the pipelined writes
        client.close()


def bench_replicas(ports, entry_counts, samples) -> list[dict]:
    """Per sign-on through the per-id tracker on `ports` (three servers),
    with each replica count: seconds, and bytes and requests summed over the
    servers' own counters."""
    sso, rows = consumer(), []
    clients = [_client(port) for port in ports]
    for count in entry_counts:
        _fill_cluster(ports, count)
        for replicas in REPLICAS:
            sso.responses_tracker = saml.SamlDuplicateResponsesTrackerInMemcachePerId(
                _cluster(ports), "bench", replicas)
            seconds, loops = _time_calls(sso, samples, max_calls=2_000)
            calls = 60
            sso.saml_auth = StubAuth(calls)
            first, second = [_counters(c) for c in clients], [_counters(c) for c in clients]
            for _ in range(calls):
                sso.reject_duplicated_response()
            third = [_counters(c) for c in clients]
            moved = sum(t[0] - s[0] - (s[0] - f[0]) for f, s, t in zip(first, second, third))
            trips = sum(t[1] - s[1] - (s[1] - f[1]) for f, s, t in zip(first, second, third))
            rows.append({"replicas": replicas, "servers": len(ports), "entries": count, "per_response_s": seconds,
                         "calls_per_sample": loops, "bytes_moved_per_response": moved // calls,
                         "round_trips_per_response": trips / calls})
    for client in clients:
        client.flush_all()
        client.close()
    return rows


def _replica_rate_worker(ports, replicas, seconds, barrier, results):
    sso = consumer()
    sso.responses_tracker = saml.SamlDuplicateResponsesTrackerInMemcachePerId(_cluster(ports), "bench", replicas)
    sso.saml_auth = StubAuth(40_000)
    barrier.wait(timeout=120)
    done, failed, end = 0, 0, time.monotonic() + seconds
    while time.monotonic() < end:
        try:
            sso.reject_duplicated_response()
            done += 1
        except Exception:
            failed += 1
    results.put((done, failed))


def bench_replica_rates(ports, live, seconds, worker_counts=(1, 8)) -> list[dict]:
    """Sign-ins per second of `n` worker processes at once through the
    per-id tracker on three servers holding `live` live ids."""
    import multiprocessing

    ctx, rows = multiprocessing.get_context("spawn"), []
    for replicas in REPLICAS:
        for count in worker_counts:
            _fill_cluster(ports, live)
            barrier, results = ctx.Barrier(count), ctx.Queue()
            procs = [ctx.Process(target=_replica_rate_worker, args=(ports, replicas, seconds, barrier, results))
                     for _ in range(count)]
            for proc in procs:
                proc.start()
            outcomes = []
            while len(outcomes) < count:
                try:
                    outcomes.append(results.get(timeout=1))
                except queue.Empty:
                    if not any(proc.is_alive() for proc in procs):
                        raise RuntimeError("a worker process died") from None
            for proc in procs:
                proc.join(30)
            rows.append({"replicas": replicas, "workers": count, "live": live, "seconds": seconds,
                         "sign_ins_per_s": sum(d for d, _ in outcomes) / seconds,
                         "refused": sum(f for _, f in outcomes)})
    for port in ports:
        _client(port).flush_all()
    return rows


def fault_outcomes(captured, new, hang_captured) -> list[dict]:
    """For each replica count and each fault of one of three servers (its own
    memcached processes), then for a restart on a site of one server and of
    two with `replicas=2`: captured responses that sign in again under their
    own and a fresh Response ID, new sign-ins refused, the slowest sign-in
    (with real signed responses through the toolkit). The hung server costs
    each sign-on that reaches it the clients' timeout, so that row posts
    fewer responses."""
    from replica_faults import FAULTS

    from conftest import ACS_URL, SP_ENTITY_ID, idp_config as test_idp_config

    idp = TestIdentityProvider()
    config = test_idp_config(idp)

    def issue():
        return idp.response(acs_url=ACS_URL, sp_entity_id=SP_ENTITY_ID)

    rows = []
    logging.disable(logging.WARNING)  # a line per refused replay and per missed copy
    try:
        cases = [(3, replicas, kind) for replicas in REPLICAS for kind in FAULTS] + [(1, 1, "restart"),
                                                                                      (2, 2, "restart")]
        for servers, replicas, kind in cases:
            row = _fault_outcome(servers, config, issue, replicas, kind, captured, new, hang_captured)
            rows.append({"servers": servers, **row})
    finally:
        logging.disable(logging.NOTSET)
    return rows


def _post(config, response, tracker):
    """(outcome, seconds, requests timed out) of one post; the outcome as text."""
    from replica_faults import CountingClient
    from test_memcache_tracker import attempt_login

    failures, started = CountingClient.failures, time.monotonic()
    outcome = attempt_login(config, response, tracker)
    return outcome, time.monotonic() - started, CountingClient.failures - failures


def _measure(servers, config, issue, replicas, kind, captured=30, new=15, index=0):
    """What one fault of `servers[index]` does to sign-ins of one process:
    captured responses (accepted before the fault) posted again, half under
    their own Response ID and half under a fresh one (each response once: a
    replay that gets through records its ids again), new responses refused,
    the slowest sign-in and the most failed requests in one. A server that
    comes back is asked only after its return, also with the responses
    accepted while it was away."""
    from replica_faults import Fault, cluster_client, renamed

    tracker = saml.SamlDuplicateResponsesTrackerInMemcachePerId(cluster_client([s.port for s in servers]), "site",
                                                                replicas)
    before = [issue() for _ in range(captured)]
    if any(_post(config, r, tracker)[0] != "accepted" for r in before):
        raise AssertionError("a sign-in refused before any fault")
    own, fresh = before[: captured // 2], before[captured // 2:]
    fault, posts = Fault(kind, servers[index]), {"new": [], "own": [], "fresh": []}
    try:
        fault.apply()
        during = [issue() for _ in range(new)]
        posts["new"] += [_post(config, r, tracker) for r in during]
        if kind == "back empty":
            fault.recover()
            own += [r for r, (outcome, _, _) in zip(during, posts["new"]) if outcome == "accepted"]
            posts["new"] += [_post(config, issue(), tracker) for _ in range(new)]
        posts["own"] += [_post(config, r, tracker) for r in own]
        posts["fresh"] += [_post(config, renamed(r), tracker) for r in fresh]
    finally:
        fault.undo()
    every = [p for group in posts.values() for p in group]
    return {"fault": kind, "replicas": replicas,
            "replayed": sum(o == "accepted" for o, _, _ in posts["own"]), "own_id": len(own),
            "replayed_fresh_id": sum(o == "accepted" for o, _, _ in posts["fresh"]), "fresh_id": len(fresh),
            "new": len(posts["new"]), "refused": sum(o != "accepted" for o, _, _ in posts["new"]),
            "slowest_s": max(s for _, s, _ in every), "most_failed_requests": max(f for _, _, f in every)}


def _fault_outcome(count, config, issue, replicas, kind, captured, new, hang_captured):
    from memcached import Memcached

    saml.SamlIDPConfig.cached_saml_settings.clear()
    servers = [Memcached() for _ in range(count)]
    try:
        for server in servers:
            server.start()
        posted = hang_captured if kind == "hang" else captured
        return _measure(servers, config, issue, replicas, kind, captured=posted, new=min(new, posted))
    finally:
        for server in servers:
            server.stop()
