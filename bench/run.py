"""`make bench`: what the module costs beside the toolkit, and how it grows.

Prints a table, writes bench/results/results.json and the plots, and puts the
table into docs/benchmarks.md. `--quick` makes a short run for trying the
harness out (its figures are too rough to keep, so the docs are left alone).
"""

from __future__ import annotations

import argparse
import contextlib
import json
import logging
import subprocess
import sys
import time

import caches
import instructions
import mapping
import replay
import report
import signon
from harness import ROOT, machine, memcached

RESULTS = ROOT / "bench" / "results"
DOC = ROOT / "docs" / "benchmarks.md"
BEGIN, END = "<!-- bench results: begin -->", "<!-- bench results: end -->"

FULL = {"signon_pairs": 2500, "login_pairs": 10000, "users": [10, 1_000, 100_000], "values": [1, 10],
        "mapping_samples": 21, "entries": [10, 10_000, 100_000], "memcache_entries": [10, 10_000, 100_000],
        "replay_samples": 15, "memory_responses": 100_000, "worker_seconds": 4,
        "faults": {"captured": 60, "new": 15, "hang_captured": 12}}
QUICK = {"signon_pairs": 60, "login_pairs": 200, "users": [10, 1_000, 100_000], "values": [1, 10],
         "mapping_samples": 3, "entries": [10, 10_000, 100_000], "memcache_entries": [10, 10_000, 100_000],
         "replay_samples": 3, "memory_responses": 20_000, "worker_seconds": 1,
         "faults": {"captured": 12, "new": 6, "hang_captured": 4}}


def step(title):
    print(f"[{time.strftime('%H:%M:%S')}] {title}", file=sys.stderr, flush=True)


def memory_section(responses) -> dict:
    worker = ROOT / "bench" / "memory_worker.py"
    done = subprocess.run([sys.executable, str(worker), "--responses", str(responses)],
                          capture_output=True, text=True, timeout=300, check=True)
    m = json.loads(done.stdout)
    # Growth per response over the second half: a leak shows as a slope, the
    # live entries (a bounded number) do not.
    half = m["curve"][len(m["curve"]) // 2:]
    xs = [c["responses"] for c in half]
    ys = [c["rss_kib"] * 1024 for c in half]
    mx, my = sum(xs) / len(xs), sum(ys) / len(ys)
    den = sum((x - mx) ** 2 for x in xs) or 1
    m["slope_bytes_per_response"] = sum((x - mx) * (y - my) for x, y in zip(xs, ys)) / den
    growth = m["after"]["rss_kib"] - m["before"]["rss_kib"]
    # Slack for the allocator's pools: Python's are 1 MiB arenas.
    m["met"] = growth <= m["live_set_kib"] + 2048 and m["slope_bytes_per_response"] < 4
    return m


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--quick", action="store_true", help="a short run; leaves the docs alone")
    args = parser.parse_args()
    cfg = QUICK if args.quick else FULL
    logging.getLogger("tavrel").setLevel(logging.WARNING)
    started = time.perf_counter()
    RESULTS.mkdir(parents=True, exist_ok=True)
    results = {"date": time.strftime("%Y-%m-%d %H:%M %Z"), "quick": args.quick, "machine": machine()}

    step(f"sign-on, {cfg['signon_pairs']} pairs of fresh signed responses")
    results["signon"] = [signon.bench_signon(cfg["signon_pairs"])]
    step(f"login, {cfg['login_pairs']} pairs")
    results["signon"].append(signon.bench_login(cfg["login_pairs"]))
    step("user mapping")
    results["mapping"] = mapping.bench_mapping(cfg["users"], cfg["values"], cfg["mapping_samples"])
    step("replay bookkeeping, in-memory tracker")
    results["replay"] = replay.bench_memory_tracker(cfg["entries"], cfg["replay_samples"])
    with memcached() as port:
        if port is None:
            step("memcached not installed: memcache trackers skipped")
        else:
            results["memcache_capacity"] = replay.memcache_capacity(port)
    # Items up to 16 MiB: the single-item record of 100,000 ids needs 5 MiB.
    with memcached(item_size="16m") as port:
        if port is not None:
            step(f"replay bookkeeping, memcache trackers (memcached on 127.0.0.1:{port})")
            results["replay"] += replay.bench_memcache_trackers(port, cfg["memcache_entries"], cfg["replay_samples"])
            step("sign-in rate of worker processes through each memcache tracker")
            results["memcache_workers"] = replay.bench_worker_rates(port, 10_000, cfg["worker_seconds"])
    with contextlib.ExitStack() as stack:
        ports = [stack.enter_context(memcached()) for _ in range(3)]
        if None not in ports:
            step("per-id tracker with replicas 1 and 2 on three memcached servers")
            results["replicas"] = replay.bench_replicas(ports, cfg["memcache_entries"], cfg["replay_samples"])
            results["replica_workers"] = replay.bench_replica_rates(ports, 10_000, cfg["worker_seconds"])
            step("one of three memcached servers restarted, killed, hung, back empty; replicas 1 and 2")
            results["replica_faults"] = replay.fault_outcomes(**cfg["faults"])
    step(f"memory of a worker over {cfg['memory_responses']:,} responses")
    results["memory"] = memory_section(cfg["memory_responses"])
    step("instructions per call, under callgrind")
    results["instructions"] = instructions.bench_instructions(args.quick)
    step("toolkit caches: the module's road with them against the toolkit's own without them")
    results["caches"] = caches.bench_caches(args.quick)
    results["caches"]["date"] = results["date"]
    results["seconds"] = time.perf_counter() - started

    plots = report.plot(results, RESULTS)
    (RESULTS / "results.json").write_text(json.dumps(results, indent=1) + "\n")
    print(report.text(results))
    if results["instructions"] is None:
        print("\nvalgrind is not installed: no instruction counts")
    else:
        _, counts_plot = instructions.plot(results["instructions"], RESULTS)
        print("\n" + instructions.text(results["instructions"]))
    caches_plot = caches.plot(results["caches"], RESULTS)
    print("\n" + caches.text(results["caches"]))
    print(f"\nAbsolute times vary between machines; the ratios hold. Results in {RESULTS.relative_to(ROOT)}/")
    if not args.quick and DOC.exists():
        doc = DOC.read_text()
        if BEGIN in doc and END in doc:
            head, rest = doc.split(BEGIN, 1)
            tail = rest.split(END, 1)[1]
            DOC.write_text(head + BEGIN + "\n" + report.markdown(results, plots) + "\n" + END + tail)
            print(f"Table written into {DOC.relative_to(ROOT)}")
        if results["instructions"] is not None:
            instructions.write_doc(results["instructions"], counts_plot)
        caches.write_doc(results["caches"], caches_plot)


if __name__ == "__main__":
    main()
