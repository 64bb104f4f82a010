"""What the memcache trackers do when memcached runs out of room: the
single-item record outgrowing the item size (-I), and the per-id items
outgrowing the memory (-m), evicting or refusing (-M)."""

from __future__ import annotations

import logging
import signal
import time

import pytest

import tavrel_saml.saml as saml
from memcached import Memcached
from test_per_id_tracker import item_key

# Each sign-in records two ids; 25,000 of them take some 3.6 times the 2 MiB
# given. What memcached holds and refuses is proportional to its memory (the
# same per MiB at 8 MiB and 100,000 sign-ins), so the small scale tells as much.
SIGN_INS = 25_000
MEMORY_MIB = 2
# The README's sizing rule: memory per sign-in live in one validity window.
BYTES_PER_SIGN_IN = 400


@pytest.fixture
def started(request):
    servers = []

    def start(*flags):
        servers.append(Memcached(*flags))
        servers[-1].start()
        return servers[-1]

    request.addfinalizer(lambda: [server.stop() for server in servers])
    return start


def test_overflowing_record_is_mended_not_lost(started, caplog):
    server = started("-I", "1k", "-o", "slab_chunk_max=1024")  # memcached wants chunks no larger
    key, tracker, now = "site_saml_responses_tracker", saml.SamlDuplicateResponsesTrackerInMemcache, time.time()
    accepted = {}
    with pytest.raises(RuntimeError, match="^Can not store saml response$"):
        for n in range(100):
            req_id, expiration = f"_{n:032x}", now + (1.5 if n < 4 else 300)
            worker = tracker(server.client(), "site")
            with worker.lock():
                worker.add(req_id, expiration)
            accepted[req_id] = expiration
    assert 5 < len(accepted) < 50 and server.client().get(key) == accepted  # nothing accepted is forgotten
    assert [(r.levelname, r.getMessage()) for r in caplog.records if r.name == "tavrel"] == [(
        "ERROR", "The SAML responses record outgrew the memcache item size; sign-ins are refused until enough "
        "responses expire. Start memcached with a larger -I, or use SamlDuplicateResponsesTrackerInMemcachePerId")]
    time.sleep(1.6)  # the first four expire: room again
    later = f"_{999:032x}"
    tracker(server.client(), "site").add(later, now + 300)
    assert server.client().get(key) == {**dict(list(accepted.items())[4:]), later: now + 300}


def record_sign_ins(server):
    """SIGN_INS sign-ins of two ids each through the per-id tracker, or until
    2,000 ids were refused; the ids recorded and the number of refusals."""
    tracker, expiration, recorded, refused = saml.SamlDuplicateResponsesTrackerInMemcachePerId(
        server.client(), "site"), time.time() + 600, [], 0
    for batch in range(0, SIGN_INS, 1000):
        if refused >= 2000:
            break
        with tracker.lock():  # one generation read per batch keeps the run short
            for n in range(batch, batch + 1000):
                for req_id in (f"_r{n}", f"_a{n}"):
                    try:
                        tracker.add(req_id, expiration)
                        recorded.append(req_id)
                    except RuntimeError as e:
                        assert str(e).startswith("Can not store saml response at ")
                        assert "out of memory" in str(e.__cause__)
                        refused += 1
    return recorded, refused


def still_seen(server, recorded):
    mc, seen = server.client(), 0
    for start in range(0, len(recorded), 1000):
        seen += len(mc.get_many([item_key(req_id) for req_id in recorded[start:start + 1000]]))
    return seen


@pytest.mark.long
@pytest.mark.parametrize("flags", [(), ("-M",)], ids=["evicting", "refusing"])
def test_sign_ins_in_too_little_memory(started, flags):
    server = started("-m", str(MEMORY_MIB), *flags)
    recorded, refused = record_sign_ins(server)
    seen, stats = still_seen(server, recorded), server.stats()
    logging.getLogger(__name__).warning("-m %d %s: %d ids recorded, %d refused, %d still seen, %d evicted",
                                        MEMORY_MIB, flags, len(recorded), refused, seen, stats["evictions"])
    if flags:  # refusing: every sign-in past the memory is refused, none forgotten
        assert refused > 0 and stats["evictions"] == 0 and seen == len(recorded)
        assert len(recorded) / 2 >= MEMORY_MIB * 2**20 / BYTES_PER_SIGN_IN  # the sizing rule holds
    else:  # evicting: every id recorded, the oldest live ones silently forgotten
        assert refused == 0 and len(recorded) == 2 * SIGN_INS
        assert stats["evictions"] == len(recorded) - seen > SIGN_INS


@pytest.mark.parametrize("stop, kept", [("SIGUSR1", True), ("SIGTERM", False)])
def test_warm_restart_from_a_memory_file(started, tmp_path, stop, kept):
    server = started("-e", str(tmp_path / "memory"))
    tracker = saml.SamlDuplicateResponsesTrackerInMemcachePerId(server.client(), "site")
    tracker.add("_a", time.time() + 600)
    server.proc.send_signal(getattr(signal, stop))
    server.proc.wait(10)
    time.sleep(1.5)  # memcached refuses to restore a state stopped within the same second
    server.start()
    assert saml.SamlDuplicateResponsesTrackerInMemcachePerId(server.client(), "site").is_seen("_a") is kept
