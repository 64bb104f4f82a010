"""A worker process that records many accepted responses in the in-memory
tracker, through the same road as a sign-on's bookkeeping, and reports its
resident memory before and after. Run by run.py as a subprocess, so that
nothing else the benchmark did is in its memory; prints one JSON object.

The responses expire `--lifetime` seconds after they are recorded, so
entries keep lapsing and being cleaned while new ones come in.
"""

from __future__ import annotations

import argparse
import gc
import json
import time
import uuid

import harness  # noqa: F401  (sets up the import path)
from replay import consumer

import tavrel_saml.saml as saml


def _status(field) -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError("no " + field)


def rss_kib() -> int:
    return _status("VmRSS")


def peak_kib() -> int:
    # Not ru_maxrss: that one keeps the parent's peak across fork and exec.
    return _status("VmHWM")


class ExpiringStub:
    """The toolkit calls of the bookkeeping, with fresh ids made per call and
    an expiry a moment ahead."""

    def __init__(self, lifetime):
        self.lifetime = lifetime
        self.ids = None

    def get_last_message_id(self):
        self.ids = ("_" + uuid.uuid4().hex, "_" + uuid.uuid4().hex)
        return self.ids[0]

    def get_last_assertion_id(self):
        return self.ids[1]

    def get_last_assertion_not_on_or_after(self):
        return time.time() + self.lifetime


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--responses", type=int, default=100_000)
    parser.add_argument("--lifetime", type=float, default=0.05)
    parser.add_argument("--warmup", type=int, default=5_000)
    parser.add_argument("--samples", type=int, default=50)
    args = parser.parse_args()

    sso = consumer()
    tracker = saml.responses_tracker_mem
    tracker.reset()
    sso.responses_tracker = tracker
    sso.saml_auth = ExpiringStub(args.lifetime)
    seen = tracker._seen_responses

    def process(count):
        most = 0
        for _ in range(count):
            sso.reject_duplicated_response()
            most = max(most, len(seen))
        return most

    # Before: everything loaded and the road taken, so later growth is the
    # entries' own; then the tracker emptied.
    process(args.warmup)
    time.sleep(args.lifetime * 2)
    tracker.reset()
    seen = tracker._seen_responses
    gc.collect()
    before = {"rss_kib": rss_kib(), "peak_kib": peak_kib()}

    started = time.perf_counter()
    step = max(args.responses // args.samples, 1)
    curve, most_live, done = [], 0, 0
    while done < args.responses:
        count = min(step, args.responses - done)
        most_live = max(most_live, process(count))
        done += count
        curve.append({"responses": done, "rss_kib": rss_kib(), "live": len(seen)})
    seconds = time.perf_counter() - started
    gc.collect()
    after = {"rss_kib": rss_kib(), "peak_kib": peak_kib(), "live": len(seen)}

    # What the largest live set occupies by itself, for comparison.
    gc.collect()
    base = rss_kib()
    probe = {"_" + uuid.uuid4().hex: time.time() for _ in range(max(most_live, 1))}
    live_set_kib = rss_kib() - base
    del probe

    print(json.dumps({"responses": args.responses, "lifetime_s": args.lifetime, "seconds": seconds,
                      "before": before, "after": after, "most_live": most_live,
                      "live_set_kib": live_set_kib, "curve": curve}))


if __name__ == "__main__":
    main()
