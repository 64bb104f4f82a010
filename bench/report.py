"""The results as a printed table, as Markdown for the docs, and as plots."""

from __future__ import annotations

from pathlib import Path


# The speed-up over plain Python the user mapping must reach at the most users.
MAPPING_TARGET = 3


def _us(seconds):
    return f"{seconds * 1e6:,.1f}"


def _size(n):
    return f"{n:,} B" if n < 10 * 1024 else f"{n / 1024:,.0f} KiB"


def _verdict(met):
    return "met" if met else "MISSED"


def tables(results) -> list[tuple[str, list[str], list[list[str]]]]:
    """(title, header, rows) of every section, shared by the terminal and
    the Markdown forms."""
    out = []
    rows = []
    for r in results["signon"]:
        low, high = r["ratio_95"]
        rows.append([r["name"], _us(r["module_s"]), _us(r["toolkit_s"]), f"{r['ratio']:.4f}",
                     f"{low:.4f} to {high:.4f}", f"<= {r['target']:.2f}", _verdict(r["met"]), str(r["pairs"])])
    out.append(("Per request: the module against the toolkit alone (medians)",
                ["road", "module us", "toolkit us", "ratio", "ratio 95%", "target", "", "pairs"], rows))

    rows = []
    for r in results["mapping"]:
        target = ""
        if r["users"] == max(m["users"] for m in results["mapping"]):
            target = f">= {MAPPING_TARGET}x {_verdict(r['speedup'] >= MAPPING_TARGET)}"
        rows.append([f"{r['users']:,}", str(r["values"]), _us(r["module_s"]), _us(r["plain_s"]),
                     f"{r['module_per_user_ns']:.1f}", f"{r['plain_per_user_ns']:.1f}", f"{r['speedup']:.2f}x", target])
    out.append(("User mapping: _get_mapped_user_id against plain Python (medians)",
                ["users", "SAML values", "module us", "plain us", "module ns/user", "plain ns/user", "speed-up",
                 "target"], rows))

    rows = []
    for r in results["replay"]:
        size = _size(r["item_bytes"]) if "item_bytes" in r else ""
        moved = _size(r["bytes_moved_per_response"]) if "bytes_moved_per_response" in r else ""
        trips = f"{r['round_trips_per_response']:g}" if "round_trips_per_response" in r else ""
        rows.append([r["tracker"], f"{r['entries']:,}", _us(r["per_response_s"]), size, moved, trips])
    capacity = results.get("memcache_capacity")
    title = "Replay bookkeeping per response (reject_duplicated_response, toolkit stubbed)"
    if capacity:
        title += f"; one 1 MiB memcache item holds {capacity:,} entries of 33-character ids"
    out.append((title, ["tracker", "live entries", "us/response", "memcache item", "moved/response",
                        "memcached requests"], rows))

    rows = [[r["tracker"], str(r["workers"]), f"{r['live']:,}", f"{r['sign_ins_per_s']:,.0f}", f"{r['refused']:,}"]
            for r in results.get("memcache_workers", [])]
    if rows:
        out.append(("Sign-in rate through each memcache tracker, worker processes against one memcached "
                    "(replay bookkeeping only, toolkit stubbed)",
                    ["tracker", "workers", "live ids", "sign-ins/s", "refused"], rows))

    # Sections measured apart from the rest of a run say when.
    when = f" (run of {results['replicas_date']})" if "replicas_date" in results else ""
    rows = [[str(r["replicas"]), f"{r['entries']:,}", _us(r["per_response_s"]), _size(r["bytes_moved_per_response"]),
             f"{r['round_trips_per_response']:.2f}"] for r in results.get("replicas", [])]
    if rows:
        out.append(("Per-id tracker, each id on `replicas` of three memcached servers: per response (toolkit "
                    "stubbed; bytes and requests from the servers' own counters)" + when,
                    ["replicas", "live ids", "us/response", "moved/response", "memcached requests"], rows))
    rows = [[str(r["replicas"]), str(r["workers"]), f"{r['live']:,}", f"{r['sign_ins_per_s']:,.0f}",
             f"{r['refused']:,}"] for r in results.get("replica_workers", [])]
    if rows:
        out.append(("Sign-in rate through the per-id tracker on three memcached servers, worker processes "
                    "(replay bookkeeping only, toolkit stubbed)" + when,
                    ["replicas", "workers", "live ids", "sign-ins/s", "refused"], rows))
    rows = [[str(r["servers"]), str(r["replicas"]), r["fault"], f"{r['replayed']} of {r['own_id']}",
             f"{r['replayed_fresh_id']} of {r['fresh_id']}", f"{r['refused']} of {r['new']}",
             f"{r['slowest_s']:.2f}"] for r in results.get("replica_faults", [])]
    if rows:
        out.append(("One memcached server failing, one process signing in real responses (client timeout "
                    "0.5 s): captured responses that sign in again (each posted once), new sign-ins refused" + when,
                    ["servers", "replicas", "fault", "replayed", "replayed, fresh Response ID", "refused",
                     "slowest s"], rows))

    m = results.get("memory")
    if m:
        growth = m["after"]["rss_kib"] - m["before"]["rss_kib"]
        rows = [[f"{m['responses']:,}", f"{m['before']['rss_kib']:,}", f"{m['after']['rss_kib']:,}",
                 f"{m['after']['peak_kib']:,}", f"{growth:+,}", f"{m['most_live']:,}", f"{m['live_set_kib']:,}",
                 f"{m['slope_bytes_per_response']:+.2f}", _verdict(m["met"])]]
        out.append(("Memory of a worker, in-memory tracker (KiB)",
                    ["responses", "RSS before", "RSS after", "peak RSS", "growth", "most live", "live set",
                     "B/response", "no growth"], rows))
    return out


def text(results) -> str:
    lines = []
    for title, header, rows in tables(results):
        widths = [max(len(c) for c in col) for col in zip(header, *rows)]
        lines += ["", title, "  ".join(h.ljust(w) for h, w in zip(header, widths))]
        lines.append("  ".join("-" * w for w in widths))
        lines += ["  ".join(c.rjust(w) if i else c.ljust(w) for i, (c, w) in enumerate(zip(row, widths)))
                  for row in rows]
    return "\n".join(lines)


def markdown(results, plots) -> str:
    mach = results["machine"]
    parts = [f"Run of {results['date']}, measured in {results["seconds"]:.0f} s on: "
             f"{mach.get('Model name', '?')}, {mach.get('nproc')} CPUs"
             + (f" ({mach['Hypervisor vendor']} guest)" if "Hypervisor vendor" in mach else "")
             + f", Python {mach['python']}, python3-saml {mach.get('python3-saml', '?')}, "
             f"lxml {mach.get('lxml', '?')}, xmlsec {mach.get('xmlsec', '?')}"
             + "".join(f", {key} {mach[key]}" for key in ("L2 cache", "L3 cache") if key in mach) + ".",
             "", "Absolute times vary between machines; the ratios hold."]
    for title, header, rows in tables(results):
        parts += ["", f"**{title}**", "", "| " + " | ".join(header) + " |",
                  "|" + "|".join("---" for _ in header) + "|"]
        parts += ["| " + " | ".join(row) + " |" for row in rows]
    parts.append("")
    parts += [f"![{name}](../bench/results/{Path(path).name})" for name, path in plots]
    return "\n".join(parts)


def plot(results, out_dir: Path) -> list[tuple[str, str]]:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    made = []

    def save(fig, name, title):
        path = out_dir / f"{name}.png"
        fig.tight_layout()
        fig.savefig(path, dpi=80)
        plt.close(fig)
        made.append((title, str(path)))

    fig, axes = plt.subplots(1, len(results["signon"]), figsize=(6, 3.2))
    for ax, r in zip(axes, results["signon"]):
        heights = [r["toolkit_s"] * 1e3, r["module_s"] * 1e3]
        ax.bar(["toolkit alone", "module"], heights, color=["tab:blue", "tab:orange"])
        ax.annotate(f"x{r['ratio']:.3f}", (1, heights[1]), ha="center", va="bottom")
        ax.set_ylim(0, max(heights) * 1.2)
        ax.set_title(r["name"])
        ax.set_ylabel("ms per request (median)")
    save(fig, "signon", "sign-on and login")

    fig, ax = plt.subplots(figsize=(6, 3.6))
    for values in sorted({r["values"] for r in results["mapping"]}):
        rows = [r for r in results["mapping"] if r["values"] == values]
        users = [r["users"] for r in rows]
        ax.plot(users, [r["plain_per_user_ns"] for r in rows], "o--", label=f"plain Python, {values} value(s)")
        ax.plot(users, [r["module_per_user_ns"] for r in rows], "o-", label=f"module, {values} value(s)")
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.set_xlabel("configured users")
    ax.set_ylabel("ns per user (median)")
    ax.set_title("User mapping")
    ax.legend(fontsize="small")
    save(fig, "mapping", "user mapping")

    fig, ax = plt.subplots(figsize=(6, 3.6))
    for tracker in ("memory", "memcache", "memcache per id"):
        rows = [r for r in results["replay"] if r["tracker"] == tracker]
        if rows:
            ax.plot([r["entries"] for r in rows], [r["per_response_s"] * 1e6 for r in rows], "o-",
                    label=f"{tracker} tracker")
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.set_xlabel("live entries")
    ax.set_ylabel("us per response (median)")
    ax.set_title("Replay bookkeeping")
    ax.legend()
    save(fig, "replay", "replay bookkeeping")

    rates = results.get("memcache_workers")
    if rates:
        fig, ax = plt.subplots(figsize=(6, 3.2))
        counts = sorted({r["workers"] for r in rates})
        for offset, tracker in ((-0.2, "memcache"), (0.2, "memcache per id")):
            by_workers = {r["workers"]: r["sign_ins_per_s"] for r in rates if r["tracker"] == tracker}
            ax.bar([i + offset for i in range(len(counts))], [by_workers.get(c, 0) for c in counts], 0.4,
                   label=f"{tracker} tracker")
        ax.set_xticks(range(len(counts)), [f"{c} worker(s)" for c in counts])
        ax.set_yscale("log")
        ax.set_ylim(top=max(r["sign_ins_per_s"] for r in rates) * 5)  # room for the legend
        ax.set_ylabel("sign-ins per second")
        ax.set_title(f"Through one memcached, {rates[0]['live']:,} live ids")
        ax.legend(fontsize="small")
        save(fig, "replay_workers", "sign-in rate through the memcache trackers")

    m = results.get("memory")
    if m:
        fig, ax = plt.subplots(figsize=(6, 3.2))
        curve = m["curve"]
        ax.plot([0] + [c["responses"] for c in curve], [m["before"]["rss_kib"] / 1024]
                + [c["rss_kib"] / 1024 for c in curve], "-", label="RSS")
        ax.set_xlabel("responses recorded")
        ax.set_ylabel("RSS (MiB)")
        ax.set_ylim(0, max(c["rss_kib"] for c in curve) / 1024 * 1.2)
        live = ax.twinx()
        live.plot([c["responses"] for c in curve], [c["live"] for c in curve], ":", color="gray",
                  label="live entries")
        live.set_ylabel("live entries")
        live.set_ylim(0, max(c["live"] for c in curve) * 1.2)
        ax.set_title("Worker memory, in-memory tracker")
        lines = ax.get_lines() + live.get_lines()
        ax.legend(lines, [line.get_label() for line in lines], loc="lower right")
        save(fig, "memory", "worker memory")
    return made
