"""Instructions per call, counted by callgrind: figures that hold on a
loaded, shared machine where wall-clock ratios wander.

For each path, the module's road and its floor (the same toolkit calls made
directly, the request dict built directly where the module builds it) run in
one worker under callgrind, N and 2N calls each; the difference of the two
runs over N is the cost of one call, with the start-up and the per-run
set-up cancelled. The module's own work is the road minus its floor; the
floor is shown less an empty loop's cost. L1 instruction-cache misses come
from the same runs (`--cache-sim=yes`).

`python bench/instructions.py` runs this section alone.
"""

from __future__ import annotations

import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from harness import ACS_URL, SP_ENTITY_ID, ROOT
from signon import USERS

# name: (what is measured, target of the module's own instructions per call)
PATHS = {
    "login": ("login, generate_login_url", 5_000),
    "signon": (f"one sign-on ({USERS} users)", 110_000),
    "init": ("SamlIDPConfig.__init__", 8_000),
    "process": ("process_saml_response, toolkit stubbed", 30_000),
    "user_id": (f"get_user_id, {USERS} users, toolkit stubbed", 25_000),
    "reject": ("reject_duplicated_response, stubbed, 10 live ids", 30_000),
    "map": ("map_pyramid_to_saml_request, beyond the dict", 2_000),
    "cached": ("get_idp_settings, cached", 2_000),
}
# Calls per run (the worker makes N and 2N, plus the warm-up, per road): a
# sign-on under the cache simulator takes a good part of a second, and the
# section should stay within about three minutes on a loaded small machine.
# The sign-on runs first, while the responses signed for it are fresh.
CALLS = {"empty": 200, "signon": 10, "login": 40, "init": 40, "process": 200, "user_id": 200,
         "reject": 200, "map": 200, "cached": 200}
QUICK_CALLS = {name: max(4, n // 4) for name, n in CALLS.items()}
WARM = 5
MARKER = "functools_reduce"


def valgrind() -> str | None:
    return shutil.which("valgrind")


def read_dump(path: Path) -> dict[str, int]:
    """Event totals of one callgrind dump."""
    events, totals = None, None
    for line in path.read_text(errors="replace").splitlines():
        if line.startswith("events:"):
            events = line.split()[1:]
        elif line.startswith(("summary:", "totals:")):
            totals = [int(v) for v in line.split()[1:]]
    if events is None or totals is None:
        raise RuntimeError(f"no totals in {path}")
    return dict(zip(events, totals + [0] * (len(events) - len(totals))))


def run_worker(calls: dict[str, int], out_dir: Path) -> list[dict]:
    from idp import TestIdentityProvider

    idp = TestIdentityProvider()
    # Signed here, at full speed, not under the instrumentation: warm-up and
    # N + 2N calls (both roads take the same ones). Valid for five minutes.
    count = WARM + 3 * calls["signon"]
    responses = [idp.response(acs_url=ACS_URL, sp_entity_id=SP_ENTITY_ID,
                              name_id=f"user{USERS // 2}@example.com",
                              attributes={"mail": f"user{USERS // 2}@example.com"}).b64 for _ in range(count)]
    spec = out_dir / "spec.json"
    spec.write_text(json.dumps({"key_pem": idp.key_pem, "cert_pem": idp.cert_pem, "responses": responses,
                                "calls": calls, "warm": WARM}))
    prefix = out_dir / "callgrind.out"
    cmd = [valgrind(), "--tool=callgrind", "--collect-atstart=no", "--instr-atstart=yes", "--cache-sim=yes",
           f"--toggle-collect={MARKER}", f"--dump-after={MARKER}", f"--callgrind-out-file={prefix}",
           sys.executable, str(ROOT / "bench" / "instructions_worker.py"), str(spec)]
    # A fixed hash seed: set and dict orders, and so the work, alike run to run.
    env = dict(os.environ, PYTHONHASHSEED="0")
    done = subprocess.run(cmd, capture_output=True, text=True, env=env, timeout=900)
    if done.returncode != 0:
        raise RuntimeError(f"callgrind worker failed:\n{done.stderr[-3000:]}")
    plan = json.loads(done.stdout.strip().splitlines()[-1])["plan"]
    dumps = sorted(out_dir.glob("callgrind.out.*"), key=lambda p: int(p.name.rsplit(".", 1)[1]))
    # The imports call the marker a few times before the first run: the
    # runs' dumps are the last ones (the dump at exit is not numbered).
    if len(dumps) < len(plan):
        raise RuntimeError(f"{len(dumps)} callgrind dumps for {len(plan)} runs")
    for run, dump in zip(plan, dumps[len(dumps) - len(plan):]):
        run.update(read_dump(dump))
    return plan


def per_call(plan: list[dict]) -> dict[tuple[str, str], dict[str, float]]:
    """(path, side) -> events per call, from the N and 2N runs."""
    runs: dict[tuple[str, str], dict[int, dict]] = {}
    for run in plan:
        runs.setdefault((run["path"], run["side"]), {})[run["calls"]] = run
    out = {}
    for key, by_calls in runs.items():
        n, n2 = sorted(by_calls)
        out[key] = {ev: (by_calls[n2][ev] - by_calls[n][ev]) / (n2 - n) + 0.0 for ev in ("Ir", "I1mr")}
    return out


def rows(costs) -> list[dict]:
    empty = costs[("empty", "module")]
    out = []
    for name, (label, target) in PATHS.items():
        module, floor = costs[(name, "module")], costs[(name, "floor")]
        own = module["Ir"] - floor["Ir"]
        out.append({"path": name, "name": label, "own_ir": own, "target_ir": target, "met": own <= target,
                    "floor_ir": floor["Ir"] - empty["Ir"], "module_ir": module["Ir"] - empty["Ir"],
                    "own_i1mr": module["I1mr"] - floor["I1mr"], "floor_i1mr": floor["I1mr"] - empty["I1mr"]})
    return out


def bench_instructions(quick: bool = False) -> dict | None:
    """The section's results, or None when valgrind is not installed."""
    if valgrind() is None:
        return None
    calls = QUICK_CALLS if quick else CALLS
    started = time.perf_counter()
    with tempfile.TemporaryDirectory(prefix="tavrel-callgrind-") as tmp:
        plan = run_worker(calls, Path(tmp))
    version = subprocess.run([valgrind(), "--version"], capture_output=True, text=True).stdout.strip()
    return {"rows": rows(per_call(plan)), "calls": calls, "valgrind": version,
            "seconds": time.perf_counter() - started}


def table(section) -> tuple[str, list[str], list[list[str]]]:
    """(title, header, rows) in the form bench/report.py prints."""
    body = []
    for r in section["rows"]:
        # a floor within the noise of an empty loop (some tens of
        # instructions) is no floor at all
        floor = f"{r['floor_ir']:,.0f}" if r["floor_ir"] > 100 else "none"
        body.append([r["name"], f"{r['own_ir']:,.0f}", f"<= {r['target_ir']:,}", "met" if r["met"] else "MISSED",
                     floor, f"{round(r['own_i1mr'], 1) + 0.0:,.1f}", f"{round(r['floor_i1mr'], 1) + 0.0:,.1f}"])
    title = (f"Instructions per call (callgrind, {section['valgrind']}): the module's own work = "
             "its road minus the same toolkit calls made directly")
    return title, ["path", "module's own Ir", "target", "", "toolkit floor Ir", "own I1 misses",
                   "floor I1 misses"], body


def text(section) -> str:
    """The table alone, laid out as bench/report.py lays out its own."""
    title, header, body = table(section)
    widths = [max(len(c) for c in col) for col in zip(header, *body)]
    lines = [title, "  ".join(h.ljust(w) for h, w in zip(header, widths)), "  ".join("-" * w for w in widths)]
    lines += ["  ".join(c.rjust(w) if i else c.ljust(w) for i, (c, w) in enumerate(zip(row, widths)))
              for row in body]
    return "\n".join(lines)


def plot(section, out_dir: Path) -> tuple[str, str]:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    rs = section["rows"]
    fig, ax = plt.subplots(figsize=(8, 4))
    y = range(len(rs))
    ax.barh([i + 0.2 for i in y], [max(r["own_ir"], 1) for r in rs], height=0.4, color="tab:orange",
            label="module's own")
    # no bar where there is no floor (cached settings): log scale
    ax.barh([i - 0.2 for i in y], [r["floor_ir"] if r["floor_ir"] > 1 else float("nan") for r in rs],
            height=0.4, color="tab:blue", label="toolkit floor")
    ax.scatter([r["target_ir"] for r in rs], [i + 0.2 for i in y], marker="|", s=200, color="black",
               label="target", zorder=3)
    ax.set_yticks(list(y), [r["name"] for r in rs], fontsize="small")
    ax.invert_yaxis()
    ax.set_xscale("log")
    ax.set_xlabel("instructions per call (callgrind Ir)")
    ax.set_title("Instructions per call")
    ax.legend(fontsize="small", loc="upper left", bbox_to_anchor=(1, 1))
    path = out_dir / "instructions.png"
    fig.tight_layout()
    fig.savefig(path, dpi=80)
    plt.close(fig)
    return "instructions per call", str(path)


DOC = ROOT / "docs" / "benchmarks.md"
BEGIN, END = "<!-- instruction counts: begin -->", "<!-- instruction counts: end -->"


def markdown(section, plot_path) -> str:
    title, header, body = table(section)
    lines = [f"**{title}**", "", "| " + " | ".join(header) + " |", "|" + "|".join("---" for _ in header) + "|"]
    lines += ["| " + " | ".join(row) + " |" for row in body]
    calls = ", ".join(f"{name} {n}" for name, n in section["calls"].items())
    lines += ["", f"N calls per run ({calls}); measured in {section['seconds']:.0f} s.", "",
              f"![instructions per call](../bench/results/{Path(plot_path).name})"]
    return "\n".join(lines)


def write_doc(section, plot_path) -> bool:
    """Puts the table between its markers in docs/benchmarks.md, leaving
    the wall-clock results (written by bench/run.py) alone."""
    if not DOC.exists():
        return False
    doc = DOC.read_text()
    if BEGIN not in doc or END not in doc:
        return False
    head, rest = doc.split(BEGIN, 1)
    DOC.write_text(head + BEGIN + "\n" + markdown(section, plot_path) + "\n" + END + rest.split(END, 1)[1])
    return True


def main():
    import argparse

    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--quick", action="store_true", help="fewer calls per run; leaves the docs alone")
    args = parser.parse_args()
    section = bench_instructions(args.quick)
    if section is None:
        sys.exit("valgrind is not installed (apt-get install valgrind)")
    results_dir = ROOT / "bench" / "results"
    results_dir.mkdir(parents=True, exist_ok=True)
    _, plot_path = plot(section, results_dir)
    (results_dir / "instructions.json").write_text(json.dumps(section, indent=1) + "\n")
    print(text(section))
    print(f"\nMeasured in {section['seconds']:.0f} s; results in {results_dir.relative_to(ROOT)}/instructions.*")
    if not args.quick and write_doc(section, plot_path):
        print(f"Table written into {DOC.relative_to(ROOT)}")


if __name__ == "__main__":
    main()
