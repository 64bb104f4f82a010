"""Worker processes for bench/caches.py.

`caches_worker.py SPEC` runs under callgrind: the sign-on and login roads
of bench/instructions_worker.py, the module's with the toolkit caches on and
the toolkit's own with them off, N and then 2N calls each inside the marker
callgrind collects around. The switch is thrown outside the marker.

`caches_worker.py --memory` runs plain: the resident memory that the caches
hold, for one thread and for each further thread that signs on.
"""

from __future__ import annotations

import gc
import json
import logging
import sys
import threading

import harness  # noqa: F401  (paths and warning filters)
import instructions_worker as worker
from harness import ACS_PATH, ACS_URL, SP_ENTITY_ID, blank
from signon import RELAY_STATE, USERS, idp_config

import tavrel_saml.saml as saml
from idp import TestIdentityProvider
from tavrel.configs import UserConfig

def instructions(spec_path):
    spec = json.load(open(spec_path))
    logging.getLogger("tavrel").setLevel(logging.WARNING)
    roads = worker.paths(spec)
    plan = []
    for name, n in spec["calls"].items():
        module_run, toolkit_run = roads[name]
        for side, run, enabled in (("cached", module_run, True), ("toolkit", toolkit_run, False)):
            saml.set_toolkit_caches(enabled)
            worker._warm(run, spec["warm"])
            for k in (n, 2 * n):
                run(k)
                plan.append({"path": name, "side": side, "calls": k})
    saml.set_toolkit_caches(True)
    print(json.dumps({"plan": plan}))


def rss_kib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4


def memory(rounds=30, threads=8):
    """KiB of resident memory the caches add: for the first thread, after
    sign-ons with them off have warmed everything else, and per further
    thread, measured while those threads are still alive."""
    logging.getLogger("tavrel").setLevel(logging.WARNING)
    idp = TestIdentityProvider()
    config = idp_config(idp)
    users = {f"user{i}": UserConfig(email=f"user{i}@example.com", username=f"user{i}") for i in range(USERS)}
    name_id = f"user{USERS // 2}@example.com"

    def sign_on():
        response = idp.response(acs_url=ACS_URL, sp_entity_id=SP_ENTITY_ID, name_id=name_id,
                                attributes={"mail": name_id})
        request = blank(ACS_PATH, POST={"SAMLResponse": response.b64, "RelayState": RELAY_STATE})
        sso = saml.SamlIDPConfig(config, request, users, saml.SamlDuplicateResponsesTrackerInMemory())
        sso.process_saml_response()
        sso.get_user_id()

    def settled():
        gc.collect()
        return rss_kib()

    saml.set_toolkit_caches(False)
    for _ in range(rounds):
        sign_on()
    before = settled()
    saml.set_toolkit_caches(True)
    for _ in range(rounds):
        sign_on()
    one_thread = settled()
    # Each further thread compiles its own schemas and expressions; the
    # threads wait, caches held, until the measure is taken.
    signed, release = threading.Barrier(threads + 1), threading.Event()

    def thread_work():
        for _ in range(3):
            sign_on()
        signed.wait()
        release.wait()

    workers = [threading.Thread(target=thread_work) for _ in range(threads)]
    for t in workers:
        t.start()
    signed.wait()
    with_threads = settled()
    release.set()
    for t in workers:
        t.join()
    print(json.dumps({"first_thread_kib": one_thread - before,
                      "per_thread_kib": (with_threads - one_thread) / threads, "threads": threads}))


if __name__ == "__main__":
    if sys.argv[1] == "--memory":
        memory()
    else:
        instructions(sys.argv[1])
