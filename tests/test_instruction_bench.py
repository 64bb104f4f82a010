"""The callgrind section of `make bench`: its arithmetic and its roads (the
counts themselves are a benchmark, not a test)."""

from __future__ import annotations

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "bench"))

import instructions  # noqa: E402
import instructions_worker as worker  # noqa: E402


def test_dump_totals_with_trailing_zeros_left_out(tmp_path):
    dump = tmp_path / "callgrind.out.3"
    dump.write_text("version: 1\ncreator: callgrind\ndesc: Trigger: --dump-after=functools_reduce\n"
                    "events: Ir Dr Dw I1mr D1mr D1mw ILmr DLmr DLmw\nfl=(1) x.c\nfn=(1) f\n3 5\n"
                    "summary: 5947 1924 1000 77 6\ntotals: 5947 1924 1000 77 6\n")
    assert instructions.read_dump(dump) == {"Ir": 5947, "Dr": 1924, "Dw": 1000, "I1mr": 77, "D1mr": 6,
                                            "D1mw": 0, "ILmr": 0, "DLmr": 0, "DLmw": 0}


def test_per_call_cancels_set_up_and_subtracts_floor_and_loop():
    # cost of a run = fixed set-up + calls * per-call cost, per (path, side)
    per = {"empty": (300, 300), "login": (60_000, 52_000)}
    misses = {"empty": (1, 1), "login": (700, 40)}
    plan = []
    for path, (module, floor) in per.items():
        for side, ir, mr in (("module", module, misses[path][0]), ("floor", floor, misses[path][1])):
            for calls in (4, 8):
                plan.append({"path": path, "side": side, "calls": calls, "Ir": 90_000 + calls * ir,
                             "I1mr": 500 + calls * mr})
    costs = instructions.per_call(plan)
    assert costs[("login", "module")] == {"Ir": 60_000, "I1mr": 700}
    paths = dict(instructions.PATHS)
    instructions.PATHS.clear()
    instructions.PATHS["login"] = paths["login"]
    try:
        (row,) = instructions.rows(costs)
    finally:
        instructions.PATHS.update(paths)
    assert (row["own_ir"], row["floor_ir"], row["module_ir"]) == (8_000, 51_700, 59_700)
    assert (row["own_i1mr"], row["floor_i1mr"], row["met"]) == (660, 39, False)


def test_every_road_runs_against_the_module():
    """Outside valgrind the marker is a plain call: each road and floor does
    its calls (sign-on asserts the mapped user) on the module as built."""
    from idp import TestIdentityProvider

    from harness import ACS_URL, SP_ENTITY_ID

    idp = TestIdentityProvider()
    name_id = f"user{worker.USERS // 2}@example.com"
    responses = [idp.response(acs_url=ACS_URL, sp_entity_id=SP_ENTITY_ID, name_id=name_id,
                              attributes={"mail": name_id}).b64 for _ in range(4)]
    roads = worker.paths({"key_pem": idp.key_pem, "cert_pem": idp.cert_pem, "responses": responses})
    assert set(roads) == set(instructions.PATHS) | {"empty"}
    assert set(instructions.CALLS) == set(roads)
    for module_road, floor_road in roads.values():
        worker._warm(module_road, 2)
        worker._warm(floor_road, 2)

