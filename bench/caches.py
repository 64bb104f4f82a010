"""The toolkit caches: the module's road with them on against the toolkit's
own road with them off, in wall-clock time (medians over interleaved pairs)
and in instructions (callgrind), and the memory the caches hold.

Part of `make bench`; `python bench/caches.py` runs this section alone and
writes bench/results/caches.json, its plot and its table in
docs/benchmarks.md.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import logging
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from statistics import median

import harness  # noqa: F401  (paths and warning filters)
import instructions
from harness import ACS_PATH, ACS_URL, ROOT, SP_BASE, SP_ENTITY_ID, blank, machine, ratio_interval
from signon import IDP_NAME, RELAY_STATE, USERS, idp_config, toolkit_request

import tavrel_saml.saml as saml
from idp import TestIdentityProvider
from onelogin.saml2.auth import OneLogin_Saml2_Auth
from onelogin.saml2.utils import OneLogin_Saml2_Utils
from tavrel.configs import UserConfig

RESULTS = ROOT / "bench" / "results"
DOC = ROOT / "docs" / "benchmarks.md"
BEGIN, END = "<!-- toolkit caches: begin -->", "<!-- toolkit caches: end -->"
# The module's road with the caches over the toolkit's own road without.
TARGETS = {"sign-on (ACS)": 0.35, "login redirect": 0.60}
FULL = {"signon_pairs": 1000, "login_pairs": 4000, "calls": {"signon": 10, "login": 40, "empty": 200}}
QUICK = {"signon_pairs": 60, "login_pairs": 200, "calls": {"signon": 4, "login": 10, "empty": 50}}


def switching_pairs(run_cached, run_toolkit, inputs_cached, inputs_toolkit, between=None):
    """One timed call of each road per pair, the caches switched on for the
    module's and off for the toolkit's outside the timed region, the order
    swapped every pair."""
    times_cached, times_toolkit = [], []
    clock = time.perf_counter
    try:
        for i, (x, y) in enumerate(zip(inputs_cached, inputs_toolkit)):
            if between is not None:
                between()
            gc.disable()
            if i % 2:
                saml.set_toolkit_caches(True)
                t0 = clock(); run_cached(x); t1 = clock()
                saml.set_toolkit_caches(False)
                t2 = clock(); run_toolkit(y); t3 = clock()
            else:
                saml.set_toolkit_caches(False)
                t2 = clock(); run_toolkit(y); t3 = clock()
                saml.set_toolkit_caches(True)
                t0 = clock(); run_cached(x); t1 = clock()
            times_cached.append(t1 - t0)
            times_toolkit.append(t3 - t2)
            gc.enable()
    finally:
        saml.set_toolkit_caches(True)
    return times_cached, times_toolkit


def _row(name, cached, toolkit):
    a, b = median(cached), median(toolkit)
    low, high = ratio_interval(cached, toolkit)
    return {"name": name, "pairs": len(cached), "cached_s": a, "toolkit_s": b, "ratio": a / b,
            "ratio_95": [low, high], "target": TARGETS[name], "met": a / b <= TARGETS[name]}


def wall(signon_pairs, login_pairs) -> list[dict]:
    idp = TestIdentityProvider()
    config = idp_config(idp)
    users = {f"user{i}": UserConfig(email=f"user{i}@example.com", username=f"user{i}") for i in range(USERS)}
    name_id = f"user{USERS // 2}@example.com"
    tracker = saml.SamlDuplicateResponsesTrackerInMemory()
    saml.SamlIDPConfig.cached_saml_settings.clear()
    settings = saml.SamlIDPConfig.get_idp_settings(config)
    options = settings["extra_request_options"]

    def issue():
        response = idp.response(acs_url=ACS_URL, sp_entity_id=SP_ENTITY_ID, name_id=name_id,
                                attributes={"mail": name_id})
        return blank(ACS_PATH, POST={"SAMLResponse": response.b64, "RelayState": RELAY_STATE})

    def signon_module(request):
        sso = saml.SamlIDPConfig(config, request, users, tracker)
        sso.process_saml_response()
        return sso.get_user_id(), sso.get_return_to_url()

    def signon_toolkit(request):
        req = toolkit_request(request)
        auth = OneLogin_Saml2_Auth(req, settings)
        auth.process_response()
        if auth.get_errors():
            raise ValueError(auth.get_errors())
        auth.get_last_message_id()
        auth.get_last_assertion_id()
        auth.get_last_assertion_not_on_or_after()
        if not auth.is_authenticated():
            raise ValueError("Not authenticated")
        auth.get_attributes()
        OneLogin_Saml2_Utils.get_self_host(req)
        OneLogin_Saml2_Utils.get_self_url(req)
        OneLogin_Saml2_Utils.get_self_url_host(req)
        return auth.get_nameid(), auth.redirect_to(request.POST.get("RelayState", ""))

    return_to = SP_BASE + "/dashboard"

    def login_module(request):
        return saml.SamlIDPConfig.generate_login_url(config, request, return_to)

    def login_toolkit(request):
        auth = OneLogin_Saml2_Auth(toolkit_request(request), settings)
        return auth.login(return_to=return_to, force_authn=options["force_authn"],
                          is_passive=options["is_passive"], set_nameid_policy=options["set_nameid_policy"])

    def login_requests(n):
        return [blank("/sso/saml/login/" + IDP_NAME + "?next=/dashboard") for _ in range(n)]

    # Warm-up of both roads, each in its own state of the switch.
    switching_pairs(signon_module, signon_toolkit, [issue() for _ in range(5)], [issue() for _ in range(5)],
                    tracker.reset)
    switching_pairs(login_module, login_toolkit, login_requests(20), login_requests(20))
    cached, toolkit = [], []
    for start in range(0, signon_pairs, 100):  # responses stay valid for 5 minutes
        n = min(100, signon_pairs - start)
        a, b = switching_pairs(signon_module, signon_toolkit, [issue() for _ in range(n)],
                               [issue() for _ in range(n)], tracker.reset)
        cached += a
        toolkit += b
    rows = [_row("sign-on (ACS)", cached, toolkit)]
    rows.append(_row("login redirect", *switching_pairs(login_module, login_toolkit, login_requests(login_pairs),
                                                        login_requests(login_pairs))))
    return rows


def counted(calls) -> dict | None:
    """Instructions per call of each road under callgrind, or None without
    valgrind."""
    if instructions.valgrind() is None:
        return None
    from idp import TestIdentityProvider as Idp

    idp = Idp()
    count = instructions.WARM + 3 * calls["signon"]
    # Valid for an hour: the uncached road under callgrind takes its time.
    responses = [idp.response(acs_url=ACS_URL, sp_entity_id=SP_ENTITY_ID, name_id=f"user{USERS // 2}@example.com",
                              attributes={"mail": f"user{USERS // 2}@example.com"}, not_on_or_after=3600).b64
                 for _ in range(count)]
    with tempfile.TemporaryDirectory(prefix="tavrel-caches-") as tmp:
        out = Path(tmp)
        spec = out / "spec.json"
        spec.write_text(json.dumps({"key_pem": idp.key_pem, "cert_pem": idp.cert_pem, "responses": responses,
                                    "calls": calls, "warm": instructions.WARM}))
        prefix = out / "callgrind.out"
        cmd = [instructions.valgrind(), "--tool=callgrind", "--collect-atstart=no", "--instr-atstart=yes",
               f"--toggle-collect={instructions.MARKER}", f"--dump-after={instructions.MARKER}",
               f"--callgrind-out-file={prefix}", sys.executable, str(ROOT / "bench" / "caches_worker.py"), str(spec)]
        done = subprocess.run(cmd, capture_output=True, text=True, env={**os.environ,
                                                                        "PYTHONHASHSEED": "0"}, timeout=1800)
        if done.returncode != 0:
            raise RuntimeError(f"callgrind worker failed:\n{done.stderr[-3000:]}")
        plan = json.loads(done.stdout.strip().splitlines()[-1])["plan"]
        dumps = sorted(out.glob("callgrind.out.*"), key=lambda p: int(p.name.rsplit(".", 1)[1]))
        for run, dump in zip(plan, dumps[len(dumps) - len(plan):]):
            run.update(instructions.read_dump(dump))
    runs: dict[tuple[str, str], dict[int, dict]] = {}
    for run in plan:
        runs.setdefault((run["path"], run["side"]), {})[run["calls"]] = run
    cost = {}
    for key, by_calls in runs.items():
        n, n2 = sorted(by_calls)
        cost[key] = (by_calls[n2]["Ir"] - by_calls[n]["Ir"]) / (n2 - n)
    empty = cost[("empty", "cached")]
    return {name: {"cached_ir": cost[(path, "cached")] - empty, "toolkit_ir": cost[(path, "toolkit")] - empty,
                   "ratio": (cost[(path, "cached")] - empty) / (cost[(path, "toolkit")] - empty)}
            for name, path in (("sign-on (ACS)", "signon"), ("login redirect", "login"))}


def memory() -> dict:
    done = subprocess.run([sys.executable, str(ROOT / "bench" / "caches_worker.py"), "--memory"],
                          capture_output=True, text=True, timeout=600, check=True)
    return json.loads(done.stdout.strip().splitlines()[-1])


def bench_caches(quick=False) -> dict:
    cfg = QUICK if quick else FULL
    started = time.perf_counter()
    load_before = os.getloadavg()[0]
    section = {"wall": wall(cfg["signon_pairs"], cfg["login_pairs"])}
    print("wall:", json.dumps(section["wall"]), file=sys.stderr, flush=True)
    section["instructions"] = counted(cfg["calls"])
    print("instructions:", json.dumps(section["instructions"]), file=sys.stderr, flush=True)
    section["memory"] = memory()
    # Wall-clock ratios drift with the machine's load; the counts do not.
    section["load"] = [load_before, os.getloadavg()[0]]
    section["seconds"] = time.perf_counter() - started
    return section


def table(section) -> tuple[str, list[str], list[list[str]]]:
    body = []
    for r in section["wall"]:
        ir = (section["instructions"] or {}).get(r["name"])
        low, high = r["ratio_95"]
        body.append([r["name"], f"{r['cached_s'] * 1e6:,.1f}", f"{r['toolkit_s'] * 1e6:,.1f}", f"{r['ratio']:.3f}",
                     f"{low:.3f} to {high:.3f}", f"<= {r['target']:.2f}", "met" if r["met"] else "MISSED",
                     f"{ir['cached_ir']:,.0f}" if ir else "", f"{ir['toolkit_ir']:,.0f}" if ir else "",
                     f"{ir['ratio']:.3f}" if ir else "", str(r["pairs"])])
    return ("Toolkit caches: the module's road with them against the toolkit's own road without them (medians; "
            "instructions per call under callgrind)",
            ["road", "module, cached us", "toolkit, uncached us", "ratio", "ratio 95%", "target", "",
             "module, cached Ir", "toolkit, uncached Ir", "Ir ratio", "pairs"], body)


def memory_line(section) -> str:
    m = section["memory"]
    return (f"Memory the caches hold: {m['first_thread_kib']:,} KiB for the first thread that signs on, "
            f"{m['per_thread_kib']:,.0f} KiB for each further one (measured with {m['threads']} threads alive, "
            f"their own stacks included); the certificate texts are shared by all.")


def text(section) -> str:
    title, header, body = table(section)
    widths = [max(len(str(c)) for c in col) for col in zip(header, *body)]
    lines = [title, "  ".join(h.ljust(w) for h, w in zip(header, widths))]
    lines += ["  ".join(c.ljust(w) for c, w in zip(row, widths)) for row in body]
    return "\n".join(lines + [memory_line(section)])


def plot(section, out_dir: Path) -> str:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    names = [r["name"] for r in section["wall"]]
    fig, ax = plt.subplots(figsize=(7, 3.6))
    x = range(len(names))
    ax.bar([i - 0.2 for i in x], [r["ratio"] for r in section["wall"]], 0.4, label="wall-clock median ratio")
    if section["instructions"]:
        ax.bar([i + 0.2 for i in x], [section["instructions"][n]["ratio"] for n in names], 0.4,
               label="instructions ratio (callgrind)")
    for i, r in enumerate(section["wall"]):
        ax.hlines(r["target"], i - 0.45, i + 0.45, colors="black", linestyles="dashed")
    ax.axhline(1, color="grey", linewidth=0.8)
    ax.set_xticks(list(x), names)
    ax.set_ylim(0, 1.1)
    ax.set_ylabel("module cached / toolkit uncached")
    ax.set_title("Toolkit caches (dashed: targets)")
    ax.legend(loc="upper left", fontsize=8)
    fig.tight_layout()
    path = out_dir / "caches.png"
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return path.name


def markdown(section, plot_name) -> str:
    title, header, body = table(section)
    load = section.get("load")
    loaded = f" (load average {load[0]:.1f} at the start, {load[1]:.1f} at the end)" if load else ""
    lines = [f"Run of {section['date']}, measured in {section['seconds']:.0f} s{loaded}.", "", f"**{title}**", "",
             "| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    lines += ["| " + " | ".join(row) + " |" for row in body]
    lines += ["", memory_line(section), "", f"![toolkit caches](../bench/results/{plot_name})"]
    return "\n".join(lines)


def write_doc(section, plot_name) -> bool:
    doc = DOC.read_text()
    if BEGIN not in doc or END not in doc:
        return False
    head, rest = doc.split(BEGIN, 1)
    DOC.write_text(head + BEGIN + "\n" + markdown(section, plot_name) + "\n" + END + rest.split(END, 1)[1])
    return True


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--quick", action="store_true", help="a short run; leaves the docs alone")
    args = parser.parse_args()
    logging.getLogger("tavrel").setLevel(logging.WARNING)
    section = bench_caches(args.quick)
    section["date"] = time.strftime("%Y-%m-%d %H:%M %Z")
    section["machine"] = machine()
    RESULTS.mkdir(parents=True, exist_ok=True)
    name = plot(section, RESULTS)
    if not args.quick:
        (RESULTS / "caches.json").write_text(json.dumps(section, indent=1) + "\n")
        write_doc(section, name)
    print(text(section))


if __name__ == "__main__":
    main()
